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
echo "installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
