#!/usr/bin/env bash
# Developer build: configure and build into build/<name> (default "dev") with
# the C++ tests, then run them. Usage: scripts/dev-build.sh [name] [extra cmake args...]
#   PYTHONPATH=build/<name> python3 -m pytest tests   # uses the module built here
set -euo pipefail
cd "$(dirname "$0")/.."
name="${1:-dev}"; shift || true
cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZOLTRA_BUILD_TESTS=ON -DZOLTRA_BUILD_PANIC_PROBE=ON \
  -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "build/$name" -j2
