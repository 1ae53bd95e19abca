// Entry point of the test programs.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

namespace {

// Under Wine an unhandled exception may otherwise end in a debugger that
// reports success: end the process with the exception code instead.
LONG WINAPI TerminateOnCrash(EXCEPTION_POINTERS* info)
{
    fprintf(stderr, "crash: exception 0x%08lx at %p\n", info->ExceptionRecord->ExceptionCode,
            info->ExceptionRecord->ExceptionAddress);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main(int argc, char** argv)
{
    SetUnhandledExceptionFilter(TerminateOnCrash);
    testing::InitGoogleTest(&argc, argv);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int result = RUN_ALL_TESTS();
    CoUninitialize();
    return result;
}
