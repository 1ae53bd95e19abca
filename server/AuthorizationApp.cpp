#include "AuthorizationApp.h"

#include "Authorization.h"
#include "ComModule.h"
#include "TypeInfoDispatch.h"

CAuthorizationApp theApp;

BOOL CAuthorizationApp::InitInstance()
{
    _Module.Init(g_classTable, m_hInstance, &LIBID_AUTHORIZATIONLib);
    return CWinApp::InitInstance();
}

int CAuthorizationApp::ExitInstance()
{
    _Module.Term();
    ReleaseModuleTypeInfo();
    return CWinApp::ExitInstance();
}
