// The program's configuration in the registry, under HKEY_LOCAL_MACHINE\SOFTWARE\Vorlack\Tamblin:
// the chip's protocol and address, the I2C unit it is wired to, and the timekeeping options.
#pragma once

#include <windows.h>

#define APP_CONFIG_KEY TEXT("SOFTWARE\\Vorlack\\Tamblin")  // under HKEY_LOCAL_MACHINE

// Protocol number and chip address.
void ReadRtcConfig(DWORD* protocolOut, DWORD* slaveAddrOut);
// The I2C unit the chip is wired to, from the value I2CBus: the standard unit without it (or 0),
// the power-manager unit for 1; 0 for any other value, which has been said in the debug log.
#define APP_I2C_BUS_STANDARD 0
#define APP_I2C_BUS_PWRMGR 1
DWORD ReadI2CUnit(void);

// Keeping time to the millisecond (registry values Precise and DriftCorrection). Without either
// value every run is as it always was; each one turns on more work at boot and at each time change.
typedef struct AppOptions {
    DWORD precise;          // restore at the chip's second edge, store at the system's
    DWORD driftCorrection;  // learn the chip's drift at each store, correct each restore
} AppOptions;
void ReadTimeOptions(AppOptions* out);
