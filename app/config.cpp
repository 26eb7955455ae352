#include "config.h"

#include "../i2c/i2c.h"
#include "../rtc/rtc.h"

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

// Many boards wire the RTC (or the PMIC with it) to the power-manager unit's bus. Without the value
// the program opens the standard unit, as it always did. Any other value is a slip: opening a bus
// it did not name could write the time into another chip at the same address, so none is opened.
DWORD ReadI2CUnit(void) {
    HKEY key = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kConfigKey, 0, 0, &key) != ERROR_SUCCESS) return I2C_UNIT_STANDARD;
    DWORD bus = APP_I2C_BUS_STANDARD;
    DWORD type = 0;
    DWORD size = sizeof(DWORD);
    LONG result = RegQueryValueExW(key, TEXT("I2CBus"), 0, &type, (LPBYTE)&bus, &size);
    RegCloseKey(key);
    if (result == ERROR_FILE_NOT_FOUND) return I2C_UNIT_STANDARD;
    if (result != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(DWORD)) {
        OutputDebugStringW(TEXT(
            "Tamblin: Invalid I2CBus in Registry: not a dword (0 standard unit, 1 power-manager unit)\r\n"));
        return 0;
    }
    if (bus == APP_I2C_BUS_STANDARD) return I2C_UNIT_STANDARD;
    if (bus == APP_I2C_BUS_PWRMGR) return I2C_UNIT_PWRMGR;
    NKDbgPrintfW(TEXT("Tamblin: Invalid I2CBus in Registry: %u (0 standard unit, 1 power-manager unit)\r\n"),
                 bus);
    return 0;
}
