#include "AppFramework.h"

namespace {
CWinApp* g_app = nullptr;
}

struct AFX_MODULE_STATE {};

CWinApp::CWinApp(const wchar_t* appName) noexcept : m_pszAppName(appName)
{
    g_app = this;
}

CWinApp::~CWinApp()
{
    if (g_app == this) g_app = nullptr;
}

BOOL CWinApp::InitInstance()
{
    return TRUE;
}

int CWinApp::ExitInstance()
{
    return 0;
}

CWinApp* AfxGetApp() noexcept
{
    return g_app;
}

AFX_MODULE_STATE* AfxGetStaticModuleState() noexcept
{
    static AFX_MODULE_STATE state;
    return &state;
}

BOOL AfxDllCanUnloadNow() noexcept
{
    return TRUE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    CWinApp* app = AfxGetApp();
    if (!app) return TRUE;
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(instance);
        app->m_hInstance = instance;
        if (!app->InitInstance()) {
            app->ExitInstance();
            return FALSE;
        }
        break;
    case DLL_PROCESS_DETACH: app->ExitInstance(); break;
    }
    return TRUE;
}
