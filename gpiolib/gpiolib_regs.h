// Register map of the blocks GPIOLib drives, by processor. Offsets are in bytes from the block's
// physical base; bits are listed under their register.
#pragma once

#include <windows.h>

// ---- ARMv5 GPIO block (IDs 2, 8, 9, 17) ------------------------------------------------------
#define GPIO_BLOCK_PHYS 0x40E00000u

// Banks of 32 pins. Banks 0..2 are words 0..2; bank 3 was added later at word 64, 0x100 bytes
// above bank 0, for the level, direction, set-level and clear-level registers.
#define GPIO_BANK_SHIFT 5
#define GPIO_BIT_MASK 31u
#define GPIO_BANK3 3u
#define GPIO_BANK3_WORD 64u

#define GPIO_LEVEL 0x000u      // read: bit = pin level
#define GPIO_DIR 0x00Cu        // ID 17, read-modify-write: bit 1 = output
#define GPIO_SET_LEVEL 0x018u  // write the pin's mask: output latch high
#define GPIO_CLR_LEVEL 0x024u  // write the pin's mask: output latch low
#define GPIO_ALT_FN 0x054u     // ID 17: 16 pins per register, a 2-bit function field per pin
#define GPIO_ALT_FN_PINS_SHIFT 4
#define GPIO_ALT_FN_FIELD_MASK 3u
#define GPIO_SET_DIR 0x400u  // IDs 2, 8, 9: write the pin's mask: output (bank 3 follows on)
#define GPIO_CLR_DIR 0x420u  // IDs 2, 8, 9: write the pin's mask: input

// IDs 2, 8 and 9 operate pins 128 and up in the GPIO block as pin - 128.
#define GPIO_FOLD_LIMIT 128u

// ---- Pin-function registers (IDs 2, 8, 9), one per pin in the page 0x40E10000 ------------------
#define PINFN_PHYS_ID2 0x40E10124u   // ID 2: first pin-function register
#define PINFN_PHYS_ID89 0x40E100B4u  // IDs 8, 9: first pin-function register
#define PINFN_FUNCTION_MASK 7u       // bits 2..0: the pin's function number
#define PINFN_ID9_SHIFT_FIRST 30u    // ID 9 moved the registers of pins 30..98
#define PINFN_ID9_SHIFT_LAST 98u
#define PINFN_ID9_SHIFT_WORDS 3u  // three registers further on

// ---- Cortex-A9-class processor (0x0411FC09) --------------------------------------------------
#define A9_GPIO_CTL_PHYS 0x6000D000u
#define A9_GPIO_BANK_SHIFT 5  // 32 pins per bank
#define A9_GPIO_BANK_STRIDE 0x80u
#define A9_GPIO_PORT_SHIFT 3  // four ports of 8 pins per bank
#define A9_GPIO_PORT_MASK 3u
#define A9_GPIO_BIT_MASK 7u
#define A9_GPIO_INPUT 0x030u    // read: bit = pin level
#define A9_GPIO_MSK_CNF 0x800u  // masked write: 1 = GPIO mode, 0 = special function
#define A9_GPIO_MSK_OE 0x810u   // masked write: 1 = output
#define A9_GPIO_MSK_OUT 0x820u  // masked write: 1 = high
#define A9_GPIO_MSK_SHIFT 8     // bits 15..8 select the bits that change, bits 7..0 carry them

#define A9_PINMUX_PHYS 0x70000000u
#define A9_PINMUX_TRISTATE 0x014u  // 4 registers: a tristate bit per pin group, 1 = not driven
#define A9_PINMUX_CTL 0x080u       // 8 registers: a 2-bit function field per pin group
#define A9_PINMUX_FIELD_MASK 3u
#define A9_PINMUX_MAX_FUNCTION 3u
#define A9_GROUP_NONE 0xFFu   // both bytes of a table entry: the group lacks that control
#define A9_GPIO_FUNCTION 255  // the function number that selects GPIO mode

// ---- Clock-enable registers in the clock manager ----------------------------------------
#define CLOCK_BLOCK_PHYS_ID17 0x41300000u
#define CLOCK_ENABLE_OFFSET_ID17 0x004u  // one register, bits 0..31
#define CLOCK_BLOCK_PHYS_D0 0x41340000u  // IDs 2, 8, 9
#define CLOCK_ENABLE_OFFSET_D0 0x00Cu    // two registers: bit numbers 32..63 live in the second
#define CLOCK_BIT_WORD_SHIFT 5
#define CLOCK_BIT_MASK 31u
#define CLOCK_POLL_LIMIT 1000000u  // further read-backs allowed after the first: this plus one
