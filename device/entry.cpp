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
