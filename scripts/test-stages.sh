#!/usr/bin/env bash
# `make test`: the four test stages, in three lanes side by side so that one lane's tests (which
# wait on processes, files and timers as much as they compute) fill the time the others spend
# compiling, and no lane is left alone at the end with a core idle:
#   lane 1: normal  (host build, the suite)
#   lane 2: san     (the suite under ASan + UBSan)
#   lane 3: bare    (the image on QEMU's mainstone)  then  arm (ARMv5TE build, the suite under qemu-arm)
# Each stage's output goes to $LOGS/<stage>.log; a line per stage says how it went and how long it
# took, and a failed stage's log ends the output. The exit status is 0 only when every stage passed.
#
#   scripts/test-stages.sh [make targets of single stages, default: the four]
set -u
cd "$(dirname "$0")/.."
LOGS=${LOGS:-build-logs}
mkdir -p "$LOGS"

# Test boards are throw-away directories; on tmpfs their many small writes cost nothing.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

stage() {
    local name=$1 start end status
    start=$(date +%s)
    make --no-print-directory "test-$name" > "$LOGS/$name.log" 2>&1
    status=$?
    end=$(date +%s)
    local counts
    counts=$(grep -E "tests passed|tests failed out of" "$LOGS/$name.log" | tail -n 1)
    if [ "$status" = 0 ]; then
        printf '%-7s passed in %4ss  %s\n' "$name" $((end - start)) "$counts"
    else
        printf '%-7s FAILED in %4ss  %s (log: %s)\n' "$name" $((end - start)) "$counts" "$LOGS/$name.log"
    fi
    echo "$status" > "$LOGS/$name.status"
    return "$status"
}

lane() {
    local s rc=0
    for s in "$@"; do stage "$s" || rc=1; done
    return "$rc"
}

rm -f "$LOGS"/*.status
overall=$(date +%s)
# Configure and fetch packages once, before the lanes race for them.
make --no-print-directory deps > "$LOGS/deps.log" 2>&1 || { cat "$LOGS/deps.log"; exit 1; }
lane normal &
lane1=$!
lane san &
lane2=$!
lane bare arm &
lane3=$!
wait "$lane1"
rc1=$?
wait "$lane2"
rc2=$?
wait "$lane3"
rc3=$?
echo "all four stages in $(( $(date +%s) - overall ))s"

if [ "$rc1" != 0 ] || [ "$rc2" != 0 ] || [ "$rc3" != 0 ]; then
    for s in normal san bare arm; do
        if [ "$(cat "$LOGS/$s.status" 2>/dev/null)" != 0 ]; then
            echo
            echo "==== $s: the end of $LOGS/$s.log"
            tail -n 80 "$LOGS/$s.log"
        fi
    done
    exit 1
fi
exit 0
