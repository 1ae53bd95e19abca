#include "TypeLibRegistration.h"

#include "ComPtr.h"
#include "Results.h"
#include "ResourceOwners.h"

#include <oleauto.h>

HRESULT RegisterModuleTypeLib(const wchar_t* modulePath) noexcept
{
    com_ptr<ITypeLib> typeLib;
    RETURN_IF_FAILED(LoadTypeLibEx(modulePath, REGKIND_NONE, typeLib.put()));
    return RegisterTypeLib(typeLib.get(), const_cast<wchar_t*>(modulePath), nullptr);
}

HRESULT UnregisterModuleTypeLib(const wchar_t* modulePath) noexcept
{
    com_ptr<ITypeLib> typeLib;
    RETURN_IF_FAILED(LoadTypeLibEx(modulePath, REGKIND_NONE, typeLib.put()));
    TLIBATTR* attr = nullptr;
    RETURN_IF_FAILED(typeLib->GetLibAttr(&attr));
    const TLIBATTR lib = *attr;
    typeLib->ReleaseTLibAttr(attr);
    // Unregistering a library that is not registered fails: twice must be harmless.
    unique_bstr registered;
    if (FAILED(QueryPathOfRegTypeLib(lib.guid, lib.wMajorVerNum, lib.wMinorVerNum, lib.lcid,
                                     registered.put())))
        return S_OK;
    return UnRegisterTypeLib(lib.guid, lib.wMajorVerNum, lib.wMinorVerNum, lib.lcid, lib.syskind);
}
