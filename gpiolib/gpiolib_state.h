// Process-wide state records and tables of GPIOLib. Product code keeps them for the life of the
// process; tests may clear the state records to start a module afresh.
#pragma once

#include <windows.h>

#define GPIO_PINFN_INDEX_COUNT 146u   // ID 2 has the most pin-function registers
#define GPIO_PINFN_OFFSET_COUNT 139u  // entries of the shared table of IDs 8 and 9
#define A9_PIN_COUNT 222u
#define A9_GROUP_COUNT 116u
#define CLOCK_COLUMN_COUNT 3u

typedef struct GpioModuleState {
    DWORD processorId;
    volatile DWORD* gpioRegs;                 // GPIO block (IDs 2, 8, 9, 17)
    volatile DWORD* pinFnRegs;                // first pin-function register (IDs 2, 8, 9)
    volatile DWORD* pinMuxRegs;               // pin-mux block (0x0411FC09)
    volatile DWORD* gpioCtlRegs;              // GPIO controller (0x0411FC09)
    DWORD pinCount;                           // 0 until GPIOInit succeeds
    WORD pinFnIndex[GPIO_PINFN_INDEX_COUNT];  // word index of pin p's register from pinFnRegs
    BOOL initialised;
} GpioModuleState;

typedef struct ClockModuleState {
    DWORD processorId;
    volatile DWORD* enableRegs;  // first clock-enable register; null: no register to touch
    DWORD registerCount;         // 1 or 2
    DWORD column;                // column of ClockBitTable
    BOOL initialised;
} ClockModuleState;

extern GpioModuleState g_GpioState;
extern ClockModuleState g_ClockState;

// A pin-mux or tristate entry of the Cortex-A9-class processor: {register index, field shift or
// bit}; both bytes A9_GROUP_NONE for a group without that control.
typedef struct A9GroupControl {
    BYTE reg;
    BYTE bit;
} A9GroupControl;

extern const WORD g_PinFnIndexId2[GPIO_PINFN_INDEX_COUNT];
extern const WORD g_PinFnOffsetId89[GPIO_PINFN_OFFSET_COUNT];
extern const BYTE g_A9PinGroup[A9_PIN_COUNT];
extern const A9GroupControl g_A9PinMux[A9_GROUP_COUNT];
extern const A9GroupControl g_A9Tristate[A9_GROUP_COUNT];
extern const BYTE ClockBitTable[CLOCK_COLUMN_COUNT * 37];

// The function field and the tristate bit of a pin group of the Cortex-A9-class processor, its
// pin-mux block mapped: what GPIOSetPinMux and GPIOSetTristate set for a pin's group. 0, and no
// register touched, for a group without that control.
int A9SetGroupPinMux(DWORD group, DWORD function);
int A9SetGroupTristate(DWORD group, DWORD on);

// The GPIO function of a pin (the function number under which it is a plain GPIO), or -1.
int GpioFunctionOf(DWORD processorId, DWORD pin);
