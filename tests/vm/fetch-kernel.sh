#!/usr/bin/env bash
# Puts the stock Debian kernel and the modules the virtual machine loads (virtio, 9p, overlay,
# sound) under CACHE, downloading the package once:
#   fetch-kernel.sh CACHE       prints the directory that holds boot/ and lib/modules/
# The versioned package is the one linux-image-amd64 depends on today; when apt can't say
# (offline) or the download fails, the newest package already in the cache does.
set -euo pipefail
cache=$1
mkdir -p "$cache"

resolve_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}'
}
package=$(resolve_package)
if [ -z "$package" ]; then
  apt-get update -qq >/dev/null 2>&1 || true
  package=$(resolve_package)
fi

deb=""
if [ -n "$package" ]; then
  deb=$(ls "$cache"/"${package}"_*.deb 2>/dev/null | tail -n 1 || true)
  if [ -z "$deb" ]; then
    # apt-get download writes into the current directory; _apt can't write to ours, so it warns.
    (cd "$cache" && apt-get download -qq "$package" >/dev/null 2>&1) || true
    deb=$(ls "$cache"/"${package}"_*.deb 2>/dev/null | tail -n 1 || true)
  fi
fi
if [ -z "$deb" ]; then
  deb=$(ls "$cache"/linux-image-*-amd64_*.deb 2>/dev/null | tail -n 1 || true)
fi
[ -n "$deb" ] || { echo "no Debian kernel package could be had" >&2; exit 1; }

unpacked="${deb%.deb}"
# Only what the machine loads: the whole module tree is ten times the size.
if [ ! -e "$unpacked/.complete" ]; then
  rm -rf "$unpacked"
  mkdir -p "$unpacked"
  dpkg-deb --fsys-tarfile "$deb" |
    tar -x -C "$unpacked" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/sound/*' \
      './lib/modules/*/kernel/drivers/virtio/*' './lib/modules/*/kernel/net/9p/*' \
      './lib/modules/*/kernel/fs/*' './lib/modules/*/kernel/lib/*'
  touch "$unpacked/.complete"
fi
echo "$unpacked"
