#!/usr/bin/env bash
# Prints the key under which a Wine prefix is cached for the Wine installed on this machine, or in
# ROOT (a root of tests/roots/make-root.sh's, asked through its runner, which runs the root's
# programs on its libraries): Wine's version, and -64 where its 32-bit half is not installed, as a
# prefix made without it has no 32-bit system to run the 32-bit build in. Nothing without Wine.
#   wine-key.sh [ROOT]
set -euo pipefail
root=${1:-}
in_root=()
[ -z "$root" ] || in_root=("$(dirname "$0")/../roots/in-root.sh" "$root")
version=$("${in_root[@]}" sh -c \
  '/usr/lib/wine/wine64 --version 2>/dev/null || wine --version 2>/dev/null' || true)
[ -n "$version" ] || exit 0
key=$(printf '%s' "$version" | tr -cs 'A-Za-z0-9.~+' '-' | sed 's/^-//; s/-$//')
[ -e "$root/usr/lib/wine/wine" ] || key=$key-64
echo "$key"
