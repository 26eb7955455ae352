// What Tamblin.exe imports from COREDLL.dll, by name: exactly the platform API that the product
// calls, and the C run-time routines that COREDLL also exports (the compiler's own memcpy and
// memset calls among them). One list for the three that must agree: the file's import stubs
// (device/import_stubs.S), the loader's bindings and calling-convention shims (sim/peload), and
// the structural check of the file (tests/device/check_pe.py).
//
// Each row: the export's name and the number of 32-bit words of its arguments.
//   COREDLL_IMPORT           a platform call with C linkage everywhere
//   COREDLL_CRT_IMPORT       a C run-time routine on 16-bit characters: a host's own C library owns
//                            the name, so the stand-ins answer it under tamblin_crt_<name>
//   COREDLL_VARIADIC_IMPORT  a variadic call, with its fixed words and the platform's va_list form
COREDLL_IMPORT(CeClearUserNotification, 1)
COREDLL_IMPORT(CeGetUserNotification, 4)
COREDLL_IMPORT(CeGetUserNotificationHandles, 3)
COREDLL_IMPORT(CeRunAppAtTime, 2)
COREDLL_IMPORT(CeSetUserNotificationEx, 3)
COREDLL_IMPORT(CloseHandle, 1)
COREDLL_IMPORT(CreateEventW, 4)
COREDLL_IMPORT(CreateMutexW, 3)
COREDLL_IMPORT(DuplicateHandle, 7)
COREDLL_IMPORT(EventModify, 2)
COREDLL_IMPORT(ExitThread, 1)
COREDLL_IMPORT(FileTimeToSystemTime, 2)
COREDLL_IMPORT(GetLastError, 0)
COREDLL_IMPORT(GetModuleFileNameW, 3)
COREDLL_IMPORT(GetSystemTime, 1)
COREDLL_IMPORT(GetTickCount, 0)
COREDLL_IMPORT(GetTimeZoneInformation, 1)
COREDLL_IMPORT(InterruptDisable, 1)
COREDLL_IMPORT(InterruptDone, 1)
COREDLL_IMPORT(InterruptInitialize, 4)
COREDLL_IMPORT(KernelIoControl, 6)
COREDLL_IMPORT(LocalAlloc, 2)
COREDLL_IMPORT(LocalFree, 1)
COREDLL_VARIADIC_IMPORT(NKDbgPrintfW, 1, NKvDbgPrintfW)
COREDLL_IMPORT(OpenEventW, 3)
COREDLL_IMPORT(OutputDebugStringW, 1)
COREDLL_IMPORT(RegCloseKey, 1)
COREDLL_IMPORT(RegOpenKeyExW, 5)
COREDLL_IMPORT(RegQueryValueExW, 6)
COREDLL_IMPORT(ReleaseMutex, 1)
COREDLL_IMPORT(SetDaylightTime, 1)
COREDLL_IMPORT(SetLastError, 1)
COREDLL_IMPORT(SetSystemTime, 1)
COREDLL_IMPORT(Sleep, 1)
COREDLL_IMPORT(SystemTimeToFileTime, 2)
COREDLL_IMPORT(VirtualAlloc, 4)
COREDLL_IMPORT(VirtualCopy, 4)
COREDLL_IMPORT(VirtualFree, 3)
COREDLL_IMPORT(WaitForSingleObject, 2)
COREDLL_CRT_IMPORT(_wcsicmp, 2)
COREDLL_CRT_IMPORT(_wcsupr, 1)
COREDLL_IMPORT(memcpy, 3)
COREDLL_IMPORT(memset, 3)
COREDLL_CRT_IMPORT(wcscmp, 2)
