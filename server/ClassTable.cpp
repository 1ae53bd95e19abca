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
    {&CLSID_IKIVAuthorization, IDR_IKIVAUTHORIZATION, CreateComInstance<CIKIVAuthorization>,
     nullptr, 0},
    {&CLSID_AuthorizationEx, IDR_AUTHORIZATIONEX, CreateComInstance<CAuthorizationEx>, nullptr, 0},
    {&CLSID_KQSecRole, IDR_KQSECROLE, CreateComInstance<CKQSecRole>, nullptr, 0},
    {&CLSID_KQSecRolesCollection, IDR_KQSECROLESCOLLECTION,
     CreateComInstance<CKQSecRolesCollection>, nullptr, 0},
    {nullptr, 0, nullptr, nullptr, 0},
};
