#!/usr/bin/env bash
# Tests the aarch64 build on this x86-64 machine under qemu-aarch64:
#   bash scripts/test-aarch64.sh [pytest arguments...]
# builds the aarch64 wheel (scripts/build-wheel.sh aarch64), installs it with
# NumPy's aarch64 wheel and pytest into a folder that Debian's arm64 Python
# 3.11 (unpacked, never installed) runs the pytest suite from, then
# cross-builds the C++ unit tests and runs them under qemu-aarch64. Needs root
# the first time (apt-get, see scripts/aarch64-env.sh). Tests that need
# PyTorch (no aarch64 build here), many GiB or many minutes say why they skip.
# The suite's test_bit_battery.py compares a battery of results with the
# battery's results on x86-64: the file ZOLTRA_BATTERY_REFERENCE names (the
# test command's x86-64 stage writes it), else one computed here from the
# developer build (scripts/dev-build.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
jobs="${ZOLTRA_JOBS:-2}"
start=$SECONDS
step() { printf '=== aarch64: %s (at %d s) ===\n' "$*" "$((SECONDS - start))"; }

step "aarch64 toolchain, Python, NumPy, pytest, OpenBLAS"
source scripts/aarch64-env.sh

if [ -z "${ZOLTRA_BATTERY_REFERENCE:-}" ]; then
  step "battery of results on x86-64 (build/dev)"
  scripts/dev-build.sh dev
  export ZOLTRA_BATTERY_REFERENCE="$root/build/battery-x86_64.json"
  (cd "$root/tests" && PYTHONPATH="$root/build/dev:$root/python" python3 bit_battery.py "$ZOLTRA_BATTERY_REFERENCE")
fi

step "aarch64 wheel"
wheel="$(ZOLTRA_WHEEL_DIR="$root/build/aarch64-dist" bash scripts/build-wheel.sh aarch64 | tail -1)"
echo "$wheel"
# Installed by unpacking into that Python's /usr/local site folder.
site="$AARCH64_ROOT/usr/local/lib/python3.11/dist-packages"
rm -rf "$site" && mkdir -p "$site"
python3 -m zipfile -e "$wheel" "$site"

step "pytest under qemu-aarch64 (installed wheel)"
# Run from outside the source tree so that only the installed module is seen.
(cd "$root/tests" && \
  ZOLTRA_AARCH64_EMULATOR="${AARCH64_EMULATOR[*]}" \
  "${AARCH64_PYTHON[@]}" -m pytest -q -p no:cacheprovider "$@" "$root/tests")

step "C++ unit tests, cross-built, under qemu-aarch64"
cmake -S "$root" -B "$root/build/aarch64" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZOLTRA_BUILD_TESTS=ON \
  -DZOLTRA_BUILD_MODULE=OFF -DPython_EXECUTABLE="$(command -v python3)" "${AARCH64_CMAKE_ARGS[@]}" >/dev/null
cmake --build "$root/build/aarch64" -j "$jobs"
# qemu-user cannot run a forked child of a process with threads (it asserts
# in its own code), nor re-execute the test program for a threadsafe death
# test: the x86-64 stages run these.
emulator_cannot="ArenaScopeDeathTest|ForkedChild|PoolFork"
echo "not run under qemu-aarch64 (fork of a threaded process, re-execution): $emulator_cannot"
ctest --test-dir "$root/build/aarch64" --output-on-failure -j "$jobs" -E "$emulator_cannot"

step "aarch64 passed"
