#!/bin/sh
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for
# FUZZ_SECONDS seconds on a copy of its seed corpus (fuzz/corpus/<name>/).
# A finding (crash, sanitizer report, leak) fails the run; the reproducer is
# left in build-fuzz/findings/<name>/. Prints one summary line per target.
set -eu
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${FUZZ_SECONDS:-60}
BUILD=build-fuzz

CC=clang CXX=clang++ cmake -S . -B $BUILD -DOSTRELLE_FUZZ=ON -DOSTRELLE_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build $BUILD -j "$(nproc 2>/dev/null || echo 2)"

status=0
summary=""
for bin in $BUILD/fuzz/fuzz_*; do
    [ -x "$bin" ] || continue
    name=$(basename "$bin" | sed 's/^fuzz_//')
    work=$BUILD/corpus/$name
    findings=$BUILD/findings/$name
    mkdir -p "$work" "$findings"
    if [ -d "fuzz/corpus/$name" ]; then
        cp -f fuzz/corpus/"$name"/* "$work"/ 2>/dev/null || true
    fi
    log=$BUILD/fuzz-$name.log
    echo "fuzzing $name for ${SECONDS_PER_TARGET}s ..."
    if "$bin" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$findings/" -print_final_stats=1 "$work" >"$log" 2>&1; then
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        summary="$summary$name: ${execs:-?} executions, no finding\n"
    else
        status=1
        summary="$summary$name: FINDING, see $log and $findings/\n"
        tail -40 "$log"
    fi
done
printf "\n%b" "$summary"
exit $status
