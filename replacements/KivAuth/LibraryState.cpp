#include "LibraryState.h"

#include "HttpClient.h"
#include "KivAuthControl.h"
#include "Policy.h"
#include "Text.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

namespace kivauth {

namespace {

// Enough for any test; a long-running client must not grow without end.
constexpr size_t kMaxCalls = 100000;

class OwnedVariant {
public:
    OwnedVariant() noexcept { VariantInit(&m_v); }
    ~OwnedVariant() { VariantClear(&m_v); }
    OwnedVariant(const OwnedVariant&) = delete;
    OwnedVariant& operator=(const OwnedVariant&) = delete;
    HRESULT Assign(const VARIANT* from) noexcept
    {
        VariantClear(&m_v);
        return from ? VariantCopy(&m_v, const_cast<VARIANT*>(from)) : S_OK;
    }
    VARIANT* get() noexcept { return &m_v; }

private:
    VARIANT m_v;
};

struct ForcedId {
    HRESULT result;
    bool hasId;
    std::wstring id;
};

// Policies that the process chose itself: the latest of a test's text and
// a file or http: address given to SetSecurityServer.
enum class ChosenSource { None, Text, ServerFile, ServerHttp };

struct Shared {
    std::mutex lock;
    std::deque<std::string> calls;
    std::map<std::string, long> forced;
    std::set<std::string> throwing;
    bool refreshFlagCleared = false;
    bool nullRoleList = false;
    bool roleInfoWithoutRecord = false;
    bool appCacheWithoutObject = false;
    std::map<std::string, OwnedVariant> forcedVariants;
    std::map<std::wstring, ForcedId> forcedIds;
    OwnedVariant lastErrors;
    int httpTimeout = 0;
    bool hasServer = false;
    std::wstring server;
    ChosenSource chosen = ChosenSource::None;
    std::string policyText;
    std::wstring serverPath;  // the file's path, or the http: address
    // Scripts steer the policy by environment or registry; tests, once they
    // reset the library, must not depend on the machine.
    bool machinePolicy = true;
    // The store parsed last, for the next object that reads the same text.
    std::string parsedOrigin;
    std::shared_ptr<const std::string> parsedText;
    std::shared_ptr<const Policy> parsedPolicy;
};

Shared& State()
{
    static Shared shared;
    return shared;
}

// Read by every call, outside the lock: off costs one load.
std::atomic<bool> g_recordCalls{false};
// Whether a test forces any result, kept with the table under the lock:
// a call that nothing forces takes neither the lock nor a lookup.
std::atomic<bool> g_anyForced{false};
std::atomic<bool> g_anyThrowing{false};

void AppendQuoted(std::string& line, const std::string& text)
{
    line += '"';
    for (char c : text) {
        if (c == '\\' || c == '"') line += '\\';
        line += c;
    }
    line += '"';
}

template <class Char>
int CopyOut(const std::basic_string<Char>& text, Char* buffer, int size)
{
    if (buffer && size > 0) {
        size_t count = std::min(text.size(), static_cast<size_t>(size - 1));
        text.copy(buffer, count);
        buffer[count] = 0;
    }
    return static_cast<int>(text.size());
}

}  // namespace

CallLine::CallLine(const char* operation) : m_line(operation)
{
    m_line += '(';
}

CallLine& CallLine::Next()
{
    if (!m_first) m_line += ", ";
    m_first = false;
    return *this;
}

CallLine& CallLine::Text(const char* text)
{
    Next();
    if (text)
        AppendQuoted(m_line, text);
    else
        m_line += "null";
    return *this;
}

CallLine& CallLine::Text(const wchar_t* text)
{
    Next();
    if (text)
        AppendQuoted(m_line, ToAcpForMessage(text));
    else
        m_line += "null";
    return *this;
}

CallLine& CallLine::Unsigned(unsigned long value)
{
    Next().m_line += std::to_string(value);
    return *this;
}

CallLine& CallLine::Signed(int value)
{
    Next().m_line += std::to_string(value);
    return *this;
}

CallLine& CallLine::Flag(bool value)
{
    Next().m_line += value ? "true" : "false";
    return *this;
}

CallLine& CallLine::Out()
{
    Next().m_line += "out";
    return *this;
}

bool CallLogOn() noexcept
{
    return g_recordCalls.load(std::memory_order_relaxed);
}

void RecordCall(const CallLine& line)
{
    std::string text = line.Finish();
    Shared& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.calls.size() == kMaxCalls) s.calls.pop_front();
    s.calls.push_back(std::move(text));
}

bool ForcedResult(const char* operation, long& result)
{
    if (!g_anyForced.load(std::memory_order_acquire)) return false;
    Shared& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    auto found = s.forced.find(operation);
    if (found == s.forced.end()) return false;
    result = found->second;
    return true;
}

void ThrowIfAsked(const char* operation)
{
    if (!g_anyThrowing.load(std::memory_order_acquire)) return;
    {
        Shared& s = State();
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.throwing.count(operation)) return;
    }
    throw std::runtime_error(std::string(operation) + " threw, as the test asked");
}

bool RefreshFlagCleared()
{
    std::lock_guard<std::mutex> guard(State().lock);
    return State().refreshFlagCleared;
}

bool NullRoleList()
{
    std::lock_guard<std::mutex> guard(State().lock);
    return State().nullRoleList;
}

bool RoleInfoWithoutRecord()
{
    std::lock_guard<std::mutex> guard(State().lock);
    return State().roleInfoWithoutRecord;
}

bool AppCacheWithoutObject()
{
    std::lock_guard<std::mutex> guard(State().lock);
    return State().appCacheWithoutObject;
}

bool ForcedVariant(const char* operation, VARIANT* first, VARIANT* second, HRESULT& result)
{
    Shared& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    auto found = s.forcedVariants.find(operation);
    if (found == s.forcedVariants.end()) return false;
    result = S_OK;
    for (VARIANT* slot : {first, second}) {
        if (!slot) continue;
        VariantInit(slot);
        HRESULT hr = VariantCopy(slot, found->second.get());
        if (FAILED(hr)) result = hr;
    }
    return true;
}

bool ForcedSecurityId(const wchar_t* applName, HRESULT& result, wchar_t** id)
{
    if (!applName) return false;
    Shared& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    auto found = s.forcedIds.find(applName);
    if (found == s.forcedIds.end()) return false;
    if (!id) {
        result = E_POINTER;  // nowhere to put the forced id
        return true;
    }
    result = found->second.result;
    *id = found->second.hasId ? SysAllocString(found->second.id.c_str()) : nullptr;
    if (found->second.hasId && !*id) result = E_OUTOFMEMORY;
    return true;
}

PolicySource CurrentPolicySource()
{
    Shared& s = State();
    PolicySource source;
    bool machinePolicy;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.chosen == ChosenSource::Text) {
            source.kind = PolicySource::Kind::Text;
            source.text = s.policyText;
            source.origin = "policy text";
            return source;
        }
        if (s.chosen == ChosenSource::ServerFile || s.chosen == ChosenSource::ServerHttp) {
            bool http = s.chosen == ChosenSource::ServerHttp;
            source.kind = http ? PolicySource::Kind::Http : PolicySource::Kind::File;
            source.path = s.serverPath;
            // An address's user name and password never reach a message.
            source.origin =
                "security server " +
                ToAcpForMessage(http ? standin::AddressForMessages(s.serverPath.c_str()).c_str()
                                     : s.serverPath.c_str());
            source.timeoutMs = s.httpTimeout;
            return source;
        }
        machinePolicy = s.machinePolicy;
    }
    if (machinePolicy && MachinePolicyFile(source)) return source;
    source.kind = PolicySource::Kind::Embedded;
    source.origin = "default policy";
    return source;
}

std::shared_ptr<const Policy> ParseShared(const std::string& origin, std::string&& read,
                                          std::shared_ptr<const std::string>& text,
                                          std::string& error)
{
    Shared& s = State();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.parsedPolicy && s.parsedOrigin == origin && *s.parsedText == read) {
            text = s.parsedText;
            return s.parsedPolicy;
        }
    }
    // Parsed outside the lock: a large store takes a while.
    std::shared_ptr<const Policy> policy(Policy::Parse(read, error));
    if (!policy) return nullptr;
    text = std::make_shared<const std::string>(std::move(read));
    std::lock_guard<std::mutex> guard(s.lock);
    s.parsedOrigin = origin;
    s.parsedText = text;
    s.parsedPolicy = policy;
    return policy;
}

void SetLoadError(const std::string& message)
{
    Shared& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    VARIANT* errors = s.lastErrors.get();
    VariantClear(errors);
    if (message.empty()) return;
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 1);
    if (!array) return;
    BSTR* items;
    if (SUCCEEDED(SafeArrayAccessData(array, reinterpret_cast<void**>(&items)))) {
        items[0] = ToBstr(message);
        SafeArrayUnaccessData(array);
    }
    V_VT(errors) = VT_ARRAY | VT_BSTR;
    V_ARRAY(errors) = array;
}

HRESULT CopyLastErrors(VARIANT* to)
{
    Shared& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    VariantClear(to);
    return VariantCopy(to, s.lastErrors.get());
}

void SetHttpTimeout(int timeout)
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().httpTimeout = timeout;
}

}  // namespace kivauth

using namespace kivauth;

// The plain export: records the security server. A "file:" URL, a plain
// path or an "http:" URL becomes the policy source; an empty address drops
// it. Nothing is read until a cache is loaded. Any other scheme is refused,
// so that a client never takes another policy for the one it named.
extern "C" long __stdcall SetSecurityServer(const wchar_t* reserved, const wchar_t* url)
{
    try {
        std::wstring path;
        AddressKind kind = ClassifyAddress(url, path);
        // The log shows no user name or password that an address carries,
        // refused or not.
        LogCall([&] {
            bool file = kind == AddressKind::File || kind == AddressKind::None;
            std::wstring shown = file ? L"" : standin::AddressForMessages(url);
            return CallLine("SetSecurityServer").Text(reserved).Text(file ? url : shown.c_str());
        });
        if (kind == AddressKind::Invalid) return E_INVALIDARG;
        if (kind == AddressKind::Unsupported) return standin::kUnsupportedAddress;
        if (kind == AddressKind::PlainHttpRefused) return standin::kPlainHttpRefused;
        Shared& s = State();
        std::lock_guard<std::mutex> guard(s.lock);
        s.hasServer = url != nullptr;
        s.server = url ? url : L"";
        if (kind == AddressKind::File || kind == AddressKind::Http) {
            s.chosen =
                kind == AddressKind::File ? ChosenSource::ServerFile : ChosenSource::ServerHttp;
            s.serverPath = path;
        } else if (s.chosen != ChosenSource::Text) {
            s.chosen = ChosenSource::None;
        }
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

void KivTest_Reset()
{
    Shared& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    g_recordCalls = false;
    s.calls.clear();
    s.forced.clear();
    g_anyForced = false;
    s.throwing.clear();
    g_anyThrowing = false;
    s.refreshFlagCleared = s.nullRoleList = s.roleInfoWithoutRecord = s.appCacheWithoutObject =
        false;
    s.forcedVariants.clear();
    s.forcedIds.clear();
    VariantClear(s.lastErrors.get());
    s.httpTimeout = 0;
    s.hasServer = false;
    s.server.clear();
    s.chosen = ChosenSource::None;
    s.policyText.clear();
    s.serverPath.clear();
    s.machinePolicy = false;
}

HRESULT KivTest_LoadPolicyText(const char* text)
{
    if (!text) return E_INVALIDARG;
    try {
        std::string error;
        if (!Policy::Parse(text, error)) return E_INVALIDARG;
        Shared& s = State();
        std::lock_guard<std::mutex> guard(s.lock);
        s.policyText = text;
        s.chosen = ChosenSource::Text;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

void KivTest_UseMachinePolicy(BOOL use)
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().machinePolicy = use != FALSE;
}

void KivTest_Force(const char* operation, long result)
{
    if (!operation) return;
    std::lock_guard<std::mutex> guard(State().lock);
    State().forced[operation] = result;
    g_anyForced = true;
}

void KivTest_ThrowFrom(const char* operation)
{
    std::lock_guard<std::mutex> guard(State().lock);
    if (operation)
        State().throwing.insert(operation);
    else
        State().throwing.clear();
    g_anyThrowing = !State().throwing.empty();
}

void KivTest_Unforce(const char* operation)
{
    if (!operation) return;
    std::lock_guard<std::mutex> guard(State().lock);
    State().forced.erase(operation);
    g_anyForced = !State().forced.empty();
}

void KivTest_SetRefreshFlagCleared(BOOL cleared)
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().refreshFlagCleared = cleared != FALSE;
}

void KivTest_SetNullRoleList(BOOL nullList)
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().nullRoleList = nullList != FALSE;
}

void KivTest_SetRoleInfoWithoutRecord(BOOL withoutRecord)
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().roleInfoWithoutRecord = withoutRecord != FALSE;
}

void KivTest_SetAppCacheWithoutObject(BOOL withoutObject)
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().appCacheWithoutObject = withoutObject != FALSE;
}

void KivTest_ForceVariant(const char* operation, const VARIANT* answer)
{
    if (!operation) return;
    Shared& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!answer) {
        s.forcedVariants.erase(operation);
        return;
    }
    s.forcedVariants[operation].Assign(answer);
}

void KivTest_ForceSecurityId(const wchar_t* applName, long result, const wchar_t* id)
{
    Shared& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!applName) {
        s.forcedIds.clear();
        return;
    }
    s.forcedIds[applName] = ForcedId{result, id != nullptr, id ? id : L""};
}

void KivTest_SetLastErrors(const VARIANT* errors)
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().lastErrors.Assign(errors);
}

int KivTest_CallCount()
{
    std::lock_guard<std::mutex> guard(State().lock);
    return static_cast<int>(State().calls.size());
}

int KivTest_GetCall(int index, char* buffer, int size)
{
    Shared& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (index < 0 || static_cast<size_t>(index) >= s.calls.size()) return -1;
    return CopyOut(s.calls[static_cast<size_t>(index)], buffer, size);
}

void KivTest_RecordCalls(BOOL record)
{
    g_recordCalls = record != FALSE;
}

void KivTest_ClearCalls()
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().calls.clear();
}

int KivTest_HttpTimeout()
{
    std::lock_guard<std::mutex> guard(State().lock);
    return State().httpTimeout;
}

int KivTest_SecurityServer(wchar_t* buffer, int size)
{
    Shared& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.hasServer) return -1;
    return CopyOut(s.server, buffer, size);
}
