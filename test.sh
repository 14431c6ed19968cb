#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, then the whole suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the thread tests under ThreadSanitizer, then
# each fuzz target for a bounded time.
# Exits non-zero on any failure. Installs what is missing first.
#   QUORVEL_TEST_STAGES="normal asan tsan fuzz" selects stages (all four by default).
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh

# Formatting is checked before anything is built: a file that does not match .clang-format fails.
echo "=== format ==="
find src tests bench tools fuzz \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 clang-format --dry-run -Werror

stages=${QUORVEL_TEST_STAGES:-"normal asan tsan fuzz"}
jobs=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1

# Each stage is a preset of CMakePresets.json (build folder build/<preset>); warnings are errors.
run_stage() {
    local name=$1 preset=$2
    echo "=== $name build ==="
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "=== $name tests ==="
    ctest --preset "$preset" -j "$jobs"
}

for stage in $stages; do
    case $stage in
    normal)
        run_stage normal test
        # The static checks of .clang-tidy, on every source file, from the build's compile commands.
        echo "=== clang-tidy ==="
        run-clang-tidy -quiet -p build/test -j "$jobs" "$PWD/src/.*\.cpp" >build/test/clang-tidy.log 2>&1 ||
            { grep -E 'error:|warning:' build/test/clang-tidy.log >&2; exit 1; }
        ;;
    asan)
        export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
        export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
        export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
        run_stage "asan+ubsan" asan
        ;;
    tsan)
        export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp
        run_stage tsan tsan
        ;;
    fuzz)
        # Each target runs a bounded time from the seeds in fuzz/corpus; what it finds new is kept
        # in the build folder, never in the repository (fuzz/README.md: longer runs).
        echo "=== fuzz build ==="
        cmake --preset fuzz >/dev/null
        cmake --build --preset fuzz -j "$jobs"
        echo "=== fuzz runs ==="
        for target in mixsend ini history rxpipeline cp932 autoreply telnet; do
            mkdir -p "build/fuzz/corpus/$target"
            echo "fuzz_$target: ${QUORVEL_FUZZ_SECONDS:-20} s"
            build/fuzz/fuzz/fuzz_$target -max_total_time="${QUORVEL_FUZZ_SECONDS:-20}" -max_len=65536 \
                -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="build/fuzz/" \
                "build/fuzz/corpus/$target" "fuzz/corpus/$target" 2>"build/fuzz/$target.log" ||
                { tail -40 "build/fuzz/$target.log" >&2; exit 1; }
            grep -E '^stat::number_of_executed_units' "build/fuzz/$target.log" || true
        done
        ;;
    *) echo "unknown stage $stage" >&2; exit 2 ;;
    esac
done
echo "All test stages passed: $stages"
