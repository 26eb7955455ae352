// The platform's core API (coredll) as this program uses it, declared for host builds.
// The product code includes this header exactly as it would include the platform SDK's; the
// definitions live in the host stand-in (sim/ceapi) and act on the virtual board.
//
// As in the platform's own headers the API has C linkage: the device's COREDLL exports these
// functions under their plain names, and so do the stand-in and the bare image's platform layer.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define TAMBLIN_EXTERN_C_BEGIN extern "C" {
#define TAMBLIN_EXTERN_C_END }
#else
#define TAMBLIN_EXTERN_C_BEGIN
#define TAMBLIN_EXTERN_C_END
#endif

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int BOOL;
typedef unsigned int UINT;
typedef uint32_t UINT32;

// The platform's compilers take C++98/03 with Microsoft extensions: their wide character is a
// 16-bit wchar_t, their literals L"...", their 64-bit integer __int64. The device's own build
// (UNDER_CE) and any compile in that language mode take those, and so does C with a 16-bit
// wchar_t (the OAL's C89 check); the host stand-in, written in today's C++ with a 32-bit wchar_t,
// keeps char16_t and u"..." for the same 16 bits, and the OAL's C compiled into it the same.
#if defined(UNDER_CE) || (defined(__cplusplus) && __cplusplus < 201103L) || \
    (!defined(__cplusplus) && __SIZEOF_WCHAR_T__ == 2)
#define TAMBLIN_PLATFORM_TYPES 1
#endif

#ifdef TAMBLIN_PLATFORM_TYPES
#if defined(__clang__) && !defined(TAMBLIN_NO_INT64_KEYWORD)
#if __is_identifier(__int64)
#define TAMBLIN_NO_INT64_KEYWORD 1  // no -fms-extensions: __int64 is no keyword here
#endif
#endif
#ifdef TAMBLIN_NO_INT64_KEYWORD
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
#else
typedef __int64 LONGLONG;
typedef unsigned __int64 ULONGLONG;
#endif
typedef wchar_t WCHAR;  // 16 bits: the platform's compilers, and ours with -fshort-wchar
#define TEXT(s) L##s
#define _T(s) L##s
// A build without -fshort-wchar would get 32-bit strings that no platform call can read.
typedef char TAMBLIN_WCHAR_IS_16_BITS[sizeof(wchar_t) == 2 ? 1 : -1];
#else
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
#ifdef __cplusplus
typedef char16_t WCHAR;  // the platform's 16-bit wide character
#else
typedef uint16_t WCHAR;  // the same for C, whose u"..." is an array of it
#endif
#define TEXT(s) u##s
#define _T(s) u##s
#endif
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE HINSTANCE;
typedef HANDLE HMODULE;
typedef HANDLE HLOCAL;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef DWORD REGSAM;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;

#define WINAPI
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

// Last-error codes.
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_INVALID_ADDRESS 487L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_DEVICE 1117L
#define ERROR_INVALID_COMPUTERNAME 1210L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_TIMEOUT 1460L

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef struct _TIME_ZONE_INFORMATION {
    LONG Bias;
    WCHAR StandardName[32];
    SYSTEMTIME StandardDate;
    LONG StandardBias;
    WCHAR DaylightName[32];
    SYSTEMTIME DaylightDate;
    LONG DaylightBias;
} TIME_ZONE_INFORMATION, *LPTIME_ZONE_INFORMATION;

#define TIME_ZONE_ID_UNKNOWN 0
#define TIME_ZONE_ID_STANDARD 1
#define TIME_ZONE_ID_DAYLIGHT 2
#define TIME_ZONE_ID_INVALID 0xFFFFFFFFu

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Registry.
#define HKEY_CLASSES_ROOT ((HKEY)(uintptr_t)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define HKEY_USERS ((HKEY)(uintptr_t)0x80000003u)
#define KEY_ALL_ACCESS 0x000F003Fu
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define REG_OPTION_NON_VOLATILE 0
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

TAMBLIN_EXTERN_C_BEGIN

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData);
LONG RegCloseKey(HKEY hKey);
LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition);
LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData);
// Writes what the registry holds in RAM to its persistent store: until then a power cut loses it.
LONG RegFlushKey(HKEY hKey);

// Time.
void GetSystemTime(LPSYSTEMTIME lpSystemTime);
BOOL SetSystemTime(const SYSTEMTIME* lpSystemTime);
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
DWORD GetTimeZoneInformation(LPTIME_ZONE_INFORMATION lpTimeZoneInformation);
// Tells the kernel whether daylight time is in effect; the platform returns nothing.
void SetDaylightTime(DWORD dst);
DWORD GetTickCount(void);

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER;
// The high-resolution counter (the OS timer) and its rate in counts per second.
BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);

// Synchronisation and handles.
#define EVENT_ALL_ACCESS 0x001F0003u
#define MUTANT_ALL_ACCESS 0x001F0001u
#define DUPLICATE_CLOSE_SOURCE 0x00000001u
#define DUPLICATE_SAME_ACCESS 0x00000002u

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
BOOL ReleaseMutex(HANDLE hMutex);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);
HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
// COREDLL has one export for the three event operations; SetEvent, ResetEvent and PulseEvent are
// the header's own inline functions over it, as in the platform's kfuncs.h.
#define EVENT_PULSE 1
#define EVENT_RESET 2
#define EVENT_SET 3
BOOL EventModify(HANDLE hEvent, DWORD func);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL CloseHandle(HANDLE hObject);
BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     HANDLE* lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions);
HANDLE GetCurrentProcess(void);
// The trust the image gives the process that called into the kernel or a driver: OEM_CERTIFY_TRUST
// (2, a module of the image's MODULES section or one the OEM's certification trusts fully),
// OEM_CERTIFY_RUN (1) or 0.
DWORD CeGetCallerTrust(void);
void Sleep(DWORD dwMilliseconds);
DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);

// Memory and process.
#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_DECOMMIT 0x00004000u
#define MEM_RELEASE 0x00008000u
#define PAGE_NOACCESS 0x01u
#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u
#define PAGE_NOCACHE 0x200u
#define PAGE_PHYSICAL 0x400u

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
HLOCAL LocalAlloc(UINT uFlags, UINT uBytes);
HLOCAL LocalFree(HLOCAL hMem);
LPVOID VirtualAlloc(LPVOID lpAddress, DWORD dwSize, DWORD flAllocationType, DWORD flProtect);
BOOL VirtualFree(LPVOID lpAddress, DWORD dwSize, DWORD dwFreeType);

// The calling thread ends; when it is the process's primary thread, the process ends with
// `dwExitCode` as its exit code.
void ExitThread(DWORD dwExitCode);

// Debug output.
void OutputDebugStringW(LPCWSTR lpOutputString);
void NKDbgPrintfW(LPCWSTR lpszFmt, ...);
void NKvDbgPrintfW(LPCWSTR lpszFmt, va_list lpParms);

// Program entry, as the platform's start-up code calls it.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);

TAMBLIN_EXTERN_C_END

#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define TAMBLIN_INLINE static inline
#else
#define TAMBLIN_INLINE static __inline__
#endif
TAMBLIN_INLINE BOOL SetEvent(HANDLE hEvent) {
    return EventModify(hEvent, EVENT_SET);
}
TAMBLIN_INLINE BOOL ResetEvent(HANDLE hEvent) {
    return EventModify(hEvent, EVENT_RESET);
}
TAMBLIN_INLINE BOOL PulseEvent(HANDLE hEvent) {
    return EventModify(hEvent, EVENT_PULSE);
}

// Wide-string routines of the platform's C run-time (16-bit characters). On the device they are
// COREDLL's C functions (UNDER_CE: compiled for the device, as the platform's build defines it).
// A host's own C library owns these C names for its 32-bit wchar_t, so host builds give the
// stand-in's 16-bit versions C++ linkage (and C code on the host has none).
#if defined(UNDER_CE) || defined(__cplusplus)
#ifdef UNDER_CE
TAMBLIN_EXTERN_C_BEGIN
#endif
size_t wcslen(const WCHAR* s);
int wcscmp(const WCHAR* a, const WCHAR* b);
int _wcsicmp(const WCHAR* a, const WCHAR* b);
WCHAR* _wcsupr(WCHAR* s);
WCHAR* _wcslwr(WCHAR* s);
#ifdef UNDER_CE
TAMBLIN_EXTERN_C_END
#endif
#endif
