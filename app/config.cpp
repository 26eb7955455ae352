#include "../rtc/rtc.h"
#include "app.h"

static const WCHAR kConfigKey[] = TEXT("SOFTWARE\\Vorlack\\Tamblin");

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
