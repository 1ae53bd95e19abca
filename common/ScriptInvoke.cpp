// The script allowances of IDispatch calls served from type information;
// shared by every DLL of the project that uses DispatchImpl.
#include "TypeInfoDispatch.h"

#include <memory>
#include <string>
#include <vector>

namespace {

// The member a late-bound call names, or null.
FUNCDESC* FindFunction(ITypeInfo* typeInfo, DISPID dispid, WORD flags)
{
    TYPEATTR* attr = nullptr;
    if (FAILED(typeInfo->GetTypeAttr(&attr))) return nullptr;
    WORD count = attr->cFuncs;
    typeInfo->ReleaseTypeAttr(attr);
    for (WORD i = 0; i < count; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(typeInfo->GetFuncDesc(i, &func))) continue;
        if (func->memid == dispid && (func->invkind & flags)) return func;
        typeInfo->ReleaseFuncDesc(func);
    }
    return nullptr;
}

// The VARIANT type that carries an [out] parameter of this type by
// reference: an interface pointer or a string. VT_EMPTY for any other.
VARTYPE OutCarrier(ITypeInfo* typeInfo, const ELEMDESC& element)
{
    const TYPEDESC& type = element.tdesc;
    if (!(element.paramdesc.wParamFlags & PARAMFLAG_FOUT) || type.vt != VT_PTR) return VT_EMPTY;
    const TYPEDESC* pointee = type.lptdesc;
    // IUnknown** and IDispatch** are one pointer level short in a type library.
    if (pointee->vt == VT_BSTR || pointee->vt == VT_UNKNOWN || pointee->vt == VT_DISPATCH)
        return pointee->vt;
    if (pointee->vt != VT_PTR) return VT_EMPTY;
    const TYPEDESC* target = pointee->lptdesc;
    if (target->vt == VT_UNKNOWN || target->vt == VT_DISPATCH) return target->vt;
    if (target->vt != VT_USERDEFINED) return VT_EMPTY;
    com_ptr<ITypeInfo> referenced;
    if (FAILED(typeInfo->GetRefTypeInfo(target->hreftype, referenced.put()))) return VT_EMPTY;
    TYPEATTR* attr = nullptr;
    if (FAILED(referenced->GetTypeAttr(&attr))) return VT_EMPTY;
    bool dispatch = attr->typekind == TKIND_DISPATCH || (attr->wTypeFlags & TYPEFLAG_FDUAL);
    bool itf = attr->typekind == TKIND_INTERFACE || attr->typekind == TKIND_DISPATCH;
    referenced->ReleaseTypeAttr(attr);
    if (!itf) return VT_EMPTY;
    return dispatch ? VT_DISPATCH : VT_UNKNOWN;
}

// Script languages pass every by-reference argument as a VARIANT. An [out]
// parameter typed as an interface pointer or a string (RolesColl's
// collection, checkCache's cache) is then refused with a type mismatch:
// carry it in a variable of its own type and hand the result back in the
// script's VARIANT.
HRESULT InvokeWithScriptOutParameters(ITypeInfo* typeInfo, void* instance, DISPID dispid,
                                      WORD flags, DISPPARAMS* params, VARIANT* result,
                                      EXCEPINFO* excepInfo, UINT* argErr)
{
    if (!params || params->cNamedArgs != 0 || params->cArgs == 0) return DISP_E_TYPEMISMATCH;
    FUNCDESC* func = FindFunction(typeInfo, dispid, flags);
    if (!func) return DISP_E_TYPEMISMATCH;

    struct Carried {
        UINT arg;
        VARIANT* scriptTarget;
        VARIANT holder;  // the value the member writes, by its own type
    };
    std::vector<Carried> carried;
    std::vector<VARIANT> args(params->rgvarg, params->rgvarg + params->cArgs);
    for (UINT i = 0; i < params->cArgs; ++i) {
        UINT param = params->cArgs - 1 - i;  // arguments come last to first
        if (param >= static_cast<UINT>(func->cParams)) continue;
        if (V_VT(&args[i]) != (VT_BYREF | VT_VARIANT)) continue;
        VARTYPE carrier = OutCarrier(typeInfo, func->lprgelemdescParam[param]);
        if (carrier == VT_EMPTY) continue;
        Carried c{i, V_VARIANTREF(&args[i]), {}};
        VariantInit(&c.holder);
        V_VT(&c.holder) = carrier;
        carried.push_back(c);
    }
    typeInfo->ReleaseFuncDesc(func);
    if (carried.empty()) return DISP_E_TYPEMISMATCH;

    // The holders move no more once the vector is complete.
    for (Carried& c : carried) {
        VARIANT& arg = args[c.arg];
        V_VT(&arg) = static_cast<VARTYPE>(VT_BYREF | V_VT(&c.holder));
        V_BYREF(&arg) = &V_BYREF(&c.holder);
    }
    DISPPARAMS carriedParams = {args.data(), nullptr, params->cArgs, 0};
    HRESULT hr = typeInfo->Invoke(instance, dispid, flags, &carriedParams, result, excepInfo, argErr);
    for (Carried& c : carried) {
        if (SUCCEEDED(hr)) {
            VariantClear(c.scriptTarget);
            *c.scriptTarget = c.holder;  // the script's variable takes the reference
        } else {
            VariantClear(&c.holder);
        }
    }
    return hr;
}

}  // namespace

HRESULT InvokeWithTypeInfo(ITypeInfo* typeInfo, void* instance, DISPID dispid, WORD flags,
                           DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                           UINT* argErr) noexcept
{
    HRESULT hr = typeInfo->Invoke(instance, dispid, flags, params, result, excepInfo, argErr);
    if (hr == DISP_E_TYPEMISMATCH) {
        try {
            HRESULT carried = InvokeWithScriptOutParameters(typeInfo, instance, dispid, flags, params,
                                                            result, excepInfo, argErr);
            if (carried != DISP_E_TYPEMISMATCH) return carried;
        } catch (...) {
            return E_OUTOFMEMORY;
        }
        return hr;
    }
    if (hr != DISP_E_MEMBERNOTFOUND) return hr;
    if (dispid == DISPID_NEWENUM && (flags & DISPATCH_METHOD) && !(flags & DISPATCH_PROPERTYGET))
        return typeInfo->Invoke(instance, dispid, DISPATCH_PROPERTYGET, params, result, excepInfo,
                                argErr);
    if (flags & DISPATCH_PROPERTYPUTREF)
        return typeInfo->Invoke(instance, dispid, DISPATCH_PROPERTYPUT, params, result, excepInfo,
                                argErr);
    return hr;
}

// A few dozen members per interface; a script that makes up names must not
// make the list grow without end.
constexpr int kMaxCachedNames = 128;

struct DispatchNameCache::Entry {
    Entry* next;
    DISPID dispid;
    std::wstring name;
};

DispatchNameCache::~DispatchNameCache()
{
    while (Entry* entry = m_entries) {
        m_entries = entry->next;
        delete entry;
    }
}

HRESULT DispatchNameCache::GetIDsOfNames(ITypeInfo* typeInfo, LPOLESTR* names, UINT count,
                                         DISPID* dispids) noexcept
{
    if (count != 1 || !names || !names[0] || !dispids)
        return typeInfo->GetIDsOfNames(names, count, dispids);
    AcquireSRWLockShared(&m_lock);
    for (Entry* entry = m_entries; entry; entry = entry->next) {
        if (wcscmp(entry->name.c_str(), names[0]) == 0) {
            dispids[0] = entry->dispid;
            ReleaseSRWLockShared(&m_lock);
            return S_OK;
        }
    }
    ReleaseSRWLockShared(&m_lock);

    HRESULT hr = typeInfo->GetIDsOfNames(names, count, dispids);
    if (hr != S_OK) return hr;
    try {
        std::unique_ptr<Entry> entry(new Entry{nullptr, dispids[0], names[0]});
        AcquireSRWLockExclusive(&m_lock);
        if (m_count < kMaxCachedNames) {
            entry->next = m_entries;
            m_entries = entry.release();
            ++m_count;
        }
        ReleaseSRWLockExclusive(&m_lock);
    } catch (...) {
        // Not kept: the answer stands all the same.
    }
    return hr;
}
