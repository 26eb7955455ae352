// Kernel and OEM-adaptation calls of the platform (privileged API), declared for host builds.
#pragma once

#include <windows.h>

#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define FILE_DEVICE_HAL 0x00000101u
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0

#define IOCTL_HAL_REQUEST_SYSINTR \
    CTL_CODE(FILE_DEVICE_HAL, 38, METHOD_BUFFERED, FILE_ANY_ACCESS)  // 0x01010098
#define IOCTL_HAL_RELEASE_SYSINTR \
    CTL_CODE(FILE_DEVICE_HAL, 54, METHOD_BUFFERED, FILE_ANY_ACCESS)  // 0x010100D8

#define SYSINTR_UNDEFINED 0xFFFFFFFFu

// Trust levels the image gives a module (OEMCertifyModule; MODULES of the image: full trust).
#define OEM_CERTIFY_FALSE 0
#define OEM_CERTIFY_RUN 1
#define OEM_CERTIFY_TRUST 2

TAMBLIN_EXTERN_C_BEGIN

BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                     DWORD nOutBufSize, LPDWORD lpBytesReturned);
BOOL VirtualCopy(LPVOID lpvDest, LPVOID lpvSrc, DWORD cbSize, DWORD fdwProtect);
BOOL InterruptInitialize(DWORD idInt, HANDLE hEvent, LPVOID pvData, DWORD cbData);
void InterruptDone(DWORD idInt);
void InterruptDisable(DWORD idInt);

// For kernel code and drivers serving another process: that process's handle, and `ptr` as the
// kernel reaches it when [ptr, ptr + dwLen) is memory of that process (null otherwise).
HANDLE GetCallerProcess(void);
LPVOID MapCallerPtr(LPVOID ptr, DWORD dwLen);
// The OAL's way to set the calling thread's last error.
void NKSetLastError(DWORD dwErr);

TAMBLIN_EXTERN_C_END
