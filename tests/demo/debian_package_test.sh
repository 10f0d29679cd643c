#!/usr/bin/env bash
# The Debian package: cpack builds it from the build tree, its dependencies name the runtime
# library of each backend built in (and of none left out), it holds the program and the man
# page, the program it installs runs (empty input, no output, status 0), its changelog is of this
# version, and lintian, where installed, finds no error and no warning in it (where lintian is
# missing, the rest is checked and the test then skips, saying so).
#   debian_package_test.sh BUILD_DIRECTORY WORK_DIRECTORY WITH_JACK WITH_ALSA
set -euo pipefail
build=$1
work=$2
with_jack=$3
with_alsa=$4
skip=77

for tool in cpack dpkg-deb; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/install-deps.sh packaging)"
    exit "$skip"
  fi
done

rm -rf "$work"
mkdir -p "$work"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; exit 1; }
packages=("$work"/hexmidi_*.deb)
package=${packages[0]}
[ -f "$package" ] || { echo "FAIL: cpack made no package"; cat "$work/cpack.log"; exit 1; }

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
is_on() { case "${1^^}" in ON | 1 | TRUE | YES) return 0 ;; *) return 1 ;; esac; }

depends=$(dpkg-deb --field "$package" Depends)
echo "Depends: $depends"
# One package name in the Depends list, with or without a version or alternatives after it.
depends_on() { tr ',|' '\n' <<<"$depends" | awk '{ print $1 }' | grep -qx "$1"; }
if is_on "$with_jack"; then
  depends_on libjack-jackd2-0 || fail "built with JACK but does not depend on libjack"
else
  depends_on libjack-jackd2-0 && fail "built without JACK but depends on libjack"
fi
if is_on "$with_alsa"; then
  depends_on libasound2 || depends_on libasound2t64 ||
    fail "built with ALSA but does not depend on libasound"
else
  depends_on libasound2 && fail "built without ALSA but depends on libasound"
fi

contents=$(dpkg-deb --contents "$package" | awk '{ print $NF }')
for path in ./usr/bin/hexmidi ./usr/share/man/man1/hexmidi.1.gz; do
  grep -qxF "$path" <<<"$contents" || fail "the package does not hold $path"
done

dpkg-deb --extract "$package" "$work/root"
status=0
output=$("$work/root/usr/bin/hexmidi" </dev/null 2>&1) || status=$?
[ "$status" -eq 0 ] || fail "the packaged hexmidi exits $status on empty input"
[ -z "$output" ] || fail "the packaged hexmidi printed: $output"

# lintian reads the changelog but does not hold it against the package's version.
version=$(dpkg-deb --field "$package" Version)
latest=$(gzip -dc "$work/root/usr/share/doc/hexmidi/changelog.gz" | sed -n '1s/^hexmidi (\([^)]*\)).*/\1/p')
[ "$latest" = "$version" ] || fail "the changelog's latest entry is for '$latest', the package is $version"

# Debian's own checker. Informational and pedantic tags are shown but do not fail the test.
lintian_ran=no
if command -v lintian >/dev/null; then
  lintian_ran=yes
  status=0
  report=$(lintian --fail-on error,warning --display-info --pedantic "$package" 2>&1) || status=$?
  report=$(grep -v 'running with root privileges' <<<"$report" || true)
  [ -z "$report" ] || printf "lintian:\n%s\n" "$report"
  [ "$status" -eq 0 ] || fail "lintian finds errors or warnings, or failed itself (status $status)"
fi

[ "$failures" -eq 0 ] || exit 1
if [ "$lintian_ran" = no ]; then
  echo "SKIP: the package is as it should be, but lintian is not installed to check it" \
    "(scripts/install-deps.sh packaging)"
  exit "$skip"
fi
echo "the package is as it should be"
