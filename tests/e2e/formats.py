"""What the tool reads: crafted sources of every layout it splits, -a's formats and channels,
the refusals, and the malformed corpus and the fuzzer's seeds replayed."""
from helpers import *  # noqa: F401,F403


class Splits(Scratch):
    def test_crafted_sources(self):
        s16, s24 = pattern(10000), pattern(6144 * 3)
        odd = pattern(1001 * 4)
        meta = chunk(b"LIST", b"INFOICMT" + struct.pack("<I", 20) + b"has metadata inside!")
        trailer = chunk(b"LIST", b"INFOISFT" + struct.pack("<I", 6) + b"Editor")
        id3 = chunk(b"id3 ", b"ID3" + bytes(17))
        pro_tools = chunk(b"JUNK", bytes(92)) + chunk(b"bext", bytes(602))
        elm1 = chunk(b"minf", bytes(16)) + chunk(b"elm1", bytes(15574))
        removed = chunk(b"regn", bytes(92)) + chunk(b"umid", bytes(24)) + chunk(b"DGDA", bytes(444))
        ds64 = chunk(b"ds64", struct.pack("<QQQI", 0, 1000, 250, 0))
        cases = [
            # what, source, bits, the sample bytes that count (container bytes: each sample is
            # the low three bytes of four)
            ("16-bit, 2500 frames", source(s16), 16, s16),
            ("24-bit, 3 full blocks", source(s24, bits=24, rate=48000), 24, s24),
            ("one trailing byte", source(s16 + b"\x01", declared=10000), 16, s16),
            ("partial frame at the end", source(s24[:-4], bits=24), 24, s24[:-6]),
            ("LIST after data", source(s16, after=trailer), 16, s16),
            ("id3 after data", source(s16, after=id3), 16, s16),
            ("odd data size, pad, LIST", source(s16[:1001], after=b"\0" + trailer), 16,
             s16[:1000]),
            ("streamed, size 0", source(odd, declared=0, rate=8000), 16, odd),
            ("streamed, size 0xFFFFFFFF", source(odd, declared=0xFFFFFFFF), 16, odd),
            ("uncounted audio kept", source(odd, declared=400), 16, odd),
            ("size past the end", source(odd, declared=99999), 16, odd),
            ("metadata comment before data", source(s16, before=meta), 16, s16),
            ("data tag within 8 bytes of the end", source(b"", declared=0)[:-4], 16, b""),
            ("no samples", source(b"", bits=24, rate=96000), 24, b""),
            ("Pro Tools, data past 15000", source(s24, bits=24, first=pro_tools, before=elm1,
                                                  after=removed), 24, s24),
            ("ffmpeg, a 20 KB comment", source(s16, before=chunk(b"LIST", b"INFO" + meta * 500)),
             16, s16),
            ("arecord, 24 bits in 4-byte containers", source(s16[:8000], bits=24, align=8), 24,
             s16[:8000], 4),
            ("size 0, then chunks: no samples", source(b"", bits=24, declared=0, after=removed),
             24, b""),
            ("RF64, size from ds64", source(s16[:1000], first=ds64, declared=0xFFFFFFFF,
                                            after=trailer, form=b"RF64"), 16, s16[:1000]),
        ]
        for what, content, bits, samples, *container in cases:
            with self.subTest(what):
                rate = struct.unpack_from("<I", content, content.index(b"fmt ") + 12)[0]
                left, right = channels_of(samples, bits, *container)
                self.split("s.wav", content, mono(left, bits, rate), mono(right, bits, rate))

    def test_bytes_after_the_last_whole_frame(self):
        # Not copied, and standard error says how many; the byte after an odd size at the end
        # of the file is its pad byte, not audio, whatever its value.
        s16 = pattern(12)
        trailer = chunk(b"LIST", b"INFOISFT" + struct.pack("<I", 6) + b"Editor")
        cases = [
            # what, source, frames, the line on standard error
            ("odd size, its pad byte, the end", source(s16 + b"xyz", after=b"\xAA"), 3,
             b"tarnvell2: s.wav: 3 bytes after the last whole frame not copied\n"),
            ("odd size, its pad byte, a chunk", source(s16 + b"xyz", after=b"\0" + trailer), 3,
             b"tarnvell2: s.wav: 3 bytes after the last whole frame not copied\n"),
            ("no chunk after: uncounted audio", source(s16 + b"xyz", after=b"\xAA\xBB"), 4,
             b"tarnvell2: s.wav: 1 byte after the last whole frame not copied\n"),
            ("whole frames", source(s16), 3, b""),
        ]
        for what, content, frames, err in cases:
            with self.subTest(what):
                self.write("s.wav", content)
                p = launch(["s.wav"], self.dir)
                self.assertEqual((p.stdout, p.returncode, p.stderr), (DONE, 0, err))
                samples = content[44:44 + 4 * frames]
                for side, c in zip("LR", channels_of(samples, 16)):
                    self.assertEqual(self.read("s%s.wav" % side), mono(c, 16, 44100))

    def test_metadata_tag_lies_where_a_plain_search_would_take_it(self):
        # Guards the case above: the comment's "data" is at an even offset before the real one.
        meta = chunk(b"LIST", b"INFOICMT" + struct.pack("<I", 20) + b"has metadata inside!")
        content = source(b"\0" * 8, before=meta)
        first = next(i for i in range(2, 200, 2) if content[i:i + 4] == b"data")
        self.assertLess(first, content.rindex(b"data"))

    def test_source_is_read_once(self):
        # One pass: every byte read(2) returns over the run adds up to the source and a little.
        if RUNNER or not have("strace"):
            self.skipTest("needs strace, on the host")
        content = source(pattern(8 << 20), bits=24)
        self.write("s.wav", content)
        subprocess.run(["strace", "-f", "-e", "trace=read,pread64", "-e", "signal=none", "-o",
                        self.path("trace"), TOOL, "s.wav"], cwd=self.dir, check=True,
                       capture_output=True,
                       env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))  # no LSan in ptrace
        with open(self.path("trace")) as f:
            got = sum(int(line.rsplit("=", 1)[1].split()[0]) for line in f
                      if "read" in line and "= " in line and "= -1" not in line)
        self.assertGreaterEqual(got, len(content) - 44)
        self.assertLessEqual(got, len(content) + (1 << 20))

    def test_existing_outputs_are_replaced(self):
        self.write("songL.wav", b"old" * 100)
        self.write("songR.wav", b"")
        left, right = (mono(c, 16, 44100) for c in channels_of(pattern(40), 16))
        self.split("song.wav", source(pattern(40)), left, right)


class AnyFormat(Scratch):
    """-a: every format that splits by copying bytes, any channel count from 2. Each output is
    read back by libsndfile, and by sox where sox reads the source, and must hold the samples of
    its channel as the same reader gets them from the source."""

    def sox_source(self, name, args, channels=2, rate=8000):
        subprocess.run(["sox", "-n", "-r", str(rate), "-c", str(channels)] + args +
                       [self.path(name), "synth", "801s"] +
                       ["sine", "300", "sine", "400", "sine", "500", "sine", "600"][:2 * channels],
                       check=True, capture_output=True)

    def ffmpeg_source(self, name, layout, channels, codec):
        pan = "|".join("c%d=%.1f*c0" % (k, 1 - k / 10) for k in range(channels))
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=f=300:d=0.1:r=48000",
                        "-af", "pan=%s|%s" % (layout, pan), "-c:a", codec, self.path(name)],
                       check=True)

    def test_formats_and_channels(self):
        if soundfile is None or not have("sox") or not have("ffmpeg"):
            self.skipTest("needs sox, ffmpeg and python3-soundfile")
        odd = pattern(2 * 4 * 1001)
        cases = [
            # source, how it is made, the output's format tag, whether it splits without -a
            ("u8.wav", lambda n: self.sox_source(n, ["-e", "unsigned", "-b", "8"]), 1, False),
            ("s16.wav", lambda n: self.sox_source(n, ["-b", "16"]), 1, True),
            ("s24.wav", lambda n: self.sox_source(n, ["-b", "24"]), 1, True),
            ("s32.wav", lambda n: self.sox_source(n, ["-b", "32"]), 1, False),
            ("f32.wav", lambda n: self.sox_source(n, ["-e", "float", "-b", "32"]), 3, False),
            ("f64.wav", lambda n: self.sox_source(n, ["-e", "float", "-b", "64"]), 3, False),
            ("ulaw.wav", lambda n: self.sox_source(n, ["-e", "mu-law"]), 7, False),
            ("alaw.wav", lambda n: self.sox_source(n, ["-e", "a-law"]), 6, False),
            ("quad.wav", lambda n: self.sox_source(n, ["-b", "16"], channels=4), 1, False),
            ("ff51.wav", lambda n: self.ffmpeg_source(n, "5.1", 6, "pcm_s24le"), 1, False),
            ("ff71.wav", lambda n: self.ffmpeg_source(n, "7.1", 8, "pcm_s16le"), 1, False),
            ("ff3.wav", lambda n: self.ffmpeg_source(n, "3.0", 3, "pcm_s16le"), 1, False),
            ("fff32.wav", lambda n: self.ffmpeg_source(n, "stereo", 2, "pcm_f32le"), 3, False),
            ("v24in32.wav", lambda n: self.write(n, extensible(odd, 2, 4, 24)), 0xFFFE, False),
            ("v20in24.wav", lambda n: self.write(n, extensible(odd[:6 * 1001], 2, 3, 20)), 1,
             True),
            ("v12in16.wav", lambda n: self.write(n, extensible(odd[:4 * 1001], 2, 2, 12)), 1,
             True),
            ("v20in24x3.wav", lambda n: self.write(n, extensible(odd[:9 * 1001], 3, 3, 20)),
             0xFFFE, False),
        ]
        for name, make, tag, default in cases:
            with self.subTest(name):
                for old in self.files():
                    os.unlink(self.path(old))
                make(name)
                stem = name[:-4]
                rate, channels, subtype, samples = libsndfile(self.path(name))
                names = ([stem + "L.wav", stem + "R.wav"] if channels == 2 else
                         ["%s_%d.wav" % (stem, k + 1) for k in range(channels)])
                if default:  # -a changes nothing for what splits without it
                    self.assertEqual(run([name], self.dir), (DONE, 0))
                    before = [self.read(n) for n in names]
                self.assertEqual(run(["-a", name], self.dir), (DONE, 0))
                self.assertEqual(self.files(), sorted(names + [name]))
                for k, out in enumerate(names):
                    content = self.read(out)
                    if default:
                        self.assertEqual(content, before[k])
                    at = content.index(b"fmt ")
                    self.assertEqual(struct.unpack_from("<HH", content, at + 8), (tag, 1))
                    if tag == 0xFFFE:  # front centre, not the source channel's speaker
                        self.assertEqual(struct.unpack_from("<I", content, at + 28)[0], 4)
                    if tag in (3, 6, 7):
                        self.assertEqual(struct.unpack_from("<I", content, content.index(
                            b"fact") + 8)[0], len(samples))
                    got = libsndfile(self.path(out))
                    self.assertEqual(got[:3], (rate, 1, subtype), out)
                    self.assertTrue((got[3][:, 0] == samples[:, k]).all(), out)
                    reference = sox_raw(self.path(name), "remix", str(k + 1))
                    if reference is not None:  # sox reads no partly used container
                        self.assertEqual(sox_raw(self.path(out)), reference, out)


    def test_arecord_layout_with_and_without_a(self):
        # arecord -f S24_LE: 24-bit samples in the low three bytes of 4-byte containers, said by
        # a plain PCM format chunk's block align alone. Packed to three bytes with or without
        # -a, and for any channel count with it.
        samples = pattern(4 * 4 * 50)
        for channels, args in ((2, []), (2, ["-a"]), (4, ["-a"])):
            with self.subTest(channels=channels, args=args):
                for name in self.files():
                    os.unlink(self.path(name))
                self.write("rec.wav", source(samples, channels=channels, bits=24,
                                             align=4 * channels))
                self.assertEqual(run(args + ["rec.wav"], self.dir), (DONE, 0))
                names = ["recL.wav", "recR.wav"] if channels == 2 else [
                    "rec_%d.wav" % k for k in range(1, channels + 1)]
                for k, name in enumerate(names):
                    want = b"".join(samples[f + 4 * k:f + 4 * k + 3]
                                    for f in range(0, len(samples), 4 * channels))
                    self.assertEqual(self.read(name), mono(want, 24, 44100), name)

    def test_names_guards_and_skips_of_every_channel(self):
        poly = source(pattern(6 * 100), channels=3)
        mono_file = source(pattern(40), channels=1)
        cases = [
            # files, arguments, standard output, status, standard error, outputs made
            ({"takes/poly.take.wav": poly}, ["-a", "-w", "-d", "out", "takes/poly.take.wav"],
             DONE, 0, b"", ["out/poly.take_%d.wav" % k for k in (1, 2, 3)]),
            ({"poly.wav": poly, "poly_2.wav": mono_file}, ["-a", "poly.wav", "poly_2.wav"],
             b"poly.wav: done\npoly_2.wav: skipped\n", 0,
             b"tarnvell2: poly_2.wav: is an output of poly.wav in this run\n",
             ["poly_%d.wav" % k for k in (1, 2, 3)]),
            ({"poly.wav": poly, "poly_3.wav": mono_file}, ["-a", "-n", "poly.wav"],
             b"skipped\n", 0, b"tarnvell2: poly_3.wav: exists, not replaced\n", []),
            ({"take.1.wav": poly, "take.2.wav": poly}, ["-a", "take.1.wav", "take.2.wav"],
             b"take.1.wav: done\ntake.2.wav: Unable to open file.\n", 2,
             b"tarnvell2: take_1.wav: was written by take.1.wav in this run, not replaced; -w names "
             b"the outputs after the whole names\n",
             ["take_%d.wav" % k for k in (1, 2, 3)]),
            # Without -a, "_2" names no output.
            ({"poly.wav": poly, "poly_2.wav": mono_file}, ["poly.wav", "poly_2.wav"],
             b"poly.wav: " + NOT_STEREO + b"poly_2.wav: " + NOT_STEREO, 1,
             b"tarnvell2: poly.wav: 3 channels; -a splits each into a file of its own\n"
             b"tarnvell2: poly_2.wav: has one channel, nothing to split\n", []),
        ]
        for files, args, out, status, err, made in cases:
            with self.subTest(args):
                shutil.rmtree(self.dir)
                os.mkdir(self.dir)
                os.mkdir(self.path("out"))
                for name, content in files.items():
                    self.write(name, content)
                p = launch(args, self.dir)
                self.assertEqual((p.stdout, p.returncode, p.stderr), (out, status, err))
                for k, name in enumerate(made):
                    self.assertEqual(self.read(name), mono(channels_of3(pattern(600), k), 16,
                                                           44100))


def rifx(riff):
    """The big-endian twin of a RIFF file, made here field by field: every size, the format
    chunk's fields, fact's count and each sample the other way round; other bodies as they are."""
    out, at, width = b"RIFX" + riff[4:8][::-1] + riff[8:12], 12, 2
    while at + 8 <= len(riff):
        tag, size = riff[at:at + 4], struct.unpack_from("<I", riff, at + 4)[0]
        body = riff[at + 8:at + 8 + size]
        if tag == b"fmt ":
            width = struct.unpack_from("<H", body, 14)[0] // 8
            body = struct.pack(">HHIIHH", *struct.unpack_from("<HHIIHH", body)) + body[16:]
        elif tag == b"fact":
            body = body[3::-1] + body[4:]
        elif tag == b"data":
            body = b"".join(body[k:k + width][::-1] for k in range(0, len(body), width))
        out += tag + struct.pack(">I", size) + body + riff[at + 8 + size:at + 8 + size + size % 2]
        at += 8 + size + size % 2
    return out


class Rifx(Scratch):
    """Big-endian RIFX sources: with -a, split into RIFX outputs that are the twins of the RIFF
    file's outputs; refused without -a, as when their fields were read the other way round."""

    def test_twins_split_as_their_riff_files_do(self):
        # Stereo and poly, 16 and 24 bits, with -m an iXML and a bext carried: the twin's outputs
        # are the twins of the RIFF outputs, byte for byte, as a batch, as a stream, and from
        # sox's own RIFX (EXTENSIBLE for 24 bits); sox and libsndfile read the same samples from
        # both, ffprobe the same stream.
        tracks = ["Boom", "Lav", "Mix", "Wild"]
        cases = [(2, 16, b""), (2, 24, b""), (4, 16, chunk(b"iXML", ixml(tracks))),
                 (3, 24, chunk(b"bext", bext(b"rifx", 4800)))]
        names = range(len(cases))
        for k, (channels, bits, meta) in enumerate(cases):
            riff = source(pattern(channels * bits // 8 * 3001), channels, bits, before=meta)
            self.write("le%d.wav" % k, riff)
            self.write("be%d.wav" % k, rifx(riff))
        outs = lambda p, k: ["%s%d%s.wav" % (p, k, s) for s in (
            ["L", "R"] if cases[k][0] == 2 else ["_%d" % c for c in range(1, cases[k][0] + 1)])]
        for k in names:
            self.assertEqual(run(["be%d.wav" % k], self.dir), (NOT_STEREO, 1))
            self.assertEqual(launch(["be%d.wav" % k], self.dir).stderr,
                             b"tarnvell2: be%d.wav: big-endian RIFX: -a splits it\n" % k)
        sources = sorted("%s%d.wav" % (p, k) for p in ("le", "be") for k in names)
        self.assertEqual(self.files(), sources)
        # Under an emulator the batch alone: the tool reads and writes the same bytes either way.
        for way in ["batch"] if RUNNER else ["batch", "stream", "sox"]:
            for n in set(self.files()) - set(sources):
                os.unlink(self.path(n))
            with self.subTest(way=way):
                if way == "batch":
                    self.assertEqual(run(["-a", "-m"] + sources, self.dir)[1], 0)
                for k in names:
                    if way == "stream":
                        run(["-a", "-m", "le%d.wav" % k], self.dir)
                        self.assertEqual(run(["-a", "-m", "--as", "be%d.wav" % k, "-"], self.dir,
                                             self.read("be%d.wav" % k)), (DONE, 0))
                    if way == "sox":
                        if not have("sox"):
                            self.skipTest("needs sox")
                        subprocess.run(["sox", self.path("le%d.wav" % k), "-B",
                                        self.path("sx%d.wav" % k)], check=True)
                        run(["-a", "le%d.wav" % k], self.dir)
                        self.assertEqual(run(["-a", "sx%d.wav" % k], self.dir), (DONE, 0))
                    for le, be in zip(outs("le", k), outs("sx" if way == "sox" else "be", k)):
                        if way == "sox" and cases[k][2]:
                            continue  # sox keeps no iXML nor bext: its outputs are not twins
                        self.assertEqual(self.read(be), rifx(self.read(le)), (way, be))
                        self.judge(le, be)

    def judge(self, le, be):
        if have("sox"):
            raw = ["-t", "raw", "-e", "signed", "-b", "32", "-L", "-"]
            got = [subprocess.run(["sox", self.path(n)] + raw, capture_output=True).stdout
                   for n in (le, be)]
            self.assertEqual(got[0], got[1], be)
            self.assertGreater(len(got[0]), 0)
        if soundfile is not None:
            (rate, channels, _, samples), twin = (libsndfile(self.path(n)) for n in (le, be))
            self.assertEqual((rate, channels, samples.tolist()),
                             (twin[0], twin[1], twin[3].tolist()), be)
        if have("ffprobe"):
            fields = "stream=channels,sample_rate,bits_per_sample,duration_ts"
            got = [subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_entries", fields,
                                   self.path(n)], capture_output=True).stdout for n in (le, be)]
            self.assertEqual(got[0], got[1], be)


class Refusals(Scratch):
    def test_unusable_sources_write_nothing(self):
        no_data = source(pattern(40)).replace(b"data", b"DATA")

        def tagged(tag, **kw):  # another format tag, the same fields
            content = bytearray(source(pattern(40), **kw))
            content[20:22] = struct.pack("<H", tag)
            return bytes(content)
        adpcm = tagged(0x11, bits=4, align=1024)
        cases = [
            # source, content, standard output, status, the reason on standard error
            ("missing.wav", None, not_found("missing.wav"), 2, None),
            ("mono.wav", source(pattern(40), channels=1), NOT_STEREO, 1,
             "has one channel, nothing to split"),
            ("mono8.wav", source(pattern(40), channels=1, bits=8), NOT_STEREO, 1,
             "has one channel, nothing to split"),
            ("ch0.wav", source(pattern(40), channels=0), NOT_STEREO, 1, "has no channels"),
            ("s8.wav", source(pattern(40), bits=8), BAD_BITS, 1, "8-bit samples; -a splits them"),
            ("s32.wav", source(pattern(40), bits=32), BAD_BITS, 1,
             "32-bit samples; -a splits them"),
            ("nofmt.wav", source(pattern(40)).replace(b"fmt ", b"FMT "), NO_FORMAT, 2,
             "no fmt chunk at an even offset from 2 to 15000, nor in the chunk list"),
            ("nodata.wav", no_data, NO_DATA, 2,
             "no data chunk at an even offset from 2 to 15000, nor in the chunk list"),
            ("empty.wav", b"", NO_FORMAT, 2, "the file is empty"),
            ("cut-in-channels.wav", source(b"")[:22], NOT_STEREO, 1,
             "its format chunk is cut off by the end of the file"),
            ("cut-in-bits.wav", source(b"")[:35], BAD_BITS, 1,
             "its format chunk is cut off by the end of the file"),
            # A plain PCM format chunk whose block align leaves the samples' place unknown, with
            # or without -a; arecord's 24 bits in 4-byte containers are known, and packed.
            ("align8.wav", source(pattern(40), align=8), BAD_BITS, 1,
             "block align 8 is not 2 channels of 16 bits"),
            (["-a", "align8.wav"], source(pattern(40), align=8), BAD_BITS, 1,
             "block align 8 is not 2 channels of 16 bits"),
            ("...", None, NAME_ERROR, 2, NO_NAME),
            ("dir/", None, NAME_ERROR, 2, NO_NAME),
            ("", None, NAME_ERROR, 2, NO_NAME),
            (["-w", "..."], None, NAME_ERROR, 2, NO_NAME),
            (["-w", "..wav"], source(pattern(40)), NAME_ERROR, 2, NO_NAME),
            # The format tag is read: WMA in WAVE declares 16 bits of what are compressed bytes.
            ("wma.wav", tagged(0x161), BAD_BITS, 1, "format 0x0161 is not PCM"),
            (["-a", "wma.wav"], tagged(0x161), BAD_BITS, 1,
             "format 0x0161 cannot be split by copying bytes"),
            (["-a", "adpcm.wav"], adpcm, BAD_BITS, 1, "format 0x0011 cannot be split by copying "
             "bytes"),
            ("f32.wav", tagged(3, bits=32), BAD_BITS, 1, "32-bit float samples; -a splits them"),
            ("six.wav", source(pattern(72), channels=6), NOT_STEREO, 1,
             "6 channels; -a splits each into a file of its own"),
            (["-a", "mono.wav"], source(pattern(40), channels=1), NOT_STEREO, 1,
             "has one channel, nothing to split"),
            (["-a", "align3.wav"], source(pattern(40), bits=8, align=3), BAD_BITS, 1,
             "block align 3 is not 2 channels of 8 bits"),
        ]
        for name, content, out, status, reason in cases:
            with self.subTest(name):
                args = name if isinstance(name, list) else [name]
                if content is not None:
                    self.write(args[-1], content)
                before = self.files()
                p = launch(args, self.dir)
                self.assertEqual((p.stdout, p.returncode), (out, status))
                if reason is not None:
                    self.assertEqual(p.stderr.decode(), reason and "tarnvell2: %s: %s\n" % (
                        args[-1], reason))
                self.assertEqual(self.files(), before)

    def test_more_channels_than_descriptors(self):
        # 64 outputs open at once need 72 descriptors: refused before anything is written where
        # the hard limit allows fewer, split where the soft limit can be raised.
        self.write("poly.wav", source(pattern(64 * 2 * 10), channels=64))
        for hard, out, status in ((50, OPEN_FAILED, 2), (200, DONE, 0)):
            with self.subTest(hard=hard):
                p = subprocess.run(RUNNER + [TOOL, "-a", "poly.wav"], cwd=self.dir,
                                   capture_output=True, timeout=60, preexec_fn=lambda: (
                                       resource.setrlimit(resource.RLIMIT_NOFILE, (40, hard))))
                self.assertEqual((p.stdout, p.returncode), (out, status))
                self.assertEqual(len(self.files()), 1 if status else 65)
        self.assertEqual(p.stderr, b"")

    def test_source_that_is_a_folder(self):
        os.mkdir(self.path("d.wav"))
        self.assertEqual(run(["d.wav"], self.dir), (not_found("d.wav"), 2))
        self.assertEqual(self.files(), ["d.wav"])


class Corpus(Scratch):
    """Every malformed file kept in tests/data, with the answer it must get, and with --verify
    the same answer and outputs. Anything on standard error (a sanitizer's report) fails it too."""

    def test_replay(self):
        with open(os.path.join(CORPUS, "corpus.txt")) as f:
            cases = [line.rstrip("\n").split("\t") for line in f if not line.startswith("#")]
        self.assertGreater(len(cases), 40)
        for name, status, message, reason in cases:
            with self.subTest(name):
                p, outputs = self.replay(os.path.join(CORPUS, name))
                self.assertEqual((p.stdout, p.returncode, p.stderr.decode()), (
                    message.encode() + b"\n", int(status),
                    "".join("tarnvell2: case.wav: %s\n" % r for r in reason.split(" | ") if r)))
                self.assertEqual(sorted(outputs),
                                 ["caseL.wav", "caseR.wav"] if status == "0" else [])
                checked, same = self.replay(os.path.join(CORPUS, name), ["--verify"])
                self.assertEqual((checked.stdout, checked.returncode, checked.stderr, same),
                                 (p.stdout, p.returncode, p.stderr, outputs))

    def replay(self, path, args=()):
        """Runs the tool on a copy of the file; checks that outputs, if any, are consistent
        (the header counts what follows), removes them, and returns them by name."""
        shutil.copy(path, self.path("case.wav"))
        p = launch(list(args) + ["case.wav"], self.dir)
        outputs = {n: self.read(n) for n in self.files() if n != "case.wav"}
        for n, out in outputs.items():
            size = struct.unpack_from("<I", out, 40)[0]
            self.assertEqual((size, struct.unpack_from("<I", out, 4)[0]),
                             (len(out) - 44 - size % 2, len(out) - 8))
            self.assertEqual(out[44 + size:], bytes(size % 2))
            os.unlink(self.path(n))
        return p, outputs


    def test_fuzzer_seeds(self):
        # Inputs the fuzzer kept for their coverage: each gets one of the known answers.
        folder = os.path.join(os.path.dirname(CORPUS), "..", "fuzz", "corpus")
        answers = {DONE: 0, NOT_STEREO: 1, BAD_BITS: 1, NO_FORMAT: 2, NO_DATA: 2}
        names = sorted(os.listdir(folder))
        self.assertGreater(len(names), 50)
        for name in names:
            with self.subTest(name):
                p, outputs = self.replay(os.path.join(folder, name))
                self.assertEqual(answers.get(p.stdout), p.returncode)
                self.assertRegex(p.stderr, rb"^(tarnvell2: case\.wav: [^\n]+\n){0,2}$")
                self.assertEqual(len(outputs), 2 if p.returncode == 0 else 0)
