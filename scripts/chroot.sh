#!/usr/bin/env bash
# Debian chroots carrying the CPythons Debian 12 has not: sid's 3.14 and 3.15 (amd64, where
# their wheels are built and tested), and arm64 ones (sid's 3.14 and 3.15, trixie's 3.13) that
# run under qemu-user-static. They live in a cache folder outside the clone, made when missing.
#
#   scripts/chroot.sh make NAME        makes chroot NAME unless it exists; prints its folder
#   scripts/chroot.sh run NAME CMD...  runs CMD in it, in this tree (bound at the same path)
#   scripts/chroot.sh venv NAME X.Y    makes the venv /venv/X.Y in it with the requirements
#                                      of scripts/bootstrap.sh, unless made; prints its python
#   scripts/chroot.sh pip NAME X.Y ARGS...  pip install ARGS... into that venv
#
# NAME is sid-amd64, sid-arm64 or trixie-arm64. Needs root. Every mount is made in a private
# mount namespace (unshare), so it ends with the command however that ends: no mount is ever
# left behind to break a later run or an rm -rf of the cache.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/pelarune
mirror=${PELARUNE_DEBIAN_MIRROR:-http://deb.debian.org/debian}

# binutils gives the tests nm; ca-certificates lets pip reach the index.
packages() {
  case $1 in
  sid-amd64) echo python3.14,python3.14-venv,python3.14-dev,python3.15,python3.15-venv,python3.15-dev ;;
  sid-arm64) echo python3.14,python3.14-venv,python3.15,python3.15-venv ;;
  trixie-arm64) echo python3.13,python3.13-venv ;;
  *) echo "chroot.sh: unknown chroot $1" >&2 && exit 2 ;;
  esac
}

# qemu-user-static runs arm64 programs once binfmt_misc names it (with the F flag, so that it
# works inside a chroot too); mounts binfmt_misc where it is not.
enable_qemu() {
  [[ -e /proc/sys/fs/binfmt_misc/register ]] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]] || update-binfmts --enable qemu-aarch64
}

make_chroot() {
  local name=$1 suite=${1%-*} arch=${1#*-} dir="$cache/$1"
  [[ $arch == arm64 ]] && enable_qemu
  [[ -x $dir/usr/bin/env ]] && { echo "$dir"; return; }
  echo "chroot.sh: making $dir" >&2
  rm -rf "$dir.part" && mkdir -p "$cache"
  # debootstrap mounts /proc in the new tree; its private namespace drops that mount however it
  # ends. Made in a .part folder, renamed when complete. An arm64 tree is only unpacked, by the
  # host: configuring its packages under emulation (byte-compiling the standard library of each
  # CPython, above all) took over half an hour; what the tests need works without it, once the
  # loader's cache is made.
  local -a stage=()
  [[ $arch == arm64 ]] && stage=(--foreign)
  unshare --mount --propagation private debootstrap --variant=minbase --arch="$arch" \
    "${stage[@]}" --include="$(packages "$name"),binutils,ca-certificates" "$suite" \
    "$dir.part" "$mirror" >"$cache/$name.log" 2>&1 || { tail -20 "$cache/$name.log" >&2; exit 1; }
  if [[ $arch == arm64 ]]; then
    local deb
    for deb in "$dir.part"/var/cache/apt/archives/*.deb; do
      dpkg-deb -x "$deb" "$dir.part"
    done
    rm -rf "$dir.part/debootstrap" "$dir.part"/var/cache/apt/archives/*.deb
    chroot "$dir.part" /sbin/ldconfig
  fi
  mv "$dir.part" "$dir"
  echo "$dir"
}

run() {
  local dir
  dir=$(make_chroot "$1")
  shift
  # pip inside reaches the index the host's pip does: its configuration files and the
  # certificates the host trusts are copied in (PIP_* variables pass through), and its cache is
  # shared.
  local config
  for config in /etc/pip.conf "${XDG_CONFIG_HOME:-$HOME/.config}/pip/pip.conf" \
    "$HOME/.pip/pip.conf" ${PIP_CONFIG_FILE:+"$PIP_CONFIG_FILE"} \
    /etc/ssl/certs/ca-certificates.crt ${PIP_CERT:+"$PIP_CERT"} \
    ${SSL_CERT_FILE:+"$SSL_CERT_FILE"}; do
    [[ -f $config ]] && mkdir -p "$dir$(dirname "$config")" && cp "$config" "$dir$config"
  done
  cp /etc/resolv.conf "$dir/etc/resolv.conf"
  local pip_cache=${PIP_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/pip}
  mkdir -p "$pip_cache" "$dir$pip_cache" "$dir$root" "$dir/dev/shm"
  # /proc for the process engine, /dev/shm for multiprocessing's locks, this tree at its path.
  unshare --mount --propagation private /bin/sh -euc '
    dir=$1 root=$2 pip_cache=$3; shift 3
    mount -t proc proc "$dir/proc"
    mount -t tmpfs shm "$dir/dev/shm"
    mount --bind "$root" "$dir$root"
    mount --bind "$pip_cache" "$dir$pip_cache"
    cd "$dir$root"
    exec chroot "$dir" /usr/bin/env -C "$root" "$@"' sh "$dir" "$root" "$pip_cache" "$@"
}

# pip install ARGS... into the venv of CPython $2 in chroot $1, from wheels only: a requirement
# that would be compiled from source stops here rather than costing CI minutes. An arm64 venv is
# filled by the host's pip (--target, for that machine and CPython), since pip itself under
# emulation took over ten minutes to set up.
pip() {
  local name=$1 version=$2 dir
  shift 2
  dir=$(make_chroot "$name")
  mkdir -p "$dir/wheels"
  if [[ $name == *-arm64 ]]; then
    local -a platforms=(--platform manylinux2014_aarch64 --platform linux_aarch64)
    local minor
    for minor in $(seq 17 45); do platforms+=(--platform "manylinux_2_${minor}_aarch64"); done
    "$root/.venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
      --no-compile --upgrade --implementation cp --python-version "$version" "${platforms[@]}" \
      --find-links "$dir/wheels" --target "$dir/venv/$version/lib/python$version/site-packages" \
      "$@"
  else
    run "$name" "/venv/$version/bin/python" -m pip install -q --disable-pip-version-check \
      --only-binary=:all: --find-links /wheels "$@"
  fi
}

# The venv of CPython $2 in chroot $1, with what bootstrap gives .venv; made again only when
# that list changes.
venv() {
  local name=$1 version=$2 dir requirement flumine=""
  local -a requirements=() without_pip=()
  dir=$(make_chroot "$name")
  while read -r requirement; do
    if [[ $version == 3.15 && $requirement == ciso8601==* ]]; then
      requirement=ciso8601
    elif [[ $version == 3.15 && $requirement == flumine* ]]; then
      flumine=$requirement && continue
    fi
    requirements+=("$requirement")
  done < <("$root/scripts/bootstrap.sh" --requirements)
  local stamp="$dir/venv/$version/requirements.txt"
  if [[ ! -f $stamp || $(cat "$stamp") != "${requirements[*]} $flumine" ]]; then
    [[ $name == *-arm64 ]] && without_pip=(--without-pip)
    rm -rf "$dir/venv/$version"
    # betfairutil publishes an sdist only: the host builds its pure-Python wheel, which the
    # wheels-only installs below find in the chroot's wheels/ folder.
    mkdir -p "$dir/wheels"
    for requirement in "${requirements[@]}"; do
      [[ $requirement == betfairutil* ]] || continue
      "$root/.venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps \
        -w "$dir/wheels" "$requirement" >&2
    done
    run "$name" "python$version" -m venv "${without_pip[@]}" "/venv/$version"
    if [[ -z $flumine ]]; then
      pip "$name" "$version" "${requirements[@]}" >&2
    else
      # No cp315 wheel of ciso8601 2.3.3 (betfairlightweight[speed]'s pin) nor of the
      # pydantic-core that betconnect's pydantic==2.12.3 (a requirement of flumine) pins: on 3.15
      # the newest of each, which have one, stand in. flumine and betconnect are installed
      # without their pins, then their other requirements as they state them, with the rest
      # (one resolution: an arm64 venv's pip sees nothing installed before).
      local site="$dir/venv/$version/lib/python$version/site-packages"
      requires() { # $1's requirements but those of the names after it, which lose their pins
        "$root/.venv/bin/python" -c 'import importlib.metadata as m, re, sys
(dist,) = m.distributions(name=sys.argv[2], path=[sys.argv[1]])
for r in dist.requires or []:
    name = re.match(r"[A-Za-z0-9_.-]+", r).group()
    if "extra ==" not in r and name not in sys.argv[3:]:
        print(r)' "$site" "$@"
      }
      pip "$name" "$version" --no-deps "$flumine" >&2
      pip "$name" "$version" --no-deps $(requires flumine | grep ^betconnect) >&2
      pip "$name" "$version" "${requirements[@]}" $(requires flumine betconnect) \
        $(requires betconnect pydantic) pydantic >&2
    fi
    echo "${requirements[*]} $flumine" >"$stamp"
  fi
  echo "/venv/$version/bin/python"
}

case ${1:-} in
make) make_chroot "$2" ;;
run) shift && run "$@" ;;
venv) venv "$2" "$3" ;;
pip) shift && pip "$@" ;;
*) sed -n '2,14s/^# \{0,1\}//p' "$0" >&2 && exit 2 ;;
esac
