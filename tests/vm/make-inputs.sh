#!/usr/bin/env bash
# Writes the inputs the cases play, and the digests of the large ones, into DIR:
#   make-inputs.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir"

printf 'm 7F3C90\nm 003C\nm 6407B0\nm 05C0\nm 4000E0\nl 6 F0 7E 7F 09 01 F7\nm 403C80\n' \
  > "$dir/short_and_long.txt"
# Running status on the wire: a repeated status is left out, a real-time byte keeps it, a system
# common message ends it.
printf 'm 7F3C90\nm 7F4090\nm 003C\nm 004090\nm 6407B0\nm 05C0\nm 06C0\nm F8\nm 01F3\n' \
  > "$dir/short_bytes.txt"
printf 'm 7F3C90\nm 403C80\n' >> "$dir/short_bytes.txt"
printf 'm 7F3C90\nl 6 F0 7E 7F 09 01 F7\nm 7F3E90\nm 003C90\nm 003E90\n' > "$dir/long_bytes.txt"
{
  printf 'm 403C80\nl 6 F0 7E 7F 09 01 F7\nm 7F3C90\n'
  printf 'l 10000 F0'
  for ((i = 0; i < 65534; i += 2)); do printf ' 11 22'; done
  printf ' F7\nm 403C80\n'
} > "$dir/after_destination_gone.txt"

# A system-exclusive message of SIZE bytes in all: F0, varied data bytes, F7. The input goes to
# NAME.txt; the digest of its bytes, as lower-case hex one a line, to expected.env.
sysex() {
  local name=$1 size=$2
  awk -v size="$size" -v tokens="$dir/$name.tokens" 'BEGIN {
    printf "l %X F0", size
    print "f0" > tokens
    for (i = 1; i < size - 1; i++) {
      byte = (i * 37 + int(i / 128)) % 128
      printf " %02X", byte
      if (i % 16 == 0) printf "\n"
      printf "%02x\n", byte > tokens
    }
    print "f7" > tokens
    printf " F7\n"
  }' > "$dir/$name.txt"
  echo "${name}_md5=$(md5sum < "$dir/$name.tokens" | cut -d' ' -f1)" >> "$dir/expected.env"
  rm "$dir/$name.tokens"
}
: > "$dir/expected.env"
sysex sysex_1mib $((1 << 20))
sysex sysex_8kib 8192
sysex sysex_1000 1000
sysex sysex_64kib 65536
