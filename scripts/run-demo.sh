#!/usr/bin/env bash
# `make run`: a fresh default board, a boot of Tamblin on it, a time change that the board's
# notification service answers by starting Tamblin again, and the board afterwards.
set -u
bin=${1:-build/bin}
board=${2:-build/run-board}
vb() { "$bin/vboard" --board "$board" "$@"; }
step() { printf '\n== %s\n' "$*"; }

rm -rf "$board"
step "A fresh default board"
vb init || exit 1
export TAMBLIN_BOARD=$board

step "Boot: tamblin reads the chip, sets the system clock (UTC) and registers for time changes"
echo "   its debug output:"
"$bin/tamblin" 2>&1 | sed 's/^/   | /'
code=${PIPESTATUS[0]}
echo "   tamblin exited with $code ($([ "$code" = 1 ] && echo "it ran; the debug output says what it did" ||
    echo "see the exit codes in the README"))"

# An hour on from now, so that the time set and the boot's daylight decision fall in one season.
later=$(date -u -d '+1 hour' '+%Y-%m-%d %H:%M:%S')
step "A user sets the clock to $later UTC; the notification service starts"
echo "   \\Windows\\Tamblin.exe AppRunAfterTimeChange, which writes the new time into the chip"
vb set-time "$later" 2>&1 | sed 's/^/   /'

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
