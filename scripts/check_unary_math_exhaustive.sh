#!/usr/bin/env bash
# Checks exp, log, sqrt and tanh on all 2^32 float32 inputs, every variant
# this processor runs, against glibc's functions decided with long double and
# binary128 near rounding boundaries. Minutes, not part of the test command.
# Usage: scripts/check_unary_math_exhaustive.sh [build dir (build/dev)] [exp|log|sqrt|tanh|all] [threads (2)]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/dev}"
cmake --build "$build" --target zoltra_core >/dev/null
exe="$build/check_unary_math_exhaustive"
g++ -std=c++20 -O2 -ffp-contract=off -Icore/src scripts/check_unary_math_exhaustive.cpp \
  "$build/libzoltra_core.a" -lquadmath -ldl -lpthread -o "$exe"
"$exe" "${2:-all}" "${3:-2}"
