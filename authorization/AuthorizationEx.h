// CAuthorizationEx: the forwarding authorization object (coclass
// AuthorizationEx). It holds no authorization state: on first use it creates
// an authorization object, wherever the runtime places it, and passes every
// call on to it, turning arrays of strings into arrays of VARIANTs.
#pragma once

#include "Authorization.h"
#include "AuthorizationMethods.h"
#include "ComObject.h"
#include "TypeInfoDispatch.h"

class CAuthorizationEx : public DispatchImpl<IIKIVAuthorization>,
                         public DispatchImpl<_IVokWebBpeSecurity>,
                         public ComObjectRoot {
public:
    CAuthorizationEx() = default;
    ~CAuthorizationEx();

    static const InterfaceEntry* Interfaces() noexcept;

    // IIKIVAuthorization
    IIKIVAUTHORIZATION_METHODS

    // _IVokWebBpeSecurity: acts on the library of this process, never on the inner object.
    STDMETHOD(SetSecServer)(BSTR Reserved, BSTR Url) override;

    // A counted reference to the inner object, created on first need.
    HRESULT GetInnerAuthorization(IIKIVAuthorization** inner) noexcept;

private:
    // Calls an operation of the inner object with one reference held for the call.
    template <class Call>
    HRESULT Forward(Call call) noexcept;
    // Forward for a check: a check that could not be asked, or that failed,
    // leaves "denied" in *Result, never an earlier or partly written grant.
    template <class Call>
    HRESULT ForwardCheck(VARIANT_BOOL* Result, Call call) noexcept;
    HRESULT SingleConversion(BSTR Domain, BSTR UserName, VARIANT* Roles) noexcept;
    // Whether a null out is refused (and the outs emptied) before the inner
    // call, or left for the inner object to answer.
    enum class NullOuts { Refused, PassedOn };
    template <class Call>
    HRESULT DoubleConversion(NullOuts nullOuts, VARIANT* names, VARIANT* ids, Call call) noexcept;

    com_ptr<IIKIVAuthorization> m_pInner;
};
