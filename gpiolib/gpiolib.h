// GPIOLib: processor identification, GPIO pin control and peripheral clock gating for the
// supported processors. Operations initialise their module on first use; none sets the thread's
// last error (messages go to the debug output).
#pragma once

#include <windows.h>

// Processor IDs derived from the main ID register.
#define PROCESSOR_ID_2 2u
#define PROCESSOR_ID_8 8u
#define PROCESSOR_ID_9 9u
#define PROCESSOR_ID_17 17u
#define PROCESSOR_ID_A9 0x0411FC09u

// Processor identification.
DWORD GetProcessorID(void);
DWORD ReadMainIdRegister(void);  // privileged: the CP15 main ID register
DWORD ReadStatusRegister(void);  // the CPSR

// GPIO pins.
void GPIOInit(void);
void GPIOSetLevel(DWORD pin, DWORD level);
void GPIOSetDir(DWORD pin, DWORD direction);
DWORD GPIOGetLevel(DWORD pin);
int GPIOGetDefaultAltFn(DWORD pin);
void GPIOSetAltFn(DWORD pin, int function, DWORD direction);
int GPIOSetPinMux(DWORD pin, DWORD function);
int GPIOSetTristate(DWORD pin, DWORD on);

// Peripheral clocks, by processor-independent index 0..36.
#define CLOCK_INDEX_COUNT 37u
#define CLOCK_I2C_STANDARD 14u
#define CLOCK_I2C_PWRMGR 15u
void ClockInit(void);
int ClockEnable(DWORD index, int on);
int ClockIsEnabled(DWORD index);
