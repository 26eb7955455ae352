#!/usr/bin/env bash
# `make run`: a fresh default board, a boot of Tamblin on it, a time change that the board's
# notification service answers by starting Tamblin again, and the chip afterwards.
set -u
bin=${1:-build/bin}
board=${2:-build/run-board}
vb() { "$bin/vboard" --board "$board" "$@"; }

rm -rf "$board"
vb init || exit 1
export TAMBLIN_BOARD=$board

echo
echo "== Boot: tamblin (restore path); its debug output follows"
"$bin/tamblin"
echo "== tamblin exited with $?"

echo
echo "== A user sets the clock; the notification service starts \\Windows\\Tamblin.exe AppRunAfterTimeChange"
vb set-time "2026-07-01 12:00:00"

echo
echo "== The board afterwards"
vb show
echo
echo "== The RTC chip's registers"
vb chip dump

echo
echo "== The I2C bus: one transaction for the boot's read, one for the store's write"
echo "   (S start, Sr repeated start, A/N acknowledge or not, P stop)"
vb trace show -t
