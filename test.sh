#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, then the whole suite under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the thread tests under ThreadSanitizer.
# Exits non-zero on any failure. Installs what is missing first.
#   QUORVEL_TEST_STAGES="normal asan tsan" selects stages (all three by default).
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh

# Formatting is checked before anything is built: a file that does not match .clang-format fails.
echo "=== format ==="
find src tests bench tools \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 clang-format --dry-run -Werror

stages=${QUORVEL_TEST_STAGES:-"normal asan tsan"}
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
    *) echo "unknown stage $stage" >&2; exit 2 ;;
    esac
done
echo "All test stages passed: $stages"
