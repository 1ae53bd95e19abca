#include "AppCache.h"

#include "KivAuthControl.h"

#include <new>

namespace kivauth {

namespace {

LONG g_liveAppCaches = 0;

class AppCache final : public IKivXml2 {
public:
    AppCache() noexcept { InterlockedIncrement(&g_liveAppCaches); }
    ~AppCache() { InterlockedDecrement(&g_liveAppCaches); }

    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (!IsEqualIID(riid, IID_IUnknown)) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override
    {
        return static_cast<ULONG>(InterlockedIncrement(&m_refs));
    }
    STDMETHOD_(ULONG, Release)() override
    {
        LONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0) delete this;
        return static_cast<ULONG>(refs);
    }

private:
    LONG m_refs = 1;
};

}  // namespace

IKivXml2* CreateAppCache() noexcept
{
    return new (std::nothrow) AppCache;
}

}  // namespace kivauth

int KivTest_LiveAppCaches()
{
    return static_cast<int>(InterlockedCompareExchange(&kivauth::g_liveAppCaches, 0, 0));
}
