#!/usr/bin/env bash
# Sourced by the aarch64 scripts: makes sure the cross toolchain and qemu are
# installed (apt-get, as root), and unpacks under build/aarch64-env, once:
#   root/    Debian's arm64 Python 3.11 (interpreter, headers, the libraries
#            it loads) and GoogleTest, from `apt-get download` + `dpkg -x`:
#            never installed over the machine's own Python
#            with the aarch64 wheels of the pinned scipy-openblas64, NumPy,
#            pytest, threadpoolctl and mpmath unpacked into its dist-packages, where
#            that Python finds them even in isolated mode (-I)
# and sets AARCH64_ROOT, AARCH64_SITE, AARCH64_EMULATOR (qemu-aarch64 with
# the unpacked libraries), AARCH64_PYTHON (the arm64 interpreter under it)
# and AARCH64_CMAKE_ARGS.
set -euo pipefail
aarch64_env="$PWD/build/aarch64-env"
aarch64_debs=(python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11 libpython3.11-dev
  python3.11-dev libexpat1 zlib1g libffi8 libssl3 libbz2-1.0 liblzma5 libsqlite3-0 libuuid1 libncursesw6
  libtinfo6 libreadline8 libcrypt1 libgtest-dev)
openblas_pin="$(sed -n 's/^scipy-openblas64==//p' requirements-test.txt)"
aarch64_wheels=("scipy-openblas64==$openblas_pin" "numpy>=2.0" "pytest>=7" "threadpoolctl>=3.5" "mpmath>=1.3")

# Unpacked again whenever the list of wheels changes.
if [ "$(cat "$aarch64_env/ready" 2>/dev/null)" != "${aarch64_wheels[*]}" ]; then
  if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null ||
     ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
    apt-get update -q >/dev/null
    apt-get install -y -q g++-aarch64-linux-gnu qemu-user >/dev/null
  fi
  rm -rf "$aarch64_env" && mkdir -p "$aarch64_env/debs" "$aarch64_env/root" "$aarch64_env/wheels"
  (cd "$aarch64_env/debs" && apt-get download -q "${aarch64_debs[@]/%/:arm64}" >/dev/null 2>&1 ||
     { apt-get update -q >/dev/null && apt-get download -q "${aarch64_debs[@]/%/:arm64}" >/dev/null; })
  for deb in "$aarch64_env"/debs/*.deb; do dpkg -x "$deb" "$aarch64_env/root"; done
  # scipy-openblas64's aarch64 builds are manylinux_2_28; NumPy's 2_27/2_28.
  python3 -m pip download -q --disable-pip-version-check --only-binary=:all: -d "$aarch64_env/wheels" \
    --platform manylinux2014_aarch64 --platform manylinux_2_28_aarch64 --python-version 3.11 --implementation cp \
    "${aarch64_wheels[@]}"
  for wheel in "$aarch64_env"/wheels/*.whl; do
    python3 -m zipfile -e "$wheel" "$aarch64_env/root/usr/lib/python3/dist-packages"
  done
  echo "${aarch64_wheels[*]}" >"$aarch64_env/ready"
fi

AARCH64_ROOT="$aarch64_env/root"
AARCH64_SITE="$AARCH64_ROOT/usr/lib/python3/dist-packages"
AARCH64_LIBS="$AARCH64_ROOT/lib/aarch64-linux-gnu:$AARCH64_ROOT/usr/lib/aarch64-linux-gnu"
# The interpreter finds its standard library and site folders from its own
# path (root/usr/bin). The processor is a Neoverse N1 (AWS Graviton 2, Ampere
# Altra): on qemu's default model, which has SVE, OpenBLAS's kernels give
# wrong products under qemu 7.2.
AARCH64_EMULATOR=(qemu-aarch64 -cpu neoverse-n1 -L /usr/aarch64-linux-gnu -E "LD_LIBRARY_PATH=$AARCH64_LIBS")
AARCH64_PYTHON=("${AARCH64_EMULATOR[@]}" "$AARCH64_ROOT/usr/bin/python3.11")
AARCH64_CMAKE_ARGS=(
  "-DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/aarch64-linux-gnu.cmake"
  "-DCMAKE_FIND_ROOT_PATH=$AARCH64_ROOT"
  # Debian's pyconfig.h includes the multiarch one under root/usr/include.
  "-DCMAKE_CXX_FLAGS=-idirafter $AARCH64_ROOT/usr/include"
  "-DPython_INCLUDE_DIR=$AARCH64_ROOT/usr/include/python3.11"
  "-DPython_NumPy_INCLUDE_DIR=$AARCH64_SITE/numpy/_core/include"
  "-DZOLTRA_PYTHON_SOABI=cpython-311-aarch64-linux-gnu"
  "-DZOLTRA_OPENBLAS_WHEEL_DIR=$AARCH64_SITE")
