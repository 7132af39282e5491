"""Several sources in one run: result lines, statuses, the guards and the skips."""
from helpers import *  # noqa: F401,F403


class Batch(Scratch):
    """Several sources: each split as a run of its name alone would, "NAME: MESSAGE" lines, the
    highest status, and the two guards that keep a batch from losing audio."""

    def test_several_sources(self):
        stereo = source(pattern(400))
        mono_file = source(pattern(40), channels=1)
        done = [mono(c, 16, 44100) for c in channels_of(pattern(400), 16)]
        cases = [
            # sources to make, arguments, standard output, status, standard error, split ones
            ({"a.wav": stereo, "m.wav": mono_file}, ["a.wav", "m.wav"],
             b"a.wav: done\nm.wav: " + NOT_STEREO, 1,
             rb"^tarnvell2: m\.wav: has one channel, nothing to split\n$", ["a"]),
            ({"a.wav": stereo, "b.wav": stereo}, ["a.wav", "missing.wav", "b.wav"],
             b"a.wav: done\nmissing.wav: " + not_found("missing.wav") + b"b.wav: done\n", 2,
             rb"^tarnvell2: missing\.wav: No such file or directory\n$", ["a", "b"]),
            ({"a.wav": stereo}, ["a.wav"], DONE, 0, b"", ["a"]),
            ({"a.wav": stereo, "-x.wav": stereo}, ["a.wav", "-x.wav"],
             b"a.wav: done\n-x.wav: done\n", 0, b"", ["a", "-x"]),
            # What the first source wrote is still known after 70 more (the list is merged).
            (dict({"s%02d.wav" % k: stereo for k in range(70)}, **{"take.1.wav": stereo,
                                                                   "take.2.wav": stereo}),
             ["take.1.wav"] + ["s%02d.wav" % k for k in range(70)] + ["take.2.wav"],
             b"take.1.wav: done\n" + b"".join(b"s%02d.wav: done\n" % k for k in range(70)) +
             b"take.2.wav: Unable to open file.\n", 2, rb"^tarnvell2: takeL\.wav: was written by",
             ["take"] + ["s%02d" % k for k in range(70)]),
            # An option after the first source name is a source name.
            ({"a.wav": stereo}, ["a.wav", "-n"], b"a.wav: done\n-n: " + not_found("-n"), 2,
             rb"^tarnvell2: -n: No such file or directory\n$", ["a"]),
            # Re-running over earlier (mono) outputs: they are skipped, before or after.
            ({"a.wav": stereo, "aL.wav": done[0]}, ["a.wav", "aL.wav"],
             b"a.wav: done\naL.wav: skipped\n", 0,
             rb"^tarnvell2: aL\.wav: is an output of a\.wav in this run\n$", ["a"]),
            ({"a.wav": stereo, "aL.wav": done[0], "aR.wav": done[1]}, ["aL.wav", "aR.wav", "a.wav"],
             b"aL.wav: skipped\naR.wav: skipped\na.wav: done\n", 0, rb"aR\.wav: is an output of",
             ["a"]),
            ({"a.wav": stereo, "aL.wav": done[0]}, ["-n", "a.wav", "aL.wav"],
             b"a.wav: skipped\naL.wav: skipped\n", 0, rb"^tarnvell2: aL\.wav: exists, not replaced"
             rb"\ntarnvell2: aL\.wav: is an output of a\.wav in this run\n$", []),
            # A source named twice (take*.wav *.wav) is split once.
            ({"a.wav": stereo}, ["a.wav", "./a.wav"], b"a.wav: done\n./a.wav: skipped\n", 0,
             rb"^tarnvell2: \./a\.wav: is named earlier in this run\n$", ["a"]),
            # An output that is another, stereo, source: refused in either order.
            ({"vocal.wav": stereo, "vocalR.wav": stereo}, ["vocal.wav", "vocalR.wav"],
             b"vocal.wav: Unable to open file.\nvocalR.wav: done\n", 2,
             rb"^tarnvell2: vocalR\.wav: is a stereo source of this run, not replaced\n$",
             ["vocalR"]),
            ({"vocal.wav": stereo, "vocalR.wav": stereo}, ["vocalR.wav", "vocal.wav"],
             b"vocalR.wav: done\nvocal.wav: Unable to open file.\n", 2, rb"vocalR\.wav: is a",
             ["vocalR"]),
            # Outputs an earlier source of the run wrote.
            ({"take.1.wav": stereo, "take.2.wav": source(pattern(80))},
             ["take.1.wav", "take.2.wav"], b"take.1.wav: done\ntake.2.wav: Unable to open file.\n",
             2, rb"^tarnvell2: takeL\.wav: was written by take\.1\.wav in this run", ["take"]),
            # ... with -n too: the guard comes first, so the clash is not a skip.
            ({"take.1.wav": stereo, "take.2.wav": source(pattern(80))},
             ["-n", "take.1.wav", "take.2.wav"],
             b"take.1.wav: done\ntake.2.wav: Unable to open file.\n", 2,
             rb"^tarnvell2: takeL\.wav: was written by take\.1\.wav in this run", ["take"]),
            # A re-run over a folder of earlier outputs: each replaced output frees an inode
            # number that the next may get, and each skip still gives its true reason.
            (dict({n + ".wav": stereo for n in "ab"}, **{n + s + ".wav": done[s == "R"]
                                                          for n in "ab" for s in "LR"}),
             ["a.wav", "aL.wav", "aR.wav", "b.wav", "bL.wav", "bR.wav"],
             b"a.wav: done\naL.wav: skipped\naR.wav: skipped\nb.wav: done\nbL.wav: skipped\n"
             b"bR.wav: skipped\n", 0, b"^" + b"".join(
                 b"tarnvell2: %s%s\\.wav: is an output of %s\\.wav in this run\n" % (n, s, n)
                 for n in (b"a", b"b") for s in (b"L", b"R")) + b"$", ["a", "b"]),
        ]
        for files, args, out, status, err, split in cases:
            with self.subTest(args):
                for name in self.files():
                    os.unlink(self.path(name))
                for name, content in files.items():
                    self.write(name, content)
                p = launch(args, self.dir)
                self.assertEqual((p.stdout, p.returncode), (out, status))
                self.assertRegex(p.stderr, err or b"^$")
                for stem in split:
                    self.assertEqual([self.read(stem + "L.wav"), self.read(stem + "R.wav")], done)
                self.assertEqual(self.files(), sorted(set(files) | {stem + side + ".wav" for stem
                                                                    in split for side in "LR"}))
                if not split and "-n" in args:  # skipped: the old outputs are untouched
                    self.assertEqual(self.read("aL.wav"), done[0])

    def test_many_sources(self):
        split = source(pattern(4000))
        left, right = (mono(c, 16, 44100) for c in channels_of(pattern(4000), 16))
        # xargs -P: runs in parallel, one line per source; every other source failing under
        # ulimit -n 32: no descriptor is left open by a source's run, failed or not.
        kinds = {0: (split, b"done"), 1: (source(pattern(40), channels=1), NOT_STEREO[:-1]),
                 2: (split, b"done"), 3: (None, not_found("%s")[:-1]), 4: (split, b"done"),
                 5: ("folder", not_found("%s")[:-1])}
        cases = [(200, "find . -name 's*.wav' -print0 | xargs -0 -n 20 -P 2 ", None),
                 (300, "ulimit -n 32 && ", 2)]
        for n, command, status in cases:
            with self.subTest(command):
                for name in self.files():
                    shutil.rmtree(self.path(name)) if os.path.isdir(self.path(name)) else \
                        os.unlink(self.path(name))
                names = ["s%03d.wav" % k for k in range(n)]
                expected = []
                for k, name in enumerate(names):
                    content, line = kinds[k % 6] if status else (split, b"done")
                    if content == "folder":
                        os.mkdir(self.path(name))
                    elif content is not None:
                        self.write(name, content)
                    expected.append((name.encode() + b": " + line.replace(b"%s", name.encode()),
                                     content is split))
                tool = " ".join(map(shlex.quote, RUNNER + [TOOL]))
                p = subprocess.run(command + tool + ("" if status is None else " " + " ".join(names)),
                                   shell=True, cwd=self.dir, capture_output=True, timeout=300)
                self.assertEqual(p.returncode, status or 0)
                got = p.stdout.decode().replace("./", "").encode().splitlines()
                self.assertEqual(sorted(got), sorted(e[0] for e in expected))
                for name, (line, done) in zip(names, expected):
                    if done:
                        self.assertEqual((self.read(name[:-4] + "L.wav"),
                                          self.read(name[:-4] + "R.wav")), (left, right))

    def test_one_process(self):
        # Every source in the tool's own process: no fork, vfork or clone.
        if RUNNER or not have("strace"):
            self.skipTest("needs strace, on the host")
        names = ["s%d.wav" % k for k in range(10)]
        for name in names:
            self.write(name, source(pattern(4000)))
        subprocess.run(["strace", "-f", "-e", "trace=process", "-o", self.path("trace"), TOOL] +
                       names, cwd=self.dir, check=True, capture_output=True,
                       env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        with open(self.path("trace")) as f:
            calls = re.findall(r"\b(fork|vfork|clone3?)\(", f.read())
        self.assertEqual(calls, [])
        self.assertEqual(len(self.files()), 31)
