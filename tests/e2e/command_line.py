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
