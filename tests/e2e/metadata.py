"""-m: the chunks carried to each output, read back by ffprobe, mediainfo and wavefile."""
from helpers import *  # noqa: F401,F403


class Metadata(Scratch):
    """-m: each output carries the source's metadata, made right for one channel, read back by
    ffprobe, mediainfo and wavefile (npm); the samples by sox."""

    def test_carried_chunks(self):
        if not have("ffprobe") or not have("sox"):
            self.skipTest("needs ffmpeg and sox")
        samples = pattern(4 * 1001)
        poly = pattern(4 * 3 * 500)
        cue = struct.pack("<I", 2) + b"".join(struct.pack("<II4sIII", k, at, b"data", 0, 0, at)
                                               for k, at in ((1, 100), (2, 250)))
        adtl = b"adtl" + chunk(b"labl", struct.pack("<I", 1) + b"Clap\0") + chunk(
            b"labl", struct.pack("<I", 2) + b"Line 4\0")
        id3 = b"ID3\x03\x00\x00" + bytes([0, 0, 0, 22]) + b"TPE1" + struct.pack(">I", 12) + \
            b"\0\0\0Marker crew"
        peak = struct.pack("<II", 1, 1234) + struct.pack("<fI", 0.5, 10) + struct.pack("<fI", 0.25, 20)
        info = chunk(b"LIST", b"INFO" + chunk(b"INAM", b"Scene 4\0"))
        history = b"A=PCM,F=48000,W=24,M=stereo,T=Sound Devices 833\r\n"
        broken = ixml(["BOOM", "LAV"]).replace(b"<INTERLEAVE_INDEX>2</INTERLEAVE_INDEX>", b"")
        cases = [
            # what, source, arguments, outputs, what is not carried
            ("markers, id3, PEAK", source(samples, rate=48000, before=chunk(b"cue ", cue) + chunk(
                b"PEAK", peak), after=chunk(b"LIST", adtl) + chunk(b"id3 ", id3)), ["-m"], "LR",
             ""),
            ("Sound Devices poly take", source(poly, channels=4, bits=24, rate=48000, first=chunk(
                b"bext", bext(b"Scene 4 take 2", 172800000, history)) + chunk(
                b"iXML", ixml(["BOOM", "LAV1", "LAV2", "MIX-L"])), before=chunk(b"JUNK", bytes(
                    100))), ["-a", "-m"], "1234", "JUNK"),
            ("Pro Tools: not carried", source(pattern(6 * 5), bits=24, rate=48000, first=chunk(
                b"JUNK", bytes(92)) + chunk(b"bext", bext(b"PT", 7)), before=chunk(b"minf", bytes(
                    16)) + chunk(b"elm1", bytes(200)), after=chunk(b"regn", bytes(92)) + chunk(
                b"umid", bytes(24)) + chunk(b"DGDA", bytes(44))), ["-m"], "LR",
             "JUNK, minf, elm1, regn, DGDA"),
            ("broken iXML", source(samples, rate=48000, before=chunk(b"iXML", broken) + info),
             ["-m"], "LR", "iXML (a track has no INTERLEAVE_INDEX)"),
        ]
        for what, content, args, sides, dropped in cases:
            with self.subTest(what):
                for name in self.files():
                    os.unlink(self.path(name))
                self.write("t.wav", content)
                p = launch(args + ["t.wav"], self.dir)
                self.assertEqual((p.stdout, p.returncode, p.stderr.decode()), (
                    DONE, 0, dropped and "tarnvell2: t.wav: not carried: %s\n" % dropped))
                source_chunks = dict(chunks_of(content))
                source_tags = ffprobe_tags(self.path("t.wav"))
                for k, side in enumerate(sides):
                    out = self.path("t%s.wav" % (side if side in "LR" else "_" + side))
                    got = chunks_of(self.read(out[len(self.dir) + 1:]))
                    tags = [t for t, _ in got]
                    # Before the samples stays before, after stays after; nothing dropped.
                    self.assertEqual(tags[0], b"fmt ")
                    for t in (b"cue ", b"PEAK", b"bext", b"iXML", b"umid", b"id3 "):
                        if t in source_chunks and (t != b"iXML" or "iXML" not in dropped):
                            self.assertIn(t, tags)
                    for t in dropped.split(", "):
                        self.assertNotIn(t[:4].encode(), tags)
                    body = dict(got)
                    if b"bext" in body:  # TimeReference kept, one line of history added
                        self.assertEqual(body[b"bext"][:602], source_chunks[b"bext"][:602])
                        self.assertTrue(body[b"bext"].endswith(
                            b"M=mono,T=tarnvell2 %s; channel %s\r\n" % (VERSION, side.encode())))
                        self.assertEqual(ffprobe_tags(out)["time_reference"],
                                         source_tags["time_reference"])
                    if b"PEAK" in body:
                        self.assertEqual(body[b"PEAK"], peak[:8] + peak[8 + 8 * k:16 + 8 * k])
                    for t in (b"cue ", b"umid", b"id3 "):
                        if t in source_chunks:
                            self.assertEqual(body[t], source_chunks[t])
                    if b"id3 " in body:
                        self.assertEqual(ffprobe_tags(out)["artist"], "Marker crew")
                    read = wavefile_read(out)
                    if read is not None:
                        self.assertEqual(read["cue"], wavefile_read(self.path("t.wav"))["cue"])
                        if b"iXML" in body:
                            x = read["iXML"]
                            self.assertEqual((x.count("<TRACK>"), x.count(
                                "<INTERLEAVE_INDEX>1</INTERLEAVE_INDEX>"), x.count(
                                "<TRACK_COUNT>1</TRACK_COUNT>")), (1, 1, 1))
                            self.assertIn("<CHANNEL_INDEX>%d</CHANNEL_INDEX>" % (k + 3), x)
                            self.assertIn("<NAME>%s</NAME>" % ["BOOM", "LAV1", "LAV2", "MIX-L"][k], x)
                            self.assertIn("<SCENE>4</SCENE>", x)
                    reference = sox_raw(self.path("t.wav"), "remix", str(k + 1))
                    self.assertEqual(sox_raw(out), reference)
                # Without -m the outputs carry nothing: exactly as before.
                for name in self.files():
                    if name != "t.wav":
                        os.unlink(self.path(name))
                self.assertEqual(launch(args[:-1] + ["t.wav"], self.dir).returncode, 0)
                if sides == "LR":
                    bits = 24 if what.startswith("Pro") else 16
                    for side, c in zip("LR", channels_of(data_chunk(content), bits)):
                        self.assertEqual(self.read("t%s.wav" % side), mono(c, bits, 48000))

    def test_odd_and_hostile_layouts(self):
        # Each chunk carried at most once, with its own body, so that each output is at most its
        # share of the samples, the source's chunks and what the tool makes; every chunk not
        # carried named, at most 20 names; the rest of a file the walk cannot go through named
        # too; an iXML track list read as an XML reader would, or not carried. Made here.
        samples = pattern(4 * 101)
        digits = "0123456789abcdefghijklmnopqrstuvwxyz"
        tags = ["z" + digits[k // 1296] + digits[k // 36 % 36] + digits[k % 36]
                for k in range(40000)]
        many = b"".join(chunk(t.encode(), b"") for t in tags)
        list_at = 44 + len(samples)
        odd = chunk(b"LIST", b"INFOabc", pad=False)  # no pad byte after it
        readable = ixml(["BOOM", "LAV"]).replace(b"<TRACK_LIST>", b"<TRACK_LIST  version='1'>")
        cases = [
            # what, source, what standard error says, the tags of each output
            ("200 empty iXML, then a big one", source(samples, before=chunk(b"iXML", b"") * 200 +
                                                      chunk(b"iXML", b" " * 100000)),
             "not carried: iXML (a second one)", [b"fmt ", b"iXML", b"data"]),
            ("40,000 tags", source(samples, after=many), "not carried: " + ", ".join(tags[:20]) +
             " and 39980 more", [b"fmt ", b"data"]),
            ("an odd chunk without its pad byte", source(samples, after=odd + chunk(
                b"id3 ", b"ID3" + bytes(7))), "", [b"fmt ", b"data", b"LIST", b"id3 "]),
            ("bytes that are no chunk", source(samples, after=odd + b"\x01garbage"),
             "not carried: the rest of the file after LIST at byte %d" % list_at,
             [b"fmt ", b"data", b"LIST"]),
            ("white space and attributes in the iXML", source(samples, before=chunk(
                b"iXML", readable)), "", [b"fmt ", b"iXML", b"data"]),
            ("UTF-16 iXML", source(samples, before=chunk(b"iXML", readable.decode().encode(
                "utf-16"))), "not carried: iXML (its text is UTF-16, which is not read)",
             [b"fmt ", b"data"]),
            ("a track list it cannot read", source(samples, before=chunk(b"iXML", b"<X><TRACK_"
                                                                         b"LIST <TRACK/></X>")),
             "not carried: iXML (a tag is not closed)", [b"fmt ", b"data"]),
        ]
        for what, content, err, tags in cases:
            with self.subTest(what):
                self.write("t.wav", content)
                p = launch(["-m", "t.wav"], self.dir)
                self.assertEqual((p.stdout, p.returncode, p.stderr.decode()), (
                    DONE, 0, err and "tarnvell2: t.wav: %s\n" % err))
                for k, side in enumerate("LR"):
                    out = self.read("t%s.wav" % side)
                    self.assertLessEqual(len(out), len(content) - len(samples) // 2 + 300)
                    got = chunks_of(out)
                    self.assertEqual([t for t, _ in got], tags)
                    body = dict(got)
                    if b"iXML" in body and b"TRACK" in body[b"iXML"]:
                        x = body[b"iXML"]
                        self.assertEqual((x.count(b"<TRACK>"), x.count(b"<TRACK_COUNT>1<")), (1, 1))
                        self.assertIn([b"<NAME>BOOM</NAME>", b"<NAME>LAV</NAME>"][k], x)

    def test_ffmpeg_bext_and_info(self):
        if not have("ffmpeg") or not have("mediainfo"):
            self.skipTest("needs ffmpeg and mediainfo")
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=f=300:d=0.5:r=48000",
                        "-ac", "2", "-c:a", "pcm_s24le", "-write_bext", "1", "-metadata",
                        "time_reference=172800000", "-metadata", "description=Scene 4 take 2",
                        "-metadata", "title=Take two", self.path("ff.wav")], check=True)
        self.assertEqual(run(["-m", "ff.wav"], self.dir), (DONE, 0))
        want = ffprobe_tags(self.path("ff.wav"))
        for side in "LR":
            got = ffprobe_tags(self.path("ff%s.wav" % side))
            self.assertEqual({k: got[k] for k in ("time_reference", "comment", "title")},
                             {k: want[k] for k in ("time_reference", "comment", "title")})
            info = subprocess.run(["mediainfo", "--Inform=General;%Description%|%Title%",
                                   self.path("ff%s.wav" % side)], capture_output=True, text=True)
            self.assertEqual(info.stdout.strip(), "Scene 4 take 2|Take two")
