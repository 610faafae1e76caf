#!/usr/bin/env bash
# Fills DIR with the shared libraries the wheels' extension links against on machine ARCH
# (x86_64 or aarch64), under their sonames and their link names (libisal.so and so on):
#
#   scripts/manylinux_libraries.sh ARCH DIR
#
# They are this machine's (Debian's) builds: on x86_64 the installed ones, on aarch64 those of
# Debian's arm64 packages of the same names and versions, unpacked (bootstrap adds the arm64
# architecture to apt). auditwheel copies ISA-L and libbzip2 from here into the wheels.
set -euo pipefail
arch=$1 dir=$2
libraries=(libisal.so.2 libbz2.so.1.0 libz.so.1)
rm -rf "$dir" && mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
if [[ $arch == x86_64 ]]; then
  for library in "${libraries[@]}"; do
    cp -L "/usr/lib/x86_64-linux-gnu/$library" "$dir/"
  done
else
  packages=()
  for library in "${libraries[@]}"; do
    package=$(dpkg-query -S "*/x86_64-linux-gnu/$library" | head -1 | cut -d: -f1)
    packages+=("$package:arm64=$(dpkg-query -W -f='${Version}' "$package")")
  done
  (cd "$dir" && apt-get download -qq "${packages[@]}" 2>/dev/null)
  for deb in "$dir"/*.deb; do
    dpkg-deb -x "$deb" "$dir/root"
  done
  for library in "${libraries[@]}"; do
    cp -L "$(find "$dir/root" -path "*/aarch64-linux-gnu/$library" | head -1)" "$dir/"
  done
  rm -rf "$dir/root" "$dir"/*.deb
fi
for library in "${libraries[@]}"; do
  ln -s "$library" "$dir/${library%%.so*}.so"
done
