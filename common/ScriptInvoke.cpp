// The script allowances of IDispatch calls served from type information;
// shared by every DLL of the project that uses DispatchImpl.
#include "TypeInfoDispatch.h"

#include <deque>
#include <utility>
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
        // A reference to no variable has nowhere to take the result.
        if (V_VT(&args[i]) != (VT_BYREF | VT_VARIANT) || !V_VARIANTREF(&args[i])) continue;
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
    HRESULT hr =
        typeInfo->Invoke(instance, dispid, flags, &carriedParams, result, excepInfo, argErr);
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

// True for an argument that a script left out in the middle of a call.
bool IsOmitted(const VARIANT& arg)
{
    return V_VT(&arg) == VT_ERROR && V_ERROR(&arg) == DISP_E_PARAMNOTFOUND;
}

enum class ParamKind : BYTE { Required, Optional, OptionalText };

// What the filling of omitted arguments needs to know of a member that has
// an [optional] BSTR parameter: the kind of each parameter a caller can pass.
struct MemberShape {
    MEMBERID memid;
    INVOKEKIND invkind;
    std::vector<ParamKind> params;
};

// The members with optional texts, per type information, read once: a
// FUNCDESC costs an allocation per member, too much for every call.
struct TypeShape {
    ITypeInfo* typeInfo;  // counted, so that the address is never reused
    std::vector<MemberShape> members;
};

SRWLOCK g_shapesLock = SRWLOCK_INIT;
// A deque: adding a type moves none that are there.
std::deque<TypeShape>* g_shapes = nullptr;

std::vector<MemberShape> ReadShapes(ITypeInfo* typeInfo)
{
    std::vector<MemberShape> members;
    TYPEATTR* attr = nullptr;
    if (FAILED(typeInfo->GetTypeAttr(&attr))) return members;
    WORD count = attr->cFuncs;
    typeInfo->ReleaseTypeAttr(attr);
    for (WORD i = 0; i < count; ++i) {
        FUNCDESC* func = nullptr;
        if (FAILED(typeInfo->GetFuncDesc(i, &func))) continue;
        MemberShape shape{func->memid, func->invkind, {}};
        bool anyOptionalText = false;
        for (SHORT p = 0; p < func->cParams; ++p) {
            const ELEMDESC& element = func->lprgelemdescParam[p];
            USHORT paramFlags = element.paramdesc.wParamFlags;
            // The return value and the locale are not the caller's to pass.
            if (paramFlags & (PARAMFLAG_FRETVAL | PARAMFLAG_FLCID)) break;
            ParamKind kind = !(paramFlags & PARAMFLAG_FOPT) ? ParamKind::Required
                             : element.tdesc.vt == VT_BSTR  ? ParamKind::OptionalText
                                                            : ParamKind::Optional;
            anyOptionalText = anyOptionalText || kind == ParamKind::OptionalText;
            shape.params.push_back(kind);
        }
        typeInfo->ReleaseFuncDesc(func);
        if (anyOptionalText) members.push_back(std::move(shape));
    }
    return members;
}

// The member types of one type information, or null when not read yet.
const std::vector<MemberShape>* KnownMembers(ITypeInfo* typeInfo)
{
    if (!g_shapes) return nullptr;
    for (const TypeShape& type : *g_shapes)
        if (type.typeInfo == typeInfo) return &type.members;
    return nullptr;
}

// The shape of the member a call names, or null when it has no optional
// text. Shapes are kept until the module stops and never move, so what is
// found stays valid while calls run.
const MemberShape* FindShape(ITypeInfo* typeInfo, DISPID dispid, WORD flags)
{
    AcquireSRWLockShared(&g_shapesLock);
    const std::vector<MemberShape>* members = KnownMembers(typeInfo);
    ReleaseSRWLockShared(&g_shapesLock);
    if (!members) {
        std::vector<MemberShape> read = ReadShapes(typeInfo);
        AcquireSRWLockExclusive(&g_shapesLock);
        struct Unlock {
            ~Unlock() { ReleaseSRWLockExclusive(&g_shapesLock); }
        } unlock;
        members = KnownMembers(typeInfo);
        if (!members) {
            if (!g_shapes) g_shapes = new std::deque<TypeShape>;
            g_shapes->push_back(TypeShape{typeInfo, std::move(read)});
            typeInfo->AddRef();
            members = &g_shapes->back().members;
        }
    }
    for (const MemberShape& member : *members)
        if (member.memid == dispid && (member.invkind & flags)) return &member;
    return nullptr;
}

// An [optional] BSTR that a script leaves out would reach the member as the
// DISP_E_PARAMNOTFOUND scode in place of the string pointer (zero- or
// sign-extended, by platform). Pass a null string instead: the members read
// it as no text. Returns false when the call needs no change; otherwise
// `filled` is the call to make, its arguments in `args` and `names`, with
// `inserted` arguments put in front of the caller's.
bool FillOmittedOptionalTexts(ITypeInfo* typeInfo, DISPID dispid, WORD flags,
                              const DISPPARAMS* params, std::vector<VARIANT>& args,
                              std::vector<DISPID>& names, DISPPARAMS& filled, UINT& inserted)
{
    if (!params || (params->cArgs && !params->rgvarg) ||
        (params->cNamedArgs && !params->rgdispidNamedArgs) || params->cNamedArgs > params->cArgs)
        return false;
    const MemberShape* shape = FindShape(typeInfo, dispid, flags);
    if (!shape) return false;
    const std::vector<ParamKind>& kinds = shape->params;
    const UINT callable = static_cast<UINT>(kinds.size());

    VARIANT noText;
    VariantInit(&noText);
    V_VT(&noText) = VT_BSTR;
    V_BSTR(&noText) = nullptr;

    // Named arguments come first; the positional ones follow, last to first.
    const UINT named = params->cNamedArgs;
    std::vector<bool> passed(callable, false);
    std::vector<VARIANT> given(params->rgvarg, params->rgvarg + params->cArgs);
    bool changed = false;
    for (UINT i = 0; i < params->cArgs; ++i) {
        DISPID param =
            i < named ? params->rgdispidNamedArgs[i] : static_cast<DISPID>(params->cArgs - 1 - i);
        if (param < 0 || static_cast<UINT>(param) >= callable) continue;
        passed[static_cast<UINT>(param)] = true;
        if (kinds[static_cast<UINT>(param)] != ParamKind::OptionalText || !IsOmitted(given[i]))
            continue;
        given[i] = noText;
        changed = true;
    }

    // Optional texts not passed at all: after the last positional argument
    // when the caller named none (in front, since positional ones come last to
    // first, with left-out optional ones between them as the type library
    // would fill them), else as named arguments.
    args.clear();
    names.clear();
    const UINT positional = params->cArgs - named;
    UINT last = 0;
    for (UINT p = positional; p < callable; ++p)
        if (!passed[p] && kinds[p] == ParamKind::OptionalText) last = p + 1;
    bool contiguous = named == 0;
    for (UINT p = positional; p < last && contiguous; ++p)
        contiguous = kinds[p] != ParamKind::Required;
    if (contiguous) {
        VARIANT notPassed;
        VariantInit(&notPassed);
        V_VT(&notPassed) = VT_ERROR;
        V_ERROR(&notPassed) = DISP_E_PARAMNOTFOUND;
        for (UINT p = last; p-- > positional;)
            args.push_back(kinds[p] == ParamKind::OptionalText ? noText : notPassed);
    } else {
        for (UINT p = 0; p < callable; ++p) {
            if (passed[p] || kinds[p] != ParamKind::OptionalText) continue;
            args.push_back(noText);
            names.push_back(static_cast<DISPID>(p));
        }
    }
    inserted = static_cast<UINT>(args.size());
    if (!changed && inserted == 0) return false;
    args.insert(args.end(), given.begin(), given.end());
    names.insert(names.end(), params->rgdispidNamedArgs, params->rgdispidNamedArgs + named);
    filled = {args.data(), names.empty() ? nullptr : names.data(), static_cast<UINT>(args.size()),
              static_cast<UINT>(names.size())};
    return true;
}

}  // namespace

HRESULT InvokeWithTypeInfo(ITypeInfo* typeInfo, void* instance, DISPID dispid, WORD flags,
                           DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                           UINT* argErr) noexcept
{
    std::vector<VARIANT> filledArgs;
    std::vector<DISPID> filledNames;
    DISPPARAMS filled;
    UINT inserted = 0;
    try {
        if (FillOmittedOptionalTexts(typeInfo, dispid, flags, params, filledArgs, filledNames,
                                     filled, inserted)) {
            HRESULT hr = InvokeWithTypeInfo(typeInfo, instance, dispid, flags, &filled, result,
                                            excepInfo, argErr);
            // A bad argument is named by its place in the caller's list.
            if (argErr && (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND) &&
                *argErr >= inserted)
                *argErr -= inserted;
            return hr;
        }
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = typeInfo->Invoke(instance, dispid, flags, params, result, excepInfo, argErr);
    if (hr == DISP_E_TYPEMISMATCH) {
        try {
            HRESULT carried = InvokeWithScriptOutParameters(typeInfo, instance, dispid, flags,
                                                            params, result, excepInfo, argErr);
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

void ForgetInvokeShapes() noexcept
{
    AcquireSRWLockExclusive(&g_shapesLock);
    std::deque<TypeShape>* shapes = std::exchange(g_shapes, nullptr);
    ReleaseSRWLockExclusive(&g_shapesLock);
    if (!shapes) return;
    for (TypeShape& type : *shapes) type.typeInfo->Release();
    delete shapes;
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
