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

TAMBLIN_EXTERN_C_BEGIN

BOOL KernelIoControl(DWORD dwIoControlCode, LPVOID lpInBuf, DWORD nInBufSize, LPVOID lpOutBuf,
                     DWORD nOutBufSize, LPDWORD lpBytesReturned);
BOOL VirtualCopy(LPVOID lpvDest, LPVOID lpvSrc, DWORD cbSize, DWORD fdwProtect);
BOOL InterruptInitialize(DWORD idInt, HANDLE hEvent, LPVOID pvData, DWORD cbData);
void InterruptDone(DWORD idInt);
void InterruptDisable(DWORD idInt);

TAMBLIN_EXTERN_C_END
