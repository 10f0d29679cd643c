#!/usr/bin/env bash
# Installs the Debian packages that the named parts of the project need, when they are missing.
# Each part lists its packages in scripts/deps/<part>.txt, one a line ('#' starts a comment).
#   scripts/install-deps.sh build        # what building hexmidi needs
#   scripts/install-deps.sh all          # every list but the benchmarks' (bench.txt): plotting
#                                        # libraries are for scripts/run-benchmarks.sh alone
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

lists=()
for part in "$@"; do
  if [ "$part" = all ]; then
    for list in "$here"/deps/*.txt; do
      [ "$list" = "$here/deps/bench.txt" ] || lists+=("$list")
    done
  else
    lists+=("$here/deps/$part.txt")
  fi
done

wanted=()
for list in "${lists[@]}"; do
  while read -r package _; do
    [ -n "$package" ] && wanted+=("$package")
  done < <(sed 's/#.*//' "$list")
done

missing=()
for package in "${wanted[@]}"; do
  # An i386 package needs its architecture added before apt can even name it.
  case "$package" in
    *:i386) dpkg --print-foreign-architectures | grep -x i386 >/dev/null || dpkg --add-architecture i386 ;;
  esac
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
apt_install() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
echo "installing: ${missing[*]}" >&2
# A mirror caught mid-sync fails one index or another ("File has unexpected size"). apt keeps the
# indexes that came, and the install below fails loudly if what it needs is not among them.
$sudo apt-get update -qq || echo "apt-get update failed an index; installing from those that came" >&2

# The other architecture's packages (32-bit Wine) come last and alone: without their index a
# mirror cannot match them to this machine's libraries, and the steps that need them say so and
# skip, as on a kernel that runs no 32-bit code. Everything else must install.
native=() foreign=()
for package in "${missing[@]}"; do
  case "$package" in *:*) foreign+=("$package") ;; *) native+=("$package") ;; esac
done
[ ${#native[@]} -eq 0 ] || apt_install "${native[@]}"
for package in "${foreign[@]}"; do
  apt_install "$package" 2>/dev/null || echo "could not install $package: the steps that need it skip" >&2
done
