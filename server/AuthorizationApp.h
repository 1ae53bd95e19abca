// The application object: starts and stops the component module with the library.
#pragma once

#include "AppFramework.h"

class CAuthorizationApp : public CWinApp {
public:
    BOOL InitInstance() override;
    int ExitInstance() override;
};
