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
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

run_stage() {
    local name=$1 dir=$2 label=$3; shift 3
    echo "=== $name build ==="
    cmake -S . -B "$dir" -G Ninja -DBUILD_TESTING=ON "$@" >/dev/null
    if [ "$name" = tsan ]; then
        cmake --build "$dir" -j "$jobs" --target quorvel_thread_tests
    else
        cmake --build "$dir" -j "$jobs"
    fi
    echo "=== $name tests ==="
    if [ -n "$label" ]; then
        ctest --test-dir "$dir" --output-on-failure -j "$jobs" -L "$label"
    else
        ctest --test-dir "$dir" --output-on-failure -j "$jobs"
    fi
}

for stage in $stages; do
    case $stage in
    normal) run_stage normal build/test "" -DCMAKE_BUILD_TYPE=RelWithDebInfo ;;
    asan)
        export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
        export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
        export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
        run_stage "asan+ubsan" build/asan "" -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=address,undefined
        ;;
    tsan)
        export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp
        run_stage tsan build/tsan threads -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=thread
        ;;
    *) echo "unknown stage $stage" >&2; exit 2 ;;
    esac
done
echo "All test stages passed: $stages"
