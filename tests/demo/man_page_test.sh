#!/usr/bin/env bash
# The man page renders without a warning from groff (a misspelt macro, a table too wide for a
# terminal, a line that cannot be broken), at the width man uses on a standard terminal.
#   man_page_test.sh MAN_PAGE
set -euo pipefail
page=$1
if ! command -v groff >/dev/null; then
  echo "SKIP: groff is not installed (scripts/install-deps.sh packaging)"
  exit 77
fi
warnings=$(groff -man -t -ww -Tutf8 -rLL=78n -z "$page" 2>&1)
if [ -n "$warnings" ]; then
  echo "FAIL: groff warns about $page:"
  echo "$warnings"
  exit 1
fi
echo "the man page renders cleanly"
