"""Streams: standard input and FIFOs read once, front to back, their outputs' sizes set at the
end. One property over every stereo file the tests have: piped through, it gives what the file
gives."""
from helpers import *  # noqa: F401,F403


def streamed(args, cwd, content=None, stdin=None, **kw):
    """Runs the tool on `content` piped to its standard input, as `cat FILE |` would."""
    return subprocess.run(RUNNER + [TOOL] + args, cwd=cwd, input=content, stdin=stdin,
                          capture_output=True, timeout=120, **kw)


def long_stream(declared, samples, after=b"", rf64=False):
    """A 16-bit stereo stream at 48 kHz with `declared` in its data chunk (and ds64 for RF64)."""
    fmt = chunk(b"fmt ", fmt_body(2, 16, 48000))
    first = chunk(b"ds64", struct.pack("<QQQI", 0, len(samples), len(samples) // 4, 0)) \
        if rf64 else b""
    return (b"RF64\xff\xff\xff\xff" if rf64 else b"RIFF" + struct.pack("<I", 0x80000024)) + \
        b"WAVE" + first + fmt + b"data" + struct.pack("<I", declared) + samples + after


class Streams(Scratch):
    def test_a_stream_gives_what_the_file_gives(self):
        # Every stereo file of the corpus, of the fuzzer's seeds that split and of
        # ../shared/realworld, piped through, with and without -a -m: the same messages,
        # statuses and outputs, byte for byte. None of them is longer than a stream's hold
        # (4 MiB), within which a stream is decided as the same bytes in a file.
        files = sorted(os.path.join(CORPUS, n) for n in os.listdir(CORPUS) if n.endswith(".wav"))
        if os.path.isdir(REALWORLD):
            files += sorted(os.path.join(REALWORLD, n) for n in os.listdir(REALWORLD)
                            if n.endswith(".wav"))
        else:
            print("\nStreams: %s is absent, its files are not streamed" % REALWORLD)
        for path in files:
            with open(path, "rb") as f:
                content = f.read()
            self.assertLess(len(content), 4 << 20, path)
            for args in ([], ["-a", "-m"]):
                with self.subTest(os.path.basename(path), args=args):
                    for name in self.files():
                        os.unlink(self.path(name))
                    self.write("case.wav", content)
                    whole = launch(args + ["case.wav"], self.dir)
                    outputs = {n: self.read(n) for n in self.files() if n != "case.wav"}
                    for n in outputs:
                        os.unlink(self.path(n))
                    os.unlink(self.path("case.wav"))
                    p = streamed(args + ["--as", "case.wav", "-"], self.dir, content)
                    self.assertEqual((p.stdout, p.returncode, p.stderr.replace(
                        b"tarnvell2: -: ", b"tarnvell2: case.wav: ")),
                        (whole.stdout, whole.returncode, whole.stderr))
                    self.assertEqual({n: self.read(n) for n in self.files()}, outputs)

    def test_streams_longer_than_the_hold(self):
        # Headers as streaming writers leave them: arecord's 0x80000000, 0, 0x7FFFFFFF and
        # 0xFFFFFFFF say nothing, so the outputs keep a JUNK chunk where a ds64 would go and get
        # their sizes at the end. A size the stream declares gives the file's outputs, byte for
        # byte, chunks after the samples (-m) included; libsndfile and sox read every output's
        # frames.
        samples = pattern(6 << 20)  # past the hold, and an odd number of frames is not needed
        info = chunk(b"LIST", b"INFO" + chunk(b"ISFT", b"Editor\0"))
        cases = [
            # what, the stream, arguments, outputs identical to the file split's
            ("declared exactly", long_stream(len(samples), samples), [], True),
            ("declared, then a chunk (-m)", long_stream(len(samples), samples, info), ["-m"],
             True),
            ("declared in ds64", long_stream(0xFFFFFFFF, samples, rf64=True), [], True),
            ("declared short: the rest is uncounted audio", long_stream(1 << 20, samples), [],
             True),
            ("arecord to a pipe", long_stream(0x80000000, samples), [], False),
            ("0", long_stream(0, samples), [], False),
            ("0x7FFFFFFF", long_stream(0x7FFFFFFF, samples), [], False),
            ("0xFFFFFFFF", long_stream(0xFFFFFFFF, samples), [], False),
        ]
        left, right = channels_of(samples, 16)
        for what, content, args, identical in cases:
            with self.subTest(what):
                for name in self.files():
                    os.unlink(self.path(name))
                self.write("f.wav", content)
                self.assertEqual(launch(args + ["f.wav"], self.dir).returncode, 0)
                p = streamed(args + ["--as", "s.wav", "-"], self.dir, content)
                self.assertEqual((p.stdout, p.returncode, p.stderr), (DONE, 0, b""))
                for side, want in zip("LR", (left, right)):
                    out = self.read("s%s.wav" % side)
                    if identical:
                        self.assertEqual(out, self.read("f%s.wav" % side))
                        continue
                    self.assertEqual(out[:16], b"RIFF" + struct.pack("<I", len(out) - 8) +
                                     b"WAVEJUNK")
                    self.assertEqual(chunks_of(out)[2], (b"data", want))
                    if soundfile is not None:
                        self.assertEqual(soundfile.info(self.path("s%s.wav" % side)).frames,
                                         len(want) // 2)
                    self.assertEqual(sox_raw(self.path("s%s.wav" % side)), want)
                    if have("ffprobe"):
                        got = subprocess.run(
                            ["ffprobe", "-v", "error", "-show_entries", "stream=duration_ts", "-of",
                             "csv=p=0", self.path("s%s.wav" % side)], capture_output=True)
                        self.assertEqual(int(got.stdout), len(want) // 2)

    def test_command_line_and_sources(self):
        stereo = source(pattern(4000))
        cases = [
            # what, arguments, standard input, standard output, status, standard error
            ("- without a name", ["-"], stereo, b"", 2,
             b"tarnvell2: '-' (standard input) needs --as NAME to name its outputs\n"
             b"Try 'tarnvell2 --help'.\n"),
            ("- twice", ["--as", "x.wav", "-", "-"], stereo, b"", 2,
             b"tarnvell2: '-' (standard input) is named more than once\n"
             b"Try 'tarnvell2 --help'.\n"),
            ("--as without -", ["--as", "x.wav", "a.wav"], stereo, b"", 2,
             b"tarnvell2: --as names the outputs of '-' (standard input), which is not a "
             b"source\nTry 'tarnvell2 --help'.\n"),
            ("- in a batch, -w and -d", ["-w", "-d", "out", "--as", "takes/x.y.wav", "a.wav", "-"],
             stereo, b"a.wav: done\n-: done\n", 0, b""),
            ("a stream that is not stereo", ["--as", "m.wav", "-"],
             source(pattern(40), channels=1), NOT_STEREO, 1,
             b"tarnvell2: -: has one channel, nothing to split\n"),
            ("an empty stream", ["--as", "e.wav", "-"], b"", NO_FORMAT, 2,
             b"tarnvell2: -: the file is empty\n"),
            # Its format chunk after 6 MiB of samples: a stream cannot keep them to find it.
            ("the format after the samples", ["--as", "f.wav", "-"], b"RIFF\0\0\0\0WAVE" +
             chunk(b"data", pattern(6 << 20)) + chunk(b"fmt ", fmt_body()), NO_FORMAT, 2,
             b"tarnvell2: -: no fmt chunk at an even offset from 2 to 15000, nor in the chunk list"
             b" in the first 4 MiB of the stream, which is all a stream may hold before its "
             b"samples\n"),
        ]
        for what, args, content, out, status, err in cases:
            with self.subTest(what):
                for name in self.files():
                    (shutil.rmtree if os.path.isdir(self.path(name)) else os.unlink)(
                        self.path(name))
                os.mkdir(self.path("out"))
                self.write("a.wav", stereo)
                p = streamed(args, self.dir, content)
                self.assertEqual((p.stdout, p.returncode, p.stderr), (out, status, err))
                made = sorted(os.listdir(self.path("out")))
                self.assertEqual(made, ["aL.wav", "aR.wav", "x.yL.wav", "x.yR.wav"]
                                 if status == 0 else [])

    def test_fifos_and_signals(self):
        # A FIFO as the source, its writer a helper process: split as the file would be. The
        # first SIGINT ends the reading, not the run: every whole frame written before it is
        # kept, and "done"; a FIFO with no writer is waited for, and said.
        stereo = source(pattern(40003), declared=0x80000000)
        whole = len(pattern(40003)) // 4 * 4
        cases = [
            # what, written before the signal (None: all, no signal), standard error
            ("a FIFO", None, b"tarnvell2: s.fifo: 3 bytes after the last whole frame not copied\n"),
            ("SIGINT while the writer waits", 30002,
             b"tarnvell2: s.fifo: 2 bytes after the last whole frame not copied\n"),
            ("SIGINT with no writer", 0, b"tarnvell2: s.fifo: waiting for data\n"
             b"tarnvell2: s.fifo: interrupted before any data arrived\n"),
            # A second signal discards, as for a file.
            ("two SIGINTs", -1, b""),
        ]
        for what, sent, err in cases:
            with self.subTest(what):
                for name in self.files():
                    os.unlink(self.path(name))
                os.mkfifo(self.path("s.fifo"))
                p = subprocess.Popen(RUNNER + [TOOL, "s.fifo"], cwd=self.dir,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                if sent == -1:
                    # The first ends the reading; the run then waits for the folder's lock,
                    # which the test holds, and the second comes.
                    lock = os.open(self.dir, os.O_RDONLY)
                    fcntl.flock(lock, fcntl.LOCK_EX)
                    with open(self.path("s.fifo"), "wb") as w:
                        w.write(stereo[:44 + 4000])
                        w.flush()
                        time.sleep(0.5)
                        p.send_signal(signal.SIGINT)
                        time.sleep(0.5)
                        p.send_signal(signal.SIGINT)
                        out, got = p.communicate(timeout=60)
                    os.close(lock)
                    self.assertEqual((out, p.returncode, got), (b"", -signal.SIGINT, err))
                    self.assertEqual(self.files(), ["s.fifo"])
                    continue
                if sent != 0:
                    with open(self.path("s.fifo"), "wb") as w:
                        w.write(stereo[:44 + sent] if sent else stereo)
                        w.flush()
                        if sent:
                            time.sleep(0.5)  # the tool has it all, and waits for more
                            p.send_signal(signal.SIGINT)
                            p.wait(timeout=60)
                else:
                    time.sleep(1.5)
                    p.send_signal(signal.SIGINT)
                out, got = p.communicate(timeout=60)
                self.assertEqual((out, p.returncode, got), (
                    NO_FORMAT if sent == 0 else DONE, 2 if sent == 0 else 0, err))
                if sent == 0:
                    self.assertEqual(self.files(), ["s.fifo"])
                    continue
                samples = pattern(40003)[:sent or whole]
                samples = samples[:len(samples) // 4 * 4]
                for side, c in zip("LR", channels_of(samples, 16)):
                    out = self.read("s%s.wav" % side)
                    self.assertEqual(chunks_of(out)[-1], (b"data", c))
                    self.assertEqual(out[:12], b"RIFF" + struct.pack("<I", len(out) - 8) + b"WAVE")

    def test_fifo_outputs_of_a_stream(self):
        # An output that cannot seek keeps the sizes the stream declares, or "unknown" where it
        # declares none: written before the samples, it is never rewritten. (A stream that ends
        # within its hold is known whole, and even a pipe gets its real sizes.)
        samples = pattern(6 << 20)
        for declared, riff, data in ((len(samples), len(samples) // 2 + 36, len(samples) // 2),
                                     (0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)):
            with self.subTest(declared=declared):
                for name in self.files():
                    os.unlink(self.path(name))
                outputs = sparse_sinks(self.dir, ["sL.wav", "sR.wav"])
                p = streamed(["--as", "s.wav", "-"], self.dir, long_stream(declared, samples))
                self.assertEqual((p.stdout, p.returncode), (DONE, 0))
                for path, want in zip(outputs(), channels_of(samples, 16)):
                    with open(path, "rb") as f:
                        got = f.read()
                    head = 44 if declared != 0xFFFFFFFF else 80
                    self.assertEqual(got[12:16], b"fmt " if head == 44 else b"JUNK")
                    self.assertEqual(struct.unpack_from("<I", got, 4)[0], riff)
                    self.assertEqual(struct.unpack_from("<I", got, head - 4)[0], data)
                    self.assertEqual(got[head:], want)

    def test_arecord(self):
        # A real arecord stream from ALSA's null device, which needs no sound card: two
        # seconds of 24-bit stereo at 48 kHz, declared by arecord, and the same stopped by
        # Ctrl-C, as a live take ends (the signal reaches arecord and the tool both).
        if RUNNER or not have("arecord"):
            self.skipTest("needs arecord (alsa-utils), on the host")
        record = "arecord -q -D null -f S24_3LE -c 2 -r 48000 -t wav"
        cases = [(record + " -d 2 -", 96000), (record + " -d 1 -", 48000)]
        for command, frames in cases:
            with self.subTest(command):
                for name in self.files():
                    os.unlink(self.path(name))
                p = subprocess.run("%s | %s --as take.wav -" % (command, shlex.quote(TOOL)),
                                   shell=True, cwd=self.dir, capture_output=True, timeout=60)
                self.assertEqual((p.stdout, p.returncode, p.stderr), (DONE, 0, b""))
                for side in "LR":
                    got = libsndfile(self.path("take%s.wav" % side)) if soundfile else None
                    if got is not None:
                        self.assertEqual((got[0], got[1], got[2], len(got[3])),
                                         (48000, 1, "PCM_24", frames))
        # Stopped by SIGINT to the pipeline's process group, as Ctrl-C sends it.
        for name in self.files():
            os.unlink(self.path(name))
        recorder = subprocess.Popen(shlex.split(record) + ["-"], stdout=subprocess.PIPE,
                                    preexec_fn=lambda: os.setpgid(0, 0))
        p = subprocess.Popen([TOOL, "--as", "live.wav", "-"], cwd=self.dir, stdin=recorder.stdout,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=lambda: os.setpgid(0, recorder.pid))
        recorder.stdout.close()
        time.sleep(0.2)
        os.killpg(recorder.pid, signal.SIGINT)
        out, err = p.communicate(timeout=60)
        recorder.wait(timeout=60)
        self.assertEqual((out, p.returncode), (DONE, 0), err)
        frames = [sox_raw(self.path("live%s.wav" % side)) for side in "LR"]
        self.assertEqual(len(frames[0]), len(frames[1]))
        self.assertGreater(len(frames[0]), 0)

    def test_signals_after_a_stream(self):
        # A stream's reading ends with its run, refused or split: a signal in the next source of
        # the batch, a file, ends the run as it always did, and discards that file's outputs.
        folder = sparse_folder(self, 1 << 30)
        for content, line in ((source(pattern(40), channels=1), b"-: " + NOT_STEREO),
                              (source(pattern(4000)), b"-: done\n")):
            with self.subTest(line):
                with open(os.path.join(folder, "in"), "wb") as f:
                    f.write(content)
                with open(os.path.join(folder, "in"), "rb") as stdin:
                    p = subprocess.Popen(RUNNER + [TOOL, "--as", "m.wav", "-", "big.wav"],
                                         cwd=folder, stdin=stdin, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE)
                copying(p, folder)
                p.send_signal(signal.SIGINT)
                out, _ = p.communicate(timeout=120)
                self.assertEqual((out, p.returncode), (line, -signal.SIGINT))
                self.assertEqual(sorted(n for n in os.listdir(folder) if n.startswith("big")),
                                 ["big.wav"])
                for n in os.listdir(folder):
                    if n.startswith("m") or n == "in":
                        os.unlink(os.path.join(folder, n))
