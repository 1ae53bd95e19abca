// The forwarding authorization object against a fake inner authorization
// class registered in this process: creation on first use, forwarding,
// conversions, reference counts and the interface table.
#include "Authorization.h"
#include "TestClassFactory.h"
#include "TestSupport.h"

#include <functional>
#include <iterator>
#include <ocidl.h>

namespace {

// A string array answer, VT_EMPTY, or a failure, as the fake inner object gives it.
enum class Answer { Strings, Empty, Failure };

const HRESULT kInnerFailure = HRESULT_FROM_WIN32(ERROR_BAD_NETPATH);

void FillAnswer(Answer answer, VARIANT* out, const wchar_t* first)
{
    VariantInit(out);
    if (answer != Answer::Strings) return;
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 2);
    LONG index = 0;
    BSTR text = SysAllocString(first);
    SafeArrayPutElement(array, &index, text);
    SysFreeString(text);
    index = 1;
    text = SysAllocString(L"second");
    SafeArrayPutElement(array, &index, text);
    SysFreeString(text);
    V_VT(out) = VT_ARRAY | VT_BSTR;
    V_ARRAY(out) = array;
}

// Records every call; answers as configured.
class FakeInner final : public IIKIVAuthorization {
public:
    static inline std::vector<std::string> calls;
    static inline Answer answer = Answer::Strings;
    static inline int alive = 0;
    static inline FakeInner* last = nullptr;

    FakeInner()
    {
        ++alive;
        last = this;
    }
    ~FakeInner()
    {
        --alive;
        if (last == this) last = nullptr;
    }

    ULONG refs = 0;

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) &&
            !IsEqualIID(riid, IID_IIKIVAuthorization))
            return E_NOINTERFACE;
        *ppv = static_cast<IIKIVAuthorization*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++refs; }
    STDMETHOD_(ULONG, Release)() override
    {
        ULONG r = --refs;
        if (r == 0) delete this;
        return r;
    }
    STDMETHOD(GetTypeInfoCount)(UINT*) override { return E_NOTIMPL; }
    STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHOD(Invoke)(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }

    HRESULT Record(const char* call)
    {
        calls.push_back(call);
        return S_OK;
    }
    // A grant, written also when the answer is a failure: the forwarder
    // must not hand on what a failed call left behind.
    HRESULT Grant(const char* call, VARIANT_BOOL* result)
    {
        calls.push_back(call);
        *result = VARIANT_TRUE;
        return answer == Answer::Failure ? kInnerFailure : S_OK;
    }
    HRESULT Arrays(const char* call, VARIANT* names, VARIANT* ids)
    {
        calls.push_back(call);
        if (answer == Answer::Failure) return kInnerFailure;
        FillAnswer(answer, names, L"names");
        FillAnswer(answer, ids, L"ids");
        return S_OK;
    }

    STDMETHOD(CheckAccessEx)(BSTR, BSTR, BSTR, LONG, VARIANT_BOOL* r) override
    {
        return Grant("CheckAccessEx", r);
    }
    STDMETHOD(InitCacheEx)(BSTR, BSTR) override { return Record("InitCacheEx"); }
    STDMETHOD(RefreshCache)() override { return Record("RefreshCache"), S_FALSE; }
    STDMETHOD(ClearCache)() override { return Record("ClearCache"); }
    STDMETHOD(CheckAccess)(BSTR, LONG, VARIANT_BOOL* r) override { return Grant("CheckAccess", r); }
    STDMETHOD(InitCache)() override { return Record("InitCache"); }
    STDMETHOD(get_Roles)(BSTR, BSTR, VARIANT* roles) override
    {
        calls.push_back("get_Roles");
        if (answer == Answer::Failure) return kInnerFailure;
        FillAnswer(answer, roles, L"roles");
        return S_OK;
    }
    STDMETHOD(GetAllRoles)(VARIANT* n, VARIANT* i) override { return Arrays("GetAllRoles", n, i); }
    STDMETHOD(GetUserRoles)(BSTR, BSTR, VARIANT* n, VARIANT* i) override
    {
        return Arrays("GetUserRoles", n, i);
    }
    STDMETHOD(GetSecureGroupMembers)(BSTR, BSTR, VARIANT* n, VARIANT* i) override
    {
        return Arrays("GetSecureGroupMembers", n, i);
    }
    STDMETHOD(GetSecurityId)(BSTR, BSTR, BSTR, BSTR* id) override
    {
        *id = SysAllocString(L"ID-1");
        return Record("GetSecurityId");
    }
    STDMETHOD(GetSecureGroups)(BSTR, VARIANT* n, VARIANT* i) override
    {
        return Arrays("GetSecureGroups", n, i);
    }
    STDMETHOD(GetLastErrors)(VARIANT* errors) override
    {
        VariantClear(errors);
        V_VT(errors) = VT_I4;
        V_I4(errors) = 77;
        return Record("GetLastErrors");
    }
    STDMETHOD(SetHTTPTimeout)(LONG) override { return Record("SetHTTPTimeout"); }
    STDMETHOD(CheckRoleAccess)(BSTR, BSTR, LONG, VARIANT_BOOL* r) override
    {
        if (answer == Answer::Failure) return Grant("CheckRoleAccess", r);
        *r = VARIANT_FALSE;
        return Record("CheckRoleAccess");
    }
    STDMETHOD(checkCache)(IUnknown**, BSTR*) override { return Record("checkCache"), E_FAIL; }
    STDMETHOD(get_RolesColl)(IKQSecRolesCollection**, BSTR*) override
    {
        return Record("get_RolesColl"), E_FAIL;
    }
    STDMETHOD(put_AuthSecClient)(IUnknown*) override { return Record("put_AuthSecClient"); }
    STDMETHOD(get_AuthSecClient)(IUnknown**) override
    {
        return Record("get_AuthSecClient"), E_FAIL;
    }
    STDMETHOD(get_RolesVar)(BSTR, BSTR, VARIANT*) override { return Record("get_RolesVar"); }
    STDMETHOD(GetAllRolesVar)(VARIANT*, VARIANT*) override { return Record("GetAllRolesVar"); }
    STDMETHOD(RefreshCacheEx)(LONG) override { return Record("RefreshCacheEx"); }
    STDMETHOD(get_RegAuthDefaultDomain)(BSTR* d) override
    {
        *d = nullptr;
        return Record("get_RegAuthDefaultDomain");
    }
};

// Stands in for the authorization class in this process; can refuse.
struct FakeInnerFactory {
    static inline HRESULT refusal = S_OK;
    static inline int created = 0;

    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
    {
        if (outer) return CLASS_E_NOAGGREGATION;
        if (FAILED(refusal)) return refusal;
        ++created;
        auto* inner = new FakeInner;
        inner->AddRef();
        HRESULT hr = inner->QueryInterface(riid, ppv);
        inner->Release();
        return hr;
    }
};

TestClassFactory g_factory(&FakeInnerFactory::CreateInstance);

class ForwardingTest : public LibraryTest {
protected:
    void SetUp() override
    {
        LibraryTest::SetUp();
        // Create the forwarder first: its own class comes from the module.
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_AuthorizationEx, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IIKIVAuthorization, ex.put_void()));
        ASSERT_EQ(S_OK, CoRegisterClassObject(CLSID_IKIVAuthorization, &g_factory,
                                              CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie));
        FakeInner::calls.clear();
        FakeInner::answer = Answer::Strings;
        FakeInnerFactory::refusal = S_OK;
        FakeInnerFactory::created = 0;
        KivTest_ClearCalls();
    }
    void TearDown() override
    {
        ex.reset();
        EXPECT_EQ(0, FakeInner::alive);
        CoRevokeClassObject(cookie);
        LibraryTest::TearDown();
    }

    com_ptr<IIKIVAuthorization> ex;
    DWORD cookie = 0;
};

TEST_F(ForwardingTest, InterfaceTable)
{
    const std::pair<const IID*, HRESULT> cases[] = {
        {&IID_IUnknown, S_OK},
        {&IID_IIKIVAuthorization, S_OK},
        {&IID_IDispatch, S_OK},
        {&IID__IVokWebBpeSecurity, S_OK},
        {&IID_ISupportErrorInfo, E_NOINTERFACE},
        {&IID_IMarshal, E_NOINTERFACE},
        {&IID_IVokAuthorizationSvc, E_NOINTERFACE},
        {&IID_IProvideClassInfo, E_NOINTERFACE},
    };
    for (const auto& [iid, expected] : cases) {
        com_ptr<IUnknown> answer;
        EXPECT_EQ(expected, ex->QueryInterface(*iid, answer.put_void()));
    }
    EXPECT_EQ(0, FakeInnerFactory::created);
}

TEST_F(ForwardingTest, SetSecServerActsOnTheLibraryWithoutTheInnerObject)
{
    com_ptr<_IVokWebBpeSecurity> security;
    ASSERT_EQ(S_OK, ex.query(security));
    EXPECT_EQ(S_OK, security->SetSecServer(Bstr(L""), Bstr(L"file:plant.policy")));
    // A refusal of the library comes back as it is.
    EXPECT_EQ(E_INVALIDARG, security->SetSecServer(Bstr(L""), Bstr(L"file:")));
    EXPECT_EQ((std::vector<std::string>{"SetSecurityServer(\"\", \"file:plant.policy\")",
                                        "SetSecurityServer(\"\", \"file:\")"}),
              LibraryCalls());
    EXPECT_EQ(0, FakeInnerFactory::created);
    EXPECT_TRUE(FakeInner::calls.empty());
}

TEST_F(ForwardingTest, CreationFailureIsReturnedAndRetried)
{
    FakeInnerFactory::refusal = CLASS_E_CLASSNOTAVAILABLE;
    VARIANT_BOOL result;
    unique_variant roles;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, ex->CheckAccess(Bstr(L"CN=Doc"), 1, &result));
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, ex->get_Roles(Bstr(L"D"), Bstr(L"U"), &roles));
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, ex->RefreshCache());
    EXPECT_EQ(0, FakeInnerFactory::created);

    FakeInnerFactory::refusal = S_OK;
    EXPECT_EQ(S_OK, ex->CheckAccess(Bstr(L"CN=Doc"), 1, &result));
    EXPECT_EQ(VARIANT_TRUE, result);
    EXPECT_EQ(1, FakeInnerFactory::created);
}

// A caller that reads the answer without its HRESULT finds "denied" after
// every failure: not the grant its variable held before, nor the one a
// failing inner object wrote.
TEST_F(ForwardingTest, ChecksThatFailLeaveADenial)
{
    const std::function<HRESULT(VARIANT_BOOL*)> checks[] = {
        [&](VARIANT_BOOL* r) { return ex->CheckAccess(Bstr(L"CN=Doc"), 1, r); },
        [&](VARIANT_BOOL* r) {
            return ex->CheckAccessEx(Bstr(L"D"), Bstr(L"U"), Bstr(L"CN=Doc"), 1, r);
        },
        [&](VARIANT_BOOL* r) { return ex->CheckRoleAccess(Bstr(L"R"), Bstr(L"CN=Doc"), 1, r); },
    };
    const struct {
        HRESULT refusal;
        Answer answer;
        HRESULT expected;
    } failures[] = {
        {CLASS_E_CLASSNOTAVAILABLE, Answer::Strings, CLASS_E_CLASSNOTAVAILABLE},
        {S_OK, Answer::Failure, kInnerFailure},
    };
    for (const auto& failure : failures) {
        FakeInnerFactory::refusal = failure.refusal;
        FakeInner::answer = failure.answer;
        for (size_t i = 0; i < std::size(checks); ++i) {
            SCOPED_TRACE(testing::Message()
                         << "check " << i << ", expected 0x" << std::hex << failure.expected);
            VARIANT_BOOL result = VARIANT_TRUE;
            EXPECT_EQ(failure.expected, checks[i](&result));
            EXPECT_EQ(VARIANT_FALSE, result);
        }
    }
}

TEST_F(ForwardingTest, InnerObjectIsCreatedOnceAndKeptWithOneReference)
{
    VARIANT_BOOL result;
    for (int i = 0; i < 10; ++i) EXPECT_EQ(S_OK, ex->CheckAccess(Bstr(L"CN=Doc"), 1, &result));
    EXPECT_EQ(1, FakeInnerFactory::created);
    EXPECT_EQ(10u, FakeInner::calls.size());
    EXPECT_EQ(1, FakeInner::alive);
    // Each call's own reference is given back: only the forwarder's stays.
    ASSERT_NE(nullptr, FakeInner::last);
    EXPECT_EQ(1u, FakeInner::last->refs);
    ex.reset();
    EXPECT_EQ(0, FakeInner::alive);  // released exactly once: no leak, no double release
}

TEST_F(ForwardingTest, PlainOperationsForwardUnchanged)
{
    VARIANT_BOOL result = 0;
    BSTR id = nullptr, domain = reinterpret_cast<BSTR>(1);
    unique_variant errors;
    EXPECT_EQ(S_OK, ex->CheckAccessEx(Bstr(L"D"), Bstr(L"U"), Bstr(L"CN=Doc"), 1, &result));
    EXPECT_EQ(S_OK, ex->InitCacheEx(Bstr(L"D"), Bstr(L"U")));
    EXPECT_EQ(S_FALSE, ex->RefreshCache());
    EXPECT_EQ(S_OK, ex->ClearCache());
    EXPECT_EQ(S_OK, ex->InitCache());
    EXPECT_EQ(S_OK, ex->GetSecurityId(Bstr(L"A"), Bstr(L"G"), Bstr(L"O"), &id));
    EXPECT_STREQ(L"ID-1", id);
    SysFreeString(id);
    EXPECT_EQ(S_OK, ex->GetLastErrors(&errors));
    EXPECT_EQ(VT_I4, V_VT(&errors));
    EXPECT_EQ(77, V_I4(&errors));
    EXPECT_EQ(S_OK, ex->SetHTTPTimeout(-5));
    EXPECT_EQ(S_OK, ex->CheckRoleAccess(Bstr(L"R"), Bstr(L"CN=Doc"), 1, &result));
    EXPECT_EQ(E_FAIL, ex->checkCache(nullptr, nullptr));
    EXPECT_EQ(E_FAIL, ex->get_RolesColl(nullptr, nullptr));
    EXPECT_EQ(S_OK, ex->put_AuthSecClient(nullptr));
    EXPECT_EQ(E_FAIL, ex->get_AuthSecClient(nullptr));
    EXPECT_EQ(S_OK, ex->RefreshCacheEx(2));
    EXPECT_EQ(S_OK, ex->get_RegAuthDefaultDomain(&domain));
    std::vector<std::string> expected = {
        "CheckAccessEx",     "InitCacheEx",    "RefreshCache",
        "ClearCache",        "InitCache",      "GetSecurityId",
        "GetLastErrors",     "SetHTTPTimeout", "CheckRoleAccess",
        "checkCache",        "get_RolesColl",  "put_AuthSecClient",
        "get_AuthSecClient", "RefreshCacheEx", "get_RegAuthDefaultDomain",
    };
    EXPECT_EQ(expected, FakeInner::calls);
    EXPECT_EQ(1, FakeInnerFactory::created);
}

// Texts of a converted VT_ARRAY|VT_VARIANT with lower bound 1.
std::vector<std::wstring> Texts(const VARIANT& v)
{
    std::vector<std::wstring> texts;
    if (V_VT(&v) != (VT_ARRAY | VT_VARIANT)) return {L"<not an array of VARIANTs>"};
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(V_ARRAY(&v), 1, &lower);
    SafeArrayGetUBound(V_ARRAY(&v), 1, &upper);
    if (lower != 1) return {L"<lower bound not 1>"};
    for (LONG i = lower; i <= upper; ++i) {
        VARIANT element;
        VariantInit(&element);
        SafeArrayGetElement(V_ARRAY(&v), &i, &element);
        texts.push_back(V_VT(&element) == VT_BSTR ? V_BSTR(&element) : L"<not text>");
        VariantClear(&element);
    }
    return texts;
}

TEST_F(ForwardingTest, ArrayResultsAreConverted)
{
    unique_variant roles, rolesVar, names, ids, userNames, userIds;
    EXPECT_EQ(S_OK, ex->get_Roles(Bstr(L"D"), Bstr(L"U"), &roles));
    EXPECT_EQ(S_OK, ex->get_RolesVar(Bstr(L"D"), Bstr(L"U"), &rolesVar));
    EXPECT_EQ(S_OK, ex->GetAllRolesVar(&names, &ids));
    EXPECT_EQ(S_OK, ex->GetUserRoles(Bstr(L"D"), Bstr(L"U"), &userNames, &userIds));
    const std::vector<std::wstring> rolesTexts = {L"roles", L"second"};
    EXPECT_EQ(rolesTexts, Texts(roles));
    EXPECT_EQ(rolesTexts, Texts(rolesVar));
    EXPECT_EQ((std::vector<std::wstring>{L"names", L"second"}), Texts(names));
    EXPECT_EQ((std::vector<std::wstring>{L"ids", L"second"}), Texts(ids));
    EXPECT_EQ((std::vector<std::wstring>{L"names", L"second"}), Texts(userNames));
    // The Var names reach the inner object's plain operations.
    std::vector<std::string> expected = {"get_Roles", "get_Roles", "GetAllRoles", "GetUserRoles"};
    EXPECT_EQ(expected, FakeInner::calls);

    names.reset();
    ids.reset();
    EXPECT_EQ(S_OK, ex->GetSecureGroups(Bstr(L"A"), &names, &ids));
    EXPECT_EQ((std::vector<std::wstring>{L"ids", L"second"}), Texts(ids));
    names.reset();
    ids.reset();
    EXPECT_EQ(S_OK, ex->GetSecureGroupMembers(Bstr(L"A"), Bstr(L"G"), &names, &ids));
    EXPECT_EQ((std::vector<std::wstring>{L"names", L"second"}), Texts(names));
}

TEST_F(ForwardingTest, EmptyAnswersPassAsEmpty)
{
    FakeInner::answer = Answer::Empty;
    unique_variant roles, names, ids;
    EXPECT_EQ(S_OK, ex->get_RolesVar(Bstr(L"D"), Bstr(L"U"), &roles));
    EXPECT_EQ(VT_EMPTY, V_VT(&roles));
    EXPECT_EQ(S_OK, ex->GetAllRoles(&names, &ids));
    EXPECT_EQ(VT_EMPTY, V_VT(&names));
    EXPECT_EQ(VT_EMPTY, V_VT(&ids));
}

TEST_F(ForwardingTest, NullOutParameters)
{
    unique_variant names, ids;
    // Guarded: nothing happens, not even the creation of the inner object.
    EXPECT_EQ(E_INVALIDARG, ex->GetAllRoles(&names, nullptr));
    EXPECT_EQ(E_INVALIDARG, ex->GetAllRolesVar(nullptr, &ids));
    EXPECT_EQ(E_INVALIDARG, ex->GetUserRoles(Bstr(L"D"), Bstr(L"U"), nullptr, &ids));
    EXPECT_EQ(0, FakeInnerFactory::created);
    EXPECT_TRUE(FakeInner::calls.empty());

    // Unguarded: the inner object is called and the names are converted first.
    EXPECT_EQ(E_INVALIDARG, ex->GetSecureGroupMembers(Bstr(L"A"), Bstr(L"G"), &names, nullptr));
    EXPECT_EQ((std::vector<std::wstring>{L"names", L"second"}), Texts(names));
    EXPECT_EQ(std::vector<std::string>{"GetSecureGroupMembers"}, FakeInner::calls);
    EXPECT_EQ(E_INVALIDARG, ex->GetSecureGroups(Bstr(L"A"), nullptr, &ids));
    // The single conversion finds a null destination after the inner call.
    EXPECT_EQ(E_INVALIDARG, ex->get_Roles(Bstr(L"D"), Bstr(L"U"), nullptr));
    EXPECT_EQ(3u, FakeInner::calls.size());
}

TEST_F(ForwardingTest, InnerFailuresSkipTheConversions)
{
    FakeInner::answer = Answer::Failure;
    unique_variant roles, names, ids;
    V_VT(&roles) = VT_I4;
    V_VT(&names) = VT_I4;
    V_VT(&ids) = VT_I4;
    EXPECT_EQ(kInnerFailure, ex->get_Roles(Bstr(L"D"), Bstr(L"U"), &roles));
    EXPECT_EQ(VT_I4, V_VT(&roles));  // untouched
    EXPECT_EQ(kInnerFailure, ex->GetAllRoles(&names, &ids));
    EXPECT_EQ(VT_EMPTY, V_VT(&names));  // initialised before the call
    EXPECT_EQ(VT_EMPTY, V_VT(&ids));
}

TEST_F(ForwardingTest, InnerFailuresLeaveEachQuerysOutsAsItsGuardSetThem)
{
    FakeInner::answer = Answer::Failure;
    // Guarded queries empty both outs before the call; the others touch nothing.
    struct Case {
        const char* name;
        std::function<HRESULT(IIKIVAuthorization*, VARIANT*, VARIANT*)> call;
        VARTYPE first, second;
    };
    const Case cases[] = {
        {"get_Roles",
         [](IIKIVAuthorization* a, VARIANT* r, VARIANT*) {
             return a->get_Roles(Bstr(L"D"), Bstr(L"U"), r);
         },
         VT_I4, VT_I4},
        {"get_RolesVar",
         [](IIKIVAuthorization* a, VARIANT* r, VARIANT*) {
             return a->get_RolesVar(Bstr(L"D"), Bstr(L"U"), r);
         },
         VT_I4, VT_I4},
        {"GetAllRoles",
         [](IIKIVAuthorization* a, VARIANT* n, VARIANT* i) { return a->GetAllRoles(n, i); },
         VT_EMPTY, VT_EMPTY},
        {"GetAllRolesVar",
         [](IIKIVAuthorization* a, VARIANT* n, VARIANT* i) { return a->GetAllRolesVar(n, i); },
         VT_EMPTY, VT_EMPTY},
        {"GetUserRoles",
         [](IIKIVAuthorization* a, VARIANT* n, VARIANT* i) {
             return a->GetUserRoles(Bstr(L"D"), Bstr(L"U"), n, i);
         },
         VT_EMPTY, VT_EMPTY},
        {"GetSecureGroups",
         [](IIKIVAuthorization* a, VARIANT* n, VARIANT* i) {
             return a->GetSecureGroups(Bstr(L"A"), n, i);
         },
         VT_I4, VT_I4},
        {"GetSecureGroupMembers",
         [](IIKIVAuthorization* a, VARIANT* n, VARIANT* i) {
             return a->GetSecureGroupMembers(Bstr(L"A"), Bstr(L"G"), n, i);
         },
         VT_I4, VT_I4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VARIANT first, second;
        V_VT(&first) = VT_I4;
        V_I4(&first) = 1;
        V_VT(&second) = VT_I4;
        V_I4(&second) = 2;
        EXPECT_EQ(kInnerFailure, c.call(ex.get(), &first, &second));
        EXPECT_EQ(c.first, V_VT(&first));
        EXPECT_EQ(c.second, V_VT(&second));
    }
}

TEST_F(ForwardingTest, AggregatedForwarderCreatesAPlainInnerObject)
{
    com_ptr<IClassFactory> factory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_AuthorizationEx, CLSCTX_INPROC_SERVER, nullptr,
                                     IID_IClassFactory, factory.put_void()));
    Outer outer;
    com_ptr<IUnknown> innerUnknown;
    ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, innerUnknown.put_void()));
    outer.inner = innerUnknown.get();
    com_ptr<IIKIVAuthorization> aggregated;
    ASSERT_EQ(S_OK, outer.QueryInterface(IID_IIKIVAuthorization, aggregated.put_void()));
    VARIANT_BOOL result;
    EXPECT_EQ(S_OK, aggregated->CheckAccess(Bstr(L"CN=Doc"), 1, &result));
    EXPECT_EQ(1, FakeInnerFactory::created);
    aggregated.reset();
    innerUnknown.reset();
    EXPECT_EQ(0, FakeInner::alive);
    EXPECT_EQ(1u, outer.refs);
}

}  // namespace
