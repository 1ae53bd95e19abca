// The part of the application framework that the module uses.
#pragma once

#include <windows.h>

class CWinApp {
public:
    explicit CWinApp(const wchar_t* appName = nullptr) noexcept;
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    virtual BOOL InitInstance();
    virtual int ExitInstance();

    HINSTANCE m_hInstance = nullptr;
    const wchar_t* m_pszAppName = nullptr;
};

// The one application object of the module, or null.
CWinApp* AfxGetApp() noexcept;

struct AFX_MODULE_STATE;
AFX_MODULE_STATE* AfxGetStaticModuleState() noexcept;

// Makes a module's framework state current for a scope. With the framework
// linked into the module there is only one state: nothing to switch.
class AfxModuleStateScope {
public:
    explicit AfxModuleStateScope(AFX_MODULE_STATE*) noexcept {}
    AfxModuleStateScope(const AfxModuleStateScope&) = delete;
    AfxModuleStateScope& operator=(const AfxModuleStateScope&) = delete;
};
#define AFX_MANAGE_STATE(state) AfxModuleStateScope afxModuleStateScope_(state)

// The framework's own unload test: no framework objects are ever in use.
BOOL AfxDllCanUnloadNow() noexcept;
