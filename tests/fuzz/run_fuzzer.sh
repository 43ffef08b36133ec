#!/bin/sh
# Runs one fuzz target for a while on its seed corpus.
#
#   run_fuzzer.sh [--fresh] TARGET SEEDS WORK SECONDS [libFuzzer flags...]
#
# SEEDS.dict, when there is one, is the target's dictionary, and SEEDS.flags
# holds libFuzzer flags of its own (-max_len=...). New inputs go to WORK
# (emptied first with --fresh), never to the seeds in the repository. libFuzzer's log goes to WORK.log; what is printed is one
# line of figures, or on a finding (crash, sanitizer report, leak, time-out)
# the end of the log, and the input is kept in WORK.artifacts/.
set -eu
fresh=0
if [ "$1" = "--fresh" ]; then fresh=1; shift; fi
target=$1 seeds=$2 work=$3 seconds=$4
shift 4
name=$(basename "$target")
if [ "$fresh" = 1 ]; then rm -rf "$work" "$work.artifacts"; fi
mkdir -p "$work" "$work.artifacts"
if [ -f "$seeds.dict" ]; then set -- -dict="$seeds.dict" "$@"; fi
if [ -f "$seeds.flags" ]; then set -- $(cat "$seeds.flags") "$@"; fi
status=0
"$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 -print_final_stats=1 \
    -artifact_prefix="$work.artifacts/" "$@" "$work" "$seeds" > "$work.log" 2>&1 || status=$?
stat() { sed -n "s/^stat::$1: *//p" "$work.log"; }
if [ "$status" != 0 ]; then
    tail -n 60 "$work.log"
    echo "$name: FAILED (status $status); log $work.log, input in $work.artifacts/"
    exit 1
fi
echo "$name: $(stat number_of_executed_units) runs in ${seconds} s, $(stat average_exec_per_sec) per second," \
     "$(ls "$work" | wc -l) inputs in $work"
