# shellcheck shell=bash
# Sourced by the demo: does this machine already have a MIDI output port that makes sound?
# Looks where hexmidi looks, in the same order: a running JACK server, then the ALSA sequencer.

# A MIDI input port of any client on the JACK server hexmidi would reach (the default one, or
# the one JACK_DEFAULT_SERVER names). jack_lsp never starts a server here.
jack_has_midi_destination() {
  command -v jack_lsp >/dev/null || return 1
  JACK_NO_START_SERVER=1 jack_lsp -t -p 2>/dev/null | awk '
    /^[^\t]/ { input = 0; next }
    /properties:/ { input = ($0 ~ /input/); next }
    /midi/ && input { found = 1 }
    END { exit found ? 0 : 1 }'
}

# A sequencer port that takes writes from others ("W" in the kernel's list), outside the system
# client (0) and the kernel's Midi Through, which passes notes on to nobody who listens. Only
# counts when hexmidi was built with its ALSA backend. (grep without -q, so that ldd is never cut
# off by SIGPIPE, which pipefail would report as no match.)
alsa_has_midi_destination() {
  local hexmidi=$1 clients=/proc/asound/seq/clients
  [ -r "$clients" ] || return 1
  command -v ldd >/dev/null && ldd "$hexmidi" 2>/dev/null | grep libasound >/dev/null || return 1
  awk '
    /^Client/ { skip = ($2 == 0 || $0 ~ /"Midi Through"/); next }
    /^  Port/ && !skip && $0 ~ /\([rR-]W[e-][X-]\)$/ { found = 1 }
    END { exit found ? 0 : 1 }' "$clients"
}

machine_has_midi_output_port() {
  jack_has_midi_destination || alsa_has_midi_destination "$1"
}
