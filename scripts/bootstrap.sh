#!/usr/bin/env bash
# Prepares a fresh machine: Debian packages, CPython 3.12, the .venv with build and test tools.
# Safe to run again; it only installs what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ zlib1g-dev libisal-dev rapidjson-dev libgtest-dev)
if [[ "${PELARUNE_WITH_CLANG:-0}" == 1 ]]; then
  packages+=(clang-14 libclang-rt-14-dev clang-format-14)
fi
# The load benchmark times simdjson beside RapidJSON, for scale.
if [[ "${PELARUNE_FOR_BENCH:-0}" == 1 ]]; then
  packages+=(libsimdjson-dev)
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "bootstrap: installing ${missing[*]}"
  sudo=""
  [[ $(id -u) == 0 ]] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

find_python() {
  local candidate
  for candidate in "$(command -v python3.12 || true)" \
    "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/3.12*/bin/python3.12; do
    [[ -n "$candidate" && -x "$candidate" ]] || continue
    # A pyenv shim exists even when 3.12 is not the selected version: check it really runs.
    if "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

if [[ ! -x .venv/bin/python ]] || ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))'; then
  python=$(find_python) || {
    echo "bootstrap: CPython 3.12 not found (looked for python3.12 on PATH and in pyenv)." >&2
    echo "bootstrap: install it, for example with 'pyenv install 3.12', and run again." >&2
    exit 1
  }
  echo "bootstrap: creating .venv with $python"
  rm -rf .venv
  "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check --upgrade pip
.venv/bin/python -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.8" cmake ninja pytest
