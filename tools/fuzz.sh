#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# fuzz.sh <build-dir> [seconds]: replays the kept inputs of every fuzz target,
# then fuzzes each for the given time. A crash, hang, sanitizer report or
# broken rule fails the run; the input that did it lands in
# <build-dir>/fuzz-artifacts and belongs in tests/fuzz/regressions/<target>/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
seconds=${2:-30}
mkdir -p "$build/fuzz-artifacts"
for target in ratetext textvalue valuetext uachannel uatypes; do
    bin="$build/tests/fuzz/fuzz_$target"
    kept="$root/tests/fuzz/regressions/$target"
    corpus="$build/fuzz-corpus/$target"
    mkdir -p "$corpus"
    echo "fuzz_$target: replaying $(ls "$kept" | wc -l) kept inputs, then fuzzing ${seconds} s"
    "$bin" -runs=0 "$kept" 2>"$build/fuzz-artifacts/$target-replay.log" ||
        { cat "$build/fuzz-artifacts/$target-replay.log"; exit 1; }
    "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=4096 \
        -artifact_prefix="$build/fuzz-artifacts/$target-" "$corpus" "$kept" 2>"$build/fuzz-artifacts/$target.log" ||
        { tail -n 60 "$build/fuzz-artifacts/$target.log"; exit 1; }
    tail -n 1 "$build/fuzz-artifacts/$target.log"
done
