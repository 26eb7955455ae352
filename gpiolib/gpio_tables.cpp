// Pin tables of GPIOLib: where each pin's function is selected, per processor.
#include <windows.h>

#include "gpiolib.h"
#include "gpiolib_state.h"

// ID 2: word index of each pin's pin-function register, counted from 0x40E10124. The registers
// come in runs of consecutive words; pins 10, 134..141 and 142..145 were fitted into gaps.
const WORD g_PinFnIndexId2[GPIO_PINFN_INDEX_COUNT] = {
    0,   1,   2,   3,   4,   90,  91,  92,  93,  94,  205, 95,   // pins 0..11
    96,  97,  98,  99,  100, 101, 102, 103, 104, 105, 106, 107,  // pins 12..23
    108, 109, 110, 183, 184, 185, 186, 187, 188, 189, 190, 191,  // pins 24..35
    192, 193, 194, 195, 196, 197, 198, 199, 200, 201, 202, 203,  // pins 36..47
    204, 206, 207, 208, 209, 210, 211, 212, 213, 214, 215, 216,  // pins 48..59
    217, 218, 219, 228, 229, 230, 231, 232, 233, 234, 235, 236,  // pins 60..71
    237, 238, 243, 244, 245, 246, 247, 248, 249, 250, 251, 252,  // pins 72..83
    253, 254, 255, 256, 257, 258, 259, 260, 261, 262, 263, 264,  // pins 84..95
    265, 266, 267, 311, 312, 313, 314, 315, 316, 317, 318, 319,  // pins 96..107
    320, 321, 322, 323, 324, 325, 326, 327, 328, 329, 330, 331,  // pins 108..119
    332, 333, 334, 335, 336, 337, 338, 339, 340, 341, 342, 343,  // pins 120..131
    344, 345, 220, 221, 222, 223, 224, 225, 226, 227, 239, 240,  // pins 132..143
    241, 242,                                                    // pins 144..145
};

// IDs 8 and 9: byte offset of each pin's pin-function register within the page 0x40E10000.
// GPIOInit turns it into word indices from the first entry. ID 8 has pins 0..134 only; ID 9
// moved the registers of pins 30..98 three words on, which GPIOSetAltFn adds.
const WORD g_PinFnOffsetId89[GPIO_PINFN_OFFSET_COUNT] = {
    0x0B4, 0x0B8, 0x0BC, 0x27C, 0x280, 0x284, 0x288, 0x28C, 0x290, 0x294,  // pins 0..9
    0x298, 0x29C, 0x2A0, 0x2A4, 0x2A8, 0x2AC, 0x2B0, 0x2B4, 0x2B8, 0x2BC,  // pins 10..19
    0x2C0, 0x2C4, 0x2C8, 0x2CC, 0x2D0, 0x2D4, 0x2D8, 0x400, 0x404, 0x408,  // pins 20..29
    0x40C, 0x410, 0x414, 0x418, 0x41C, 0x420, 0x424, 0x428, 0x42C, 0x430,  // pins 30..39
    0x434, 0x438, 0x43C, 0x440, 0x444, 0x448, 0x44C, 0x450, 0x454, 0x458,  // pins 40..49
    0x45C, 0x460, 0x464, 0x468, 0x46C, 0x470, 0x474, 0x478, 0x47C, 0x480,  // pins 50..59
    0x484, 0x488, 0x48C, 0x490, 0x494, 0x498, 0x49C, 0x4A0, 0x4A4, 0x4A8,  // pins 60..69
    0x4AC, 0x4B0, 0x4B4, 0x4B8, 0x4BC, 0x4C0, 0x4C4, 0x4C8, 0x4CC, 0x4D0,  // pins 70..79
    0x4D4, 0x4D8, 0x4DC, 0x4E0, 0x4E4, 0x4E8, 0x4EC, 0x4F0, 0x4F4, 0x4F8,  // pins 80..89
    0x4FC, 0x500, 0x504, 0x508, 0x50C, 0x510, 0x514, 0x518, 0x51C, 0x600,  // pins 90..99
    0x604, 0x608, 0x60C, 0x610, 0x614, 0x618, 0x61C, 0x620, 0x624, 0x628,  // pins 100..109
    0x62C, 0x630, 0x634, 0x638, 0x63C, 0x640, 0x644, 0x648, 0x64C, 0x650,  // pins 110..119
    0x654, 0x658, 0x65C, 0x660, 0x664, 0x668, 0x66C, 0x670, 0x674, 0x678,  // pins 120..129
    0x2DC, 0x2E0, 0x2E4, 0x2E8, 0x2EC, 0x52C, 0x530, 0x534, 0x538,         // pins 130..138
};

// Cortex-A9-class processor (0x0411FC09) as wired on our reference carrier board for that
// module: the pad groups of its 222 GPIO pins, and for each group where its function field and
// its tristate bit sit in the pin-mux block at 0x70000000. Groups 19, 24, 97 and 104..106 carry
// no pin on this board; group 0 and groups 111..115 belong to pads that are not GPIO pins.
// Pins 0 and 221 share group 12 (the carrier's debug UART), pins 20 and 21 group 1.
const BYTE g_A9PinGroup[A9_PIN_COUNT] = {
    12,  17,  2,   2,   2,   4,   4,   4,   5,   5,   5,   6,   6,   6,   8,   8,    // pins 0..15
    8,   9,   9,   9,   1,   1,   10,  10,  10,  11,  11,  11,  13,  13,  13,  14,   // pins 16..31
    14,  14,  15,  15,  15,  16,  16,  16,  18,  18,  18,  20,  20,  20,  21,  21,   // pins 32..47
    3,   21,  22,  22,  22,  23,  23,  23,  25,  25,  25,  26,  26,  27,  27,  28,   // pins 48..63
    28,  29,  29,  30,  30,  31,  31,  32,  32,  33,  33,  34,  34,  35,  35,  36,   // pins 64..79
    36,  37,  37,  38,  38,  39,  39,  40,  40,  41,  41,  42,  42,  43,  43,  44,   // pins 80..95
    44,  45,  45,  46,  99,  46,  47,  47,  48,  48,  49,  49,  50,  50,  51,  51,   // pins 96..111
    52,  52,  53,  53,  54,  54,  55,  55,  56,  56,  57,  57,  58,  58,  59,  59,   // pins 112..127
    60,  60,  61,  61,  62,  62,  63,  63,  64,  64,  65,  65,  66,  66,  67,  67,   // pins 128..143
    68,  68,  69,  69,  70,  70,  71,  71,  72,  72,  73,  73,  74,  74,  75,  75,   // pins 144..159
    76,  76,  77,  77,  78,  78,  79,  79,  80,  80,  81,  81,  82,  82,  83,  83,   // pins 160..175
    84,  84,  85,  85,  86,  86,  87,  87,  88,  88,  89,  89,  90,  90,  91,  91,   // pins 176..191
    7,   92,  92,  93,  93,  94,  94,  95,  95,  96,  96,  98,  98,  100, 100, 101,  // pins 192..207
    101, 102, 102, 103, 103, 107, 107, 108, 108, 109, 109, 110, 110, 12,             // pins 208..221
};

// Per group: {register index from 0x70000080, shift of its 2-bit function field}.
const A9GroupControl g_A9PinMux[A9_GROUP_COUNT] = {
    {0xFF, 0xFF}, {0, 14}, {0, 0},  {0, 22}, {0, 2},  {0, 4},   // groups 0..5
    {0, 6},       {0, 8},  {0, 10}, {0, 12}, {0, 16}, {0, 18},  // groups 6..11
    {1, 30},      {0, 20}, {0, 24}, {0, 26}, {0, 28}, {1, 18},  // groups 12..17
    {0, 30},      {1, 0},  {1, 2},  {1, 4},  {1, 6},  {1, 8},   // groups 18..23
    {1, 10},      {1, 12}, {1, 14}, {1, 16}, {1, 20}, {1, 22},  // groups 24..29
    {1, 24},      {1, 26}, {1, 28}, {2, 0},  {2, 2},  {2, 4},   // groups 30..35
    {2, 6},       {2, 8},  {2, 10}, {2, 12}, {2, 14}, {2, 16},  // groups 36..41
    {2, 18},      {2, 20}, {2, 22}, {2, 24}, {2, 26}, {2, 28},  // groups 42..47
    {2, 30},      {3, 0},  {3, 2},  {3, 4},  {3, 6},  {3, 8},   // groups 48..53
    {3, 10},      {3, 12}, {3, 14}, {3, 16}, {3, 18}, {3, 20},  // groups 54..59
    {3, 22},      {3, 24}, {3, 26}, {3, 28}, {3, 30}, {4, 0},   // groups 60..65
    {4, 2},       {4, 4},  {4, 6},  {4, 8},  {4, 10}, {4, 12},  // groups 66..71
    {4, 14},      {4, 16}, {4, 18}, {4, 20}, {4, 22}, {4, 24},  // groups 72..77
    {4, 26},      {4, 28}, {4, 30}, {5, 0},  {5, 2},  {5, 4},   // groups 78..83
    {5, 6},       {5, 8},  {5, 10}, {5, 12}, {5, 14}, {5, 16},  // groups 84..89
    {5, 18},      {5, 20}, {5, 22}, {5, 24}, {5, 26}, {5, 28},  // groups 90..95
    {5, 30},      {6, 0},  {6, 2},  {6, 8},  {6, 4},  {6, 6},   // groups 96..101
    {6, 10},      {6, 12}, {6, 14}, {6, 16}, {6, 18}, {6, 20},  // groups 102..107
    {6, 22},      {6, 24}, {6, 26}, {6, 28}, {6, 30}, {7, 0},   // groups 108..113
    {7, 2},       {7, 4},                                       // groups 114..115
};

// Per group: {register index from 0x70000014, its tristate bit}. Groups 104..106 and 111..114
// have no tristate control.
const A9GroupControl g_A9Tristate[A9_GROUP_COUNT] = {
    {0xFF, 0xFF}, {0, 25}, {0, 0},       {0, 2},       {0, 1},       {0, 3},        // groups 0..5
    {0, 4},       {3, 13}, {0, 5},       {0, 6},       {0, 7},       {0, 8},        // groups 6..11
    {0, 15},      {0, 9},  {0, 10},      {0, 11},      {0, 12},      {1, 23},       // groups 12..17
    {0, 13},      {0, 14}, {0, 16},      {0, 17},      {0, 18},      {0, 19},       // groups 18..23
    {0, 20},      {0, 21}, {0, 22},      {0, 23},      {0, 24},      {0, 26},       // groups 24..29
    {0, 27},      {0, 28}, {0, 29},      {0, 30},      {0, 31},      {1, 0},        // groups 30..35
    {1, 1},       {1, 2},  {1, 3},       {1, 4},       {1, 5},       {1, 6},        // groups 36..41
    {1, 7},       {1, 8},  {1, 9},       {1, 10},      {1, 11},      {1, 12},       // groups 42..47
    {1, 13},      {1, 14}, {1, 15},      {1, 16},      {1, 17},      {1, 18},       // groups 48..53
    {1, 19},      {1, 20}, {1, 21},      {1, 22},      {1, 24},      {1, 25},       // groups 54..59
    {1, 26},      {1, 27}, {1, 28},      {1, 29},      {1, 30},      {1, 31},       // groups 60..65
    {2, 0},       {2, 1},  {2, 2},       {2, 3},       {2, 4},       {2, 5},        // groups 66..71
    {2, 6},       {2, 7},  {2, 8},       {2, 9},       {2, 10},      {2, 11},       // groups 72..77
    {2, 12},      {2, 13}, {2, 14},      {2, 15},      {2, 16},      {2, 17},       // groups 78..83
    {2, 18},      {2, 19}, {2, 20},      {2, 21},      {2, 23},      {2, 24},       // groups 84..89
    {2, 25},      {2, 26}, {2, 27},      {2, 28},      {2, 29},      {2, 30},       // groups 90..95
    {2, 31},      {3, 0},  {3, 1},       {2, 22},      {3, 2},       {3, 3},        // groups 96..101
    {3, 4},       {3, 5},  {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF}, {3, 6},        // groups 102..107
    {3, 7},       {3, 8},  {3, 9},       {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF},  // groups 108..113
    {0xFF, 0xFF}, {3, 10},                                                          // groups 114..115
};

// Pins whose GPIO function is not their processor's usual one (0 on the ARMv5 processors).
typedef struct GpioFunctionException {
    DWORD processorId;
    WORD pin;
    int function;  // -1: the pin has no GPIO function
} GpioFunctionException;

static const GpioFunctionException kGpioFunctionExceptions[] = {
    {PROCESSOR_ID_2, 56, -1}, {PROCESSOR_ID_2, 59, -1}, {PROCESSOR_ID_2, 60, -1}, {PROCESSOR_ID_2, 61, -1},
    {PROCESSOR_ID_2, 62, -1}, {PROCESSOR_ID_8, 46, 1},  {PROCESSOR_ID_8, 49, 3},  {PROCESSOR_ID_8, 50, 2},
    {PROCESSOR_ID_8, 51, 3},  {PROCESSOR_ID_8, 52, 3},  {PROCESSOR_ID_9, 46, 1},  {PROCESSOR_ID_9, 49, 3},
    {PROCESSOR_ID_9, 50, 2},  {PROCESSOR_ID_9, 51, 3},  {PROCESSOR_ID_9, 52, 3},
};

int GpioFunctionOf(DWORD processorId, DWORD pin) {
    int usual;
    switch (processorId) {
        case PROCESSOR_ID_2:
        case PROCESSOR_ID_8:
        case PROCESSOR_ID_9:
        case PROCESSOR_ID_17:
            usual = 0;
            break;
        case PROCESSOR_ID_A9:
            return 0xFF;  // GPIO mode rather than a function number
        default:
            return -1;
    }
    for (DWORD i = 0; i < sizeof kGpioFunctionExceptions / sizeof kGpioFunctionExceptions[0]; ++i) {
        const GpioFunctionException* e = &kGpioFunctionExceptions[i];
        if (e->processorId == processorId && e->pin == pin) return e->function;
    }
    return usual;
}
