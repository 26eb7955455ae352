#include "../rtc/rtc.h"
#include "app.h"

static const WCHAR kConfigKey[] = APP_CONFIG_KEY;

void ReadRtcConfig(DWORD* protocolOut, DWORD* slaveAddrOut) {
    *protocolOut = 1;
    *slaveAddrOut = 0;

    HKEY key = 0;
    // A missing key leaves the queries failing and the defaults in place.
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, KEY_ALL_ACCESS, &key);

    DWORD size = sizeof(DWORD);
    RegQueryValueExW(key, TEXT("Protocol"), 0, 0, (LPBYTE)protocolOut, &size);

    if (*protocolOut >= RTC_PROTOCOL_COUNT) {
        *slaveAddrOut = 0;
        NKDbgPrintfW(TEXT("Invalid RTC Protocol in Registry: %d"), *protocolOut);
    } else {
        *slaveAddrOut = g_rtcProtocols[*protocolOut].defaultSlaveAddr;
    }

    size = sizeof(DWORD);
    RegQueryValueExW(key, TEXT("SlaveAddr"), 0, 0, (LPBYTE)slaveAddrOut, &size);

    RegCloseKey(key);
}

void ReadTimeOptions(AppOptions* out) {
    out->precise = 0;
    out->driftCorrection = 0;
    HKEY key = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, 0, &key) != ERROR_SUCCESS) return;
    DWORD size = sizeof(DWORD);
    if (RegQueryValueExW(key, TEXT("Precise"), 0, 0, (LPBYTE)&out->precise, &size) != ERROR_SUCCESS)
        out->precise = 0;
    size = sizeof(DWORD);
    if (RegQueryValueExW(key, TEXT("DriftCorrection"), 0, 0, (LPBYTE)&out->driftCorrection, &size) !=
        ERROR_SUCCESS)
        out->driftCorrection = 0;
    RegCloseKey(key);
}
