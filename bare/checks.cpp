// The product's I2C driver, GPIOLib, platform layer and chip protocols against QEMU's mainstone
// (PXA27x, processor ID 17) with its ds1338 on the standard unit and its m41t80 on the
// power-manager unit. Each check prints one line; the exit status is the number that failed.
//
// QEMU differs from silicon in ways the expectations allow for: bytes complete inside the
// control-register write, IBMR reads 0 and the bus pins read low as inputs (so the first open
// always recovers the bus), clock gating does not gate, a missing chip answers with a bus error
// on its address byte, and the chip models have their own weekday conventions. One difference
// reaches into the driver's flow: QEMU leaves the status register's read/write-mode bit (bit 0,
// the bit the driver's busy check reads) set after a master read until the next address byte with
// the write direction, where silicon clears it at the stop. Between product calls the checks
// send that address byte themselves (ClearReadMode); inside a protocol routine that reads and
// then writes, the write meets the bit and ends with ERROR_BUSY, which the checks accept only
// together with the bit still set.
#include <windows.h>

#include "../gpiolib/gpiolib.h"
#include "../i2c/i2c.h"
#include "../platform/platform.h"
#include "../rtc/rtc.h"
#include "bare_platform.h"
#include "board.h"
#include "program.h"

namespace {

// Launch parameters the CI run passes to QEMU (-rtc base=2025-06-15T12:34:00, chips at 0x68).
constexpr WORD kBaseYear = 2025, kBaseMonth = 6, kBaseDay = 15, kBaseHour = 12, kBaseMinute = 34;
constexpr WORD kBaseWeekday = 0;  // a Sunday
constexpr BYTE kChipAddr = 0x68;
constexpr BYTE kEmptyAddr = 0x51;  // protocol 3's default address: nothing answers there
constexpr DWORD kI2cIrq = 18;      // the standard unit's interrupt-controller input

constexpr BYTE kP4ChipAddr = 0x69;  // the m41t80 on the standard unit's bus
constexpr DWORD kStdIdbr = 0x40301688, kStdIcr = 0x40301690, kStdIsr = 0x40301698, kStdIsar = 0x403016A0;
constexpr DWORD kIsrReadMode = 0x001;
constexpr DWORD kPwrIdbr = 0x40F00188, kPwrIcr = 0x40F00190, kPwrIsr = 0x40F00198, kPwrIsar = 0x40F001A0;
constexpr DWORD kGpdr3 = PXA_GPIO_BASE + 0x10C, kGplr3 = PXA_GPIO_BASE + 0x100,
                kGafr3U = PXA_GPIO_BASE + 0x070;
constexpr DWORD kPin117Bit = 1u << 21, kPin118Bit = 1u << 22;

int g_failures;
int g_checks;

void check(bool ok, const char* fmt, ...) {
    ++g_checks;
    if (!ok) ++g_failures;
    BarePuts(ok ? "PASS: " : "FAIL: ");
    va_list ap;
    va_start(ap, fmt);
    BareVPrintf(fmt, ap);
    va_end(ap);
    BarePutc('\n');
}

// What a stop does to the read/write-mode bit on silicon, done on QEMU with an address-only
// write transaction to `slave`, with IRQs off and the events cleared so that the driver's
// interrupt event does not see it.
void ClearReadMode(BYTE slave, DWORD idbr = kStdIdbr, DWORD icrReg = kStdIcr, DWORD isr = kStdIsr) {
    if (!(BareRead32(isr) & kIsrReadMode)) return;
    const uint32_t cpsr = BareDisableIrq();
    const DWORD icr = BareRead32(icrReg);
    BareWrite32(idbr, (DWORD)slave << 1);
    BareWrite32(icrReg, (icr & ~0x1Fu) | 0x1u | 0x2u | 0x8u);  // start, stop, transfer
    BareWrite32(isr, 0x7F0);
    BareWrite32(icrReg, icr);
    BareRestoreIrq(cpsr);
}

// The same on the power-manager unit.
void ClearPwrReadMode(BYTE slave) {
    ClearReadMode(slave, kPwrIdbr, kPwrIcr, kPwrIsr);
}

// The result of a protocol routine that reads and then writes: success, or on QEMU the busy
// refusal of its write while the read/write-mode bit of its own read is still set.
bool okOrQemuReadMode(int result) {
    return result == 1 ||
           (result == 0 && GetLastError() == ERROR_BUSY && (BareRead32(kStdIsr) & kIsrReadMode));
}

void section(const char* name) {
    BarePrintf("---- %s\n", name);
}

void printTime(const char* what, const SYSTEMTIME& t) {
    BarePrintf("     %s: %04u-%02u-%02u %02u:%02u:%02u weekday %u\n", what, t.wYear, t.wMonth, t.wDay,
               t.wHour, t.wMinute, t.wSecond, t.wDayOfWeek);
}

SYSTEMTIME makeTime(WORD y, WORD mo, WORD dow, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME t = {};
    t.wYear = y;
    t.wMonth = mo;
    t.wDayOfWeek = dow;
    t.wDay = d;
    t.wHour = h;
    t.wMinute = mi;
    t.wSecond = s;
    return t;
}

// The chip keeps running between the write and the read: allow a few seconds, no more. Written
// times sit early in their minute, so nothing above the seconds may move.
bool readBackMatches(const SYSTEMTIME& wrote, const SYSTEMTIME& got) {
    return got.wYear == wrote.wYear && got.wMonth == wrote.wMonth && got.wDay == wrote.wDay &&
           got.wDayOfWeek == wrote.wDayOfWeek && got.wHour == wrote.wHour && got.wMinute == wrote.wMinute &&
           got.wSecond >= wrote.wSecond && got.wSecond <= wrote.wSecond + 5;
}

bool bitsSet(DWORD addr, DWORD mask) {
    return (BareRead32(addr) & mask) == mask;
}

void checkPlatform() {
    section("processor and platform layer");
    const DWORD cpsr = ReadStatusRegister();
    check((cpsr & 0x1F) == 0x13, "CPSR mode is SVC (0x%x)", cpsr & 0x1F);
    check(IsPrivileged() != 0, "IsPrivileged is true in SVC mode");
    const DWORD mainId = ReadMainIdRegister();
    check(mainId == 0x69054117u, "main ID register reads 0x69054117 (0x%08x)", mainId);
    const DWORD id = GetProcessorID();
    check(id == 17, "GetProcessorID gives 17 (%u)", id);

    volatile DWORD* a = MapRegisters(0x40301680);
    volatile DWORD* b = MapRegisters(0x40301680);
    check(a && b && a != b && ((uintptr_t)a & 0xFFF) == 0x680 && ((uintptr_t)b & 0xFFF) == 0x680,
          "MapRegisters(0x40301680) gives two windows at page offset 0x680");
    if (a && b) {
        // The slave-address register through both windows and through the identity map.
        check(a[(kStdIsar - 0x40301680) / 4] == BareRead32(kStdIsar) &&
                  b[(kStdIsar - 0x40301680) / 4] == BareRead32(kStdIsar),
              "both windows reach the controller's registers");
        check(UnmapRegisters(a) != 0, "UnmapRegisters releases the first window");
        check(b[(kStdIsar - 0x40301680) / 4] == BareRead32(kStdIsar), "the second window stays usable");
        check(UnmapRegisters(b) != 0, "UnmapRegisters releases the second window");
    }
    volatile DWORD* t = MapRegisters(PXA_OSCR0);
    if (t) {
        // Bracketed by direct reads of the counter, so that a host that deschedules QEMU cannot
        // make a correct window look wrong: the window's count must fit inside the direct one.
        const uint32_t p0 = BareTicks();
        const DWORD t0 = *t;
        BareDelayMs(1);
        const DWORD t1 = *t;
        const uint32_t p1 = BareTicks();
        check(t1 - t0 >= 3000 && t1 - t0 <= p1 - p0,
              "OS timer counter through a window runs (%u ticks in 1 ms, %u between direct reads)", t1 - t0,
              p1 - p0);
        UnmapRegisters(t);
    } else {
        check(false, "MapRegisters(0x40A00010) for the OS timer");
    }
    check(BareGetStats().liveWindows == 0, "no register window left behind (%u)", BareGetStats().liveWindows);
}

void checkStandardUnitInit() {
    section("I2CInit, standard unit");
    SetLastError(12345);
    const int ok = I2CInit(I2C_UNIT_STANDARD);
    check(ok != 0 && GetLastError() == 0, "I2CInit(0x40301680) succeeds with last error 0 (%d, %u)", ok,
          GetLastError());
    check(bitsSet(PXA_CKEN, 1u << 14), "clock of the standard unit enabled (CKEN bit 14)");
    check(ClockIsEnabled(14) == 1, "ClockIsEnabled(14) reads 1");
    const DWORD gafr = BareRead32(kGafr3U);
    check(((gafr >> 10) & 3) == 1 && ((gafr >> 12) & 3) == 1,
          "pins 117 and 118 back on alternate function 1 (GAFR3_U 0x%08x)", gafr);
    check(bitsSet(kGpdr3, kPin117Bit | kPin118Bit),
          "pins 117 and 118 set as outputs by GPIOSetAltFn(pin, 1, 1)");
    // The recovery left both output latches low (QEMU shows an output pin's latch in GPLR).
    check((BareRead32(kGplr3) & (kPin117Bit | kPin118Bit)) == 0,
          "output latches of pins 117/118 low after the bus recovery");
    check((BareRead32(kStdIcr) & 0xFFFF) == 0xE0,
          "controller reset and enabled: ICR 0x%04x, fast mode as found", BareRead32(kStdIcr) & 0xFFFF);
    check((BareRead32(kStdIsar) & 0x7F) == 0x12, "own slave address 0x12 (ISAR 0x%x)", BareRead32(kStdIsar));
    check((BareRead32(PXA_INTC_ICMR) & (1u << kI2cIrq)) == 0,
          "interrupt detached again after I2CInit's unlock");
    check(BareGetStats().liveSysIntrs == 0, "SYSINTR given back by I2CInit's unlock");
}

void checkGpioOperations() {
    section("GPIO and clock operations of the I2C set-up");
    GPIOSetAltFn(117, -1, 0);
    check(((BareRead32(kGafr3U) >> 10) & 3) == 0 && !(BareRead32(kGpdr3) & kPin117Bit),
          "GPIOSetAltFn(117, -1, 0): GPIO function, input");
    GPIOSetLevel(117, 1);
    GPIOSetDir(117, 1);
    check(bitsSet(kGpdr3, kPin117Bit), "GPIOSetDir(117, 1): output");
    check(GPIOGetLevel(117) == 1, "GPIOSetLevel(117, 1) on an output reads back high");
    GPIOSetLevel(117, 0);
    check(GPIOGetLevel(117) == 0, "GPIOSetLevel(117, 0) reads back low");
    GPIOSetDir(117, 0);
    check(!(BareRead32(kGpdr3) & kPin117Bit) && bitsSet(kGpdr3, kPin118Bit),
          "GPIOSetDir(117, 0): input again, pin 118 untouched");
    check(GPIOGetLevel(117) == 0, "pin 117 as an input reads 0 (no pull-up in QEMU)");
    GPIOSetAltFn(117, 1, 1);
    check(((BareRead32(kGafr3U) >> 10) & 3) == 1 && bitsSet(kGpdr3, kPin117Bit),
          "GPIOSetAltFn(117, 1, 1) restores the bus function");
    check(GPIOGetDefaultAltFn(117) == 0 && GPIOGetDefaultAltFn(121) == -1,
          "default function 0 for pin 117; pin 121 invalid");
    check(ClockEnable(14, 1) == 1 && ClockIsEnabled(14) == 1, "ClockEnable(14, 1) confirms");
}

void checkLockUnlock() {
    section("lock and unlock");
    check(I2CLock(INFINITE) != 0, "I2CLock(INFINITE) takes the lock");
    check((BareRead32(PXA_INTC_ICMR) & (1u << kI2cIrq)) != 0,
          "controller interrupt (input 18) unmasked while locked");
    check((BareRead32(kStdIcr) & 0x1700) == 0x1700, "controller interrupt enables set (ICR 0x%04x)",
          BareRead32(kStdIcr) & 0xFFFF);
    // I2CInit's unlock recorded the bit as the controller had it before (clear after reset): the
    // program's transfers run at that speed.
    check((BareRead32(kStdIcr) & 0x8000) == 0, "bus speed as before I2CInit (fast-mode bit clear)");
    check(BareGetStats().liveSysIntrs == 1, "one SYSINTR held while locked");
    check(I2CUnlock() != 0, "I2CUnlock releases the lock");
    check((BareRead32(PXA_INTC_ICMR) & (1u << kI2cIrq)) == 0, "interrupt masked again after unlock");
    check((BareRead32(kStdIcr) & 0x8000) == 0, "fast-mode bit put back as the lock found it");
    check(BareGetStats().liveSysIntrs == 0, "SYSINTR released by the unlock");
}

void checkProtocol1() {
    section("protocol 1 against the ds1338");
    // The model keeps the weekday as an offset from the date it holds when the weekday byte
    // arrives, before the new date: a burst that changes the weekday of the date reads back
    // shifted. Written dates share the weekday of the date the chip holds (the -rtc base is a
    // Sunday).
    const SYSTEMTIME wrote = makeTime(2024, 3, 0, 17, 10, 20, 5);  // Sunday 17 March 2024
    SetLastError(12345);
    const int w = WriteRtcProtocol1(&wrote, kChipAddr);
    check(w == 1 && GetLastError() == 0, "WriteRtcProtocol1 succeeds (%d, last error %u)", w, GetLastError());
    SYSTEMTIME got = {};
    const int r = ReadRtcProtocol1(&got, kChipAddr);
    printTime("read", got);
    check(r == 1 && readBackMatches(wrote, got), "ReadRtcProtocol1 gives the time written");
    ClearReadMode(kChipAddr);
    BYTE raw[8] = {};
    check(I2CReadRegs(kChipAddr, raw, 0x00, 8) == 1, "I2CReadRegs of registers 0x00..0x07");
    ClearReadMode(kChipAddr);
    check(raw[7] == 0x00 && raw[0] >= 0x05 && raw[0] <= 0x10 && raw[1] == 0x20 && raw[2] == 0x10 &&
              raw[4] == 0x17 && raw[5] == 0x03 && raw[6] == 0x24,
          "raw registers in BCD: %02x %02x %02x .. %02x %02x %02x, 0x07 = %02x", raw[0], raw[1], raw[2],
          raw[4], raw[5], raw[6], raw[7]);
}

void checkProtocol2() {
    section("protocol 2 against the ds1338 (0x0E/0x0F are RAM in the model)");
    const BYTE preset[2] = {0x9C, 0x00};
    check(I2CWriteRegs(kChipAddr, preset, 0x0E, 2) == 1, "preset 0x0E = 0x9C, 0x0F = 0x00");
    const SYSTEMTIME wrote = makeTime(2026, 11, 0, 8, 8, 45, 10);  // Sunday 8 November 2026
    const int w = WriteRtcProtocol2(&wrote, kChipAddr);
    const bool fullWrite = w == 1;
    check(okOrQemuReadMode(w), "WriteRtcProtocol2: time written, control read (%d, last error %u%s)", w,
          GetLastError(), fullWrite ? "" : ": its final write met QEMU's read/write-mode bit");
    ClearReadMode(kChipAddr);
    BYTE ctl[2] = {};
    check(I2CReadRegs(kChipAddr, ctl, 0x0E, 2) == 1, "read back 0x0E..0x0F");
    ClearReadMode(kChipAddr);
    if (fullWrite)
        check(ctl[0] == 0x1C && ctl[1] == 0x03,
              "control bit 7 cleared, status = (old & 0x7C) | 0x03 (%02x %02x)", ctl[0], ctl[1]);
    else
        check(ctl[0] == 0x9C && ctl[1] == 0x00,
              "control and status untouched by the refused write (%02x %02x)", ctl[0], ctl[1]);
    SYSTEMTIME got = {};
    const int r = ReadRtcProtocol2(&got, kChipAddr);
    ClearReadMode(kChipAddr);
    printTime("read", got);
    check(r == 1 && readBackMatches(wrote, got), "ReadRtcProtocol2 gives the time written");

    const BYTE invalid = 0x80;
    check(I2CWriteRegs(kChipAddr, &invalid, 0x0F, 1) == 1, "preset 0x0F = 0x80 (time not valid)");
    SYSTEMTIME flagged = {};
    const int rf = ReadRtcProtocol2(&flagged, kChipAddr);
    ClearReadMode(kChipAddr);
    check(rf == 1 && flagged.wYear == RTC_INVALID_YEAR,
          "ReadRtcProtocol2 succeeds and flags the time invalid (year 0x%x)", flagged.wYear);
    const BYTE valid = 0x00;
    check(I2CWriteRegs(kChipAddr, &valid, 0x0F, 1) == 1, "preset 0x0F = 0x00 (time valid)");
    SYSTEMTIME again = {};
    check(ReadRtcProtocol2(&again, kChipAddr) == 1 && again.wYear == 2026, "time valid again");
    ClearReadMode(kChipAddr);
}

void checkProtocol3Missing() {
    section("protocol 3 at an empty address");
    BareResetIrqCounts();
    const DWORD donesBefore = BareGetStats().interruptDones;
    SYSTEMTIME got = {};
    SetLastError(0);
    const int r = ReadRtcProtocol3(&got, kEmptyAddr);
    const DWORD irqs = BareGetStats().irqDeliveries[kI2cIrq];
    check(r == 0, "ReadRtcProtocol3 at 0x%02x fails", kEmptyAddr);
    check(GetLastError() == ERROR_INVALID_ADDRESS,
          "with last error 487 (%u): the address byte was not acknowledged", GetLastError());
    // Each failed attempt re-arms the interrupt twice: after its address byte, and again when it
    // ends the transaction and leaves the controller clean.
    check(irqs == 2 && BareGetStats().interruptDones - donesBefore == 4,
          "after exactly two attempts: %u address-byte interrupts, %u InterruptDone", irqs,
          BareGetStats().interruptDones - donesBefore);
    check((BareRead32(kStdIsr) & 0x7F0) == 0, "no event bit left in ISR (0x%03x)",
          BareRead32(kStdIsr) & 0x7FF);
    check((BareRead32(kStdIcr) & 0x1F) == 0,
          "no start, stop, ACK/NAK, transfer or master abort left in ICR (0x%04x)",
          BareRead32(kStdIcr) & 0xFFFF);
    check((BareRead32(PXA_INTC_ICMR) & (1u << kI2cIrq)) != 0, "controller interrupt still unmasked");
    // Each failed address phase ended with a master abort (a stop); the next transfer starts afresh.
    SYSTEMTIME after = {};
    check(ReadRtcProtocol2(&after, kChipAddr) == 1 && after.wYear == 2026,
          "the ds1338 still answers afterwards");
    ClearReadMode(kChipAddr);
}

// QEMU's clock may read up to a second behind its -rtc base at the start of the run.
bool matchesRtcBase(const SYSTEMTIME& got) {
    const int seconds = ((got.wHour - kBaseHour) * 60 + (got.wMinute - kBaseMinute)) * 60 + got.wSecond;
    return got.wYear == kBaseYear && got.wMonth == kBaseMonth && got.wDay == kBaseDay && seconds >= -2 &&
           seconds <= 120;
}

void checkProtocol4() {
    section("protocol 4 against the m41t80 on the standard unit (0x69)");
    SetLastError(0);
    const int prep = PrepareRtcProtocol4(kP4ChipAddr);
    check(okOrQemuReadMode(prep), "PrepareRtcProtocol4: halt register read (%d, last error %u%s)", prep,
          GetLastError(), prep == 1 ? "" : ": its write-back met QEMU's read/write-mode bit");
    check(BareGetStats().waitTimeouts == 0, "no byte timed out");
    ClearReadMode(kP4ChipAddr);
    SYSTEMTIME got = {};
    const int r = ReadRtcProtocol4(&got, kP4ChipAddr);
    const DWORD err = GetLastError();
    ClearReadMode(kP4ChipAddr);
    printTime("read", got);
    check(r == 1 && err == 0, "ReadRtcProtocol4 succeeds (%d, last error %u)", r, err);
    check(r == 1 && got.wYear != RTC_INVALID_YEAR && matchesRtcBase(got),
          "time is the -rtc base 2025-06-15 12:34:00 plus the run time (within -2 s..+2 min)");
    // Protocol 4 keeps Sunday as 1; QEMU's model counts Sunday as 0, which decodes one lower.
    check(got.wDayOfWeek == kBaseWeekday || got.wDayOfWeek == (WORD)(kBaseWeekday - 1),
          "weekday is Sunday in the driver's or the model's convention (0x%x)", got.wDayOfWeek);
}

void checkPowerManagerUnit() {
    section("power-manager unit and protocol 4 against the m41t80");
    BareWrite32(PXA_PCFR, BareRead32(PXA_PCFR) & ~0x40u);
    SetLastError(12345);
    const int ok = I2CInit(I2C_UNIT_PWRMGR);
    check(ok != 0 && GetLastError() == 0, "I2CInit(0x40F00180) succeeds with last error 0 (%d, %u)", ok,
          GetLastError());
    check(bitsSet(PXA_PCFR, 0x40), "power-manager configuration bit 0x40 set (PCFR 0x%08x)",
          BareRead32(PXA_PCFR));
    check(bitsSet(PXA_CKEN, 1u << 15), "clock of the power-manager unit enabled (CKEN bit 15)");
    check((BareRead32(kPwrIcr) & 0xFFFF) == 0xE0 && (BareRead32(kPwrIsar) & 0x7F) == 0x12,
          "power-manager controller reset and enabled (ICR 0x%04x)", BareRead32(kPwrIcr) & 0xFFFF);
    check(BareGetStats().liveWindows >= 1, "the unit's register window stays mapped");

    check(I2CLock(INFINITE) != 0, "I2CLock on the power-manager unit");
    // The power-manager unit signals on its own interrupt-controller input, 6, not on the
    // standard unit's 18.
    BareResetIrqCounts();
    const DWORD timeoutsBefore = BareGetStats().waitTimeouts;
    SetLastError(12345);
    SYSTEMTIME got = {};
    const int r = ReadRtcProtocol4(&got, kChipAddr);
    const DWORD err = GetLastError();
    printTime("read", got);
    check(r == 1 && err == 0, "ReadRtcProtocol4 on the power-manager unit succeeds (%d, last error %u)", r,
          err);
    check(BareGetStats().waitTimeouts == timeoutsBefore, "no byte timed out");
    check(BareGetStats().irqDeliveries[6] > 0 && BareGetStats().irqDeliveries[kI2cIrq] == 0,
          "its bytes completed on input 6 (%u interrupts), none on 18", BareGetStats().irqDeliveries[6]);
    check(r == 1 && got.wYear != RTC_INVALID_YEAR && matchesRtcBase(got),
          "time is the -rtc base 2025-06-15 12:34:00 plus the run time (within -2 s..+2 min)");
    check(I2CUnlock() != 0, "I2CUnlock");
}

bool contains(const char* text, const char* part) {
    for (; *text; ++text) {
        const char* a = text;
        const char* b = part;
        while (*b && *a == *b) ++a, ++b;
        if (!*b) return true;
    }
    return false;
}

bool sameText(const char16_t* wide, const char* narrow) {
    while (wide && *wide && *wide == (char16_t)*narrow) ++wide, ++narrow;
    return wide && *wide == 0 && *narrow == 0;
}

char g_debugText[1024];

// One run of Tamblin.exe as a fresh process; its debug output kept in g_debugText.
uint32_t runProgram(const char16_t* commandLine, const char* what) {
    BareProgram program = {};
    char error[160];
    if (!BareLoadProgram(&program, error, sizeof error)) {
        check(false, "the loader takes Tamblin.exe (%s)", error);
        return 0xFFFFFFFFu;
    }
    BarePrintf(
        "     %s: Tamblin.exe (%u bytes) at 0x%08x (file's base 0x%08x), %u base relocations, %u imports\n",
        what, program.fileSize, program.base, program.preferredBase, program.relocations, program.imports);
    BarePuts("     debug output: ");
    BareCapture(g_debugText, sizeof g_debugText);
    const uint32_t code = BareStartProgram(program, commandLine);
    BareCapture(nullptr, 0);
    BarePutc('\n');
    return code;
}

void ClearStdReadMode(BYTE slave) {
    ClearReadMode(slave);
}

// A boot of the file from a protocol-1 chip at `slave` that holds `chip`: its exit code, its line,
// and the system clock it set.
void checkBootFrom(const SYSTEMTIME& chip, BYTE slave, void (*clearReadMode)(BYTE)) {
    const SYSTEMTIME powerUp = makeTime(2000, 1, 6, 1, 0, 0, 0);
    SetSystemTime(&powerUp);
    const uint32_t code = runProgram(u"", "boot");
    clearReadMode(slave);
    check(code == 1, "boot: exit code 1 (%u)", code);
    check(contains(g_debugText, "RTC Time restored (15.06.2025 12:34:1"),
          "boot: \"RTC Time restored (15.06.2025 12:34:1x)\" (chip at 0x%02x)", slave);
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    printTime("system time", now);
    check(readBackMatches(chip, now), "boot: the system clock set from the chip");
}

// A time change to a Sunday in March: the file's exit code and line, and what the chip holds then.
void checkStoreTo(BYTE slave, DWORD unit, void (*clearReadMode)(BYTE)) {
    const SYSTEMTIME userTime = makeTime(2024, 3, 0, 17, 10, 20, 5);
    SetSystemTime(&userTime);
    const uint32_t code = runProgram(u"AppRunAfterTimeChange", "time change");
    clearReadMode(slave);
    check(code == 1, "time change: exit code 1 (%u)", code);
    check(contains(g_debugText, "RTC Time set (17.03.2024 10:20:0"),
          "time change: \"RTC Time set (17.03.2024 10:20:0x)\"");
    SYSTEMTIME got = {};
    int r = 0;
    if (I2CInit(unit) && I2CLock(INFINITE)) {
        r = ReadRtcProtocol1(&got, slave);
        clearReadMode(slave);
        I2CUnlock();
    }
    printTime("chip", got);
    check(r == 1 && readBackMatches(userTime, got), "time change: the chip at 0x%02x holds the system time",
          slave);
}

void checkDeviceFile() {
    section("Tamblin.exe through the loader (protocol 1 at 0x68, as the image's registry has it)");
    const BareStats before = BareGetStats();
    // A summer Sunday (the model's weekday is an offset from the date it holds), early in its minute.
    const SYSTEMTIME chip = makeTime(2025, 6, 0, 15, 12, 34, 10);
    I2CLock(INFINITE);
    check(WriteRtcProtocol1(&chip, kChipAddr) == 1, "the ds1338 set to 2025-06-15 12:34:10");
    ClearReadMode(kChipAddr);
    I2CUnlock();
    checkBootFrom(chip, kChipAddr, ClearStdReadMode);
    const BareProcessRecord& record = BareGetProcessRecord();
    check(record.daylight == 1 && record.daylightSets == 1,
          "boot: daylight saving in effect for a June date in CET (%u)", record.daylight);
    check(record.runAppAtTimeCancels == 1, "boot: the shell's daylight-saving event cancelled");
    const WCHAR* app = nullptr;
    const WCHAR* args = nullptr;
    check(BareNotificationCount() == 2 && BareNotification(0, &app, &args) &&
              sameText(app, "\\WINDOWS\\TAMBLIN.EXE") && sameText(args, "AppRunAfterTimeChange"),
          "boot: registered for time changes as \\WINDOWS\\TAMBLIN.EXE AppRunAfterTimeChange");
    check(BareNotification(1, &app, &args) && sameText(app, "\\WINDOWS\\TAMBLIN.EXE") &&
              sameText(args, "AppRunAfterTzChange"),
          "boot: registered for zone changes as \\WINDOWS\\TAMBLIN.EXE AppRunAfterTzChange");
    check(record.startedSignals == 0, "boot without a launch number: no SignalStarted");
    check(BareGetStats().liveObjects == before.liveObjects &&
              BareGetStats().liveWindows == before.liveWindows &&
              BareGetStats().liveSysIntrs == before.liveSysIntrs &&
              BareGetStats().bridgeRequests == before.bridgeRequests,
          "boot: nothing of the process left behind, no kernel-bridge request (privileged)");

    checkStoreTo(kChipAddr, I2C_UNIT_STANDARD, ClearStdReadMode);

    const uint32_t code = runProgram(u"", "boot again");
    ClearReadMode(kChipAddr);
    check(code == 1 && BareNotificationCount() == 2,
          "boot again: its earlier registrations replaced, not doubled (%u)", BareNotificationCount());

    // Started by the kernel from [HKEY_LOCAL_MACHINE\init] as launch 25.
    const uint32_t launched = runProgram(u"25", "boot as launch 25");
    ClearReadMode(kChipAddr);
    check(launched == 1 && record.startedSignals == 1 && record.lastStarted == 25,
          "boot as launch 25: SignalStarted(25) once, after the boot (%u calls)", record.startedSignals);

    const SYSTEMTIME zoneTime = makeTime(2024, 3, 0, 17, 11, 30, 5);
    SetSystemTime(&zoneTime);
    const uint32_t stored = runProgram(u"AppRunAfterTzChange", "zone change");
    ClearReadMode(kChipAddr);
    check(stored == 1 && contains(g_debugText, "RTC Time set (17.03.2024 11:30:0"),
          "zone change: \"RTC Time set (17.03.2024 11:30:0x)\", as after a time change");
    check(record.startedSignals == 1, "zone change: no SignalStarted on the store path");
}

// The same file on a board whose chip is on the power-manager unit's bus: the image's registry
// names the unit (I2CBus 1) and the chip (protocol 1 at 0x6A, a ds1338 there). Protocol 4's
// preparing step, a read and a write-back, meets QEMU's read/write-mode bit on the m41t80 (see
// checkProtocol4): a protocol-1 chip shows the program's own run.
void checkDeviceFileOnPowerManagerUnit() {
    section("Tamblin.exe on the power-manager unit (I2CBus 1: protocol 1 at 0x6A, a ds1338)");
    constexpr BYTE kPwrChipAddr = 0x6A;
    const SYSTEMTIME chip = makeTime(2025, 6, 0, 15, 12, 34, 10);  // a Sunday, as for the standard unit's
    int w = 0;
    if (I2CInit(I2C_UNIT_PWRMGR) && I2CLock(INFINITE)) {
        ClearPwrReadMode(kChipAddr);  // left by the m41t80's read above
        w = WriteRtcProtocol1(&chip, kPwrChipAddr);
        ClearPwrReadMode(kPwrChipAddr);
        I2CUnlock();
    }
    check(w == 1, "the ds1338 at 0x6A on the power-manager bus set to 2025-06-15 12:34:10");
    BareSetProgramValue(u"Protocol", 1);
    BareSetProgramValue(u"SlaveAddr", kPwrChipAddr);
    BareSetProgramValue(u"I2CBus", 1);
    BareResetIrqCounts();
    checkBootFrom(chip, kPwrChipAddr, ClearPwrReadMode);
    check(BareGetStats().irqDeliveries[6] > 0 && BareGetStats().irqDeliveries[kI2cIrq] == 0,
          "boot: its bytes completed on input 6 (%u interrupts), none on 18",
          BareGetStats().irqDeliveries[6]);
    checkStoreTo(kPwrChipAddr, I2C_UNIT_PWRMGR, ClearPwrReadMode);
}

}  // namespace

extern "C" int BareMain(void) {
    BareMmuInit();
    BareWrite32(PXA_INTC_ICMR, 0);
    BareEnableIrq();
    BarePuts("Tamblin bare-metal checks on mainstone (PXA27x)\n");

    checkPlatform();
    checkStandardUnitInit();
    checkGpioOperations();
    checkLockUnlock();
    I2CLock(INFINITE);
    checkProtocol1();
    checkProtocol2();
    checkProtocol3Missing();
    checkProtocol4();
    I2CUnlock();
    checkDeviceFile();
    checkPowerManagerUnit();
    checkDeviceFileOnPowerManagerUnit();

    section("platform resources");
    check(BareGetStats().bridgeRequests == 0, "no kernel-bridge request from a privileged process (%u)",
          BareGetStats().bridgeRequests);
    check(BareGetStats().liveSysIntrs == 0, "every SYSINTR released");

    BarePrintf("%d of %d checks failed\n", g_failures, g_checks);
    return g_failures;
}
