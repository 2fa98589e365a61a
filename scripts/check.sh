#!/usr/bin/env bash
# The quick check after every change (about 2 minutes on 2 cores once built):
# an incremental build of the module, the C++ unit tests and the test-only
# probe into build/dev, then the C++ unit tests (CTest) and pytest against
# that build. The full test command is scripts/run-tests.sh.
#   scripts/check.sh [pytest arguments...]   # e.g. -k matmul, or -x
# Python with the test requirements (requirements-test.txt) must be first on
# PATH as python3; ZOLTRA_JOBS sets the parallel jobs (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
jobs="${ZOLTRA_JOBS:-2}"
start=$SECONDS
step() { printf '=== %s (at %d s) ===\n' "$*" "$((SECONDS - start))"; }

step "incremental build (build/dev)"
scripts/dev-build.sh dev
step "C++ unit tests"
ctest --test-dir "$root/build/dev" -j "$jobs" --output-on-failure --progress
step "pytest"
PYTHONPATH="$root/build/dev:$root/python" python3 -m pytest -q -p no:cacheprovider "$@" "$root/tests"
step "all passed"
