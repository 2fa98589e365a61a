#!/usr/bin/env bash
# Developer build: configure and build into build/<name> (default "dev") the
# module, the C++ tests and the test-only probe module; runs nothing.
# Usage: scripts/dev-build.sh [name] [extra cmake args...], then for example
#   ctest --test-dir build/<name>
#   PYTHONPATH=build/<name>:python python3 -m pytest tests   # uses the module built here
set -euo pipefail
cd "$(dirname "$0")/.."
name="${1:-dev}"; shift || true
cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZOLTRA_BUILD_TESTS=ON -DZOLTRA_BUILD_PANIC_PROBE=ON \
  -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "build/$name" -j2
