#include "AppCache.h"

#include "ComObject.h"
#include "KivAuthControl.h"

namespace kivauth {

namespace {

LONG g_liveAppCaches = 0;

// Callers only ever ask it for IUnknown: its table names no other interface.
class AppCache : public IKivXml2, public ComObjectRoot {
public:
    static const InterfaceEntry* Interfaces() noexcept
    {
        static const InterfaceEntry table[] = {
            INTERFACE_ENTRY_IID(AppCache, IID_IUnknown, IKivXml2),
            INTERFACE_ENTRY_END,
        };
        return table;
    }

    AppCache() noexcept { InterlockedIncrement(&g_liveAppCaches); }
    ~AppCache() { InterlockedDecrement(&g_liveAppCaches); }
};

}  // namespace

IKivXml2* CreateAppCache() noexcept
{
    com_ptr<ComObject<AppCache>> cache;
    if (FAILED(ComObject<AppCache>::Create(cache))) return nullptr;
    return cache.detach();
}

}  // namespace kivauth

int KivTest_LiveAppCaches()
{
    return static_cast<int>(InterlockedCompareExchange(&kivauth::g_liveAppCaches, 0, 0));
}
