#!/usr/bin/env bash
# Installs what the tests need and runs every test:
#   1. pytest against the repaired (manylinux) wheel installed in a venv, and
#      mypy's stubtest of the module's type stubs;
#   2. pytest against the module built for each other Python (3.10, 3.12,
#      3.13) found under pyenv or on PATH;
#   3. the C++ unit tests (GoogleTest through CTest);
#   4. the C++ tests of the thread-shared services again under ThreadSanitizer;
#   5. the C++ unit tests and pytest again against one build with
#      AddressSanitizer + UndefinedBehaviorSanitizer;
#   6. the processor-dependent pytest files against the installed module under
#      qemu-user's models of other processors;
#   7. the aarch64 wheel's pytest suite and the cross-built C++ unit tests
#      under qemu-aarch64 (scripts/test-aarch64.sh), with a battery of results
#      compared bit for bit with the installed x86-64 wheel's.
# Any failure, sanitizer report or missing tool fails the run. Each build
# directory under build/ is kept, so a second run rebuilds only what changed;
# the time of each step is printed at the end. The quick check after a change
# is scripts/check.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
jobs="${ZOLTRA_JOBS:-2}"

steps=()
step() {
  steps+=("$(printf '%6d s  %s' "$SECONDS" "$*")")
  printf '\n=== %s (at %d s) ===\n' "$*" "$SECONDS"
}

step "system packages"
# Installs a Debian package unless the check that follows its name passes.
apt_install_unless() {  # package, check command...
  local package="$1"; shift
  if "$@" >/dev/null; then return; fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "$package is missing and this user cannot install it" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$package" >/dev/null
}
apt_install_unless libgtest-dev test -f /usr/include/gtest/gtest.h
echo "GoogleTest: /usr/include/gtest"
apt_install_unless qemu-user command -v qemu-x86_64
echo "qemu-user: $(qemu-x86_64 --version | head -n 1)"

step "virtual environment"
venv="$root/build/venv-test"
if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv "$venv"
fi
py="$venv/bin/python"
"$py" -m pip install -q --disable-pip-version-check -r requirements-test.txt
export PATH="$venv/bin:$PATH"

step "build, repair and install the wheel"
# The very wheel that would be published: scripts/build-wheel.sh builds it
# and auditwheel repairs it into a manylinux wheel.
wheel="$(ZOLTRA_WHEEL_VENV="$venv" ZOLTRA_WHEEL_FLAGS=--no-build-isolation ZOLTRA_WHEEL_DIR="$root/build/wheel-test" \
  bash scripts/build-wheel.sh)"
"$py" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"

step "pytest (installed wheel)"
# Run from outside the source tree so that only the installed module is seen.
(cd "$root/tests" && "$py" -m pytest -q -p no:cacheprovider "$root/tests")

step "battery of results for the aarch64 stage"
(cd "$root/tests" && "$py" bit_battery.py "$root/build/battery-x86_64.json")

step "type stubs against the module (mypy stubtest)"
(cd "$root/tests" && "$py" -m mypy.stubtest _zoltra_rust)

step "pytest on the other Python versions"
# Each gets its own venv with the test requirements except PyTorch (its tests
# report themselves skipped there) and the module built for it.
not_found=()
for version in 3.10 3.12 3.13; do
  other="$(ls -d /root/.pyenv/versions/"$version".*/bin/python 2>/dev/null | sort -V | tail -1 || true)"
  [ -n "$other" ] || other="$(command -v "python$version" || true)"
  if [ -z "$other" ]; then
    not_found+=("$version")
    continue
  fi
  echo "--- Python $version: $other"
  other_venv="$root/build/venv-test-$version"
  [ -x "$other_venv/bin/python" ] || "$other" -m venv "$other_venv"
  grep -v '^torch' requirements-test.txt >"$other_venv/requirements.txt"
  "$other_venv/bin/python" -m pip install -q --disable-pip-version-check -r "$other_venv/requirements.txt"
  "$other_venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall \
    --no-deps .
  (cd "$root/tests" && ZOLTRA_OTHER_PYTHON=1 "$other_venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests")
done
if [ "${#not_found[@]}" -gt 0 ]; then
  echo "Python versions not found, not tested: ${not_found[*]}"
fi

cmake_build() {  # dir, extra cmake args...
  local dir="$1"; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

step "C++ unit tests"
cmake_build "$root/build/ctest" -DZOLTRA_BUILD_TESTS=ON -DZOLTRA_BUILD_MODULE=OFF
ctest --test-dir "$root/build/ctest" --output-on-failure -j "$jobs"

step "C++ unit tests under ThreadSanitizer"
cmake_build "$root/build/tsan" -DZOLTRA_BUILD_TESTS=ON -DZOLTRA_BUILD_MODULE=OFF -DZOLTRA_SANITIZE=thread
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0" \
  ctest --test-dir "$root/build/tsan" --output-on-failure -j "$jobs" -L tsan

step "build with AddressSanitizer + UndefinedBehaviorSanitizer"
cmake_build "$root/build/asan" -DZOLTRA_SANITIZE=address,undefined -DZOLTRA_BUILD_PANIC_PROBE=ON -DZOLTRA_BUILD_TESTS=ON
asan_options="detect_leaks=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1"
ubsan_options="halt_on_error=1:print_stacktrace=1"

step "C++ unit tests under AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS="$asan_options" UBSAN_OPTIONS="$ubsan_options" \
  ctest --test-dir "$root/build/asan" --output-on-failure -j "$jobs"

step "pytest under AddressSanitizer + UndefinedBehaviorSanitizer"
# libstdc++ is preloaded too: ASan must find the real __cxa_throw at start-up.
asan_runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
(cd "$root/tests" && \
  ZOLTRA_SANITIZED_BUILD=1 PYTHONPATH="$root/build/asan:$root/python" LD_PRELOAD="$asan_runtime" \
  ASAN_OPTIONS="$asan_options" UBSAN_OPTIONS="$ubsan_options" \
  "$py" -m pytest -q -p no:cacheprovider "$root/tests")
# Python's own allocator reuses freed blocks where ASan cannot see them: the
# hostile exporters' tests (a dict cleared while its entries are read) run
# again on malloc.
(cd "$root/tests" && \
  ZOLTRA_SANITIZED_BUILD=1 PYTHONPATH="$root/build/asan:$root/python" LD_PRELOAD="$asan_runtime" PYTHONMALLOC=malloc \
  ASAN_OPTIONS="$asan_options" UBSAN_OPTIONS="$ubsan_options" \
  "$py" -m pytest -q -p no:cacheprovider "$root/tests/test_native_exporters.py")

step "pytest under emulated processors"
# Each model runs the files whose outcome depends on the processor: kernels,
# products and their dispatch, capabilities, processor count, and the layer's
# broadcasting rows, axis lanes, summation order, comparisons, where, argmax
# and exp/log/sqrt/tanh. The rest of the suite tests the binding layer, which
# no processor feature reaches; the 1024^3 OpenBLAS product alone would take
# five minutes per model, and importing PyTorch 16 s (its tests read the same
# kernels as the NumPy ones).
# OPENBLAS_CORETYPE keeps OpenBLAS on kernels the model has: it chooses by
# model and would use FMA on the Haswell whose FMA is masked. exp, log, sqrt
# and tanh run on a smaller sample there, and their tensor case (PyTorch's
# import alone takes a minute under emulation) on the real processor only.
emulated_files="test_elementwise.py test_flat_reductions.py test_strided.py test_dot_product.py
  test_matmul.py test_backend_policy.py test_capabilities.py test_runtime.py test_unaligned.py
  test_native_broadcast.py test_native_axis_reductions.py test_native_compare.py test_native_argextremum.py
  test_native_layer_order.py test_unary_math.py"
for model in Haswell:Haswell Haswell,-fma:Sandybridge Nehalem:Nehalem; do
  cpu="${model%%:*}"
  printf -- '--- -cpu %s, OPENBLAS_CORETYPE=%s\n' "$cpu" "${model##*:}"
  # shellcheck disable=SC2086
  (cd "$root/tests" && \
    ZOLTRA_EMULATED_CPU="$cpu" OPENBLAS_CORETYPE="${model##*:}" ZOLTRA_UNARY_MATH_SAMPLE=50000 \
    qemu-x86_64 -cpu "$cpu" "$py" -m pytest -q -p no:cacheprovider \
    -k "not 1024-1024-1024 and not torch and not test_tensors and not tensor_views" $emulated_files)
done

step "aarch64 under qemu-aarch64"
ZOLTRA_BATTERY_REFERENCE="$root/build/battery-x86_64.json" ZOLTRA_WHEEL_VENV="$venv" \
  ZOLTRA_WHEEL_FLAGS=--no-build-isolation bash scripts/test-aarch64.sh

step "all test suites passed"
printf '\nStarted at:\n'
printf '%s\n' "${steps[@]}"
