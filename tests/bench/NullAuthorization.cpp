// BenchNull.dll: an object with the checks' signatures that does nothing,
// served by the module's own type-library dispatch (DispatchImpl). Its cost
// is the floor that any late-bound call of the module pays. And a clock
// precise enough for a script to time a round.
#include "NullAuthorizationItf.h"

#include "ComModule.h"
#include "ComObject.h"
#include "Resource.h"
#include "TypeInfoDispatch.h"

#include <windows.h>
#include <objbase.h>

// An object of one dual interface, which its IDispatch serves.
template <class Derived, class Itf>
class DualObject : public ComObjectRoot, public DispatchImpl<Itf> {
public:
    static const InterfaceEntry* Interfaces() noexcept
    {
        static const InterfaceEntry table[] = {
            INTERFACE_ENTRY(Derived, Itf),
            INTERFACE_ENTRY_IID(Derived, IID_IDispatch, Itf),
            INTERFACE_ENTRY_END,
        };
        return table;
    }
};

class CNullAuthorization : public DualObject<CNullAuthorization, INullAuthorization> {
public:
    // Answers as a grant would, so that a script sees the same values.
    STDMETHOD(CheckAccessEx)(BSTR, BSTR, BSTR, LONG, VARIANT_BOOL* result) override
    {
        if (!result) return E_INVALIDARG;
        *result = VARIANT_TRUE;
        return S_OK;
    }
    STDMETHOD(CheckAccess)(BSTR, LONG, VARIANT_BOOL* result) override
    {
        if (!result) return E_INVALIDARG;
        *result = VARIANT_TRUE;
        return S_OK;
    }
    STDMETHOD(CheckRoleAccess)(BSTR, BSTR, LONG, VARIANT_BOOL* result) override
    {
        if (!result) return E_INVALIDARG;
        *result = VARIANT_TRUE;
        return S_OK;
    }
};

class CBenchClock : public DualObject<CBenchClock, IBenchClock> {
public:
    STDMETHOD(get_Seconds)(double* value) override
    {
        if (!value) return E_POINTER;
        LARGE_INTEGER frequency, counter;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&counter);
        *value = static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
        return S_OK;
    }
};

namespace {

ClassEntry g_classTable[] = {
    {&CLSID_NullAuthorization, CreateComInstance<CNullAuthorization>, nullptr,
     IDR_NULLAUTHORIZATION},
    {&CLSID_BenchClock, CreateComInstance<CBenchClock>, nullptr, IDR_BENCHCLOCK},
    {nullptr, nullptr, nullptr, 0},
};

}  // namespace

const ComModuleDefinition g_moduleDefinition = {g_classTable, &LIBID_BenchNullLib, nullptr};
