// The transfer engine: one byte at a time, each started by a control-register write and finished
// by the controller's interrupt.
#include "../platform/hwaccess.h"
#include "../platform/platform.h"
#include "i2c.h"
#include "i2c_driver.h"

I2CDriverState g_i2c = {
    0,                        // regs: none mapped
    0,                        // busMutex
    0,                        // intrEvent
    0,                        // sysIntr
    I2C_SPEED_STANDARD,       // savedFastMode
    0,                        // recoveryNeeded
    I2C_SPEED_FAST_AT_START,  // fastModeSetting
    I2C_IRQ_STANDARD,         // irq
    0,                        // byteStatus
    0,                        // slaveTransmits
    0,                        // heldLines
};

static DWORD ReadReg(DWORD offset) {
    return HwRead32(g_i2c.regs + offset / 4);
}
static void WriteReg(DWORD offset, DWORD value) {
    HwWrite32(g_i2c.regs + offset / 4, value);
}

static BOOL SlaveRefused(DWORD slave) {
    return slave == 0x00 || slave == I2C_OWN_SLAVE_ADDR || slave > 0x7F;
}

// Control word of an address byte: a start condition precedes it, and arbitration-loss interrupts
// stay off until the first data byte.
static DWORD AddressControl(void) {
    DWORD ctl = ReadReg(I2C_CONTROL);
    ctl &= ~(CTL_START | CTL_STOP);
    ctl |= CTL_START;
    ctl &= ~(CTL_ABORT | CTL_ARB_LOSS_IE);
    return ctl | CTL_TRANSFER;
}

static DWORD DataControl(BOOL last, int stop) {
    DWORD ctl = ReadReg(I2C_CONTROL);
    ctl &= ~(CTL_START | CTL_STOP);
    if (last && stop) ctl |= CTL_STOP;
    ctl &= ~CTL_ABORT;
    return ctl | CTL_ARB_LOSS_IE | CTL_TRANSFER;
}

// One signalled wait: the status decides. `done` is the direction's completion bit, `others` the
// event bits that must be clear with it, `wrong` the other direction's completion bit.
static int WaitByte(DWORD timeoutMs, DWORD done, DWORD others, DWORD busErrorCode, DWORD wrong) {
    if (WaitForSingleObject(g_i2c.intrEvent, timeoutMs) != WAIT_OBJECT_0) {
        // Nothing came: the status is left as it is (for the clean-up after the failure to read)
        // and the interrupt stays masked.
        g_i2c.byteStatus = ReadReg(I2C_STATUS);
        SetLastError(ERROR_TIMEOUT);
        return 0;
    }
    DWORD status = ReadReg(I2C_STATUS);
    g_i2c.byteStatus = status;
    int result = 0;
    if ((status & done) && !(status & others)) {
        SetLastError(ERROR_SUCCESS);
        result = 1;
    } else if (status & STS_BUS_EVENTS) {
        SetLastError(ERROR_IO_DEVICE);
    } else if (status & STS_BUS_ERROR) {
        SetLastError(busErrorCode);
    } else if (status & wrong) {
        SetLastError(ERROR_OPERATION_ABORTED);
    }
    WriteReg(I2C_STATUS, STS_EVENTS);
    BridgeInterruptDone(g_i2c.sysIntr);
    return result;
}

int I2CWaitTx(DWORD timeoutMs) {
    return WaitByte(timeoutMs, STS_TX_EMPTY, STS_EVENTS_BUT_TX_EMPTY, ERROR_INVALID_ADDRESS, STS_RX_FULL);
}

int I2CWaitRx(DWORD timeoutMs) {
    return WaitByte(timeoutMs, STS_RX_FULL, STS_EVENTS_BUT_RX_FULL, ERROR_IO_DEVICE, STS_TX_EMPTY);
}

void I2CResetUnit(DWORD keep) {
    WriteReg(I2C_CONTROL, CTL_RESET);
    WriteReg(I2C_STATUS, STS_EVENTS);
    WriteReg(I2C_OWN_ADDR, I2C_OWN_SLAVE_ADDR);
    WriteReg(I2C_CONTROL, CTL_ENABLE_VALUE | keep);
}

// Ends the transaction without another byte: a master abort, which is a stop. A byte still under
// way (the unit clears the transfer bit when its byte is done; a slave holding SCL low keeps it
// set) leaves only a unit reset to let go of the bus; the unit comes back as the lock set it up.
static void StopWithoutByte(void) {
    DWORD ctl = ReadReg(I2C_CONTROL);
    if (ctl & CTL_TRANSFER) {
        I2CResetUnit(CTL_INTERRUPTS | (ctl & CTL_FAST_MODE));
        return;
    }
    WriteReg(I2C_CONTROL, (ctl & ~(CTL_START | CTL_NAK)) | CTL_STOP | CTL_ABORT);
    DelayUs(I2C_STOP_SETTLE_US);
}

// Event bits cleared, a signal that came after its wait gave up forgotten, the interrupt
// re-armed: the next byte's wait sees only its own byte.
static void ClearEvents(void) {
    WriteReg(I2C_STATUS, STS_EVENTS);
    ResetEvent(g_i2c.intrEvent);
    BridgeInterruptDone(g_i2c.sysIntr);
}

// Which lines stay low once a failed transfer has ended what it could: what tells a missing chip
// (none) from a slave stuck in the middle of a byte (SDA) or something holding the clock (SCL). A
// unit without its clock reads as all zeros and says nothing about the lines.
static void NoteHeldLines(void) {
    g_i2c.heldLines = 0;
    if (!(ReadReg(I2C_CONTROL) & CTL_UNIT_ENABLE)) return;
    DWORD lines = ReadReg(I2C_BUS_MONITOR);
    if (!(lines & BUS_MONITOR_SCL)) g_i2c.heldLines |= I2C_LINE_SCL;
    if (!(lines & BUS_MONITOR_SDA)) g_i2c.heldLines |= I2C_LINE_SDA;
}

DWORD I2CHeldLines(void) {
    return g_i2c.heldLines;
}

// A failed byte leaves its transaction open: the chip still expects bytes, or, as a transmitter,
// drives SDA with its next one, and a stuck bus blocks every other master. After a timeout the
// event bits also stay set and the interrupt masked, which would fail the next byte as well. So a
// failed transfer ends its transaction and leaves a clean controller; the last error stays the
// failure's. Returns 0, the failed transfer's result.
static int EndFailedTransfer(void) {
    DWORD error = GetLastError();
    DWORD ctl = ReadReg(I2C_CONTROL);
    DWORD status = g_i2c.byteStatus;
    if (ctl & CTL_TRANSFER) {
        StopWithoutByte();
    } else if ((status & STS_ARB_LOST) && !(status & (STS_TX_EMPTY | STS_RX_FULL))) {
        // Another master won the bus and ends its transaction itself. (The unit sends a lost
        // address again once the bus is free; when that has gone out, the transaction is this
        // one's again and is ended below.)
    } else if ((ctl & CTL_STOP) && (status & (STS_TX_EMPTY | STS_RX_FULL))) {
        // The failed byte completed and carried the stop: the transaction is over.
    } else if (g_i2c.slaveTransmits) {
        // A slave transmitter lets go of SDA only when the master refuses a byte: read one more,
        // refuse it and stop after it.
        ClearEvents();
        WriteReg(I2C_CONTROL, DataControl(TRUE, 1) | CTL_NAK);
        if (I2CWaitRx(I2C_WAIT_MS))
            DelayUs(I2C_STOP_SETTLE_US);
        else
            StopWithoutByte();
    } else {
        StopWithoutByte();
    }
    g_i2c.slaveTransmits = 0;
    WriteReg(I2C_CONTROL, ReadReg(I2C_CONTROL) & ~(CTL_START | CTL_STOP | CTL_NAK | CTL_ABORT));
    ClearEvents();
    NoteHeldLines();
    SetLastError(error);
    return 0;
}

// The master sends the address byte after a start condition (a repeated start while the bus is
// still held), in either direction.
static int SendAddressByte(DWORD addressByte) {
    WriteReg(I2C_DATA, addressByte);
    WriteReg(I2C_STATUS, STS_TX_EMPTY);
    WriteReg(I2C_CONTROL, AddressControl());
    int sent = I2CWaitTx(I2C_WAIT_MS);
    // An acknowledged read address makes the slave the transmitter, whatever else came with it:
    // an address that lost arbitration is sent again by the unit once the bus is free, and its
    // completion then carries the arbitration loss too.
    DWORD status = g_i2c.byteStatus;
    g_i2c.slaveTransmits = (addressByte & 1) && (status & STS_TX_EMPTY) && !(status & STS_BUS_ERROR);
    return sent;
}

int I2CSend(DWORD slaveArg, const BYTE* bytes, DWORD count, int stop) {
    DWORD slave = slaveArg & 0xFF;
    if (slave != I2C_SLAVE_NONE) {
        if (SlaveRefused(slave)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (!SendAddressByte(slave << 1)) return EndFailedTransfer();
    }
    if (count == 0) {
        if (stop) {
            // A stop needs a byte to carry it: the call is refused, and what its address opened
            // is ended.
            SetLastError(ERROR_INVALID_PARAMETER);
            return EndFailedTransfer();
        }
        goto done;
    }
    for (DWORD i = 0; i < count; ++i) {
        WriteReg(I2C_DATA, bytes[i]);
        WriteReg(I2C_STATUS, STS_TX_EMPTY);
        WriteReg(I2C_CONTROL, DataControl(i + 1 == count, stop));
        if (!I2CWaitTx(I2C_WAIT_MS)) return EndFailedTransfer();
    }
    if (stop) DelayUs(I2C_STOP_SETTLE_US);
done:
    WriteReg(I2C_CONTROL, ReadReg(I2C_CONTROL) & ~CTL_STOP);
    return 1;
}

int I2CReceive(DWORD slaveArg, BYTE* buffer, DWORD count, int stop) {
    DWORD slave = slaveArg & 0xFF;
    if (slave != I2C_SLAVE_NONE) {
        if (SlaveRefused(slave)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        // The master sends the address byte, so its completion is a sent byte.
        if (!SendAddressByte((slave << 1) | 1)) return EndFailedTransfer();
    }
    if (count == 0) {
        if (!stop) goto done;
        if (g_i2c.slaveTransmits) {
            // Nothing to read, but the slave that acknowledged its read address already drives
            // the first bit of its first byte: a stop can only follow a byte the master refused.
            // That byte is read, refused and dropped.
            WriteReg(I2C_CONTROL, DataControl(TRUE, 1) | CTL_NAK);
            if (!I2CWaitRx(I2C_WAIT_MS)) return EndFailedTransfer();
            g_i2c.slaveTransmits = 0;
            goto settle;
        }
        // Nothing to read: end the transfer with a master abort and a stop, no byte moves.
        WriteReg(I2C_CONTROL, (ReadReg(I2C_CONTROL) & ~CTL_START) | CTL_STOP | CTL_ABORT);
        goto settle;
    }
    for (DWORD i = 0; i < count; ++i) {
        BOOL last = i + 1 == count;
        DWORD ctl = DataControl(last, stop);
        // The master does not acknowledge the last byte it wants.
        ctl = last ? (ctl | CTL_NAK) : (ctl & ~CTL_NAK);
        WriteReg(I2C_CONTROL, ctl);
        int received = I2CWaitRx(I2C_WAIT_MS);
        // A refused byte that arrived ends the slave's sending.
        if (last && (g_i2c.byteStatus & STS_RX_FULL)) g_i2c.slaveTransmits = 0;
        if (!received) return EndFailedTransfer();
        buffer[i] = (BYTE)(ReadReg(I2C_DATA) & 0xFF);
    }
settle:
    if (stop) DelayUs(I2C_STOP_SETTLE_US);
done:
    WriteReg(I2C_CONTROL, ReadReg(I2C_CONTROL) & ~(CTL_STOP | CTL_NAK));
    return 1;
}

// A transfer must not start while the controller still reports one in progress.
static int WaitNotBusy(void) {
    g_i2c.heldLines = 0;
    if (!(ReadReg(I2C_STATUS) & STS_BUSY)) return 1;
    Sleep(1);
    if (!(ReadReg(I2C_STATUS) & STS_BUSY)) return 1;
    NoteHeldLines();
    SetLastError(ERROR_BUSY);
    return 0;
}

int I2CWriteRegs(DWORD slave, const BYTE* data, int reg, DWORD length) {
    if (!WaitNotBusy()) return 0;
    if (reg & I2C_REG_NONE) return I2CSend(slave, data, length, 1);
    BYTE regByte = (BYTE)(reg & 0xFF);
    if (!I2CSend(slave, &regByte, 1, length == 0)) return 0;
    if (length == 0) return 1;
    // The data continue the transaction the register byte opened.
    return I2CSend(I2C_SLAVE_NONE, data, length, 1);
}

int I2CReadRegs(DWORD slave, BYTE* buffer, int reg, DWORD length) {
    if (!WaitNotBusy()) return 0;
    if (reg & I2C_REG_NONE) return I2CReceive(slave, buffer, length, 1);
    BYTE regByte = (BYTE)(reg & 0xFF);
    if (!I2CSend(slave, &regByte, 1, 0)) return 0;
    // The bus is still held, so this start is a repeated start.
    return I2CReceive(slave, buffer, length, 1);
}

void DelayUs(DWORD microseconds) {
    volatile DWORD* counter = MapRegisters(OS_TIMER_COUNTER_ADDR);
    if (counter != 0) {
        DWORD ticks = (OS_TIMER_TICKS_PER_4US * microseconds + 3u) / 4u;
        DWORD target = HwRead32(counter) + ticks;
        // The signed difference stays right across the counter's wrap.
        while ((LONG)(HwRead32(counter) - target) < 0) {
        }
    }
    UnmapRegisters(counter);
}
