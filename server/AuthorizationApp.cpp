#include "AuthorizationApp.h"

#include "ComModule.h"
#include "TypeInfoDispatch.h"

CAuthorizationApp theApp;

BOOL CAuthorizationApp::InitInstance()
{
    g_module.Init(g_moduleDefinition, m_hInstance);
    return CWinApp::InitInstance();
}

int CAuthorizationApp::ExitInstance()
{
    g_module.Term();
    ReleaseModuleTypeInfo();
    return CWinApp::ExitInstance();
}
