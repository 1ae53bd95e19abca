// The creatable classes of the module, in registration order.
#include "ComModule.h"

#include "Authorization.h"
#include "ComObject.h"
#include "Resource.h"
#include "AuthorizationEx.h"
#include "IKIVAuthorization.h"
#include "KQSecRole.h"
#include "KQSecRolesCollection.h"

ClassEntry g_classTable[] = {
    {&CLSID_IKIVAuthorization, CreateComInstance<CIKIVAuthorization>, nullptr,
     IDR_IKIVAUTHORIZATION, 0},
    {&CLSID_AuthorizationEx, CreateComInstance<CAuthorizationEx>, nullptr, IDR_AUTHORIZATIONEX, 0},
    {&CLSID_KQSecRole, CreateComInstance<CKQSecRole>, nullptr, IDR_KQSECROLE, 0},
    {&CLSID_KQSecRolesCollection, CreateComInstance<CKQSecRolesCollection>, nullptr,
     IDR_KQSECROLESCOLLECTION, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};
