#include "SecClientStandIn.h"

#include "BstrText.h"
#include "ErrorInfo.h"
#include "PolicyLocation.h"
#include "PolicyStore.h"
#include "TextHelpers.h"

#include <utility>

using secclient::CheckNewRole;
using secclient::CheckRoleUpdate;
using secclient::EditPolicyFile;
using secclient::EditPolicyOnServer;
using secclient::NewRole;
using secclient::ParsePrefixedRoleId;
using secclient::PolicyDocument;
using secclient::RoleUpdate;

namespace {

const wchar_t* const kOperationNames[] = {L"AddRole", L"UpdateRole", L"DeleteRoleByName",
                                          L"DeleteRoleById"};
const wchar_t kProgId[] = L"Authorization.SecClientStandIn";

// Words of the client's own (UTF-8) for an error object; none when they do
// not convert exactly.
std::wstring Words(const std::string& reason)
{
    std::wstring words;
    return standin::WidenExact(CP_UTF8, reason, words) ? words : std::wstring();
}

std::wstring SystemText(HRESULT code)
{
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, static_cast<DWORD>(code), LANG_USER_DEFAULT, reinterpret_cast<wchar_t*>(&buffer),
        0, nullptr);
    std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    if (text.empty()) {
        wchar_t fallback[64];
        wsprintfW(fallback, L"The security-database client failed (0x%08X).",
                  static_cast<unsigned>(code));
        text = fallback;
    }
    return text;
}

// Texts in double quotes with \ and " escaped, null as null: the form of
// the closed library's call log.
std::wstring Quoted(const wchar_t* text)
{
    if (!text) return L"null";
    std::wstring result = L"\"";
    for (const wchar_t* p = text; *p; ++p) {
        if (*p == L'\\' || *p == L'"') result += L'\\';
        result += *p;
    }
    return result + L"\"";
}

HRESULT CopyOut(const std::wstring& text, BSTR* out) noexcept
{
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

const InterfaceEntry* CSecClientStandIn::Interfaces() noexcept
{
    static const InterfaceEntry table[] = {
        INTERFACE_ENTRY(CSecClientStandIn, ISecClientControl),
        INTERFACE_ENTRY_IID(CSecClientStandIn, IID_IDispatch, ISecClientControl),
        INTERFACE_ENTRY(CSecClientStandIn, IAuthSecClient),
        INTERFACE_ENTRY(CSecClientStandIn, ISupportErrorInfo),
        INTERFACE_ENTRY_END,
    };
    return table;
}

STDMETHODIMP CSecClientStandIn::GetTypeInfoCount(UINT* count)
{
    return DispatchImpl<ISecClientControl>::GetTypeInfoCount(count);
}

STDMETHODIMP CSecClientStandIn::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** typeInfo)
{
    return DispatchImpl<ISecClientControl>::GetTypeInfo(index, lcid, typeInfo);
}

STDMETHODIMP CSecClientStandIn::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                              DISPID* dispids)
{
    return DispatchImpl<ISecClientControl>::GetIDsOfNames(riid, names, count, lcid, dispids);
}

STDMETHODIMP CSecClientStandIn::Invoke(DISPID dispid, REFIID riid, LCID lcid, WORD flags,
                                       DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                                       UINT* argErr)
{
    return DispatchImpl<ISecClientControl>::Invoke(dispid, riid, lcid, flags, params, result,
                                                   excepInfo, argErr);
}

std::wstring CSecClientStandIn::PolicyPath() const
{
    if (!m_policyOverride.empty()) return m_policyOverride;
    std::wstring path;
    standin::MachinePolicyFile(path);
    return path;
}

HRESULT CSecClientStandIn::EditPolicy(const std::function<HRESULT(PolicyDocument&)>& edit)
{
    if (m_server.empty()) {
        HRESULT hr = EditPolicyFile(PolicyPath(), edit);
        if (hr == secclient::kNoPolicyFile)
            m_reason =
                L"no policy is named: set SecurityServer or PolicyFile, the environment "
                L"variable KIVAUTH_POLICY or the registry value PolicyFile";
        return hr;
    }
    std::string reason;
    HRESULT hr = EditPolicyOnServer(m_server, edit, reason);
    if (FAILED(hr)) m_reason = Words(reason);
    return hr;
}

HRESULT CSecClientStandIn::Answer(REFIID iid, HRESULT hr) noexcept
{
    if (SUCCEEDED(hr)) return hr;
    std::wstring reason = std::move(m_reason);
    m_reason.clear();
    try {
        if (reason.empty()) reason = SystemText(hr);
    } catch (...) {
        // The error object goes out without its words.
    }
    return LeaveErrorObject(hr, reason.c_str(), kProgId, iid);
}

STDMETHODIMP CSecClientStandIn::InterfaceSupportsErrorInfo(REFIID riid)
{
    return IsEqualIID(riid, IID_IAuthSecClient) || IsEqualIID(riid, IID_ISecClientControl)
               ? S_OK
               : S_FALSE;
}

HRESULT CSecClientStandIn::Perform(Operation operation, const std::wstring& call,
                                   HRESULT precondition,
                                   const std::function<HRESULT()>& work) noexcept
{
    HRESULT hr = Barrier(CaughtCode, [&] {
        m_lastCall = call;
        ++m_callCount;
        Failures& failures = m_failures[operation];
        if (FAILED(precondition)) return precondition;
        if (FAILED(failures.next)) return std::exchange(failures.next, S_OK);
        if (FAILED(failures.always)) return failures.always;
        return work();
    });
    m_lastResult = hr;
    return hr;
}

STDMETHODIMP CSecClientStandIn::DeleteRoleByName(BSTR name, LONG* result)
{
    return Answered(IID_IAuthSecClient, [&] {
        if (result) *result = 0;
        std::wstring call = L"DeleteRoleByName(" + Quoted(name) + L")";
        HRESULT precondition = !result ? E_POINTER : IsEmptyText(name) ? E_INVALIDARG : S_OK;
        return Perform(kDeleteRoleByName, call, precondition, [&]() {
            HRESULT hr =
                EditPolicy([&](PolicyDocument& policy) { return policy.DeleteRoleByName(name); });
            if (SUCCEEDED(hr)) *result = 1;
            return hr;
        });
    });
}

STDMETHODIMP CSecClientStandIn::DeleteRoleById(BSTR prefixedId, LONG* result)
{
    return Answered(IID_IAuthSecClient, [&] {
        if (result) *result = 0;
        std::wstring call = L"DeleteRoleById(" + Quoted(prefixedId) + L")";
        std::string id;
        HRESULT precondition = !result                                ? E_POINTER
                               : !ParsePrefixedRoleId(prefixedId, id) ? E_INVALIDARG
                                                                      : S_OK;
        return Perform(kDeleteRoleById, call, precondition, [&]() {
            HRESULT hr =
                EditPolicy([&](PolicyDocument& policy) { return policy.DeleteRoleById(id); });
            if (SUCCEEDED(hr)) *result = 1;
            return hr;
        });
    });
}

STDMETHODIMP CSecClientStandIn::AddRole(BSTR name, BSTR description, BSTR* id)
{
    return Answered(IID_IAuthSecClient, [&] {
        std::wstring call = L"AddRole(" + Quoted(name) + L", " + Quoted(description) + L", " +
                            Quoted(id ? *id : nullptr) + L")";
        NewRole role;
        HRESULT precondition = !id ? E_POINTER : CheckNewRole(name, description, *id, role);
        return Perform(kAddRole, call, precondition, [&]() {
            std::string assigned;
            HRESULT hr =
                EditPolicy([&](PolicyDocument& policy) { return policy.AddRole(role, assigned); });
            if (FAILED(hr)) return hr;
            // The caller owns the slot and whatever it held.
            BSTR canonical = SysAllocString(std::wstring(assigned.begin(), assigned.end()).c_str());
            if (!canonical) return E_OUTOFMEMORY;
            SysFreeString(*id);
            *id = canonical;
            return S_OK;
        });
    });
}

STDMETHODIMP CSecClientStandIn::UpdateRole(BSTR id, BSTR name, BSTR description, BSTR users,
                                           BSTR groups, LONG reserved)
{
    return Answered(IID_IAuthSecClient, [&] {
        std::wstring call = L"UpdateRole(" + Quoted(id) + L", " + Quoted(name) + L", " +
                            Quoted(description) + L", " + Quoted(users) + L", " + Quoted(groups) +
                            L", " + std::to_wstring(reserved) + L")";
        RoleUpdate update;
        HRESULT precondition = CheckRoleUpdate(id, name, description, users, groups, update);
        return Perform(kUpdateRole, call, precondition, [&]() {
            return EditPolicy([&](PolicyDocument& policy) { return policy.UpdateRole(update); });
        });
    });
}

STDMETHODIMP CSecClientStandIn::get_PolicyFile(BSTR* path)
{
    if (!path) return Answer(IID_ISecClientControl, E_POINTER);
    *path = nullptr;
    return Answered(IID_ISecClientControl, [&] { return CopyOut(PolicyPath(), path); });
}

STDMETHODIMP CSecClientStandIn::put_PolicyFile(BSTR path)
{
    return Answered(IID_ISecClientControl, [&] {
        if (IsEmptyText(path)) {
            m_policyOverride.clear();
            return S_OK;
        }
        std::wstring resolved;
        if (standin::ClassifyAddress(path, resolved) != standin::AddressKind::File) {
            m_reason = L"not a file: a server is named by SecurityServer";
            return E_INVALIDARG;
        }
        m_policyOverride = resolved;
        return S_OK;
    });
}

STDMETHODIMP CSecClientStandIn::get_SecurityServer(BSTR* url)
{
    if (!url) return Answer(IID_ISecClientControl, E_POINTER);
    *url = nullptr;
    return Answered(IID_ISecClientControl, [&] { return CopyOut(m_server, url); });
}

// Only an http: address; a file is named by PolicyFile.
STDMETHODIMP CSecClientStandIn::put_SecurityServer(BSTR url)
{
    return Answered(IID_ISecClientControl, [&] {
        if (IsEmptyText(url)) {
            m_server.clear();
            return S_OK;
        }
        std::wstring address;
        standin::AddressKind kind = standin::ClassifyAddress(url, address);
        if (kind == standin::AddressKind::Http) {
            m_server = address;
            return S_OK;
        }
        if (kind == standin::AddressKind::File) {
            m_reason = L"a policy file is named by PolicyFile";
            return E_INVALIDARG;
        }
        m_reason = Words(standin::RefusedAddressReason(kind, url));
        if (kind == standin::AddressKind::Unsupported) return standin::kUnsupportedAddress;
        if (kind == standin::AddressKind::PlainHttpRefused) return standin::kPlainHttpRefused;
        return E_INVALIDARG;
    });
}

HRESULT CSecClientStandIn::SetFailure(BSTR operation, LONG code, bool always) noexcept
{
    if (IsEmptyText(operation) || SUCCEEDED(code)) return E_INVALIDARG;
    bool all = wcscmp(operation, L"*") == 0;
    bool known = false;
    for (int i = 0; i < kOperations; ++i) {
        if (!all && _wcsicmp(operation, kOperationNames[i]) != 0) continue;
        (always ? m_failures[i].always : m_failures[i].next) = code;
        known = true;
    }
    return known ? S_OK : E_INVALIDARG;
}

STDMETHODIMP CSecClientStandIn::FailNext(BSTR operation, LONG code)
{
    return Answer(IID_ISecClientControl, SetFailure(operation, code, false));
}

STDMETHODIMP CSecClientStandIn::FailAlways(BSTR operation, LONG code)
{
    return Answer(IID_ISecClientControl, SetFailure(operation, code, true));
}

STDMETHODIMP CSecClientStandIn::ClearFailures()
{
    for (Failures& failures : m_failures) failures = Failures();
    return S_OK;
}

STDMETHODIMP CSecClientStandIn::get_LastCall(BSTR* call)
{
    if (!call) return Answer(IID_ISecClientControl, E_POINTER);
    *call = nullptr;
    if (m_callCount == 0) return S_OK;
    return Answer(IID_ISecClientControl, CopyOut(m_lastCall, call));
}

STDMETHODIMP CSecClientStandIn::get_CallCount(LONG* count)
{
    if (!count) return Answer(IID_ISecClientControl, E_POINTER);
    *count = m_callCount;
    return S_OK;
}

STDMETHODIMP CSecClientStandIn::get_LastResult(LONG* code)
{
    if (!code) return Answer(IID_ISecClientControl, E_POINTER);
    *code = m_lastResult;
    return S_OK;
}
