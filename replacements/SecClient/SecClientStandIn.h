// The security-database client: IAuthSecClient for the authorization
// module, ISecClientControl (which IDispatch serves) for tests and scripts.
#pragma once

#include "AuthSecClientItf.h"
#include "SecClientItf.h"

#include "ComObject.h"
#include "Results.h"
#include "TypeInfoDispatch.h"

#include <functional>
#include <string>
#include <utility>

namespace secclient {
class PolicyDocument;
}

// The slots the module never calls belong to the client; it has no use for them.
#define SECCLIENT_RESERVED(n)         \
    STDMETHOD(Reserved##n)() override \
    {                                 \
        return E_NOTIMPL;             \
    }

class CSecClientStandIn : public ComObjectRoot,
                          public DispatchImpl<ISecClientControl>,
                          public IAuthSecClient,
                          public ISupportErrorInfo {
public:
    static const InterfaceEntry* Interfaces() noexcept;

    // One IDispatch for both interfaces: the control interface's.
    STDMETHOD(GetTypeInfoCount)(UINT* count) override;
    STDMETHOD(GetTypeInfo)(UINT index, LCID lcid, ITypeInfo** typeInfo) override;
    STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                             DISPID* dispids) override;
    STDMETHOD(Invoke)(DISPID dispid, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;

    // IAuthSecClient
    SECCLIENT_RESERVED(07)
    SECCLIENT_RESERVED(08)
    SECCLIENT_RESERVED(09)
    SECCLIENT_RESERVED(10)
    SECCLIENT_RESERVED(11)
    SECCLIENT_RESERVED(12)
    SECCLIENT_RESERVED(13)
    SECCLIENT_RESERVED(14)
    SECCLIENT_RESERVED(15)
    SECCLIENT_RESERVED(16)
    SECCLIENT_RESERVED(17)
    STDMETHOD(DeleteRoleByName)(BSTR name, LONG* result) override;
    STDMETHOD(DeleteRoleById)(BSTR prefixedId, LONG* result) override;
    SECCLIENT_RESERVED(20)
    SECCLIENT_RESERVED(21)
    SECCLIENT_RESERVED(22)
    SECCLIENT_RESERVED(23)
    SECCLIENT_RESERVED(24)
    SECCLIENT_RESERVED(25)
    SECCLIENT_RESERVED(26)
    SECCLIENT_RESERVED(27)
    STDMETHOD(AddRole)(BSTR name, BSTR description, BSTR* id) override;
    STDMETHOD(UpdateRole)(BSTR id, BSTR name, BSTR description, BSTR users, BSTR groups,
                          LONG reserved) override;

    // ISecClientControl
    STDMETHOD(get_PolicyFile)(BSTR* path) override;
    STDMETHOD(put_PolicyFile)(BSTR path) override;
    STDMETHOD(FailNext)(BSTR operation, LONG code) override;
    STDMETHOD(FailAlways)(BSTR operation, LONG code) override;
    STDMETHOD(ClearFailures)() override;
    STDMETHOD(get_LastCall)(BSTR* call) override;
    STDMETHOD(get_CallCount)(LONG* count) override;
    STDMETHOD(get_LastResult)(LONG* code) override;
    STDMETHOD(get_SecurityServer)(BSTR* url) override;
    STDMETHOD(put_SecurityServer)(BSTR url) override;

    // ISupportErrorInfo: both interfaces leave an error object on failure.
    STDMETHOD(InterfaceSupportsErrorInfo)(REFIID riid) override;

private:
    enum Operation { kAddRole, kUpdateRole, kDeleteRoleByName, kDeleteRoleById, kOperations };
    struct Failures {
        HRESULT next = S_OK;    // once, then back to normal
        HRESULT always = S_OK;  // until cleared
    };

    std::wstring PolicyPath() const;
    // Edits the policy where it is: on the server when one is set, else in the file.
    HRESULT EditPolicy(const std::function<HRESULT(secclient::PolicyDocument&)>& edit);
    HRESULT SetFailure(BSTR operation, LONG code, bool always) noexcept;
    // Records the call, then answers a failed precondition, an injected
    // failure, or the result of the work.
    HRESULT Perform(Operation operation, const std::wstring& call, HRESULT precondition,
                    const std::function<HRESULT()>& work) noexcept;
    // What every method answers: a failure leaves its error object, in the
    // words of m_reason when the failure gave any, else the system's text
    // for the code.
    HRESULT Answer(REFIID iid, HRESULT hr) noexcept;
    // The work behind the exception barrier, answered.
    template <class Work>
    HRESULT Answered(REFIID iid, Work&& work) noexcept
    {
        return Answer(iid, Barrier(E_OUTOFMEMORY, std::forward<Work>(work)));
    }

    std::wstring m_policyOverride;
    std::wstring m_server;  // an http: address, or empty
    Failures m_failures[kOperations];
    std::wstring m_lastCall;
    LONG m_callCount = 0;
    HRESULT m_lastResult = S_OK;
    std::wstring m_reason;  // of the failure being answered, if it has words
};
