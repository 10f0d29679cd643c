"""Which port hexmidi plays to when the server offers several, on the setups Linux desktops run.

The recorder stands in for each setup's clients: the ports a bridge from the ALSA sequencer
(PipeWire's Midi-Bridge, a2jmidid, JACK2's sequencer driver) or a synthesizer registers, with the
same names, flags and aliases, in the order the setup lists them. Device 0 is the synthesizer
or device a user plugged in; the kernel's Midi Through, which every bridge lists first and marks
physical, only when there is nothing else.
"""

import subprocess
import unittest

from jack_harness import JackTestCase, hex_bytes, reset_messages, servers

DEVICE = "|physical|terminal"  # how each bridge marks a sequencer port it exports, Midi Through too

# (setup, the MIDI input ports it shows in its order, the one a note is to reach)
LISTINGS = [
    ("PipeWire 0.3.60 to 1.2",
     ["Midi-Bridge:Midi Through:(playback_0) Midi Through Port-0" + DEVICE,
      "Midi-Bridge:SC-8850:(playback_0) SC-8850 MIDI 1" + DEVICE],
     "Midi-Bridge:SC-8850:(playback_0) SC-8850 MIDI 1"),
    ("PipeWire 1.4 to 1.6.3",
     ["Midi-Bridge:Midi Through Port-0 (playback)" + DEVICE,
      "Midi-Bridge:SC-8850 MIDI 1 (playback)" + DEVICE],
     "Midi-Bridge:SC-8850 MIDI 1 (playback)"),
    ("PipeWire 1.6.4 on",
     ["Midi-Bridge:Midi Through: Port-0 (playback)" + DEVICE,
      "Midi-Bridge:SC-8850: MIDI 1 (playback)" + DEVICE],
     "Midi-Bridge:SC-8850: MIDI 1 (playback)"),
    ("PipeWire, FluidSynth as a JACK client and only Midi Through on the bridge",
     ["Midi-Bridge:Midi Through Port-0 (playback)" + DEVICE, "fluidsynth:midi_00"],
     "fluidsynth:midi_00"),
    ("a2jmidid",
     ["a2j:Midi Through [14] (playback): Midi Through Port-0" + DEVICE,
      "a2j:SC-8850 [20] (playback): SC-8850 MIDI 1" + DEVICE,
      "a2j:MIDISPORT 2x2 [24] (playback): MIDISPORT 2x2 MIDI 1" + DEVICE],
     "a2j:SC-8850 [20] (playback): SC-8850 MIDI 1"),
    # Only the aliases tell Midi Through from the device here. JACK2's sequencer driver adds
    # its ports to the server's own client, "system", which the dummy driver holds here: they
    # stand under another client name, which the rule never looks at.
    ("JACK2 -X seq, recent aliases",
     ["seq:midi_playback_1" + DEVICE + "|alias=alsa_midi:Midi Through Port-0 (in)",
      "seq:midi_playback_2" + DEVICE + "|alias=alsa_midi:SC-8850 MIDI 1 (in)"],
     "seq:midi_playback_2"),
    ("JACK2 1.9.22 -X seq",
     ["seq:midi_playback_1" + DEVICE + "|alias=Midi-Through:midi/playback_1",
      "seq:midi_playback_2" + DEVICE + "|alias=SC-8850:midi/playback_1"],
     "seq:midi_playback_2"),
    ("plain JACK, a synthesizer", ["fluidsynth:midi_00"], "fluidsynth:midi_00"),
    # PipeWire's RTP-MIDI sink, named after the host, when the bridge has nothing but Midi Through.
    ("PipeWire, module-rtp-sink and only Midi Through on the bridge",
     ["Midi-Bridge:Midi Through Port-0 (playback)" + DEVICE, "studio:send_1"], "studio:send_1"),
    # Someone may be listening to a pass-through: playing there beats refusing to open.
    ("PipeWire, pass-throughs alone",
     ["Midi-Bridge:Midi Through:(playback_0) Midi Through Port-0" + DEVICE,
      "Midi-Bridge:Midi Through:(playback_1) Midi Through Port-1" + DEVICE],
     "Midi-Bridge:Midi Through:(playback_0) Midi Through Port-0"),
    ("JACK2 -X seq, a pass-through alone",
     ["seq:midi_playback_1" + DEVICE + "|alias=alsa_midi:Midi Through Port-0 (in)"],
     "seq:midi_playback_1"),
]


class DeviceZero(JackTestCase):
    def assert_device_zero(self, session, listings):
        expected = [hex_bytes("90 3C 7F")] + reset_messages([(0, 0x3C)])
        for setup, ports, device_zero in listings:
            with self.subTest(setup):
                session.start_recorder(ports)
                run, events = session.run_until_arrived(b"m 7F3C90\n", expected)
                self.assertEqual((run.returncode, run.stdout, run.stderr), (0, b"", b""))
                session.events()
                self.assertEqual([(event.port, event.data) for event in events],
                                 [(device_zero, data) for data in expected])

    def test_under_jackd(self):
        self.assert_device_zero(self.session(recorder=False), LISTINGS)

    def test_after_the_open_out_is_its_only_port_with_one_connection(self):
        # Whatever the open needs for a while (PipeWire's link probe), it leaves our one port,
        # connected to device 0 alone, by the time the program reads.
        for server in servers("jackd", "pipewire"):
            with self.subTest(server):
                session = self.session(server=server)
                run = session.piped_run()
                run.wait_for_input("the open to be over")
                listing = subprocess.run(session.under_server(["jack_lsp", "-c"]),
                                         env=session.env, stdout=subprocess.PIPE, text=True,
                                         timeout=30, check=True).stdout
                ports = {}
                for line in listing.splitlines():
                    if not line.startswith(" "):
                        port = ports.setdefault(line, [])
                    else:
                        port.append(line.strip())
                self.assertEqual({name: connections for name, connections in ports.items()
                                  if name.startswith("hexmidi:")},
                                 {"hexmidi:out": ["recorder:in"]})
                self.assertEqual(run.finish().returncode, 0)
                session.stop()

    def test_under_pipewire(self):
        # PipeWire's libjack (0.3.65) does not show other clients the aliases a client sets,
        # so the setups told apart by aliases alone are for jackd; no PipeWire setup needs them.
        listings = [listing for listing in LISTINGS
                    if not any("|alias=" in port for port in listing[1])]
        self.assert_device_zero(self.session(recorder=False, server="pipewire"), listings)


if __name__ == "__main__":
    unittest.main()
