// GPIO pin control for the five supported processors: function selection, direction, output
// level and input level.
//
// No lock is taken. The read-modify-write cycles (direction and function fields on ID 17, pin-mux
// and tristate registers on the Cortex-A9-class processor) can race with another driver writing
// the same register; this program calls GPIOLib from one thread, and level and direction changes
// elsewhere go through set/clear registers or masked writes, which need no read.
#include <windows.h>

#include "../platform/hwaccess.h"
#include "../platform/platform.h"
#include "gpiolib.h"
#include "gpiolib_regs.h"
#include "gpiolib_state.h"

GpioModuleState g_GpioState;

#define GPIO_PIN_COUNT_ID2 146u
#define GPIO_PIN_COUNT_ID8 135u
#define GPIO_PIN_COUNT_ID9 139u
#define GPIO_PIN_COUNT_ID17 121u
#define GPIO_PIN_COUNT_A9 222u

static const WCHAR kNotSupported[] = TEXT("ERROR: GPIOLib: This processor is not supported (procID: %x)\n\r");

static BOOL IsArmV5Gpio(DWORD id) {
    return id == PROCESSOR_ID_2 || id == PROCESSOR_ID_8 || id == PROCESSOR_ID_9 || id == PROCESSOR_ID_17;
}

static BOOL HasPinFunctionRegisters(DWORD id) {
    return id == PROCESSOR_ID_2 || id == PROCESSOR_ID_8 || id == PROCESSOR_ID_9;
}

void GPIOInit(void) {
    if (g_GpioState.initialised) return;
    DWORD id = GetProcessorID();
    g_GpioState.processorId = id;
    g_GpioState.gpioRegs = NULL;
    g_GpioState.pinFnRegs = NULL;
    g_GpioState.pinMuxRegs = NULL;
    g_GpioState.gpioCtlRegs = NULL;

    // A mapping that fails leaves its pointer null; every operation that needs that block then
    // does nothing rather than touch memory.
    switch (id) {
        case PROCESSOR_ID_2:
            g_GpioState.gpioRegs = MapRegisters(GPIO_BLOCK_PHYS);
            g_GpioState.pinFnRegs = MapRegisters(PINFN_PHYS_ID2);
            for (DWORD i = 0; i < GPIO_PINFN_INDEX_COUNT; ++i) g_GpioState.pinFnIndex[i] = g_PinFnIndexId2[i];
            g_GpioState.pinCount = GPIO_PIN_COUNT_ID2;
            break;
        case PROCESSOR_ID_8:
        case PROCESSOR_ID_9:
            g_GpioState.gpioRegs = MapRegisters(GPIO_BLOCK_PHYS);
            g_GpioState.pinFnRegs = MapRegisters(PINFN_PHYS_ID89);
            for (DWORD i = 0; i < GPIO_PINFN_OFFSET_COUNT; ++i)
                g_GpioState.pinFnIndex[i] = (WORD)((g_PinFnOffsetId89[i] - g_PinFnOffsetId89[0]) / 4);
            g_GpioState.pinCount = (id == PROCESSOR_ID_8) ? GPIO_PIN_COUNT_ID8 : GPIO_PIN_COUNT_ID9;
            break;
        case PROCESSOR_ID_17:
            g_GpioState.gpioRegs = MapRegisters(GPIO_BLOCK_PHYS);
            g_GpioState.pinCount = GPIO_PIN_COUNT_ID17;
            break;
        case PROCESSOR_ID_A9:
            g_GpioState.pinMuxRegs = MapRegisters(A9_PINMUX_PHYS);
            g_GpioState.gpioCtlRegs = MapRegisters(A9_GPIO_CTL_PHYS);
            g_GpioState.pinCount = GPIO_PIN_COUNT_A9;
            break;
        default:
            NKDbgPrintfW(kNotSupported, id);
            return;
    }
    g_GpioState.initialised = TRUE;
}

// ---- ARMv5 GPIO block ------------------------------------------------------------------------

static DWORD FoldPin(DWORD pin) {
    return pin >= GPIO_FOLD_LIMIT ? pin - GPIO_FOLD_LIMIT : pin;
}

// A register of a folded pin's bank: `base` is bank 0's offset. With `bank3AtWord64`, bank 3
// lies at word 64 (level, direction, set and clear level); otherwise it follows bank 2.
static volatile DWORD* GpioBankRegister(DWORD base, DWORD pin, BOOL bank3AtWord64) {
    DWORD bank = pin >> GPIO_BANK_SHIFT;
    DWORD word = (bank == GPIO_BANK3 && bank3AtWord64) ? GPIO_BANK3_WORD : bank;
    return g_GpioState.gpioRegs + base / 4 + word;
}

static DWORD GpioMask(DWORD pin) {
    return 1u << (pin & GPIO_BIT_MASK);
}

// ---- Cortex-A9-class GPIO controller ---------------------------------------------------------

static volatile DWORD* A9GpioRegister(DWORD offset, DWORD pin) {
    DWORD bank = pin >> A9_GPIO_BANK_SHIFT;
    DWORD port = (pin >> A9_GPIO_PORT_SHIFT) & A9_GPIO_PORT_MASK;
    return g_GpioState.gpioCtlRegs + (bank * A9_GPIO_BANK_STRIDE + offset) / 4 + port;
}

// One pin of a port changes; the mask byte leaves the other seven alone without a read.
static void A9MaskedWrite(DWORD offset, DWORD pin, DWORD value) {
    DWORD bit = pin & A9_GPIO_BIT_MASK;
    HwWrite32(A9GpioRegister(offset, pin), (1u << (A9_GPIO_MSK_SHIFT + bit)) | ((value & 1u) << bit));
}

// ---- Operations ------------------------------------------------------------------------------

void GPIOSetLevel(DWORD pin, DWORD level) {
    GPIOInit();
    if (pin >= g_GpioState.pinCount) return;
    DWORD id = g_GpioState.processorId;
    if (IsArmV5Gpio(id)) {
        if (g_GpioState.gpioRegs == NULL) return;
        pin = FoldPin(pin);
        HwWrite32(GpioBankRegister((level & 1u) ? GPIO_SET_LEVEL : GPIO_CLR_LEVEL, pin, TRUE), GpioMask(pin));
    } else if (id == PROCESSOR_ID_A9) {
        if (g_GpioState.gpioCtlRegs == NULL) return;
        A9MaskedWrite(A9_GPIO_MSK_OUT, pin, level);
    }
}

void GPIOSetDir(DWORD pin, DWORD direction) {
    GPIOInit();
    if (pin >= g_GpioState.pinCount) return;
    DWORD id = g_GpioState.processorId;
    if (HasPinFunctionRegisters(id)) {
        if (g_GpioState.gpioRegs == NULL) return;
        pin = FoldPin(pin);
        HwWrite32(GpioBankRegister((direction & 1u) ? GPIO_SET_DIR : GPIO_CLR_DIR, pin, FALSE),
                  GpioMask(pin));
    } else if (id == PROCESSOR_ID_17) {
        if (g_GpioState.gpioRegs == NULL) return;
        volatile DWORD* reg = GpioBankRegister(GPIO_DIR, pin, TRUE);
        DWORD value = HwRead32(reg);
        HwWrite32(reg, (direction & 1u) ? (value | GpioMask(pin)) : (value & ~GpioMask(pin)));
    } else if (id == PROCESSOR_ID_A9) {
        if (g_GpioState.gpioCtlRegs == NULL) return;
        A9MaskedWrite(A9_GPIO_MSK_OE, pin, direction);
    }
}

DWORD GPIOGetLevel(DWORD pin) {
    GPIOInit();
    DWORD id = g_GpioState.processorId;
    if (IsArmV5Gpio(id)) {
        if (pin >= g_GpioState.pinCount || g_GpioState.gpioRegs == NULL) return 0;
        pin = FoldPin(pin);
        return (HwRead32(GpioBankRegister(GPIO_LEVEL, pin, TRUE)) >> (pin & GPIO_BIT_MASK)) & 1u;
    }
    if (id == PROCESSOR_ID_A9) {
        if (pin >= g_GpioState.pinCount || g_GpioState.gpioCtlRegs == NULL) return 0;
        return (HwRead32(A9GpioRegister(A9_GPIO_INPUT, pin)) >> (pin & A9_GPIO_BIT_MASK)) & 1u;
    }
    NKDbgPrintfW(kNotSupported, id);
    return 0;
}

int GPIOGetDefaultAltFn(DWORD pin) {
    GPIOInit();
    if (pin >= g_GpioState.pinCount) return -1;
    return GpioFunctionOf(g_GpioState.processorId, pin);
}

int A9SetGroupPinMux(DWORD group, DWORD function) {
    const A9GroupControl* mux = &g_A9PinMux[group];
    if (mux->reg == A9_GROUP_NONE) return 0;
    volatile DWORD* reg = g_GpioState.pinMuxRegs + (A9_PINMUX_CTL / 4) + mux->reg;
    DWORD value = HwRead32(reg) & ~(A9_PINMUX_FIELD_MASK << mux->bit);
    HwWrite32(reg, value | (function << mux->bit));
    return 1;
}

int A9SetGroupTristate(DWORD group, DWORD on) {
    const A9GroupControl* tristate = &g_A9Tristate[group];
    if (tristate->reg == A9_GROUP_NONE) return 0;
    volatile DWORD* reg = g_GpioState.pinMuxRegs + (A9_PINMUX_TRISTATE / 4) + tristate->reg;
    DWORD mask = 1u << tristate->bit;
    DWORD value = HwRead32(reg);
    DWORD wanted = (on & 1u) ? (value | mask) : (value & ~mask);
    // Written only when the bit changes.
    if (wanted != value) HwWrite32(reg, wanted);
    return 1;
}

int GPIOSetPinMux(DWORD pin, DWORD function) {
    // Initialised first, so that a call before any other operation finds the pin count.
    GPIOInit();
    if (pin >= g_GpioState.pinCount || function > A9_PINMUX_MAX_FUNCTION) return 0;
    if (g_GpioState.processorId != PROCESSOR_ID_A9 || g_GpioState.pinMuxRegs == NULL) return 0;
    return A9SetGroupPinMux(g_A9PinGroup[pin], function);
}

int GPIOSetTristate(DWORD pin, DWORD on) {
    GPIOInit();
    // GPIOSetAltFn has checked the pin already; a direct caller gets the same check here.
    if (pin >= g_GpioState.pinCount) return 0;
    if (g_GpioState.processorId != PROCESSOR_ID_A9 || g_GpioState.pinMuxRegs == NULL) return 0;
    return A9SetGroupTristate(g_A9PinGroup[pin], on);
}

void GPIOSetAltFn(DWORD pin, int function, DWORD direction) {
    GPIOInit();
    if (pin >= g_GpioState.pinCount) return;
    if (function == -1) {
        function = GPIOGetDefaultAltFn(pin);
        if (function == -1) {
            NKDbgPrintfW(TEXT("WARNING: GPIOLib gpio %d does not have an GPIOFunction on AltFn%d"), pin, -1);
            return;
        }
    }
    DWORD id = g_GpioState.processorId;

    if (HasPinFunctionRegisters(id)) {
        // The field has three bits: a larger (or negative) number would spill into the pin's
        // other settings, so it is refused before anything is touched.
        if (function < 0 || (DWORD)function > PINFN_FUNCTION_MASK) return;
        if (g_GpioState.pinFnRegs == NULL || g_GpioState.gpioRegs == NULL) return;
        DWORD extra = 0;
        if (id == PROCESSOR_ID_9 && pin >= PINFN_ID9_SHIFT_FIRST && pin <= PINFN_ID9_SHIFT_LAST)
            extra = PINFN_ID9_SHIFT_WORDS;
        volatile DWORD* reg = g_GpioState.pinFnRegs + g_GpioState.pinFnIndex[pin] + extra;
        DWORD value = HwRead32(reg) & ~PINFN_FUNCTION_MASK;
        HwWrite32(reg, value | (DWORD)function);
        DWORD folded = FoldPin(pin);
        // Only the GPIO function takes the direction; pins without one never get it here.
        if (function == GpioFunctionOf(id, folded)) GPIOSetDir(folded, direction);
    } else if (id == PROCESSOR_ID_17) {
        if (g_GpioState.gpioRegs == NULL) return;
        volatile DWORD* reg = g_GpioState.gpioRegs + GPIO_ALT_FN / 4 + (pin >> GPIO_ALT_FN_PINS_SHIFT);
        DWORD shift = 2u * (pin & 15u);
        DWORD value = HwRead32(reg) & ~(GPIO_ALT_FN_FIELD_MASK << shift);
        HwWrite32(reg, value | (((DWORD)function & GPIO_ALT_FN_FIELD_MASK) << shift));
        GPIOSetDir(pin, direction);
    } else if (id == PROCESSOR_ID_A9) {
        if (g_GpioState.gpioCtlRegs == NULL) return;
        if (function == A9_GPIO_FUNCTION) {
            A9MaskedWrite(A9_GPIO_MSK_CNF, pin, 1);
            GPIOSetDir(pin, direction);
        } else {
            GPIOSetPinMux(pin, (DWORD)function);
            A9MaskedWrite(A9_GPIO_MSK_CNF, pin, 0);
        }
        GPIOSetTristate(pin, 0);
    }
}
