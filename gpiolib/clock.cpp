// Peripheral clock gating by a processor-independent clock index, confirmed by read-back.
#include <windows.h>

#include "../platform/hwaccess.h"
#include "../platform/platform.h"
#include "gpiolib.h"
#include "gpiolib_regs.h"
#include "gpiolib_state.h"

ClockModuleState g_ClockState;

// Bit number of each peripheral clock index, one column of 37 per processor family: column 0
// ID 17, column 1 ID 2, column 2 IDs 8 and 9. Bit numbers 32..63 are bits 0..31 of the second
// clock-enable register. Column 0 has no clocks at indices 26..36; they select bit 0.
// clang-format off
const BYTE ClockBitTable[CLOCK_COLUMN_COUNT * CLOCK_INDEX_COUNT] = {
    // column 0 (ID 17), indices 0..36
     0, 31,  2,  3,  4,  6,  7,  5,  8,  9,
    10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
    20, 21, 22, 23, 24, 25,  0,  0,  0,  0,
     0,  0,  0,  0,  0,  0,  0,
    // column 1 (ID 2), indices 0..36
    32, 33, 24, 27, 28, 22, 21, 23, 41, 48,
     2, 20, 12,  0, 36,  4,  1, 30, 17, 14,
    10,  8,  9, 26,  3, 11,  7, 13, 15,  6,
    18, 49, 38, 39, 40, 25, 29,
    // column 2 (IDs 8, 9), indices 0..36
    32, 33, 24, 27, 28, 22, 21, 23, 41, 48,
     2, 20, 12, 43, 36,  4,  1, 30, 17, 14,
    10,  8,  9, 26,  3, 11, 42, 13, 15,  6,
    18, 49, 38, 39, 40,  5, 29,
};
// clang-format on

void ClockInit(void) {
    if (g_ClockState.initialised) return;
    DWORD id = GetProcessorID();
    g_ClockState.processorId = id;
    g_ClockState.enableRegs = NULL;
    g_ClockState.registerCount = 0;
    g_ClockState.column = 0;

    volatile DWORD* block = NULL;
    switch (id) {
        case PROCESSOR_ID_17:
            block = MapRegisters(CLOCK_BLOCK_PHYS_ID17);
            if (block) g_ClockState.enableRegs = block + CLOCK_ENABLE_OFFSET_ID17 / 4;
            g_ClockState.registerCount = 1;
            g_ClockState.column = 0;
            break;
        case PROCESSOR_ID_2:
        case PROCESSOR_ID_8:
        case PROCESSOR_ID_9:
            block = MapRegisters(CLOCK_BLOCK_PHYS_D0);
            if (block) g_ClockState.enableRegs = block + CLOCK_ENABLE_OFFSET_D0 / 4;
            g_ClockState.registerCount = 2;
            g_ClockState.column = (id == PROCESSOR_ID_2) ? 1 : 2;
            break;
        default:
            // No clock column: the operations touch no register.
            break;
    }
    g_ClockState.initialised = TRUE;
}

// The register and mask of a clock index; FALSE when there is nothing to touch (no column, a
// failed mapping, or an index outside the table).
static BOOL ClockBitFor(DWORD index, volatile DWORD** reg, DWORD* bit) {
    if (g_ClockState.enableRegs == NULL || index >= CLOCK_INDEX_COUNT) return FALSE;
    DWORD n = ClockBitTable[g_ClockState.column * CLOCK_INDEX_COUNT + index];
    DWORD word = n >> CLOCK_BIT_WORD_SHIFT;
    if (word >= g_ClockState.registerCount) return FALSE;
    *reg = g_ClockState.enableRegs + word;
    *bit = n & CLOCK_BIT_MASK;
    return TRUE;
}

int ClockIsEnabled(DWORD index) {
    ClockInit();
    volatile DWORD* reg;
    DWORD bit;
    if (!ClockBitFor(index, &reg, &bit)) return 0;
    return (int)((HwRead32(reg) >> bit) & 1u);
}

int ClockEnable(DWORD index, int on) {
    ClockInit();
    volatile DWORD* reg;
    DWORD bit;
    if (!ClockBitFor(index, &reg, &bit)) return 0;

    // Any non-zero request means on; the read-back is 0 or 1 and is compared with that.
    int want = on ? 1 : 0;
    DWORD mask = 1u << bit;
    DWORD value = HwRead32(reg);
    HwWrite32(reg, want ? (value | mask) : (value & ~mask));

    // A clock can take a moment to start or stop; poll without sleeping, within a bound.
    if (ClockIsEnabled(index) == want) return 1;
    for (DWORD polls = 0;; ++polls) {
        if (polls > CLOCK_POLL_LIMIT) return 0;
        if (ClockIsEnabled(index) == want) return 1;
    }
}
