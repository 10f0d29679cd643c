#!/usr/bin/env bash
# Makes, or finds in the cache, a Debian 13 (trixie) root with the newer MIDI stacks, and prints
# its directory:
#   make-root.sh trixie       PipeWire 1.4, WirePlumber 0.5, jackd2 1.9.22, Wine 10
#   make-root.sh backports    the same root with PipeWire from trixie-backports (1.6)
# Roots live in ${XDG_CACHE_HOME:-~/.cache}/hexmidi/roots, outside the clone, as the virtual
# machine's kernel does, each named after the versions of the packages below that it holds and
# a digest of this script: a newer package or another recipe makes a new root, and the new root
# replaces the old one of its flavour. Deciding that costs one look at Debian's indexes (an
# unchanged index is not fetched again); when the mirror cannot be reached or a root cannot be
# made, the newest cached root of the flavour serves. Exits 1, saying why, when there is none.
# The mirror is this machine's own (its apt sources), not one named here.
set -euo pipefail
flavour=$1
here=$(cd "$(dirname "$0")" && pwd)
roots=${XDG_CACHE_HOME:-$HOME/.cache}/hexmidi/roots
mkdir -p "$roots/apt/lists/partial"
# What the tests run, and what they run it with: JACK's tools (jack_wait, jack_lsp) left jackd2
# for jack-example-tools in 1.9.22; the import check of the Wine checks reads the program with
# MinGW's objdump; the virtual machine's cases load modules with kmod's insmod.
packages=(pipewire pipewire-jack pipewire-bin wireplumber libspa-0.2-modules dbus-daemon jackd2
  jack-example-tools python3 alsa-utils util-linux procps kmod wine wine64
  binutils-mingw-w64-x86-64)
foreign=(wine32:i386)
backported=(pipewire pipewire-jack pipewire-bin libspa-0.2-modules)
log=$roots/$flavour.log

# A root that cannot be made or checked: the newest complete one cached serves, and says so.
fail() {
  local dir
  [ -z "${new:-}" ] || rm -rf "$new"
  for dir in "$roots/$flavour"-*/.complete; do
    [ -e "$dir" ] && [ "$dir" -nt "${cached:-/nonexistent}" ] && cached=$dir
  done
  if [ -n "${cached:-}" ]; then
    echo "$*; the cached ${cached%/.complete} serves" >&2
    echo "${cached%/.complete}"
    exit 0
  fi
  echo "$*, and no root is cached" >&2
  exit 1
}

# shellcheck disable=SC1091 # the machine's own
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
# shellcheck disable=SC2016 # apt's own $(...) fields
mirror=$(apt-get indextargets --format '$(REPO_URI)' "Origin: Debian" "Codename: $codename" |
  head -n 1)
[ -n "$mirror" ] || fail "this machine's apt sources name no Debian mirror for $codename"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
# The indexes of Debian 13, in a private apt state of our own: the machine's apt is left alone.
cat > "$roots/apt/sources.list" <<SOURCES
deb [signed-by=$keyring] $mirror trixie main
deb [signed-by=$keyring] $mirror trixie-backports main
SOURCES
: > "$roots/apt/status"
apt_options=(-o Dir::State="$roots/apt" -o Dir::State::status="$roots/apt/status"
  -o Dir::Cache="$roots/apt" -o Dir::Etc::SourceList="$roots/apt/sources.list"
  -o Dir::Etc::SourceParts=/nonexistent -o APT::Architectures::=amd64 -o Acquire::Languages=none
  -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
# package=version for each package named, as the index has it (PipeWire's from backports in that
# flavour, the rest from trixie), or as a root's dpkg has it.
candidates() {  # RELEASE PACKAGE...
  apt-cache "${apt_options[@]}" -o APT::Default-Release="$1" policy "${@:2}" 2>/dev/null |
    awk '/^[^ ]/ {name = $1} /Candidate:/ {print name $2}' | sed 's/:/=/'
}
versions_wanted() {
  { candidates trixie "${packages[@]}"
    [ "$flavour" = trixie ] || candidates trixie-backports "${backported[@]}"
  } | awk -F= '{version[$1] = $2} END {for (name in version) print name "=" version[name]}' |
    sort
}
versions_held() {
  dpkg-query --admindir="$1/var/lib/dpkg" -W -f '${Package}=${Version}\n' "${packages[@]}" | sort
}
root_name() {  # VERSIONS
  local pipewire digest
  pipewire=$(sed -n 's/^pipewire=//p' <<< "$1")
  digest=$( (echo "$1"; cat "$0") | sha256sum | cut -c1-12)
  echo "$flavour-pipewire-$pipewire-$digest"
}

# One maker of a flavour at a time (clones of the project share the cache), each waiting its turn.
exec 9> "$roots/$flavour.lock"
flock -w 900 9 || fail "another make-root.sh $flavour held its lock for 15 minutes"
if ! apt-get "${apt_options[@]}" update -qq >/dev/null 2>&1 || [ -z "$(versions_wanted)" ]; then
  fail "Debian 13's indexes could not be had from $mirror"
fi
wanted=$(versions_wanted)
name=$(root_name "$wanted")
if [ -e "$roots/$name/.complete" ]; then
  echo "$roots/$name"
  exit 0
fi

new=$roots/$name.new
rm -rf "$new"
echo "making the root $name (its log: $log)" >&2
in_root() { "$here/in-root.sh" -w "$new" "$@" >> "$log" 2>&1; }
: > "$log"
if [ "$flavour" = backports ]; then
  # The trixie root, copied as hard links, and PipeWire upgraded in the copy: a second debootstrap
  # would fetch and unpack everything again for a few packages that differ, and a plain copy
  # would double the disk that Wine alone takes. dpkg replaces each file it installs by renaming
  # a new one over it, which leaves the trixie root's own file as it was; /etc and /var, which
  # apt and dpkg also write in place (logs, state), are copied whole.
  base=$("$0" trixie) || exit 1
  cp -al "$base" "$new"
  rm -rf "${new:?}/etc" "${new:?}/var" "${new:?}/.complete"
  cp -a "$base/etc" "$base/var" "$new/"
  echo "deb $mirror trixie-backports main" > "$new/etc/apt/sources.list.d/backports.list"
  in_root apt-get update -qq || fail "apt-get update failed in the root: see $log"
  in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    -t trixie-backports "${backported[@]}" || fail "PipeWire from backports failed: see $log"
else
  # The bare minimum, then the packages through the root's own apt: debootstrap takes only one
  # architecture, and Wine's 32-bit half is i386.
  debootstrap --variant=minbase --arch=amd64 trixie "$new" "$mirror" >> "$log" 2>&1 ||
    fail "debootstrap could not make a Debian 13 root from $mirror: see $log"
  # Nothing here needs to survive a crash of the machine: dpkg's syncs only cost time.
  echo force-unsafe-io > "$new/etc/dpkg/dpkg.cfg.d/unsafe-io"
  cp /etc/resolv.conf "$new/etc/resolv.conf"
  in_root dpkg --add-architecture i386
  in_root apt-get update -qq || fail "apt-get update failed in the root: see $log"
  in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${packages[@]}" "${foreign[@]}" || fail "the packages could not be installed: see $log"
fi
in_root apt-get clean
rm -rf "$new"/var/lib/apt/lists/*
# Named after what it holds, should the index have moved on while it was made.
name=$(root_name "$(versions_held "$new")")
touch "$new/.complete"
rm -rf "${roots:?}/${name:?}"
mv "$new" "$roots/$name"
# The roots this one replaces.
for old in "$roots/$flavour"-*; do
  [ "$old" = "$roots/$name" ] || rm -rf "$old"
done
echo "$roots/$name"
