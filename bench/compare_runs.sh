#!/bin/sh
# Checks that two builds of the virtual board run a sweep identically: the
# same virtual time, statistics and reply bytes, on the host build and on
# the chip image. For changes that must only make the board faster.
#
#   bench/compare_runs.sh REFERENCE_BIN NEW_BIN IMAGE [points]
#
# REFERENCE_BIN and NEW_BIN are sweep_bench binaries (each with its
# libsnt_fw.so beside it), for example a copy of main's build/bench/bin and
# this tree's; IMAGE is the chip image both run (build/chip/firmware/snt-fw.elf).
set -eu
if [ $# -lt 3 ]; then
    echo "usage: $0 REFERENCE_BIN NEW_BIN IMAGE [points]" >&2
    exit 2
fi
ref=$1 new=$2 image=$3 points=${4:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The figures of a run without those that depend on the wall clock.
figures() {
    sed -e 's/, wall [0-9.]* s, [0-9.]* times faster than the device//' \
        -e 's/ ([0-9.]* million per wall second)//' "$1"
}

status=0
for cpu in host chip; do
    arg=""
    [ "$cpu" = chip ] && arg=$image
    for which in ref new; do
        if [ "$which" = ref ]; then bin=$ref; else bin=$new; fi
        "$bin" "$points" thru "$arg" "$work/$which.$cpu.replies" >"$work/$which.$cpu.out"
        figures "$work/$which.$cpu.out" >"$work/$which.$cpu.figures"
    done
    if ! diff -u "$work/ref.$cpu.figures" "$work/new.$cpu.figures"; then
        echo "$cpu: the figures differ" >&2
        status=1
    elif ! cmp "$work/ref.$cpu.replies" "$work/new.$cpu.replies"; then
        echo "$cpu: the replies differ" >&2
        status=1
    else
        echo "$cpu: $points points, same virtual time, statistics and $(wc -c <"$work/new.$cpu.replies") reply bytes"
    fi
done
exit $status
