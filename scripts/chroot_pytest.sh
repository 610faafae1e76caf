#!/usr/bin/env bash
# Installs a wheel into a chroot's CPython (scripts/chroot.sh) as a user would, without the
# index (the test requirements come from the venv), checks where its extension takes its
# libraries from, then runs pytest there on the installed modules:
#
#   scripts/chroot_pytest.sh CHROOT X.Y WHEEL [PYTEST ARGUMENTS]
set -euo pipefail
cd "$(dirname "$0")/.."
name=$1 version=$2 wheel=$3
shift 3
python=$(scripts/chroot.sh venv "$name" "$version")
scripts/chroot.sh pip "$name" "$version" --no-index --no-deps --force-reinstall "$wheel"
scripts/chroot.sh run "$name" /bin/sh -euc '
  python=$1; shift
  "$python" scripts/check_wheel_libraries.py "$python" manylinux_2_17
  module=$("$python" -c "import sysconfig as s
print(s.get_path(\"platlib\") + \"/pelarune\" + s.get_config_var(\"EXT_SUFFIX\"))")
  PELARUNE_EXPECT_MODULE=$module exec "$python" -m pytest -q -p no:cacheprovider "$@"' \
  sh "$python" "$@"
