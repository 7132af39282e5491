"""How outputs are written and replaced: faults and their reasons, all-or-nothing outputs under
signals and failures, --sync, links and modes, the progress line, large files and RF64, and runs
staged with gdb."""
import random

from helpers import *  # noqa: F401,F403


class Faults(Scratch):
    def test_outputs_that_are_the_source(self):
        content = source(pattern(4000))
        for how in ("symlink", "hardlink"):
            for output in ("songL.wav", "songR.wav"):
                with self.subTest(how=how, output=output):
                    self.write("song.wav", content)
                    link = os.symlink if how == "symlink" else os.link
                    link(self.path("song.wav") if how == "hardlink" else "song.wav",
                         self.path(output))
                    self.assertEqual(run(["song.wav"], self.dir), (OPEN_FAILED, 2))
                    self.assertEqual(self.read("song.wav"), content)
                    self.assertEqual(self.files(), sorted(["song.wav", output]))
                    os.unlink(self.path(output))

    def test_outputs_that_are_each_other(self):
        self.write("song.wav", source(pattern(40)))
        self.write("songL.wav", b"")
        os.link(self.path("songL.wav"), self.path("songR.wav"))
        self.assertEqual(run(["song.wav"], self.dir), (OPEN_FAILED, 2))

    def test_output_name_taken_by_a_folder(self):
        for taken in ("songL.wav", "songR.wav"):
            with self.subTest(taken):
                self.write("song.wav", source(pattern(40)))
                os.mkdir(self.path(taken))
                self.assertEqual(run(["song.wav"], self.dir), (OPEN_FAILED, 2))
                os.rmdir(self.path(taken))

    def test_report_that_cannot_be_delivered(self):
        self.write("song.wav", source(pattern(40)))
        with open("/dev/full", "wb") as full:
            p = subprocess.run(RUNNER + [TOOL, "song.wav"], cwd=self.dir, stdout=full, timeout=60,
                               stderr=subprocess.PIPE)
        self.assertEqual(p.returncode, 2)
        self.assertEqual(p.stderr, b"tarnvell2: standard output: No space left on device\n")
        self.assertEqual(len(self.files()), 3)  # complete outputs stay

    def test_reasons_on_standard_error(self):
        # The reason goes to standard error, naming the file as the user knows it; the message
        # on standard output stays as it always was. Root may read and write anything, so the
        # permission cases run as nobody there.
        nobody = 65534 if os.getuid() == 0 else None

        def mode(name, bits):
            return lambda: os.chmod(self.path(name), bits)

        cases = [
            # what, setup, arguments, standard output, status, standard error, as nobody
            ("missing", None, ["missing.wav"], not_found("missing.wav"), 2,
             b"missing\\.wav: No such file or directory", None),
            ("unreadable", mode("song.wav", 0), ["song.wav"], not_found("song.wav"), 2,
             b"song\\.wav: Permission denied", nobody),
            ("a folder", lambda: os.mkdir(self.path("d.wav")), ["d.wav"], not_found("d.wav"), 2,
             b"d\\.wav: is a folder, not a WAVE file", None),
            ("read-only folder", lambda: os.chmod(self.dir, 0o555), ["song.wav"], OPEN_FAILED, 2,
             b"songL\\.wav: Permission denied", nobody),
            ("read-only output", lambda: (self.write("songL.wav", b""), mode("songL.wav", 0o444)()),
             ["song.wav"], OPEN_FAILED, 2, b"songL\\.wav: Permission denied", nobody),
            ("output is the source", lambda: os.symlink("song.wav", self.path("songL.wav")),
             ["song.wav"], OPEN_FAILED, 2, b"songL\\.wav: is the source itself", None),
            ("outputs are one file", lambda: (self.write("songL.wav", b""), os.link(
                self.path("songL.wav"), self.path("songR.wav"))), ["song.wav"], OPEN_FAILED, 2,
             b"songR\\.wav: is the same file as songL\\.wav", None),
            ("folder in the way", lambda: os.mkdir(self.path("songR.wav")), ["song.wav"],
             OPEN_FAILED, 2, b"songR\\.wav: Is a directory", None),
            ("links to one missing file", lambda: (os.mkdir(self.path("x")), os.symlink(
                "x/new.wav", self.path("songL.wav")), os.symlink("x/../x/new.wav", self.path(
                    "songR.wav"))), ["song.wav"], OPEN_FAILED, 2,
             b"songR\\.wav: is the same file as songL\\.wav", None),
            ("full disk", None, ["song.wav", "-fsize"], WRITE_FAILED, 2,
             b"songL\\.wav: File too large", None),
            ("success", None, ["song.wav"], DONE, 0, None, None),
            # -d is judged once, before any source: nothing on standard output, as cp does.
            ("-d: no such folder", None, ["-d", "out", "song.wav"], b"", 2,
             b"out: No such file or directory", None),
            ("-d: not a folder", lambda: self.write("out", b""), ["-d", "out", "song.wav"],
             b"", 2, b"out: Not a directory", None),
            ("-n: an output exists", lambda: self.write("songR.wav", b"old"), ["-n", "song.wav"],
             b"skipped\n", 0, b"songR\\.wav: exists, not replaced", None),
            ("-n: a dangling link", lambda: os.symlink("nowhere", self.path("songL.wav")),
             ["-n", "song.wav"], b"skipped\n", 0, b"songL\\.wav: exists, not replaced", None),
            ("-n: a folder", lambda: os.mkdir(self.path("songL.wav")), ["-n", "song.wav"],
             b"skipped\n", 0, b"songL\\.wav: exists, not replaced", None),
            ("-n: nothing in the way", None, ["--no-clobber", "song.wav"], DONE, 0, None, None),
        ]
        for what, setup, args, out, status, reason, user in cases:
            with self.subTest(what):
                os.chmod(self.dir, 0o777)
                for name in self.files():
                    (shutil.rmtree if os.path.isdir(self.path(name)) else os.unlink)(self.path(name))
                self.write("song.wav", source(pattern(4000)))
                if setup:
                    setup()
                fsize = 1000 if args[-1] == "-fsize" else None
                before = self.files()
                p = launch(args[:-1] if fsize else args, self.dir, fsize=fsize, user=user)
                os.chmod(self.dir, 0o777)
                self.assertEqual((p.stdout, p.returncode), (out, status))
                self.assertRegex(p.stderr, b"^tarnvell2: " + reason + b"\n$" if reason else b"^$")
                if status != 0 or out != DONE:  # refused or skipped: nothing written
                    self.assertEqual(self.files(), before)

    def test_full_disk(self):
        content = source(pattern(300000))
        # A file size limit stands in for the disk: on the header, in the samples. The previous
        # outputs stay as they were, and nothing else is left behind.
        self.write("song.wav", content)
        self.write("songL.wav", b"previous left")
        for limit in (20, 44, 1000, 44 + 150000 - 2):
            with self.subTest(limit=limit):
                self.assertEqual(run(["song.wav"], self.dir, fsize=limit), (WRITE_FAILED, 2))
                self.assertEqual(self.read("song.wav"), content)
                self.assertEqual(self.read("songL.wav"), b"previous left")
                self.assertEqual(self.files(), ["song.wav", "songL.wav"])
        self.assertEqual(run(["song.wav"], self.dir, fsize=44 + 150000), (DONE, 0))


class AllOrNothing(Scratch):
    """Outputs appear whole or not at all: written under temporary names, renamed when done."""

    def test_signals_mid_copy_leave_the_previous_outputs(self):
        # On the disk (ext4 here) and in memory (tmpfs), and with O_TMPFILE failing as on vfat
        # (strace injects EOPNOTSUPP): nothing is left but the sources and the previous outputs,
        # except what a SIGKILL leaves of named temporary files, which only the fallback has.
        batch = ["a.wav", "b.wav", "big.wav", "d.wav", "e.wav"]
        lines = b"a.wav: done\nb.wav: done\n"
        shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
        cases = [(s, ["big.wav"], b"", None, False) for s in (
            signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGPIPE, signal.SIGKILL)] + [
            # In a batch, the signal in the third of five sources: the first two stay split,
            # with their lines, and the run ends.
            (signal.SIGTERM, batch, lines, None, False), (signal.SIGHUP, batch, lines, None, False),
            (signal.SIGKILL, batch, lines, None, False),
            (signal.SIGKILL, ["big.wav"], b"", shm, False), (signal.SIGTERM, batch, lines, shm, False),
            (signal.SIGKILL, ["big.wav"], b"", None, True), (signal.SIGTERM, ["big.wav"], b"", None, True)]
        for sig, args, out, top, named in cases:
            with self.subTest(sig=sig.name, args=args, folder=top or "disk", named=named):
                if named and (RUNNER or not have("strace")):
                    self.skipTest("needs strace, on the host")
                folder = sparse_folder(self, (4 << 30) - 4, top)
                for name in "abde":
                    with open(os.path.join(folder, name + ".wav"), "wb") as f:
                        f.write(source(pattern(400)))
                for side in "LR":
                    with open(os.path.join(folder, "big%s.wav" % side), "wb") as f:
                        f.write(b"previous " + side.encode())
                prefix = without_o_tmpfile(args) if named else []
                p = subprocess.Popen(prefix + RUNNER + [TOOL] + args, cwd=folder,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                tool = traced(p) if named else p
                try:
                    copying(tool, folder)
                except AssertionError:
                    raise AssertionError(p.communicate(timeout=120))
                os.kill(tool.pid, sig)
                got, err = p.communicate(timeout=120)
                if named:
                    self.assertIn(b"+++ killed by %s +++" % sig.name.encode(), err)
                else:
                    self.assertEqual((p.returncode, err), (-sig, b""))
                self.assertEqual(got, out)
                left = sorted(os.listdir(folder))
                for side in "LR":
                    with open(os.path.join(folder, "big%s.wav" % side), "rb") as f:
                        self.assertEqual(f.read(), b"previous " + side.encode())
                    self.assertEqual([n + side + ".wav" in left for n in "abde"],
                                     [out != b""] * 2 + [False] * 2)
                # Only a SIGKILL of the fallback leaves anything behind: named for what it is.
                stray = [x for x in left if x.startswith(".")]
                self.assertEqual(len(stray), 2 if named and sig == signal.SIGKILL else 0, left)
                for x in stray:
                    self.assertRegex(x, r"^\.big[LR]\.wav\.\w{6}$")

    def test_split_without_o_tmpfile(self):
        # The fallback's own split: named temporary files, renamed, nothing left.
        if RUNNER or not have("strace"):
            self.skipTest("needs strace, on the host")
        left, right = (mono(c, 16, 44100) for c in channels_of(pattern(4000), 16))
        self.write("song.wav", source(pattern(4000)))
        p = subprocess.run(without_o_tmpfile(["song.wav"]) + [TOOL, "song.wav"], cwd=self.dir,
                           capture_output=True, timeout=60)
        self.assertEqual(p.stdout, DONE)
        self.assertIn(b"EOPNOTSUPP (Operation not supported) (INJECTED)", p.stderr)
        self.assertEqual((self.read("songL.wav"), self.read("songR.wav")), (left, right))
        self.assertEqual(self.files(), ["song.wav", "songL.wav", "songR.wav"])

    def test_sync(self):
        # --sync: each output's fsync before its rename, the folder's after both renames; a
        # failed sync is a failed write. Without --sync nothing is synced.
        if RUNNER or not have("strace"):
            self.skipTest("needs strace, on the host")
        left, right = (mono(c, 16, 44100) for c in channels_of(pattern(4000), 16))
        previous = [b"previous L", b"previous R"]
        cases = [
            # arguments, which fsync fails, standard output, status, the outputs after
            (["--sync"], None, DONE, 0, [left, right]),
            ([], None, DONE, 0, [left, right]),
            (["--sync"], 1, WRITE_FAILED, 2, previous),
            (["--sync"], 2, WRITE_FAILED, 2, previous),
            (["--sync"], 3, WRITE_FAILED, 2, [left, right]),  # the folder: renamed, not synced
        ]
        for args, failing, out, status, after in cases:
            with self.subTest(args=args, failing=failing):
                for name in self.files():
                    os.unlink(self.path(name))
                self.write("song.wav", source(pattern(4000)))
                for side, content in zip("LR", previous):
                    self.write("song%s.wav" % side, content)
                inject = ["-e", "inject=fsync:error=EIO:when=%d" % failing] if failing else []
                p = subprocess.run(["strace", "-f", "-o", self.path("trace"), "-e",
                                    "trace=fsync,rename,renameat2,linkat,openat"] + inject + [TOOL] + args +
                                   ["song.wav"], cwd=self.dir, capture_output=True, timeout=60,
                                   env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
                self.assertEqual((p.stdout, p.returncode), (out, status))
                self.assertEqual([self.read("songL.wav"), self.read("songR.wav")], after)
                with open(self.path("trace")) as f:
                    calls = [re.sub(r"^\d+ +", "", line) for line in f]
                os.unlink(self.path("trace"))
                self.assertEqual(self.files(), ["song.wav", "songL.wav", "songR.wav"])
                syncs = [k for k, c in enumerate(calls) if c.startswith("fsync(")]
                renames = [k for k, c in enumerate(calls) if c.startswith(("rename(", "renameat2("))]
                if not args:
                    self.assertEqual(syncs, [])
                    continue
                if failing:
                    self.assertEqual(p.stderr, b"tarnvell2: song%s.wav: Input/output error\n" % (
                        b"R" if failing == 2 else b"L"))
                    continue
                # Both outputs (the unnamed files) before any rename, the folder after both.
                self.assertEqual(len(syncs), 3)
                self.assertLess(syncs[1], renames[0])
                self.assertGreater(syncs[2], renames[1])
                tmpfiles = [re.search(r"= (\d+)$", c).group(1) for c in calls if "O_TMPFILE" in c]
                self.assertEqual([calls[k][6:calls[k].index(")")] for k in syncs[:2]], tmpfiles)

    def test_a_fifo_as_an_output_gets_all_of_it(self):
        # One descriptor from the header to the last sample: the reader gets the whole output
        # and the run ends (a second open of the FIFO used to hang).
        content = source(pattern(300000))
        left, right = (mono(c, 16, 44100) for c in channels_of(pattern(300000), 16))
        for _ in range(10):
            for name in self.files():
                os.unlink(self.path(name))
            self.write("s.wav", content)
            outputs = sparse_sinks(self.dir, ["sL.wav", "sR.wav"])
            self.assertEqual(run(["s.wav"], self.dir), (DONE, 0))
            got = []
            for path in outputs():
                with open(path, "rb") as f:
                    got.append(f.read())
            self.assertEqual(got, [left, right])

    def test_racing_runs_each_leave_a_complete_split(self):
        # Six sources name mixL.wav and mixR.wav, as the manual's xargs -P example would race:
        # the final pair is always one run's (the renames happen under a lock on the folder).
        expected = []
        for k in range(6):
            samples = pattern(1 << 20)[k:] + bytes(k)
            self.write("mix.v%d.wav" % k, source(samples))
            expected.append([mono(c, 16, 44100) for c in channels_of(samples, 16)])
        for _ in range(10):
            runs = [subprocess.Popen(RUNNER + [TOOL, "mix.v%d.wav" % k], cwd=self.dir,
                                     stdout=subprocess.PIPE) for k in range(6)]
            self.assertEqual([r.communicate(timeout=120)[0] for r in runs], [DONE] * 6)
            final = [self.read("mixL.wav"), self.read("mixR.wav")]
            self.assertIn(final, expected)
            self.assertEqual(len(self.files()), 8)

    def test_folders_another_user_owns(self):
        # As nobody where the tests run as root. In a folder that may not be written, outputs
        # that may are written in place, and one that cannot be made refuses the source before
        # any is truncated. In a sticky folder, another user's output cannot be replaced: the
        # commit puts back the one it had placed.
        root = os.getuid() == 0
        user = 65534 if root else None
        new = [mono(c, 16, 44100) for c in channels_of(pattern(400), 16)]
        cases = [
            # what, folder mode, the previous outputs (None: missing; the owner), standard
            # output, status, the reason, the outputs after
            ("in place", 0o555, [(b"old", user), (b"old", user)], DONE, 0, None, new),
            ("in place, one missing", 0o555, [(b"old", user), None], OPEN_FAILED, 2,
             b"songR.wav: Permission denied", [b"old", None]),
            ("sticky, another's output", 0o1777, [(b"old", user), (b"theirs", None)],
             WRITE_FAILED, 2, b"songR.wav: Operation not permitted", [b"old", b"theirs"]),
        ]
        for what, mode, previous, out, status, reason, after in cases:
            with self.subTest(what):
                if mode & 0o1000 and not root:
                    self.skipTest("needs root, to own a file nobody may replace")
                os.chmod(self.dir, 0o755)
                for name in self.files():
                    os.unlink(self.path(name))
                self.write("song.wav", source(pattern(400)))
                for side, old in zip("LR", previous):
                    if old is not None:
                        self.write("song%s.wav" % side, old[0])
                        os.chmod(self.path("song%s.wav" % side), 0o666)
                        if old[1] is not None:
                            os.chown(self.path("song%s.wav" % side), old[1], -1)
                os.chmod(self.dir, mode)
                self.addCleanup(os.chmod, self.dir, 0o755)
                p = launch(["song.wav"], self.dir, user=user)
                self.assertEqual((p.stdout, p.returncode), (out, status))
                self.assertEqual(p.stderr, reason and b"tarnvell2: " + reason + b"\n" or b"")
                self.assertEqual([self.read("song%s.wav" % side) if os.path.exists(
                    self.path("song%s.wav" % side)) else None for side in "LR"], after)
                self.assertEqual(self.files(), ["song.wav"] + ["song%s.wav" % side for side, a in
                                                               zip("LR", after) if a])

    def test_each_call_of_the_commit_failing(self):
        # Each call that names the outputs (link, exchange, rename, unlink, close, fsync with
        # --sync) fails once in turn (strace injects EIO): the folder then holds the previous
        # pair or the new one and nothing else; "done" only with the new pair; the new pair and
        # a failure only when the folder's own fsync failed. The previous file that could not
        # be removed after the commit stays at its fixed name, which the next run removes, as
        # it removes a dead run's leftovers.
        if RUNNER or not have("strace"):
            self.skipTest("needs strace, on the host")
        previous = [b"previous L", b"previous R"]
        new = [mono(c, 16, 44100) for c in channels_of(pattern(4000), 16)]
        calls = ["linkat", "renameat2", "rename", "close", "unlink", "fsync"]

        def split(inject=None, leftover=None, trace=None):
            for name in self.files():
                os.unlink(self.path(name))
            self.write("s.wav", source(pattern(4000)))
            for side, content in zip("LR", previous):
                self.write("s%s.wav" % side, content)
            if leftover:
                self.write(leftover, b"a dead run's")
            return subprocess.run(["strace", "-f", "-qq", "-e", "trace=" + ",".join(calls)] +
                                  ["-o", trace or "/dev/null"] +
                                  (["-e", "inject=%s:error=EIO:when=%d" % inject] if inject
                                   else []) + [TOOL, "--sync", "s.wav"], cwd=self.dir,
                                  capture_output=True, timeout=60,
                                  env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))

        trace = os.path.join(tempfile.mkdtemp(prefix="tarnvell2-trace-"), "trace")
        self.addCleanup(shutil.rmtree, os.path.dirname(trace))
        self.assertEqual(split(trace=trace).stdout, DONE)
        with open(trace) as f:
            made = [m.group(1) for m in (re.match(r"\d+ +(\w+)\(", line) for line in f) if m]
        self.assertEqual([made.count(c) for c in calls[:3]], [2, 1, 1])
        # Every call of the commit, which begins with the first sync; the closes before it are
        # the loader's and the source's.
        commit = made[made.index("fsync"):]
        faults = [(c, made.count(c) - commit.count(c) + k) for c in calls
                  for k in range(1, commit.count(c) + 1)]
        self.assertEqual(len(faults), 12)  # 3 fsyncs, 2 links, 2 closes, 3 renames, 1 unlink...
        for inject in [None] + faults:
            with self.subTest(inject=inject):
                p = split(inject, ".sR.wav.tarnvell2" if inject is None else None)
                pair = [self.read("sL.wav"), self.read("sR.wav")]
                self.assertIn(pair, [previous, new])
                self.assertEqual((p.stdout, p.returncode), (DONE, 0) if pair == new and (
                    inject != ("fsync", made.count("fsync"))) else (WRITE_FAILED, 2))
                rest = sorted(set(self.files()) - {"s.wav", "sL.wav", "sR.wav"})
                if inject and inject[0] == "unlink":
                    self.assertEqual((rest, self.read(rest[0]), pair), (
                        [".sL.wav.tarnvell2"], previous[0], new))
                    self.assertEqual(split().stdout, DONE)
                    rest = sorted(set(self.files()) - {"s.wav", "sL.wav", "sR.wav"})
                self.assertEqual(rest, [])

    def test_a_signal_during_the_commit_comes_after_done(self):
        # Held back while the outputs are placed (the exchange is made to take two seconds):
        # the source is split, its line says so, then the run ends by the signal.
        if RUNNER or not have("strace"):
            self.skipTest("needs strace, on the host")
        self.write("s.wav", source(pattern(4000)))
        for side in "LR":
            self.write("s%s.wav" % side, b"previous")
        p = subprocess.Popen(["strace", "-f", "-qq", "-o", "/dev/null", "-e",
                              "inject=renameat2:delay_enter=2000000", TOOL, "s.wav"], cwd=self.dir,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        tool = traced(p)
        time.sleep(0.7)
        os.kill(tool.pid, signal.SIGINT)
        out, err = p.communicate(timeout=60)
        self.assertEqual((out, p.returncode), (DONE, -signal.SIGINT))
        self.assertEqual([self.read("sL.wav"), self.read("sR.wav")],
                         [mono(c, 16, 44100) for c in channels_of(pattern(4000), 16)])
        self.assertEqual(self.files(), ["s.wav", "sL.wav", "sR.wav"])

    def test_memory_running_out(self):
        # A memory limit swept from too little to enough for the tables of 2000 outputs: each
        # source is split whole or says "Not enough memory." (status 2) and leaves nothing, not
        # even a hidden file; a batch goes on with its next source. In memory where it can be
        # (tmpfs), for speed.
        with open(TOOL, "rb") as f:
            if RUNNER or b"__asan_init" in f.read():
                self.skipTest("needs the host, without AddressSanitizer's reservations")
        shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
        folder = tempfile.mkdtemp(prefix="tarnvell2-memory-", dir=shm)
        self.addCleanup(shutil.rmtree, folder)
        for name, content in (("poly.wav", source(pattern(2000 * 2 * 3), channels=2000)),
                              ("s.wav", source(pattern(400)))):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(content)
        out = os.path.join(folder, "o")
        seen = set()
        for kib in range(4096, 9217, 256):
            for sources in (["poly.wav"], ["poly.wav", "s.wav"]):
                with self.subTest(kib=kib, sources=sources):
                    shutil.rmtree(out, ignore_errors=True)
                    os.mkdir(out)
                    p = subprocess.run([TOOL, "-a", "-d", "o"] + sources, cwd=folder,
                                       capture_output=True, timeout=60, preexec_fn=lambda: (
                                           resource.setrlimit(resource.RLIMIT_AS, (kib << 10,) * 2)))
                    lines = [line.split(": ")[-1] for line in p.stdout.decode().splitlines()]
                    self.assertEqual(len(lines), len(sources), p)
                    made = set(os.listdir(out))
                    for name, line in zip(sources, lines):
                        self.assertIn(line, ("done", "Not enough memory."))
                        seen.add(line)
                        want = {"poly_%d.wav" % k for k in range(1, 2001)} if name == \
                            "poly.wav" else {"sL.wav", "sR.wav"}
                        self.assertEqual(want & made, want if line == "done" else set())
                        made -= want
                    self.assertEqual(made, set())
                    self.assertEqual(p.returncode, 0 if set(lines) == {"done"} else 2)
        self.assertEqual(seen, {"done", "Not enough memory."})

    def test_a_foreign_lock_on_the_folder(self):
        # flock(1) or another program holding the folder's lock: after a second the run says it
        # waits; after --lock-wait it gives up, the previous outputs unchanged.
        cases = [
            # seconds the lock is held, --lock-wait, standard output, status, standard error
            (1.5, "10", DONE, 0, b"tarnvell2: .: waiting for a lock on the folder\n"),
            (None, "2", WRITE_FAILED, 2, b"tarnvell2: .: waiting for a lock on the folder\n"
             b"tarnvell2: .: still locked by another process after 2 s\n"),
        ]
        for held, wait, out, status, err in cases:
            with self.subTest(held=held):
                self.write("s.wav", source(pattern(4000)))
                for side in "LR":
                    self.write("s%s.wav" % side, b"previous")
                lock = os.open(self.dir, os.O_RDONLY)
                fcntl.flock(lock, fcntl.LOCK_EX)
                if held:
                    threading.Timer(held, os.close, [lock]).start()
                p = launch(["--lock-wait=" + wait, "s.wav"], self.dir)
                if not held:
                    os.close(lock)
                self.assertEqual((p.stdout, p.returncode, p.stderr), (out, status, err))
                self.assertEqual(self.read("sL.wav") == b"previous", status != 0)
                self.assertEqual(self.files(), ["s.wav", "sL.wav", "sR.wav"])

    def test_links_and_modes_of_existing_outputs(self):
        content = source(pattern(400))
        left, right = (mono(c, 16, 44100) for c in channels_of(pattern(400), 16))
        os.mkdir(self.path("t"))

        def symlink():
            self.write("t/old.wav", b"old")
            os.symlink("t/old.wav", self.path("songL.wav"))
            return [("t/old.wav", left), ("songL.wav", left)]

        def dangling():
            os.symlink("t/new.wav", self.path("songL.wav"))
            return [("t/new.wav", left)]

        def hardlink():
            self.write("songL.wav", b"old")
            os.link(self.path("songL.wav"), self.path("t/keep.wav"))
            return [("t/keep.wav", b"old"), ("songL.wav", left)]

        def modes():
            self.write("songL.wav", b"old")
            os.chmod(self.path("songL.wav"), 0o604)
            return []

        cases = [("symbolic link written through", symlink, 0o644),
                 ("link to a missing file creates it", dangling, 0o644),
                 ("hard link keeps the old content", hardlink, 0o644),
                 ("mode kept", modes, 0o604)]
        for what, setup, mode in cases:
            with self.subTest(what):
                self.write("song.wav", content)
                checks = setup()
                old_umask = os.umask(0o022)
                try:
                    self.assertEqual(run(["song.wav"], self.dir), (DONE, 0))
                finally:
                    os.umask(old_umask)
                for name, expected in checks + [("songR.wav", right)]:
                    self.assertEqual(self.read(name), expected, name)
                self.assertEqual(os.stat(self.path("songL.wav")).st_mode & 0o7777, mode)
                self.assertEqual(os.stat(self.path("songR.wav")).st_mode & 0o7777, 0o644)
                self.assertEqual(os.path.islink(self.path("songL.wav")), what.startswith(("sym",
                                                                                          "link")))
                shutil.rmtree(self.path("t"))
                os.mkdir(self.path("t"))
                for name in self.files():
                    if name != "t":
                        os.unlink(self.path(name))


class Verify(Scratch):
    """--verify: each output read back from the storage before the commit."""

    def test_a_spoiled_read_back_refuses_the_source(self):
        # A file, a stream, -a -m on a poly take and the second source of a batch: --verify
        # gives the plain run's outputs; with the preloaded shim spoiling one read-back (a byte
        # flipped, or a read failed, at any offset of any output), the source is refused, its
        # reason names that output and the block, and the previous outputs stay alone.
        if RUNNER or not SHIM:
            self.skipTest("needs the read-back shim, on the host")
        stereo = source(pattern(280000))  # outputs of three blocks of 64 KiB
        meta = chunk(b"bext", bext(b"take", 4800)) + chunk(b"iXML", ixml(["a", "b", "c"]))
        poly = source(pattern(3 * 2 * 30000), channels=3, before=meta)
        kinds = [  # arguments, sources, standard input, the previous outputs, the lines before
            (["s.wav"], {"s.wav": stereo}, b"", ["sL.wav", "sR.wav"], b""),
            (["--as", "s.wav", "-"], {}, stereo, ["sL.wav", "sR.wav"], b""),
            (["-a", "-m", "p.wav"], {"p.wav": poly}, b"", ["p_1.wav", "p_2.wav", "p_3.wav"], b""),
            (["a.wav", "s.wav"], {"a.wav": stereo[:100044], "s.wav": stereo}, b"",
             ["aL.wav", "aR.wav", "sL.wav", "sR.wav"], b"a.wav: done\n"),
        ]
        rng = random.Random(32)
        env = dict(os.environ, LD_PRELOAD=SHIM,
                   ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=0")
        for args, sources, stdin, outputs, before in kinds:
            def reset():
                for name in self.files():
                    os.unlink(self.path(name))
                for name, content in sources.items():
                    self.write(name, content)
                for name in outputs:
                    self.write(name, b"previous " + name.encode())
            reset()
            plain = launch(args, self.dir, stdin)
            made = {name: self.read(name) for name in outputs}
            reset()
            checked = launch(["--verify"] + args, self.dir, stdin)
            self.assertEqual((checked.stdout, checked.returncode, checked.stderr),
                             (plain.stdout, plain.returncode, plain.stderr))
            self.assertEqual({name: self.read(name) for name in outputs}, made)
            # Which outputs this source writes, in the order they are read back.
            mine = outputs[2:] if before else outputs
            for mode in ["flip", "fail"]:
                for k, output in enumerate(mine):
                    size = len(made[output])
                    at = rng.choice([x for x in (0, size - 1, 65535, 65536) if x < size] +
                                    [rng.randrange(size)])
                    with self.subTest(args=args, mode=mode, output=output, at=at):
                        reset()
                        spoil = dict(env, READBACK_MODE=mode, READBACK_AT=str(at),
                                     READBACK_OUTPUT=str(k + len(outputs) - len(mine)))
                        p = subprocess.run([TOOL, "--verify"] + args, cwd=self.dir, input=stdin,
                                           capture_output=True, timeout=60, env=spoil)
                        self.assertEqual((p.stdout, p.returncode), (
                            before + (b"s.wav: " if before else b"") + WRITE_FAILED, 2))
                        self.assertEqual(p.stderr.decode(), (
                            "tarnvell2: %s: read back from the storage, the block of 64 KiB at "
                            "byte %d%s\n" % (output, at // 65536 * 65536,
                                              " differs from what was written" if mode == "flip"
                                              else ": Input/output error")))
                        self.assertEqual(self.files(), sorted(set(sources) | set(outputs)))
                        for name in mine:
                            self.assertEqual(self.read(name), b"previous " + name.encode())


class Progress(Scratch):
    """The progress line on a terminal (a pseudo-terminal here), erased before the result line.
    The run is stopped for a second once it copies, so that the line is due."""

    def test_progress_line_on_a_terminal(self):
        folder = sparse_folder(self, 1 << 30)
        single = rb"\rtarnvell2: big\.wav +\d+% [\d.]+ MB/s\x1b\[K"
        cases = [
            # arguments, the progress line, the line that ends the run, status, size limit
            (["big.wav"], single, b"done\r\n", 0, None),
            # A stream has no percent: the audio received, and the rate.
            (["--as", "big.wav", "-"], rb"\rtarnvell2: - +\d+:\d\d:\d\d received [\d.]+ MB/s"
             rb"\x1b\[K", b"done\r\n", 0, None),
            (["big.wav", "big.wav"], rb"\rtarnvell2: \[1/2\] big\.wav +\d+% [\d.]+ MB/s\x1b\[K",
             b"big.wav: done\r\n", 0, None),
            (["big.wav"], single, b"tarnvell2: bigL.wav: File too large\r\nUnable to write file.\r\n",
             2, 300 << 20),
        ]
        for args, line, last, status, limit in cases:
            with self.subTest(args=args, limit=limit):
                master, slave = pty.openpty()
                stdin = open(os.path.join(folder, "big.wav"), "rb") if "-" in args else None
                p = subprocess.Popen(RUNNER + [TOOL] + args, cwd=folder, stdout=slave, stdin=stdin,
                                     stderr=slave, start_new_session=True, preexec_fn=limit and (
                                         lambda: resource.setrlimit(resource.RLIMIT_FSIZE,
                                                                    (limit, limit))))
                os.close(slave)
                copying(p, folder)
                os.killpg(p.pid, signal.SIGSTOP)  # with the child that copies, in a batch
                time.sleep(1.2)
                os.killpg(p.pid, signal.SIGCONT)
                text = b""
                while True:
                    try:
                        piece = os.read(master, 4096)
                    except OSError:  # the terminal is gone with the run
                        break
                    if not piece:
                        break
                    text += piece
                os.close(master)
                self.assertEqual(p.wait(timeout=120), status)
                if stdin:
                    stdin.close()
                self.assertRegex(text, line)
                self.assertIn(b"\x1b[K" + last, text)  # erased before the result line
                for n in os.listdir(folder):
                    if n != "big.wav":
                        os.unlink(os.path.join(folder, n))
        # A live take at 0.19 MB/s, as a recorder writes it: its audio time and its true rate
        # from the first second on, whatever the probe holds, about once a second.
        master, slave = pty.openpty()
        p = subprocess.Popen(RUNNER + [TOOL, "--as", "live.wav", "-"], cwd=folder,
                             stdin=subprocess.PIPE, stdout=slave, stderr=slave)
        os.close(slave)
        shown = []
        threading.Thread(target=lambda: shown.extend(iter(lambda: os.read(master, 4096), b"")),
                         daemon=True).start()
        p.stdin.write(source(b"", rate=48000, declared=0x80000000))
        for _ in range(25):
            p.stdin.write(bytes(19200))
            p.stdin.flush()
            time.sleep(0.1)
        p.stdin.close()
        self.assertEqual(p.wait(timeout=60), 0)
        lines = re.findall(rb"\r\S+ - (\d+:\d\d:\d\d) received ([\d.]+) MB/s", b"".join(shown))
        self.assertIn(len(lines), (1, 2, 3), lines)
        self.assertEqual(lines[0][0], b"0:00:01")
        self.assertTrue(all(0.1 <= float(rate) <= 0.3 for _, rate in lines), lines)


class LargeFiles(unittest.TestCase):
    def test_source_past_2_gib(self):
        # Sparse, with sparse copies of the outputs: catches a 32-bit long or off_t anywhere in
        # the path.
        folder = tempfile.mkdtemp(prefix="tarnvell2-big-")
        self.addCleanup(shutil.rmtree, folder)
        n = (2 << 30) + (1 << 20)
        line = (2 << 30) - 44  # the data offset of file offset 2 GiB
        marks = [0, line - 4096, line + 4096, n - 8192]
        with open(os.path.join(folder, "big.wav"), "wb") as f:
            f.write(source(b"", rate=48000, declared=n))
            for at in marks:
                f.seek(44 + at)
                f.write(pattern(8192))
            f.truncate(44 + n)
        outputs = sparse_sinks(folder, ["bigL.wav", "bigR.wav"])
        p = launch(["big.wav"], folder)  # long enough for a progress line, were it a terminal
        self.assertEqual((p.stdout, p.returncode, p.stderr), (DONE, 0, b""))
        left, right = channels_of(pattern(8192), 16)
        for path, expected in zip(outputs(), (left, right)):
            with open(path, "rb") as f:
                self.assertEqual(os.fstat(f.fileno()).st_size, 44 + n // 2)
                self.assertEqual(f.read(44), mono_header(n // 2, 16, 48000))
                for at in marks:
                    f.seek(44 + at // 2)
                    self.assertEqual(f.read(4096), expected, (path, at))
                f.seek(44 + (line + 4096 + 8192) // 2)
                self.assertEqual(f.read(4096), bytes(4096))


    def test_rf64_past_4_gib(self):
        # One output of a source of 8 GiB + 1 MiB passes 4 GiB: RF64, its sizes in ds64. One
        # frame short of what a RIFF size can count: RIFF. Samples are checked on both sides of
        # the output's 4 GiB line, by this test, libsndfile and ffmpeg.
        folder = tempfile.mkdtemp(prefix="tarnvell2-big-")
        self.addCleanup(shutil.rmtree, folder)
        line = ((1 << 32) - 80) // 2 // 48 * 48 - 2016  # a frame 2 KiB before the 4 GiB line
        cases = [((8 << 30) + (1 << 20)) // 4, 0x7FFFFFED]  # frames: RF64, the largest RIFF
        for frames in cases:
            with self.subTest(frames=frames):
                rf64 = frames * 2 + 36 > 0xFFFFFFFF
                marks = [0, line, frames - 4096] if rf64 else [0, frames - 4096]
                for name in os.listdir(folder):
                    os.unlink(os.path.join(folder, name))
                with open(os.path.join(folder, "big.wav"), "wb") as f:
                    f.write(source(b"", rate=48000, declared=0xFFFFFFFF))  # to the end
                    for at in marks:
                        f.seek(44 + 4 * at)
                        f.write(pattern(4 * 4096))
                    f.truncate(44 + 4 * frames)
                outputs = sparse_sinks(folder, ["bigL.wav", "bigR.wav"])
                p = launch(["big.wav"], folder)
                self.assertEqual((p.stdout, p.returncode, p.stderr), (DONE, 0, b""))
                head = 80 if rf64 else 44
                for path, expected in zip(outputs(), channels_of(pattern(4 * 4096), 16)):
                    with open(path, "rb") as f:
                        h = f.read(head)
                        self.assertEqual(os.fstat(f.fileno()).st_size, head + 2 * frames)
                        if rf64:
                            self.assertEqual(h[:16], b"RF64\xff\xff\xff\xffWAVEds64")
                            self.assertEqual(struct.unpack_from("<IQQQI", h, 16), (
                                28, head + 2 * frames - 8, 2 * frames, frames, 0))
                            self.assertEqual(h[72:], b"data\xff\xff\xff\xff")
                        else:
                            self.assertEqual(h, mono_header(2 * frames, 16, 48000))
                        for at in marks:
                            f.seek(head + 2 * at)
                            self.assertEqual(f.read(2 * 4096), expected, (path, at))
                    if soundfile is not None:
                        with soundfile.SoundFile(path) as sf:
                            self.assertEqual((sf.frames, sf.channels), (frames, 1))
                            sf.seek(marks[-2])
                            self.assertEqual(sf.read(4096, dtype="int16").tobytes(), expected)
                    if have("ffmpeg"):
                        at = marks[-2]
                        got = subprocess.run(
                            ["ffmpeg", "-v", "error", "-ss", "%.6f" % (at / 48000), "-i", path,
                             "-f", "s16le", "-frames:a", "1", "-"], capture_output=True).stdout
                        self.assertEqual(got[:2 * 1024], expected[:2 * 1024])


class Staged(Scratch):
    """Runs stopped by gdb at a chosen point while something happens to their files: the source
    shrinks or is replaced between the probe and the copy, or between two blocks of the copy; a
    signal comes between two sources of a batch."""

    @unittest.skipUnless(have("gdb"), "gdb is not installed")
    def test_staged_runs(self):
        song = source(pattern(3000000))  # several blocks
        first_write = ["catch syscall write", "continue", "delete"]
        left, right = (mono(c, 16, 44100) for c in channels_of(pattern(3000000), 16))
        cases = [
            # what, arguments, gdb commands once stopped, what must be printed, outputs
            ("shrinks before the copy", ["s.wav"], ["shell truncate -s 100044 s.wav"],
             [b"Unable to read file.", b"exited with code 02"], None),
            ("shrinks after a block", ["s.wav"], first_write + ["shell truncate -s 100044 s.wav"],
             [b"Unable to read file.", b"exited with code 02"], None),
            # The file first opened is split whole: a 24-bit file renamed over it changes nothing.
            ("replaced before the copy", ["s.wav"], ["shell mv other.wav s.wav"],
             [b"done", b"exited normally"], (left, right)),
            ("replaced after a block", ["s.wav"], first_write + ["shell mv other.wav s.wav"],
             [b"done", b"exited normally"], (left, right)),
        ]
        for what, args, commands, printed, outputs in cases:
            with self.subTest(what):
                for name in self.files():
                    os.unlink(self.path(name))
                self.write("s.wav", song)
                self.write("other.wav", source(pattern(3000000), bits=24))
                script = ["break COPY_DATA", "run", "delete"] + commands + ["continue"]
                p = subprocess.run(
                    ["gdb", "-nx", "-batch"] + [x for c in script for x in ("-ex", c)] +
                    ["--args", TOOL] + args, cwd=self.dir, capture_output=True, timeout=120,
                    env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))  # LSan fails under ptrace
                for text in printed:
                    self.assertIn(text, p.stdout)
                if outputs is None:
                    self.assertNotIn(b"done", p.stdout)
                    self.assertFalse([n for n in self.files() if n.startswith("s")
                                      and n != "s.wav"])
                else:
                    self.assertEqual((self.read("sL.wav"), self.read("sR.wav")), outputs)

    @unittest.skipUnless(have("gdb"), "gdb is not installed")
    def test_signal_between_two_sources(self):
        for name in "ab":
            self.write(name + ".wav", source(pattern(4000)))
        script = ["handle SIGTERM nostop noprint pass", "break setSourceLabel", "run", "continue",
                  "signal SIGTERM"]
        p = subprocess.run(["gdb", "-nx", "-batch"] + [x for c in script for x in ("-ex", c)] +
                           ["--args", TOOL, "a.wav", "b.wav"], cwd=self.dir, capture_output=True,
                           timeout=120, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        self.assertIn(b"a.wav: done\n", p.stdout)
        self.assertIn(b"terminated with signal SIGTERM", p.stdout)
        self.assertEqual(self.files(), ["a.wav", "aL.wav", "aR.wav", "b.wav"])
