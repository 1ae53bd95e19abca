#include "FakeAuditSupport.h"
#include "TestClassFactory.h"

#include <gtest/gtest.h>
#include <oleauto.h>

namespace {

FakeBehaviour g_behaviour;
std::vector<FakeCall> g_calls;
LONG g_live = 0;

Arg Text(BSTR text)
{
    if (!text) return std::nullopt;
    return std::wstring(text, SysStringLen(text));
}

Arg Number(long long value)
{
    return std::to_wstring(value);
}

void Record(const char* name, std::vector<Arg> args, std::vector<const wchar_t*> pointers = {})
{
    g_calls.push_back({name, std::move(args), std::move(pointers)});
}

// An operation the module never calls: fail loudly.
#define FAKE_RESERVED(n)                                \
    STDMETHOD(Reserved##n)() override                   \
    {                                                   \
        ADD_FAILURE() << "unexpected call of slot " #n; \
        Record("Reserved" #n, {});                      \
        return E_NOTIMPL;                               \
    }

template <class Itf>
class FakeObject : public Itf {
public:
    FakeObject(const IID& iid, const char* name) : m_iid(iid), m_name(name) { ++g_live; }
    virtual ~FakeObject() { --g_live; }

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, m_iid)) return E_NOINTERFACE;
        *ppv = static_cast<Itf*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++m_refs; }
    STDMETHOD_(ULONG, Release)() override
    {
        ULONG refs = --m_refs;
        if (refs == 0) {
            Record(m_name, {});
            delete this;
        }
        return refs;
    }

private:
    ULONG m_refs = 1;
    const IID& m_iid;
    const char* m_name;
};

class FakeEvent final : public FakeObject<IAuditEvent> {
public:
    FakeEvent() : FakeObject(IID_IAuditEvent, "ReleaseEvent") {}

    FAKE_RESERVED(03)
    FAKE_RESERVED(04)
    FAKE_RESERVED(05)
    FAKE_RESERVED(06)
    FAKE_RESERVED(07)
    FAKE_RESERVED(08)
    FAKE_RESERVED(09)
    FAKE_RESERVED(10)
    FAKE_RESERVED(11)
    FAKE_RESERVED(12)
    FAKE_RESERVED(13)
    FAKE_RESERVED(14)
    FAKE_RESERVED(15)
    FAKE_RESERVED(16)
    FAKE_RESERVED(17)
    FAKE_RESERVED(18)
    FAKE_RESERVED(19)
    FAKE_RESERVED(20)
    STDMETHOD(SetOptionalText1)(BSTR text) override
    {
        Record("SetOptionalText1", {Text(text)}, {text});
        return g_behaviour.setOptional;
    }
    FAKE_RESERVED(22)
    STDMETHOD(SetOptionalNumber)(LONG number) override
    {
        Record("SetOptionalNumber", {Number(number)});
        return g_behaviour.setOptional;
    }
    FAKE_RESERVED(24)
    STDMETHOD(SetOptionalText3)(BSTR text) override
    {
        Record("SetOptionalText3", {Text(text)}, {text});
        return g_behaviour.setOptional;
    }
    FAKE_RESERVED(26)
    STDMETHOD(SetOptionalText2)(BSTR text) override
    {
        Record("SetOptionalText2", {Text(text)}, {text});
        return g_behaviour.setOptional;
    }
    FAKE_RESERVED(28)
    FAKE_RESERVED(29)
    FAKE_RESERVED(30)
    FAKE_RESERVED(31)
    FAKE_RESERVED(32)
    FAKE_RESERVED(33)
    FAKE_RESERVED(34)
    FAKE_RESERVED(35)
    FAKE_RESERVED(36)
    FAKE_RESERVED(37)
    FAKE_RESERVED(38)
    FAKE_RESERVED(39)
    FAKE_RESERVED(40)
    FAKE_RESERVED(41)
    FAKE_RESERVED(42)
    FAKE_RESERVED(43)
    FAKE_RESERVED(44)
    FAKE_RESERVED(45)
    FAKE_RESERVED(46)
    FAKE_RESERVED(47)
    FAKE_RESERVED(48)
    STDMETHOD(AddParameter)(BSTR name, BSTR value, LONG first) override
    {
        Record("AddParameter", {Text(name), Text(value), Number(first)}, {name, value});
        return g_behaviour.addParameter;
    }
    STDMETHOD(SetSource)(BSTR reserved, BSTR account, BSTR modulePath, BSTR commandLine,
                         ULONG processId, ULONG threadId, BSTR computerName, BSTR address) override
    {
        Record("SetSource",
               {Text(reserved), Text(account), Text(modulePath), Text(commandLine),
                Number(processId), Number(threadId), Text(computerName), Text(address)});
        return g_behaviour.setSource;
    }
    STDMETHOD(Send)(VARIANT_BOOL request) override
    {
        Record("Send", {Number(request)});
        return g_behaviour.send;
    }
};

class FakeSupport final : public FakeObject<IAuditSupport> {
public:
    FakeSupport() : FakeObject(IID_IAuditSupport, "ReleaseSupport") {}

    FAKE_RESERVED(03)
    FAKE_RESERVED(04)
    FAKE_RESERVED(05)
    FAKE_RESERVED(06)
    FAKE_RESERVED(07)
    FAKE_RESERVED(08)
    FAKE_RESERVED(09)
    FAKE_RESERVED(10)
    STDMETHOD(CreateEvent)(BSTR operation, LONG code, LONG kind, BSTR message, BSTR extra,
                           IAuditEvent** event) override
    {
        Record("CreateEvent",
               {Text(operation), Number(code), Number(kind), Text(message), Text(extra)},
               {operation, message, extra});
        *event = nullptr;
        if (FAILED(g_behaviour.createEvent)) return g_behaviour.createEvent;
        *event = new FakeEvent;
        return S_OK;
    }
};

// A component that answers no IAuditSupport.
class RefusingObject final : public IUnknown {
public:
    RefusingObject() { ++g_live; }
    ~RefusingObject() { --g_live; }
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++m_refs; }
    STDMETHOD_(ULONG, Release)() override
    {
        ULONG refs = --m_refs;
        if (refs == 0) delete this;
        return refs;
    }

private:
    ULONG m_refs = 1;
};

// What the component's class object creates: each call recorded, answered as the test says.
HRESULT CreateFakeSupport(IUnknown* outer, REFIID riid, void** ppv)
{
    Record("CreateInstance", {});
    if (outer) return CLASS_E_NOAGGREGATION;
    if (FAILED(g_behaviour.createInstance)) return g_behaviour.createInstance;
    IUnknown* object = g_behaviour.refuseInterface ? static_cast<IUnknown*>(new RefusingObject)
                                                   : static_cast<IAuditSupport*>(new FakeSupport);
    HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

TestClassFactory g_factory(&CreateFakeSupport);

}  // namespace

FakeAuditRegistration::FakeAuditRegistration(const FakeBehaviour& behaviour)
{
    g_behaviour = behaviour;
    g_calls.clear();
    m_hr = CoRegisterClassObject(CLSID_KQSecSupport, &g_factory, CLSCTX_INPROC_SERVER,
                                 REGCLS_MULTIPLEUSE, &m_cookie);
}

FakeAuditRegistration::~FakeAuditRegistration()
{
    if (SUCCEEDED(m_hr)) CoRevokeClassObject(m_cookie);
}

const std::vector<FakeCall>& FakeAuditRegistration::Calls() const
{
    return g_calls;
}

std::vector<std::string> FakeAuditRegistration::CallNames() const
{
    std::vector<std::string> names;
    for (const FakeCall& call : g_calls) names.push_back(call.name);
    return names;
}

LONG FakeAuditRegistration::LiveObjects()
{
    return g_live;
}
