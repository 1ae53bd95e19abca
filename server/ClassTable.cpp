// What the module serves: its creatable classes, in registration order, and
// its type library. The application framework has the last word on unloading.
#include "ComModule.h"

#include "AppFramework.h"
#include "Authorization.h"
#include "ComObject.h"
#include "Resource.h"
#include "AuthorizationEx.h"
#include "IKIVAuthorization.h"
#include "KQSecRole.h"
#include "KQSecRolesCollection.h"

namespace {

ClassEntry g_classTable[] = {
    {&CLSID_IKIVAuthorization, CreateComInstance<CIKIVAuthorization>, nullptr,
     IDR_IKIVAUTHORIZATION},
    {&CLSID_AuthorizationEx, CreateComInstance<CAuthorizationEx>, nullptr, IDR_AUTHORIZATIONEX},
    {&CLSID_KQSecRole, CreateComInstance<CKQSecRole>, nullptr, IDR_KQSECROLE},
    {&CLSID_KQSecRolesCollection, CreateComInstance<CKQSecRolesCollection>, nullptr,
     IDR_KQSECROLESCOLLECTION},
    {nullptr, nullptr, nullptr, 0},
};

}  // namespace

const ComModuleDefinition g_moduleDefinition = {g_classTable, &LIBID_AUTHORIZATIONLib,
                                                AfxDllCanUnloadNow};
