// The entry point of a DLL without the application framework (whose own
// DllMain starts the module from the application object): the module starts
// and stops with the DLL.
#include "ComModule.h"
#include "TypeInfoDispatch.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        g_module.Init(g_moduleDefinition, instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        g_module.Term();
        // At process exit other DLLs may be gone already: leave it to the system.
        if (!reserved) ReleaseModuleTypeInfo();
    }
    return TRUE;
}
