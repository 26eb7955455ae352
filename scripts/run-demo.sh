#!/usr/bin/env bash
# `make run`: a fresh default board whose registry starts Tamblin at boot as an OS image does, a
# power-up that boots it through [HKEY_LOCAL_MACHINE\init], a time change and a zone change that the
# board's notification service answers by starting Tamblin again, and the board afterwards.
set -u
bin=${1:-build/bin}
board=${2:-build/run-board}
top=$(cd "$(dirname "$0")/.." && pwd)
vb() { "$bin/vboard" --board "$board" "$@"; }
step() { printf '\n== %s\n' "$*"; }

rm -rf "$board"
step "A fresh default board, its registry merged as an image's: the platform's common launches and device/tamblin.reg"
vb init || exit 1
vb registry import "$top/tests/fixtures/ce5-common-init.reg" "$top/device/tamblin.reg" | sed 's/^/   /'
export TAMBLIN_BOARD=$board

step "Power-up: the kernel starts the launches in order; Tamblin.exe 25 reads the chip, sets the system"
echo "   clock (UTC), registers for time and zone changes and calls SignalStarted(25). Its debug output:"
vb power down > /dev/null
vb power up 2>&1 | sed 's/^/   | /'
code=${PIPESTATUS[0]}
echo "   vboard power up exited with $code ($([ "$code" = 0 ] && echo "every launch made, every program signalled" ||
    echo "see the lines above"))"

# An hour on from now, so that the time set and the boot's daylight decision fall in one season.
later=$(date -u -d '+1 hour' '+%Y-%m-%d %H:%M:%S')
step "A user sets the clock to $later UTC; the notification service starts"
echo "   \\Windows\\Tamblin.exe AppRunAfterTimeChange, which writes the new time into the chip"
vb set-time "$later" 2>&1 | sed 's/^/   /'

step "The user changes the time zone, as the Control Panel does: the local time stays and UTC moves; the"
echo "   notification service starts \\Windows\\Tamblin.exe AppRunAfterTzChange, which writes the new UTC"
vb zone set Europe/London 2>&1 | sed 's/^/   /'

step "The board afterwards: its clocks compared, chips, faults, notifications, registry, debug log"
vb show

step "The RTC chip's registers"
vb chip dump

step "The I2C bus as i2cdetect would see it"
vb scan

step "The I2C bus traffic: the boot's read, the store's write, the scan's probes"
echo "   (S start, Sr repeated start, A/N acknowledged or not, P stop; 'vboard trace show' has the times)"
vb trace show -t | head -2 | sed 's/^/   /'
echo "   ... and $(($(vb trace show -t | wc -l) - 2)) one-byte probes of the scan"
