#!/usr/bin/env bash
# Sets up and passes the tests on a fresh Debian 12 machine:
#   1. installs the missing Debian packages,
#   2. builds the Linux library, tools and tests and runs CTest,
#   3. cross-builds the Windows DLL and its test program, checks the DLL's
#      export and import tables and runs the test program under Wine,
#   3b. cross-builds the simulated flavour of the DLL, compares it with the
#      real one (exports, version and icons; no simulator in the real one)
#      and runs the Windows checks against a simulated machine under Wine,
#   4. builds and runs the whole Linux suite under AddressSanitizer and
#      UndefinedBehaviorSanitizer,
#   5. builds and runs the whole Linux suite under ThreadSanitizer (the
#      thread stress of tests/stress among it),
#   6. builds the API fuzzer with clang and libFuzzer and runs 2,500 inputs
#      with a fixed seed from the seed corpus in tests/fuzz (at most
#      QUELT_FUZZ_SECONDS, 120 s).
# Options: --no-asan skips stage 4, --no-tsan stage 5, --no-fuzz stage 6
# (--with-tsan is still accepted; the ThreadSanitizer run is on by default).
# Build folders: build/, build-win/, build-win-sim/, build-asan/, build-tsan/, build-fuzz/
# (QUELT_BUILD_PREFIX changes "build").
set -euo pipefail

cd "$(dirname "$0")/.."
root=$(pwd)
prefix=${QUELT_BUILD_PREFIX:-build}
jobs=${QUELT_JOBS:-2}
asan=1 tsan=1 fuzz=1
for arg in "$@"; do
  case $arg in
  --with-tsan) tsan=1 ;;
  --no-tsan) tsan=0 ;;
  --no-asan) asan=0 ;;
  --no-fuzz) fuzz=0 ;;
  *) echo "usage: $0 [--no-asan] [--no-tsan] [--no-fuzz]" >&2; exit 2 ;;
  esac
done

start=$SECONDS
failed=()
stage() { printf '\n=== %s (at %d s)\n' "$1" $((SECONDS - start)); }
# step NAME COMMAND...: runs one step; a failure is recorded and the script
# goes on with the steps that do not depend on it, so one run shows everything.
step() {
  local name=$1
  shift
  stage "$name"
  if "$@"; then return 0; fi
  failed+=("$name")
  return 1
}

stage "dependencies"
bash scripts/install-deps.sh all

step "Formatting (.clang-format)" bash scripts/check-format.sh || true

if step "Linux build" cmake -S "$root" -B "$prefix" -DCMAKE_BUILD_TYPE=Debug &&
  step "Linux build" cmake --build "$prefix" -j"$jobs"; then
  step "Linux tests" ctest --test-dir "$prefix" --output-on-failure -j"$jobs" || true
fi

if step "Windows cross-build" cmake -S "$root" -B "$prefix-win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" &&
  step "Windows cross-build" cmake --build "$prefix-win" -j"$jobs"; then
  step "DLL export/import check and Wine harness" ctest --test-dir "$prefix-win" --output-on-failure || true
fi

case $prefix in
/*) real_dll="$prefix-win/quelt_ox952.dll" ;;
*) real_dll="$root/$prefix-win/quelt_ox952.dll" ;;
esac
if step "Windows simulated DLL cross-build" cmake -S "$root" -B "$prefix-win-sim" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DQUELT_SIMULATED=ON -DQUELT_REAL_DLL="$real_dll" &&
  step "Windows simulated DLL cross-build" cmake --build "$prefix-win-sim" -j"$jobs"; then
  step "Simulated DLL against the real one, and Wine checks on a simulated machine" \
    ctest --test-dir "$prefix-win-sim" --output-on-failure || true
fi

if [[ $asan -eq 1 ]]; then
  if step "AddressSanitizer + UndefinedBehaviorSanitizer build" \
    cmake -S "$root" -B "$prefix-asan" -DCMAKE_BUILD_TYPE=Debug -DQUELT_ASAN=ON -DQUELT_BENCH=OFF &&
    step "AddressSanitizer + UndefinedBehaviorSanitizer build" cmake --build "$prefix-asan" -j"$jobs"; then
    step "AddressSanitizer + UndefinedBehaviorSanitizer tests" \
      env ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest --test-dir "$prefix-asan" --output-on-failure -j"$jobs" || true
  fi
fi

if [[ $tsan -eq 1 ]]; then
  if step "ThreadSanitizer build" \
    cmake -S "$root" -B "$prefix-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELT_TSAN=ON -DQUELT_BENCH=OFF &&
    step "ThreadSanitizer build" cmake --build "$prefix-tsan" -j"$jobs"; then
    # Address randomisation off: this compiler's ThreadSanitizer rejects the
    # memory layout of kernels with high mmap randomisation.
    step "ThreadSanitizer tests" env TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      setarch "$(uname -m)" -R ctest --test-dir "$prefix-tsan" --output-on-failure -j"$jobs" || true
  fi
fi

if [[ $fuzz -eq 1 ]]; then
  # Its own folder and compiler: libFuzzer comes with clang only, and the
  # library is instrumented for it (fuzzer-no-link) beside ASan and UBSan.
  if step "API fuzzer build (clang, libFuzzer)" \
    env CC=clang CXX=clang++ cmake -S "$root" -B "$prefix-fuzz" -DCMAKE_BUILD_TYPE=Debug -DQUELT_FUZZ=ON \
    -DQUELT_ASAN=ON -DQUELT_BENCH=OFF -DQUELT_FUZZ_SECONDS="${QUELT_FUZZ_SECONDS:-120}" &&
    step "API fuzzer build (clang, libFuzzer)" cmake --build "$prefix-fuzz" --target quelt_api_fuzzer -j"$jobs"; then
    step "API fuzzer, bounded run" env ASAN_OPTIONS=detect_leaks=1 \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest --test-dir "$prefix-fuzz" -R '^api_fuzz_bounded$' --output-on-failure || true
  fi
fi

if [[ ${#failed[@]} -gt 0 ]]; then
  stage "FAILED: $(printf '%s; ' "${failed[@]}")"
  exit 1
fi
stage "all passed"
