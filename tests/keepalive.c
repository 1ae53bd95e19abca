/* Sleeps until the Wine server is stopped: keeps the desktop and services up. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    Sleep(INFINITE);
    return 0;
}
