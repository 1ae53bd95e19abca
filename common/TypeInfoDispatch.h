// IDispatch served from the module's type library: each interface's type
// information is loaded once, kept for the life of the module, and
// GetIDsOfNames and Invoke are forwarded to it.
#pragma once

#include "ComPtr.h"
#include "Results.h"

#include <windows.h>
#include <oaidl.h>

// The type information of an interface or coclass of the module's library.
// Loaded from the registered library by LIBID and version, or from the
// module's own file when the library is not registered.
HRESULT GetModuleTypeInfo(REFGUID guid, ITypeInfo** typeInfo) noexcept;

// Called when the module stops.
void ReleaseModuleTypeInfo() noexcept;

// Forgets what InvokeWithTypeInfo learnt of the type information it was
// given; part of ReleaseModuleTypeInfo.
void ForgetInvokeShapes() noexcept;

// Invoke with the allowances that script hosts need: an [optional] BSTR
// left out arrives as a null string, JScript's Enumerator
// asks for _NewEnum as a method, "Set obj.Prop = x" arrives as a
// put-by-reference on a property that has only a put, and a script passes an
// [out] interface pointer or string as a by-reference VARIANT.
HRESULT InvokeWithTypeInfo(ITypeInfo* typeInfo, void* instance, DISPID dispid, WORD flags,
                           DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                           UINT* argErr) noexcept;

// The dispatch ids that a type information gave for single names, kept per
// interface: a script asks for the name before every call, and the type
// information walks every member comparing names. Only answers that the
// type information gave are kept, under the exact name asked for.
class DispatchNameCache {
public:
    DispatchNameCache() noexcept = default;
    DispatchNameCache(const DispatchNameCache&) = delete;
    DispatchNameCache& operator=(const DispatchNameCache&) = delete;
    ~DispatchNameCache();

    HRESULT GetIDsOfNames(ITypeInfo* typeInfo, LPOLESTR* names, UINT count,
                          DISPID* dispids) noexcept;

private:
    struct Entry;
    SRWLOCK m_lock = SRWLOCK_INIT;
    Entry* m_entries = nullptr;  // a short list, newest first
    int m_count = 0;
};

template <class Itf>
class DispatchImpl : public Itf {
public:
    STDMETHOD(GetTypeInfoCount)(UINT* count) override
    {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }

    STDMETHOD(GetTypeInfo)(UINT index, LCID, ITypeInfo** typeInfo) override
    {
        if (!typeInfo) return E_POINTER;
        *typeInfo = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return GetModuleTypeInfo(__uuidof(Itf), typeInfo);
    }

    STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* names, UINT count, LCID,
                             DISPID* dispids) override
    {
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        com_ptr<ITypeInfo> typeInfo;
        RETURN_IF_FAILED(GetModuleTypeInfo(__uuidof(Itf), typeInfo.put()));
        static DispatchNameCache cache;
        return cache.GetIDsOfNames(typeInfo.get(), names, count, dispids);
    }

    STDMETHOD(Invoke)(DISPID dispid, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override
    {
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        com_ptr<ITypeInfo> typeInfo;
        RETURN_IF_FAILED(GetModuleTypeInfo(__uuidof(Itf), typeInfo.put()));
        return InvokeWithTypeInfo(typeInfo.get(), static_cast<Itf*>(this), dispid, flags, params,
                                  result, excepInfo, argErr);
    }
};
