"""The command line and the console: output names and the options that shape them, the
dialogue at the prompts, leaving, and command-line errors."""
from helpers import *  # noqa: F401,F403


class Names(Scratch):
    def test_names_and_folders(self):
        content = source(pattern(400))
        left, right = (mono(c, 16, 44100) for c in channels_of(pattern(400), 16))
        cases = [
            ("my.song.wav", ["my.song.wav"], ("myL.wav", "myR.wav")),
            (".hidden.wav", [".hidden.wav"], ("hiddenL.wav", "hiddenR.wav")),
            ("song", ["song"], ("songL.wav", "songR.wav")),
            ("old.takes/song.wav", ["old.takes/song.wav"],
             ("old.takes/songL.wav", "old.takes/songR.wav")),
            ("song.wav", ["./song.wav"], ("songL.wav", "songR.wav")),
            ("a b.wav", ["a b.wav"], ("a bL.wav", "a bR.wav")),
            ("d/deep.wav", [os.path.join(self.dir, "d/deep.wav")], ("d/deepL.wav", "d/deepR.wav")),
            ("n" * 200 + ".wav", ["n" * 200 + ".wav"], ("n" * 200 + "L.wav", "n" * 200 + "R.wav")),
            # -w: the whole name less its last extension
            ("01. Intro.wav", ["-w", "01. Intro.wav"], ("01. IntroL.wav", "01. IntroR.wav")),
            ("2024.05.01.wav", ["--whole-name", "2024.05.01.wav"],
             ("2024.05.01L.wav", "2024.05.01R.wav")),
            (".hidden.wav", ["-w", ".hidden.wav"], (".hiddenL.wav", ".hiddenR.wav")),
            ("song", ["-w", "--", "song"], ("songL.wav", "songR.wav")),
            # -d: into another folder, named from the last component
            ("takes/song.wav", ["-d", "out", "takes/song.wav"], ("out/songL.wav", "out/songR.wav")),
            ("takes/my.take.wav", ["-wn", "-d", "out/", "takes/my.take.wav"],
             ("out/my.takeL.wav", "out/my.takeR.wav")),
            ("-x.wav", ["--output-dir=out", "--", "-x.wav"], ("out/-xL.wav", "out/-xR.wav")),
        ]
        os.mkdir(self.path("out"))
        for name, args, outputs in cases:
            with self.subTest(args):
                self.split(name, content, left, right, args=args, outputs=outputs)


class ChannelsAndTracks(Scratch):
    """-c chooses the channels written, -t names the outputs after their tracks in the iXML.
    Every output is checked against its channel's samples."""

    def test_chosen_channels_and_track_names(self):
        take = pattern(4 * 3 * 300)  # four 24-bit channels
        song = pattern(4 * 500)      # 16-bit stereo
        sd = ixml(["BOOM", "LAV1", "LAV2", "MIX-L"])

        def poly(names=None):
            return source(take, channels=4, bits=24, rate=48000,
                          first=chunk(b"bext", bext(b"Scene 4", 7)) +
                          (chunk(b"iXML", ixml(names)) if names else b""))
        files = {"take.wav": poly(["BOOM", "LAV1", "LAV2", "MIX-L"]), "song.wav": source(song),
                 "odd.wav": poly(["a/b", ".hidden", "-x", "ok&amp;go"]),
                 "dup.wav": poly(["MIX", "mix", "BOOM", ""]), "bare.wav": poly(),
                 "duo.wav": source(song, before=chunk(b"iXML", ixml(["BOOM", "LAV"]))),
                 "half.wav": source(song, before=chunk(b"iXML", ixml(["BOOM", ""])))}
        t = ["take_%s.wav" % n for n in ("BOOM", "LAV1", "LAV2", "MIX-L")]
        cases = [
            # arguments, standard output, status, standard error, the outputs and their channels
            (["-a", "-c", "1,3-4", "take.wav"], DONE, 0, b"",
             {"take_1.wav": 0, "take_3.wav": 2, "take_4.wav": 3}),
            (["-c", "L", "song.wav"], DONE, 0, b"", {"songL.wav": 0}),
            (["--channels=R,L", "song.wav"], DONE, 0, b"", {"songL.wav": 0, "songR.wav": 1}),
            (["-c", "3", "song.wav"], NOT_STEREO, 1,
             b"tarnvell2: song.wav: has 2 channels, no channel 3 (-c)\n", {}),
            (["-a", "-c", "L", "take.wav"], NOT_STEREO, 1, b"tarnvell2: take.wav: has 4 channels; "
             b"L and R (-c) name those of a stereo source\n", {}),
            (["-c", "1,,3", "song.wav"], b"", 2, b"tarnvell2: option '-c' needs a list of channels "
             b"such as 1,3-5, 2-, L or Boom, not '1,,3'\nTry 'tarnvell2 --help'.\n", {}),
            (["-c", "2-1", "song.wav"], b"", 2, b"tarnvell2: option '-c' needs a list of channels "
             b"such as 1,3-5, 2-, L or Boom, not '2-1'\nTry 'tarnvell2 --help'.\n", {}),
            (["-a", "-t", "take.wav"], DONE, 0, b"",
             {"take_BOOM.wav": 0, "take_LAV1.wav": 1, "take_LAV2.wav": 2, "take_MIX-L.wav": 3}),
            (["-a", "-t", "-c", "1,4", "take.wav"], DONE, 0, b"",
             {"take_BOOM.wav": 0, "take_MIX-L.wav": 3}),
            (["-a", "--track-names", "-m", "-c", "2", "take.wav"], DONE, 0, b"",
             {"take_LAV1.wav": 1}),
            (["-a", "-t", "odd.wav"], DONE, 0, b"",
             {"odd_a_b.wav": 0, "odd__hidden.wav": 1, "odd__x.wav": 2, "odd_ok&go.wav": 3}),
            (["-a", "-t", "dup.wav"], DONE, 0, b"tarnvell2: dup.wav: numbered names kept for "
             b"tracks of one name: 1 (MIX), 2 (mix)\n",
             {"dup_1.wav": 0, "dup_2.wav": 1, "dup_BOOM.wav": 2, "dup_4.wav": 3}),
            (["-a", "-t", "bare.wav"], DONE, 0, b"", {"bare_%d.wav" % (k + 1): k for k in range(4)}),
            (["-t", "duo.wav"], DONE, 0, b"", {"duo_BOOM.wav": 0, "duo_LAV.wav": 1}),
            (["-t", "half.wav"], DONE, 0, b"", {"halfL.wav": 0, "halfR.wav": 1}),
            # -n sees the chosen outputs only.
            (["-n", "-c", "L", "song.wav"], DONE, 0, b"", {"songL.wav": 0}, "songR.wav"),
            # A re-run with -t -n over a folder of its outputs skips each cleanly.
            (["-a", "-t", "-n", "take.wav"] + sorted(t), b"take.wav: skipped\n" +
             b"".join(b"%s: skipped\n" % n.encode() for n in sorted(t)), 0, None, {},
             ["-a", "-t", "take.wav"]),
            # -d is judged once, before any source.
            (["-d", "out", "song.wav", "take.wav"], b"", 2,
             b"tarnvell2: out: No such file or directory\n", {}),
        ]
        for args, out, status, err, made, *before in cases:
            with self.subTest(args):
                for name in self.files():
                    os.unlink(self.path(name))
                for name, content in files.items():
                    self.write(name, content)
                for earlier in before:  # what a run before left
                    if isinstance(earlier, list):
                        self.assertEqual(launch(earlier, self.dir).returncode, 0)
                    else:
                        self.write(earlier, b"earlier")
                existing = set(self.files())
                p = launch(args, self.dir)
                self.assertEqual((p.stdout, p.returncode), (out, status))
                if err is not None:
                    self.assertEqual(p.stderr, err)
                self.assertEqual(set(self.files()) - existing, set(made) - existing)
                for name, channel in made.items():
                    body = dict(chunks_of(self.read(name)))
                    width = 3 if name.startswith(("take", "odd", "dup", "bare")) else 2
                    samples = take if width == 3 else song
                    frame = width * (4 if width == 3 else 2)
                    self.assertEqual(body[b"data"], b"".join(
                        samples[f + width * channel:f + width * (channel + 1)]
                        for f in range(0, len(samples), frame)), name)
                    if "-m" in args:  # the iXML cut to the output's own track
                        self.assertIn(b"<NAME>LAV1</NAME>", body[b"iXML"])
                        self.assertEqual(body[b"iXML"].count(b"<TRACK>"), 1)


class Dialogue(Scratch):
    def test_answers_at_the_prompts(self):
        content = source(pattern(40))
        left, right = (mono(c, 16, 44100) for c in channels_of(pattern(40), 16))
        cases = [
            ("name", b"song.wav\n", PROMPT + DONE),
            ("blank lines first", b"\n\n  \tsong.wav\n", PROMPT + DONE),
            ("no line end", b"song.wav", PROMPT + DONE),
            ("help, then name", b"h\nsong.wav\n", PROMPT + HELP + DONE),
            ("help and name on one line", b"h song.wav\n", PROMPT + HELP + DONE),
            ("h at the second prompt", b"h h\n", None),
        ]
        for what, stdin, out in cases:
            with self.subTest(what):
                if out is None:
                    self.write("h", content)
                    got = run([], self.dir, stdin)
                    self.assertEqual(got, (PROMPT + HELP + DONE, 0))
                    self.assertEqual(self.read("hL.wav"), left)
                    continue
                self.split("song.wav", content, left, right, args=[], stdin=stdin, out=out)

    def test_leaving(self):
        cases = [
            ("x after help", b"h\nx\n", PROMPT + HELP, 1),
            ("x at the first prompt is a name", b"x\n", PROMPT + not_found("x"), 2),
            ("end of input", b"", PROMPT + b"\n", 1),
            ("blank lines, then end of input", b"\n \n", PROMPT + b"\n", 1),
            ("end of input after help", b"h\n", PROMPT + HELP + b"\n", 1),
            ("a lone -- is no name", b"", PROMPT + b"\n", 1, ["--"]),
            ("--help", b"", None, 0, ["--help"]),
            ("-h", b"", None, 0, ["-h", "song.wav"]),
            ("--version", b"", b"tarnvell2 " + VERSION + b"\n", 0, ["--version"]),
            ("-- before a name that looks like an option", b"", not_found("--help"), 2,
             ["--", "--help"]),
            ("only a first argument is an option", b"", not_found("-h"), 2, ["--", "-h"]),
            ("the options apply to a typed name", b"...", PROMPT + NAME_ERROR, 2, ["-w"]),
        ]
        for what, stdin, out, status, *args in cases:
            with self.subTest(what):
                got = run(*args or [[]], cwd=self.dir, stdin=stdin)
                if out is None:  # the usage text
                    self.assertRegex(got[0], rb"^Usage: tarnvell2 .*\n(.*\n)*See man tarnvell2\.\n$")
                    got = (None, got[1])
                self.assertEqual(got, (out, status))
                self.assertEqual(self.files(), [])

    def test_command_line_errors(self):
        # Nothing on standard output, status 2, nothing read or written.
        self.write("song.wav", source(pattern(40)))
        cases = [
            (["-q", "song.wav"], "unknown option '-q'"),
            (["-wq", "song.wav"], "unknown option '-q'"),
            (["--no-clobber", "-qw", "song.wav"], "unknown option '-q'"),
            (["--nope=1", "song.wav"], "unknown option '--nope'"),
            (["--whole-name=yes", "song.wav"], "option '--whole-name' takes no argument"),
            (["-d"], "option '-d' needs an argument"),
            (["-n", "--output-dir"], "option '--output-dir' needs an argument"),
        ]
        for args, error in cases:
            with self.subTest(args):
                p = launch(args, self.dir)
                self.assertEqual((p.stdout, p.returncode, p.stderr), (
                    b"", 2, b"tarnvell2: " + error.encode() + b"\nTry 'tarnvell2 --help'.\n"))
                self.assertEqual(self.files(), ["song.wav"])
