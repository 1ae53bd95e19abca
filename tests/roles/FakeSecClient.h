// A fake security-database client: records every call with its arguments,
// answers as told, and counts its references.
#pragma once

#include "AuthSecClientItf.h"

#include <optional>
#include <string>
#include <vector>

class FakeSecClient : public IAuthSecClient {
public:
    using Text = std::optional<std::wstring>;  // nullopt: a null BSTR
    struct Call {
        std::string name;
        std::vector<Text> args;
    };

    std::vector<Call> calls;
    HRESULT deleteByName = S_OK, deleteById = S_OK, addRole = S_OK, updateRole = S_OK;
    // What AddRole leaves in its identifier slot (nullopt: leaves it as it was).
    Text assignedId;
    // Called after every successful change, to make it visible to the library.
    void (*onChange)(FakeSecClient&, const Call&) = nullptr;
    ULONG refs = 1;

    static Text T(const wchar_t* s) { return s ? Text(s) : Text(); }

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, IID_IAuthSecClient)) {
            *ppv = static_cast<IAuthSecClient*>(this);
            AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    // The thread that made the fake, and the calls that came from any other:
    // its operations, AddRef and Release.
    DWORD home = GetCurrentThreadId();
    LONG foreignCalls = 0;

    STDMETHOD_(ULONG, AddRef)() override
    {
        CountForeign();
        return ++refs;
    }
    STDMETHOD_(ULONG, Release)() override
    {
        CountForeign();
        return --refs;
    }
    STDMETHOD(GetTypeInfoCount)(UINT*) override { return E_NOTIMPL; }
    STDMETHOD(GetTypeInfo)(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHOD(GetIDsOfNames)(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHOD(Invoke)(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
#define FAKE_UNUSED(n)                    \
    STDMETHOD(Reserved##n)() override     \
    {                                     \
        return Unexpected("Reserved" #n); \
    }
    FAKE_UNUSED(07)
    FAKE_UNUSED(08)
    FAKE_UNUSED(09)
    FAKE_UNUSED(10)
    FAKE_UNUSED(11)
    FAKE_UNUSED(12)
    FAKE_UNUSED(13)
    FAKE_UNUSED(14)
    FAKE_UNUSED(15)
    FAKE_UNUSED(16)
    FAKE_UNUSED(17)
    FAKE_UNUSED(20)
    FAKE_UNUSED(21)
    FAKE_UNUSED(22)
    FAKE_UNUSED(23)
    FAKE_UNUSED(24)
    FAKE_UNUSED(25)
    FAKE_UNUSED(26)
    FAKE_UNUSED(27)
#undef FAKE_UNUSED

    STDMETHOD(DeleteRoleByName)(BSTR name, LONG* result) override
    {
        *result = 1;
        return Done({"DeleteRoleByName", {T(name)}}, deleteByName);
    }
    STDMETHOD(DeleteRoleById)(BSTR prefixedId, LONG* result) override
    {
        *result = 1;
        return Done({"DeleteRoleById", {T(prefixedId)}}, deleteById);
    }
    STDMETHOD(AddRole)(BSTR name, BSTR description, BSTR* id) override
    {
        Call call{"AddRole", {T(name), T(description), T(*id)}};
        if (SUCCEEDED(addRole) && assignedId) {
            // The caller frees whatever the slot holds afterwards.
            SysFreeString(*id);
            *id = SysAllocString(assignedId->c_str());
            call.args.push_back(assignedId);
        }
        return Done(call, addRole);
    }
    STDMETHOD(UpdateRole)(BSTR id, BSTR name, BSTR description, BSTR users, BSTR groups,
                          LONG reserved) override
    {
        return Done({"UpdateRole",
                     {T(id), T(name), T(description), T(users), T(groups),
                      Text(std::to_wstring(reserved))}},
                    updateRole);
    }

private:
    HRESULT Unexpected(const char* name)
    {
        calls.push_back({std::string("unexpected ") + name, {}});
        return E_UNEXPECTED;
    }
    void CountForeign()
    {
        if (GetCurrentThreadId() != home) InterlockedIncrement(&foreignCalls);
    }
    HRESULT Done(const Call& call, HRESULT result)
    {
        CountForeign();
        calls.push_back(call);
        if (SUCCEEDED(result) && onChange) onChange(*this, call);
        return result;
    }
};

// An object without the client interface.
class NotAClient : public IUnknown {
public:
    ULONG refs = 1;
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++refs; }
    STDMETHOD_(ULONG, Release)() override { return --refs; }
};
