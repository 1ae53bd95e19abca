#include "ApartmentHome.h"

#include "ComModule.h"

#include <objbase.h>

namespace {

// Messages of the home window: run the work that the parameter owns, and go.
constexpr UINT kRunWork = WM_APP + 1;
constexpr UINT kClose = WM_APP + 2;

// The window is a message-only static control with this procedure in its
// class's place: a system class needs no registration of ours, and so
// nothing to unregister when the DLL goes.
WNDPROC StaticProcedure() noexcept
{
    static const WNDPROC procedure = [] {
        WNDCLASSEXW found = {};
        found.cbSize = sizeof found;
        return GetClassInfoExW(nullptr, L"STATIC", &found) ? found.lpfnWndProc : &DefWindowProcW;
    }();
    return procedure;
}

LRESULT CALLBACK HomeProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case kRunWork: {
        // The poster handed the work over with the message.
        // NOLINTNEXTLINE(performance-no-int-to-ptr)
        auto* handed = reinterpret_cast<std::function<void()>*>(lParam);
        std::unique_ptr<std::function<void()>> work(handed);
        try {
            (*work)();
        } catch (...) {
            // Nothing may leave a window procedure.
        }
        return 0;
    }
    case kClose: DestroyWindow(window); return 0;
    case WM_NCDESTROY:
        // The window no longer needs this DLL's code.
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(StaticProcedure()));
        g_module.Unlock();
        break;
    default: break;
    }
    return CallWindowProcW(StaticProcedure(), window, message, wParam, lParam);
}

bool InSingleThreadedApartment() noexcept
{
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) &&
           (type == APTTYPE_STA || type == APTTYPE_MAINSTA);
}

}  // namespace

std::shared_ptr<ApartmentHome> ApartmentHome::OfThisThread()
{
    HWND window = nullptr;
    if (InSingleThreadedApartment()) {
        window = CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 nullptr, nullptr);
    }
    if (window) {
        // Until the window is gone its procedure is code of this DLL.
        g_module.Lock();
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&HomeProcedure));
    }
    std::shared_ptr<ApartmentHome> home(new ApartmentHome(window, GetCurrentThreadId()));
    return home;
}

ApartmentHome::~ApartmentHome()
{
    if (!m_window) return;
    if (IsCurrentThread())
        DestroyWindow(m_window);
    else
        PostMessageW(m_window, kClose, 0, 0);
}

void ApartmentHome::Run(std::function<void()> work) noexcept
{
    if (m_window && !IsCurrentThread() && Post(work)) return;
    try {
        if (work) work();
    } catch (...) {
        // The work's own affair: it was handed over, and is done with.
    }
}

bool ApartmentHome::Post(std::function<void()>& work) noexcept
{
    std::function<void()>* posted = nullptr;
    try {
        posted = new std::function<void()>(std::move(work));
    } catch (...) {
        return false;
    }
    // NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks): the window's thread owns it now
    if (PostMessageW(m_window, kRunWork, 0, reinterpret_cast<LPARAM>(posted))) return true;
    // NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)
    work = std::move(*posted);
    delete posted;
    return false;
}
