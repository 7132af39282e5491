"""Files of other programs and independent readers: libsndfile as a second judge of every
stereo file split, files written by sox, ffmpeg and Python's wave module, and the real files in
../shared/realworld with their manifest."""
from helpers import *  # noqa: F401,F403


class SecondReader(Scratch):
    """libsndfile as a second judge of every stereo file the tests split: the crafted corpus, the
    fuzzer's seeds, files from sox and ffmpeg, and ../shared/realworld. Where libsndfile reads a
    file as two channels of 16- or 24-bit PCM, the outputs hold exactly its samples, or the file
    is a row of tests/libsndfile-differences.tsv, which says which reader is right and why. Every
    output opens in libsndfile with no warning but the note on an odd-sized data chunk."""

    def test_libsndfile_reads_the_same_samples(self):
        if soundfile is None or not have("sndfile-info"):
            self.skipTest("needs python3-soundfile and sndfile-programs")
        top = os.path.normpath(os.path.join(CORPUS, "..", ".."))
        with open(os.path.join(top, "tests", "libsndfile-differences.tsv")) as f:
            known = {row[0]: row[1:3] for row in (line.rstrip("\n").split("\t") for line in f)
                     if not row[0].startswith("#")}
        files = [os.path.relpath(os.path.join(folder, n), top) for folder, ext in (
            (CORPUS, ".wav"), (os.path.join(top, "fuzz", "corpus"), "")) for n in
            sorted(os.listdir(folder)) if n.endswith(ext)]
        made = self.made_by_others()
        found = {}
        for name in files + made + self.realworld():
            path = name if os.path.isabs(name) else os.path.join(top, name)
            with self.subTest(name):
                shutil.copy(path, self.path("case.wav"))
                p = launch(["case.wav"], self.dir)
                try:
                    with soundfile.SoundFile(self.path("case.wav")) as sf:
                        stereo = sf.channels == 2 and sf.subtype in ("PCM_16", "PCM_24")
                        theirs = sf.read(dtype="int32", always_2d=True)
                except RuntimeError:  # libsndfile refuses it
                    stereo = False
                outputs = [self.path("case%s.wav" % side) for side in "LR"]
                for out in outputs if p.returncode == 0 else []:
                    info = subprocess.run(["sndfile-info", out], capture_output=True, text=True)
                    self.assertEqual([line for line in info.stdout.splitlines() if line.startswith(
                        "***") and "should be an even number of bytes" not in line], [], out)
                if stereo:
                    ours = [soundfile.read(o, dtype="int32")[0] for o in outputs] \
                        if p.returncode == 0 else None
                    if ours is None or any(len(o) != len(theirs) or (o != theirs[:, k]).any()
                                           for k, o in enumerate(ours)):
                        key = name if not os.path.isabs(name) else (
                            "realworld/" if name.startswith(REALWORLD) else "made/") + \
                            os.path.basename(name)
                        found[key] = ["refused" if ours is None else str(len(ours[0])),
                                      str(len(theirs))]
                for out in outputs:
                    if os.path.exists(out):
                        os.unlink(out)
        self.assertEqual(found, {n: v for n, v in known.items() if n in files or
                                 n.startswith("made/") or n.startswith("realworld/")})

    def made_by_others(self):
        """Stereo files written by sox and ffmpeg here, where they are installed."""
        made = []
        if have("sox"):
            for bits in (16, 24):
                made.append(self.path("sox%d.wav" % bits))
                subprocess.run(["sox", "-n", "-r", "44100", "-b", str(bits), "-c", "2", made[-1],
                                "synth", "0.3", "sine", "440", "sine", "660"], check=True)
        if have("ffmpeg"):
            for k, (codec, extra) in enumerate([("pcm_s16le", []), ("pcm_s24le", []), (
                    "pcm_s16le", ["-metadata", "comment=metadata"])]):
                made.append(self.path("ff%d.wav" % k))
                subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                                "sine=f=440:d=0.3:r=44100", "-ac", "2", "-c:a", codec] + extra +
                               [made[-1]], check=True)
        return made

    def realworld(self):
        if not os.path.isdir(REALWORLD):
            print("\nSecondReader: %s is absent, its files are not judged" % REALWORLD)
            return []
        return [os.path.join(REALWORLD, n) for n in sorted(os.listdir(REALWORLD))
                if n.endswith(".wav")]


class Oracles(Scratch):
    """Files from other programs, split and compared with sox's own channel extraction."""

    def check_against_sox(self, name):
        content = self.read(name)
        self.assertEqual(run([name], self.dir), (DONE, 0))
        self.assertEqual(self.read(name), content)
        info = [subprocess.run(["sox", "--i", opt, self.path(name)], capture_output=True,
                               check=True).stdout for opt in ("-b", "-r")]
        bits, rate = (int(x) for x in info)
        for side, channel in (("L", 1), ("R", 2)):
            out = self.read(name[:-4] + side + ".wav")
            ref = subprocess.run(["sox", self.path(name), "-t", "raw", "-", "remix", str(channel)],
                                 capture_output=True, check=True).stdout
            self.assertGreater(len(ref), 1000)
            self.assertEqual(out, mono(ref, bits, rate), side)
            with wave.open(self.path(name[:-4] + side + ".wav")) as w:  # another reader agrees
                self.assertEqual((w.getnchannels(), w.getnframes()), (1, len(ref) * 8 // bits))

    @unittest.skipUnless(have("sox"), "sox is not installed")
    def test_sox_files(self):
        for bits, rate in ((16, 44100), (24, 48000)):
            with self.subTest(bits=bits):
                name = "sox%d.wav" % bits
                subprocess.run(["sox", "-n", "-r", str(rate), "-b", str(bits), "-c", "2",
                                self.path(name), "synth", "0.3", "sine", "440", "sine", "660"],
                               check=True)
                if bits == 24:  # written as WAVE_FORMAT_EXTENSIBLE with a fact chunk
                    self.assertIn(b"fact", self.read(name)[:100])
                self.check_against_sox(name)

    @unittest.skipUnless(have("sox") and have("ffmpeg"), "sox or ffmpeg is not installed")
    def test_ffmpeg_files(self):
        # The last flag: the comment puts "data" at an even offset inside the LIST chunk.
        cases = [("pcm_s16le", [], False), ("pcm_s24le", [], False),
                 ("pcm_s16le", ["-metadata", "comment=metadata"], True),
                 ("pcm_s16le", ["-metadata", "comment=some metadata"], False),
                 ("pcm_s24le", ["-metadata", "comment=x metadata"], True)]
        for i, (codec, extra, decoy) in enumerate(cases):
            with self.subTest(codec=codec, extra=extra):
                name = "ff%d.wav" % i
                subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                "sine=f=440:d=0.3:r=44100", "-f", "lavfi", "-i",
                                "sine=f=660:d=0.3:r=44100", "-filter_complex", "amerge",
                                "-c:a", codec] + extra + [self.path(name)], check=True)
                content = self.read(name)
                self.assertIn(b"LIST", content[:200])
                first = next(i for i in range(2, 15002, 2) if content[i:i + 4] == b"data")
                at = content.index(b"LIST")
                list_end = at + 8 + struct.unpack_from("<I", content, at + 4)[0]
                self.assertEqual(first < content.index(b"data", list_end), decoy)
                self.check_against_sox(name)

    @unittest.skipUnless(have("sox"), "sox is not installed")
    def test_python_wave_files(self):
        for width in (2, 3):
            with self.subTest(width=width):
                name = "py%d.wav" % width
                with wave.open(self.path(name), "wb") as w:
                    w.setnchannels(2)
                    w.setsampwidth(width)
                    w.setframerate(22050)
                    w.writeframes(pattern(2 * width * 5001))
                self.check_against_sox(name)


class RealWorld(Scratch):
    """Files written by real programs (../shared/realworld, not part of this project), each
    replayed against its manifest row: status, message, frames and every sample byte."""

    def reference(self, name, how, bits):
        """Left and right sample bytes as another reader gives them."""
        path = self.path(name)
        if how == "sox":
            return [subprocess.run(["sox", path, "-t", "raw", "-", "remix", str(c)],
                                   capture_output=True, check=True).stdout for c in (1, 2)]
        if how == "ffmpeg":
            raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "s%dle" % bits, "-"],
                                 capture_output=True, check=True).stdout
            return channels_of(raw, bits)
        return channels_of(data_chunk(self.read(name)), bits)

    def test_manifest(self):
        rows = self.rows()
        self.assertEqual(len(rows), 61)
        for row in rows:
            with self.subTest(row["file"]):
                shutil.copy(os.path.join(REALWORLD, row["file"]), self.path("case.wav"))
                p = launch(["case.wav"], self.dir)
                status = int(row["expected_status"])
                message = "done" if row["expected_message"] == "split" else row["expected_message"]
                self.assertEqual((p.stdout, p.returncode), (message.encode() + b"\n", status))
                self.assertRegex(p.stderr, rb"^(tarnvell2: case\.wav: [^\n]+\n)?$" if status
                                 else LEFTOVER + b"?$")
                if status != 0:
                    self.assertEqual(self.files(), ["case.wav"])
                    continue
                bits, rate = int(row["bits"]), int(row["rate"])
                for side, expected in zip("LR", self.reference("case.wav", row["reference"], bits)):
                    out = self.read("case%s.wav" % side)
                    self.assertEqual(out, mono(expected, bits, rate), side)
                    if row["frames"] != "-":
                        self.assertEqual(len(out) - 44 - len(expected) % 2,
                                         int(row["frames"]) * bits // 8, side)
                for side in "LR":
                    os.unlink(self.path("case%s.wav" % side))

    def test_manifest_with_any_format(self):
        # -a splits what splits without it byte for byte the same, and every other file of two
        # or more channels whose samples are PCM, float, A-law or mu-law: judged by libsndfile.
        if soundfile is None:
            self.skipTest("needs python3-soundfile")
        for row in self.rows():
            with self.subTest(row["file"]):
                shutil.copy(os.path.join(REALWORLD, row["file"]), self.path("case.wav"))
                default = launch(["case.wav"], self.dir)
                before = {n: self.read(n) for n in self.files() if n != "case.wav"}
                for n in before:
                    os.unlink(self.path(n))
                p = launch(["-a", "case.wav"], self.dir)
                outputs = sorted(n for n in self.files() if n != "case.wav")
                lifted = (int(row["channels"]) >= 2 and int(row["format_tag"], 16) in (
                    1, 3, 6, 7, 0xFFFE) and row["expected_message"] in (BAD_BITS[:-1].decode(),
                                                                        NOT_STEREO[:-1].decode()))
                if default.returncode == 0 or not lifted:
                    self.assertEqual((p.stdout, p.returncode), (default.stdout, default.returncode))
                    self.assertEqual({n: self.read(n) for n in outputs}, before)
                else:
                    self.assertEqual((p.stdout, p.returncode, p.stderr), (DONE, 0, b""))
                    rate, channels, subtype, samples = libsndfile(self.path("case.wav"))
                    self.assertEqual(len(outputs), channels)
                    for k, out in enumerate(outputs if channels > 2 else ["caseL.wav",
                                                                          "caseR.wav"]):
                        got = libsndfile(self.path(out))
                        self.assertEqual(got[:3], (rate, 1, subtype), out)
                        self.assertTrue((got[3][:, 0] == samples[:, k]).all(), out)
                for n in outputs:
                    os.unlink(self.path(n))

    def test_manifest_with_metadata(self):
        # -m on every file that splits: well-formed outputs with the same samples, whose tags
        # ffprobe and wavefile (npm) read as they read the source's.
        for row in self.rows():
            if row["expected_status"] != "0":
                continue
            with self.subTest(row["file"]):
                shutil.copy(os.path.join(REALWORLD, row["file"]), self.path("case.wav"))
                launch(["case.wav"], self.dir)
                plain = {n: self.read(n) for n in ("caseL.wav", "caseR.wav")}
                p = launch(["-m", "case.wav"], self.dir)
                self.assertEqual((p.stdout, p.returncode), (DONE, 0))
                self.assertRegex(p.stderr, LEFTOVER + rb"?(tarnvell2: case\.wav: not carried: "
                                 rb"[^\n]+\n)?$")
                want = ffprobe_tags(self.path("case.wav"))  # None: ffprobe refuses the source
                if want is not None:
                    want.pop("coding_history", None)
                try:  # wavefile refuses some sources (a form tag RF65, RF64 without ds64)
                    source_read = wavefile_read(self.path("case.wav"))
                except AssertionError:
                    source_read = None
                for name, before in plain.items():
                    content = self.read(name)
                    got = dict(chunks_of(content))
                    self.assertEqual(got[b"data"], dict(chunks_of(before))[b"data"])
                    tags = ffprobe_tags(self.path(name))
                    self.assertIsNotNone(tags)
                    tags.pop("coding_history", None)
                    self.assertEqual(tags, want if want is not None else tags)
                    read = wavefile_read(self.path(name))
                    if read is not None and source_read is not None:
                        self.assertEqual(read["cue"], source_read["cue"])
                        if source_read["bext"]:
                            self.assertEqual(read["bext"]["timeReference"],
                                             source_read["bext"]["timeReference"])

    def rows(self):
        with open(os.path.join(REALWORLD, "MANIFEST.tsv")) as f:
            keys = f.readline().rstrip("\n").split("\t")
            return [dict(zip(keys, line.rstrip("\n").split("\t"))) for line in f]
