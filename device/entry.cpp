// The program's entry point on the device. The platform's loader calls it with the WinMain
// arguments (the command line without the program's name); the process ends with WinMain's
// result as its exit code. Nothing of a C run-time's start-up is needed: the product has no static
// constructors (the conversion to the device file refuses an image that has any) and its static
// data is initialised by the loader's mapping of the file.
#include <windows.h>

extern "C" void WinMainCRTStartup(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine,
                                  int nCmdShow) {
    ExitThread((DWORD)WinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow));
}

// GCC's ARM division helpers (libgcc, linked for 64-bit division) call these on a division by
// zero; Linux's would raise a signal, which the platform does not have. The program never divides
// by zero: should it, the quotient is 0, as the platform's own run-time makes it.
extern "C" int __aeabi_idiv0(int) {
    return 0;
}
extern "C" long long __aeabi_ldiv0(long long) {
    return 0;
}
