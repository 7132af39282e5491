"""The checker: seeded whole runs over folders built from small parts, and a model of what each
run must leave. One property instead of a row per case; a fault found anywhere becomes one more
ingredient of the generator, or a kept seed.

    checker.py --tool build/tarnvell2 [--seed N | --runs N [--first N] | --minutes M]
"""
import argparse
import hashlib
import random
import sys

from helpers import *  # noqa: F401,F403
import helpers

# Seeds kept because they once found a fault: each replays one ingredient's case.
KEPT = {
    28: "1: a fixed name that is a symbolic link, removed",
    44: "1: a fixed name that is a later source, removed",
    126: "1: the file a stream reads at a fixed name, removed",
    68: "1: an output linked to another output's fixed name",
    186: "2: closed standard error: a reason line inside an output",
    3823: "3: -t names that change with -c",
    36: "4: EXTENSIBLE whose block align hides its samples, split",
    501: "5 and 9: a -t batch that walks a source per mono file; -m's memory",
    2: "6: a stem past NAME_MAX, refused after the copy",
    1021: "6: a track name past NAME_MAX failing the source",
    123: "7: -d '' ignored",
    8399: "8: -n's skip taken for outputs written",
    188: "10: a track name with a C1 control",
    5: "11: the filename error without a reason",
    200: "12: TRACK_COUNT between the tracks dropped",
    128: "13: -n judged before a racing run committed",
}

# Track names as the iXML holds them, and what a file name makes of them ("" none, None too long).
TRACKS = [("BOOM", "BOOM"), ("boom", "boom"), ("", ""), ("1", "1"), ("C", "C"), ("MIX", "MIX"),
          (" Lav 1 ", "Lav 1"), ("a/b", "a_b"), (".hid", "_hid"), ("&amp;R", "&R"),
          ("Über", "Über"), ("\u0085x", "_x"), ("&#x9F;z", "_z"), ("&#xD800;y", "_y"),
          ("x" * 300, None)]
# Source names: dots, dashes, spaces, UTF-8, long and hidden names, a subfolder.
NAMES = ["song.wav", "take.1.wav", "take.2.wav", "2024.05.01 Interview.wav", "my-take.wav",
         "a b.wav", "Ünï.wav", "DOOR.wav", ".hidden.wav", "x" * 251 + ".wav", "y" * 200 + ".wav",
         "sub/song.wav", "ZOOM0001_LR.WAV", "...", "-x.wav"]


def fixed(name):
    d, b = os.path.split(name)
    return os.path.join(d, "." + b + ".tarnvell2")


def channel(samples, k, nch, width):
    n = len(samples) // (nch * width)
    out = bytearray(n * width)
    for j in range(width):
        out[j::width] = samples[k * width + j::nch * width][:n]
    return bytes(out)


def many_chunks():
    """913,952 empty chunks of 456,976 tags before the data: a walk's worst case."""
    if not hasattr(many_chunks, "body"):
        tags = [bytes([65 + a, 65 + b, 65 + c, 65 + d]) for a in range(26) for b in range(26)
                for c in range(26) for d in range(26)]
        many_chunks.body = b"".join(t + b"\0\0\0\0" for t in tags) * 2
    return many_chunks.body


class Source:
    """A source file of the run and what the model knows of it."""

    def __init__(self, rng, name, kind):
        self.name, self.kind, self.tracks, self.nch, self.bits = name, kind, None, 2, 16
        self.refusal, self.count_at = None, 0
        if kind in ("ext24in4", "ext16in4"):  # EXTENSIBLE whose block align hides the samples
            bits = 24 if kind == "ext24in4" else 16
            fmt = struct.pack("<HHIIHHHHI", 0xFFFE, 2, 48000, 384000, 8, bits, 22, bits, 3) + \
                struct.pack("<H", 1) + bytes.fromhex("000000001000800000aa00389b71")
            body = b"WAVE" + chunk(b"fmt ", fmt) + chunk(b"data", rng.randbytes(800))
            self.content, self.refusal = b"RIFF" + struct.pack("<I", len(body)) + body, \
                {False: (BAD_BITS, 1), True: (BAD_BITS, 1)}
            return
        if kind == "corpus":
            rows = [r.split("\t") for r in open(os.path.join(CORPUS, "corpus.txt"))
                    if not r.startswith("#") and r.split("\t")[1] != "0"]
            row = rng.choice(rows)
            self.content = open(os.path.join(CORPUS, row[0]), "rb").read()
            self.refusal = {False: (row[2].encode() + b"\n", int(row[1])), True: None}
            return
        self.nch = {"poly": rng.choice([3, 4]), "mono": 1}.get(kind, 2)
        self.bits = rng.choice([16, 24]) if kind != "big" else 16
        frames = 1200000 if kind == "big" else rng.choice([0, 1, 7, 3000])
        self.samples = rng.randbytes(frames * self.nch * self.bits // 8)
        self.leftover = rng.choice([0, 0, 3]) if kind != "big" else 0
        first = before = b""
        if kind == "chunky":
            before = many_chunks()
        if kind == "poly" or (kind == "stereo" and rng.random() < 0.4):
            self.tracks = [rng.choice(TRACKS) for _ in range(self.nch)]
            if kind == "poly" and rng.random() < 0.3:
                self.tracks = [TRACKS[2], TRACKS[3], TRACKS[4]][:self.nch] + [TRACKS[0]] * (
                    self.nch - 3)
            self.count_at = rng.choice([0, 1, self.nch])  # TRACK_COUNT before the nth track
            first = chunk(b"iXML", self.ixml())
        if kind == "mono":
            self.refusal = {False: (NOT_STEREO, 1), True: (NOT_STEREO, 1)}
        elif kind == "poly":
            self.refusal = {False: (NOT_STEREO, 1), True: None}
        self.content = source(self.samples + bytes(self.leftover), self.nch, self.bits, 48000,
                              before=before, first=first, declared=len(self.samples))
        if self.leftover:  # the bytes after the last frame, counted in the data size
            self.content = source(self.samples + bytes(self.leftover), self.nch, self.bits,
                                  48000, before=before, first=first)

    def ixml(self):
        tracks = ["<TRACK><CHANNEL_INDEX>%d</CHANNEL_INDEX><INTERLEAVE_INDEX>%d</INTERLEAVE_INDEX>"
                  "<NAME>%s</NAME></TRACK>" % (k + 1, k + 1, t[0])
                  for k, t in enumerate(self.tracks)]
        tracks.insert(self.count_at, "<TRACK_COUNT>%d</TRACK_COUNT>" % self.nch)
        body = "".join(tracks)
        return ("<BWFXML><TRACK_LIST>%s</TRACK_LIST></BWFXML>" % body).encode()

    def names(self, arg, opts):
        """The model's output names of every channel (relative to the run's folder), or None
        where the name has no base."""
        folder, last = os.path.split(arg)
        if "-w" in opts:
            dot = last.rfind(".")
            base = last if dot <= 0 else last[:dot]
            base = "" if not base.strip(".") else base
        else:
            base = next((p for p in last.split(".") if p), "")
        if not base:
            return None
        stem = os.path.join(opts.get("-d", folder), base)
        sep = opts.get("-s", "")
        numbered = [stem + s for s in ([sep + "L.wav", sep + "R.wav"] if self.nch == 2 else
                                       ["_%d.wav" % (k + 1) for k in range(self.nch)])]
        named = [t[1] for t in self.tracks] if "-t" in opts and self.tracks else [""] * self.nch
        named = ["" if t is None or len((base + "_" + t + ".wav").encode()) > 255 else t
                 for t in named]
        if self.nch == 2 and not all(named):
            named = ["", ""]
        while True:
            final = [stem + "_" + t + ".wav" if t else numbered[k] for k, t in enumerate(named)]
            folded = [f.lower() for f in final]
            clash = [k for k, t in enumerate(named) if t and folded.count(folded[k]) > 1]
            if not clash:
                return final
            for k in clash:
                named[k] = ""

    def expected(self, k):
        return channel(self.samples, k, self.nch, self.bits // 8)


def snapshot(top):
    """Every path below top: what it is and holds, links not followed."""
    state = {}
    for root, dirs, files in os.walk(top):
        for n in dirs + files:
            p = os.path.join(root, n)
            rel = os.path.relpath(p, top)
            if os.path.islink(p):
                state[rel] = ("link", os.readlink(p))
            elif os.path.isdir(p):
                state[rel] = ("dir",)
            else:
                with open(p, "rb") as f:
                    state[rel] = ("file", hashlib.sha1(f.read()).hexdigest())
    return state


def parse_output(content):
    """(fmt fields, data, ixml) of a mono output, checked to be well formed."""
    found = dict(chunks_of(content))
    return struct.unpack_from("<HHIIHH", found[b"fmt "]), found[b"data"], found.get(b"iXML")


class Run:
    """One generated run: a folder, a command line, and what the model expects."""

    def __init__(self, seed):
        self.seed = seed
        rng = self.rng = random.Random(seed)
        self.opts = {}
        for o in ("-a", "-m", "-t", "-n", "-w"):
            if rng.random() < 0.25:
                self.opts[o] = True
        if rng.random() < 0.1:
            self.opts["-d"] = rng.choice(["out", ""])
        kinds = ["stereo"] * 6 + ["poly"] * 2 + ["mono", "corpus", "ext24in4", "ext16in4"]
        self.sources = {}
        for _ in range(rng.choice([1, 1, 2, 3])):
            name = rng.choice(NAMES)
            if name not in self.sources:
                self.sources[name] = Source(rng, name, rng.choice(kinds))
        if rng.random() < 0.03:  # a walk's worst case, with mono files that look like outputs
            self.sources["big.wav"] = Source(rng, "big.wav", "chunky")
            for k in range(60):
                self.sources["big_%d.wav" % k] = Source(rng, "big_%d.wav" % k, "mono")
        if rng.random() < 0.3:
            self.opts["-c"] = rng.choice(["1", "2", "2,3", "1-2", "3", "5"])
        self.args = list(self.sources)
        rng.shuffle(self.args)
        if rng.random() < 0.1:
            self.args.append(rng.choice(self.args))
        self.stream = None  # the --as name of "-", and the file it reads, if any
        if rng.random() < 0.2:
            self.stream = (rng.choice(NAMES[:9]), rng.choice(list(self.sources)))
            self.args.insert(rng.randrange(len(self.args) + 1), "-")
        self.close = rng.choice([(), (), (), (2,), (0, 2)])
        if self.stream and 0 in self.close:
            self.close = (2,)
        self.things = []  # (kind, path, what) to make in the folder before the run
        for name in rng.sample(list(self.sources), min(2, len(self.sources))):
            outs = self.sources[name].names(name, self.opts) or []
            if not outs:
                continue
            out, other = rng.choice(outs), rng.choice(list(self.sources))
            choice = rng.choice(["old", "old", "leftover", "fixed-source", "fixed-link",
                                 "link-keep", "hard-keep", "link-fixed", "link-source"])
            fixed_other = fixed(rng.choice(outs))
            if len(os.path.basename(fixed(out)).encode()) > 255:
                continue
            self.things.append({
                "old": ("file", out, b"an earlier output"),
                "leftover": ("file", fixed(out), b"a dead run's leftover"),
                "fixed-source": ("copy", fixed(out), other),
                "fixed-link": ("link", fixed(out), "keep.txt"),
                "link-keep": ("link", out, "keep.wav"),
                "hard-keep": ("hard", out, "keep.wav"),
                "link-fixed": ("link", out, os.path.basename(fixed_other)),
                "link-source": ("link", out, os.path.relpath(other, os.path.dirname(out) or ".")),
            }[choice])
            if choice == "fixed-source":
                self.args.insert(rng.randrange(len(self.args) + 1), fixed(out))
                self.sources[fixed(out)] = self.sources[other]
        if self.stream and rng.random() < 0.3:  # the stream read from a file of the folder
            path = rng.choice([self.stream[1]] + [t[1] for t in self.things if t[0] == "copy"])
            self.stream = (self.stream[0], path, path)
        self.pair = "-n" in self.opts and rng.random() < 0.3 and not self.stream
        # Ingredients added since the seeds above were kept draw from a generator of their own,
        # and leave the kept seeds alone, so that each still makes the run it was kept for.
        more = random.Random("more %d" % seed)
        self.fsize = None  # a card that fills: a file size limit that cuts the stream's take
        if seed in KEPT:
            return
        if self.stream and more.random() < 0.3:
            self.fsize = more.randrange(40, 44 + len(self.sources[self.stream[1]].content))
        if more.random() < 0.25:
            self.opts["-s"] = more.choice(["_", "-", " "])
        if more.random() < 0.15:  # channels by track names, and open ranges
            self.opts["-c"] = more.choice(["2-", "BOOM", "mix,C", "1,Über", "3-"])
        if more.random() < 0.2:  # read back, which must change nothing where nothing spoils it
            self.opts["--verify"] = True

    def command(self):
        o = self.opts
        args = [k for k in ("-a", "-m", "-t", "-n", "-w", "--verify") if k in o]
        for k in ("-d", "-c", "-s"):
            if k in o:
                args += [k, o[k]]
        if self.stream:
            args += ["--as", self.stream[0]]
        return args + ["--"] + self.args

    def build(self, top):
        os.makedirs(os.path.join(top, "sub"), exist_ok=True)
        os.makedirs(os.path.join(top, "out"), exist_ok=True)
        for p, c in [("keep.txt", b"the user's"), ("keep.wav", b"the user's too")]:
            with open(os.path.join(top, p), "wb") as f:
                f.write(c)
        for name, s in self.sources.items():
            with open(os.path.join(top, name), "wb") as f:
                f.write(s.content)
        for kind, path, what in self.things:
            p = os.path.join(top, path)
            if os.path.lexists(p) or len(os.path.basename(path).encode()) > 255:
                continue
            if kind == "file":
                with open(p, "wb") as f:
                    f.write(what)
            elif kind == "copy":
                shutil.copyfile(os.path.join(top, what), p)
            elif kind == "link":
                os.symlink(what, p)
            else:
                os.link(os.path.join(top, what), p)

    def stdin(self, top):
        if not self.stream:
            return b""
        if len(self.stream) == 3:
            return open(os.path.join(top, self.stream[2]), "rb")
        return self.sources[self.stream[1]].content

    # ---- the model

    def facts(self, top):
        """What the model needs of the folder as it is before the run."""
        o, args, f = self.opts, self.args, {"ident": {}, "fixed": {}}
        for a in args:
            p = os.path.join(top, a) if a != "-" else (
                os.path.join(top, self.stream[2]) if len(self.stream or ()) == 3 else None)
            f["ident"][a] = os.stat(p).st_ino if p and os.path.isfile(p) else None
        idents = {v for v in f["ident"].values() if v is not None}
        f["usable"] = [self.usable(self.sources.get(b)) if b != "-" else False for b in args]
        for a in set(args):
            src = self.sources.get(self.stream[1] if a == "-" else a)
            names = src.names(self.stream[0] if a == "-" else a, o) if src else None
            for n in names or []:
                d = os.path.realpath(os.path.join(top, n))
                fx = fixed(d)
                f["fixed"][n] = (d, os.stat(d).st_ino if os.path.isfile(d) else None,
                                 os.path.lexists(os.path.join(top, n)),
                                 os.path.islink(fx) or (os.path.exists(fx) and
                                                        os.stat(fx).st_ino in idents))
        f["path"] = {a: os.path.realpath(os.path.join(top, a if a != "-" else (
            self.stream[2] if len(self.stream) == 3 else "-"))) for a in args}
        return f

    def predict(self, f, said):
        """What each source of the run must get, given what the earlier ones got: (message,
        status), or None where the model leaves it open; and every source's output names."""
        o, args, written, expect = self.opts, self.args, set(), []
        for i, a in enumerate(args):
            src = self.sources.get(self.stream[1] if a == "-" else a)
            names = src.names(self.stream[0] if a == "-" else a, o) if src else None
            expect.append((a, self.outcome(f, i, a, src, names, written), names))
            if i < len(said) and said[i] == DONE:
                written.update(f["fixed"][names[k]][0] for k in self.chosen(src))
        return expect

    def outcome(self, f, i, a, src, names, written):
        o, ident = self.opts, f["ident"][a]
        batch = len(self.args) > 1
        if names is None:
            return NAME_ERROR, 2
        if a != "-" and ident is None:
            return not_found(a), 2
        if f["path"][a] in written:
            return None  # an earlier source wrote it
        # Any earlier file of the run, split or not; a stream is no name to be named again.
        if batch and ident is not None and ident in {f["ident"][b] for b in self.args[:i]
                                                     if b != "-"}:
            return b"skipped\n", 0
        if a == "-" and src.kind == "chunky":  # its data chunk is past a stream's 4 MiB
            return NO_DATA, 2
        if src.refusal:
            # A mono file named as another source's output may be skipped as one.
            looks_like_output = any(
                os.path.basename(a).startswith(n.split(".")[0]) and n.split(".")[0]
                for n in map(os.path.basename, self.sources) if n != os.path.basename(a))
            return None if looks_like_output and batch else src.refusal["-a" in o]
        chosen = self.chosen(src)
        if chosen is None:
            return NOT_STEREO, 1
        outs = [names[k] for k in chosen]
        if any(len(os.path.basename(n).encode()) > 255 for n in outs):
            return OPEN_FAILED, 2
        dest = [f["fixed"][n][0] for n in outs]
        stat_of = [f["fixed"][n][1] for n in outs]
        # Another source of the run (by its place: the same file named twice too) that is split.
        others = [f["usable"][j] for j, b in enumerate(self.args)
                  if j != i and f["ident"][b] is not None and f["ident"][b] in stat_of]
        if batch and (True in others or any(d in written for d in dest)):
            return OPEN_FAILED, 2
        if batch and None in others:
            return None  # a corpus file that -a may split: a stereo source of the run or not
        if "-n" in o and any(f["fixed"][n][2] or f["fixed"][n][0] in written for n in outs):
            return b"skipped\n", 0
        there = [s for s in stat_of if s]  # two names of one file are one output
        if (ident is not None and ident in stat_of) or len(set(dest)) < len(dest) or \
                len(set(there)) < len(there) or any(
                f["fixed"][n][3] or fixed(d) in dest for n, d in zip(outs, dest)):
            return OPEN_FAILED, 2
        return DONE, 0

    def chosen(self, src):
        if "-c" not in self.opts:
            return list(range(src.nch))
        ks = set()
        for part in self.opts["-c"].split(","):
            lo, dash, hi = part.partition("-")
            if not lo.isdigit():  # a track's name, as a file name gives it, case folded
                named = {k for k, t in enumerate(src.tracks or []) if t[1] and
                         t[1].lower() == part.lower()}
                if not named:
                    return None
                ks |= named
                continue
            ks.update(range(int(lo) - 1, int(hi or (src.nch if dash else lo))))
        return sorted(ks) if ks and max(ks) < src.nch else None

    def usable(self, src):
        """Whether the run splits the source: True, False, or None where the model cannot say."""
        if src is None or src.refusal is None:
            return src is not None
        return src.refusal["-a" in self.opts] is None and (None if src.kind == "corpus" else True)


def launch_run(args, cwd, stdin, close=(), fsize=None):
    """Runs the tool; (stdout, stderr, status, cpu seconds, peak KiB or 0 where unknown). The
    peak comes from GNU time: a child of this Python would inherit its resident size."""
    peak = tempfile.mktemp()
    feed = stdin if hasattr(stdin, "read") else subprocess.PIPE
    # Not under a size limit, which its own report would pass.
    timed = ["/usr/bin/time", "-f", "%M", "-o", peak] if os.path.exists("/usr/bin/time") and \
        not close and fsize is None else []
    def limits():
        for fd in close:
            os.close(fd)
        if fsize is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
    # Pipes, which a file size limit does not cut.
    p = subprocess.Popen(timed + RUNNER + [TOOL] + args, cwd=cwd, stdin=feed,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=limits)
    got = {}
    readers = [threading.Thread(target=lambda f=f: got.__setitem__(f, f.read()), daemon=True)
               for f in (p.stdout, p.stderr)]
    for r in readers:
        r.start()
    if feed is subprocess.PIPE:
        def write():
            try:
                p.stdin.write(stdin)
                p.stdin.close()
            except OSError:
                pass
        threading.Thread(target=write, daemon=True).start()
    timer = threading.Timer(120, p.kill)
    timer.start()
    _, status, usage = os.wait4(p.pid, 0)
    timer.cancel()
    p.returncode = os.waitstatus_to_exitcode(status)
    for r in readers:
        r.join()
    kib = 0
    if timed:
        with open(peak) as f:
            kib = int(f.read().split()[-1])
        os.unlink(peak)
    return (got[p.stdout], got[p.stderr], p.returncode, usage.ru_utime + usage.ru_stime, kib)


def results(stdout, args):
    """Each source's result line, in order."""
    if len(args) == 1:
        return [stdout]
    lines, said = stdout.split(b"\n")[:-1], []
    for a, line in zip(args, lines):
        label = a.encode() + b": "
        said.append(line[len(label):] + b"\n" if line.startswith(label) else line + b"\n")
    return said


def check(seed, sanitized=False):
    """Generates run `seed`, runs it, and returns what it broke ([] when nothing)."""
    run = Run(seed)
    top = tempfile.mkdtemp(prefix="tarnvell2-check-")
    try:
        run.build(top)
        if run.pair:
            return check_pair(run, top)
        before, facts = snapshot(top), run.facts(top)
        run.top = top
        stdout, stderr, status, cpu, peak = launch_run(run.command(), top, run.stdin(top),
                                                       run.close, run.fsize)
        problems = []
        size = sum(len(s.content) for s in run.sources.values())
        if not sanitized and (cpu > 0.5 + 1e-7 * size or peak > 24 * 1024 + 2 * size // 1024):
            problems.append("9: %.2f s of CPU and %d KiB for %d bytes" % (cpu, peak, size))
        if run.opts.get("-d") == "":
            if stdout or status != 2 or snapshot(top) != before:
                problems.append("model: -d '' is a usage error, got %r %d" % (stdout, status))
            return problems
        said = results(stdout, run.args)
        expect = run.predict(facts, said)
        if len(said) != len(run.args):
            return problems + ["result lines %r for %r (status %d)" % (stdout, run.args, status)]
        allowed, vanish = set(), set()
        for (a, want, names), got in zip(expect, said):
            if run.fsize is not None:
                want = None  # which outputs fit the limit is left open
                if a == "-" and got == WRITE_FAILED:
                    problems += cut_take(run, names, stderr, before, allowed)
            if want is not None and got != want[0]:
                problems.append("model: %s said %r, not %r" % (a, got, want[0]))
            if got != DONE:
                lines = stderr.decode(errors="replace").splitlines()
                keys = [a] + (names or []) + [n for n in (run.stream or ())[:1]] + \
                    ([run.opts["-d"]] if "-d" in run.opts else [])
                if 2 not in run.close and not any(
                        k and (os.path.basename(k) in line or k in line) for line in lines
                        for k in keys):
                    problems.append("7: no reason for %s (%r)" % (a, got))
                continue
            src = run.sources[run.stream[1] if a == "-" else a]
            if want is not None and want[0] != DONE:
                continue  # said already; what it wrote shows below
            for k in run.chosen(src):
                path = os.path.realpath(os.path.join(top, names[k]))
                allowed.add(path)
                vanish.add(fixed(path))
                if not hasattr(src, "samples"):
                    continue  # a corpus file that -a splits: only its place is known
                try:
                    with open(path, "rb") as f:
                        fmt, data, ixml = parse_output(f.read())
                except (OSError, AssertionError, KeyError, struct.error) as e:
                    problems.append("2: %s of %s: %r" % (names[k], a, e))
                    continue
                if data != src.expected(k) or fmt[1] != 1 or fmt[2] != 48000 or \
                        fmt[5] != src.bits:
                    problems.append("2: %s does not hold channel %d of %s" % (names[k], k + 1, a))
                if ixml and b"TRACK_COUNT" in src.ixml() and b"<TRACK_COUNT>1<" not in ixml:
                    problems.append("2: %s's iXML has no TRACK_COUNT 1" % names[k])
            if a == "-" and run.fsize is None:
                problems += stream_equals_file(run, names, src)
        after = snapshot(top)
        for rel in set(before) | set(after):
            path = os.path.realpath(os.path.join(top, rel)) if before.get(rel, ("",))[0] != \
                "link" else os.path.join(top, rel)
            if before.get(rel) == after.get(rel) or path in allowed:
                continue
            if rel not in after and path in vanish and before[rel][0] == "file":
                continue
            problems.append("1: %s changed (%s to %s)" % (rel, before.get(rel), after.get(rel))
                            if rel in before else "4: %s was left" % rel)
        for rel in after:
            try:
                rel.encode("utf-8")
            except UnicodeEncodeError:
                problems.append("10: %r is not UTF-8" % rel)
            if any(0x80 <= ord(c) <= 0x9F or ord(c) < 0x20 for c in rel):
                problems.append("10: %r holds a control character" % rel)
        return problems
    finally:
        shutil.rmtree(top, ignore_errors=True)


def cut_take(run, names, stderr, before, allowed):
    """3: a stream whose outputs could not grow keeps its take as far as every output holds it,
    and says so; or, where not even the headers fit, changes nothing."""
    src, held, problems = run.sources[run.stream[1]], set(), []
    for k in run.chosen(src):
        path = os.path.realpath(os.path.join(run.top, names[k]))
        rel = os.path.relpath(path, run.top)
        if not os.path.isfile(path) or before.get(rel) == snapshot_of(path):
            continue
        allowed.add(path)
        if not hasattr(src, "samples"):
            continue  # a corpus file: only its place is known
        with open(path, "rb") as f:
            fmt, data, _ = parse_output(f.read())
        held.add(len(data))
        if data != src.expected(k)[:len(data)] or fmt[1] != 1:
            problems.append("3: the kept take's %s is not its channel's start" % names[k])
    if len(held) > 1:
        problems.append("3: the kept take's outputs hold %s bytes" % sorted(held))
    if held and b"of the take kept" not in stderr and 2 not in run.close:
        problems.append("7: a take kept without saying so")
    return problems


def snapshot_of(path):
    with open(path, "rb") as f:
        return ("file", hashlib.sha1(f.read()).hexdigest())


def stream_equals_file(run, names, src):
    """6: the stream's outputs are those of its bytes split as a file of the --as name."""
    top = tempfile.mkdtemp(prefix="tarnvell2-file-")
    try:
        name = run.stream[0]
        for d in ("sub", "out"):
            os.makedirs(os.path.join(top, d))
        with open(os.path.join(top, name), "wb") as f:
            f.write(src.content)
        args = [a for a in run.command() if a not in ("-n",)]
        args = args[:args.index("--as")] + [name]
        stdout, _, status, _, _ = launch_run(args, top, b"")
        problems = []
        for k in run.chosen(src):
            mine = os.path.join(top, names[k])
            if not os.path.exists(mine):
                continue
            with open(mine, "rb") as a, open(os.path.join(run.top, names[k]), "rb") as b:
                if a.read() != b.read():
                    problems.append("6: the stream's %s differs from the file's" % names[k])
        return problems
    finally:
        shutil.rmtree(top, ignore_errors=True)


def check_pair(run, top):
    """8: a stream's run and a run over sources of the same stem, started together, end as the
    two would one after the other."""
    stems = [n.split(".")[0] for n in run.args if n.split(".")[0]]
    src = Source(run.rng, "take.wav", "big")
    opts = [k for k in ("-a", "-n") if k in run.opts]
    a_args = opts + ["--as", (stems[0] if stems else "take") + ".live.wav", "-"]
    b_args = opts + ["--"] + run.args
    ends = []
    for order in ((a_args, b_args), (b_args, a_args)):
        copy = top + ".%d" % len(ends)
        shutil.copytree(top, copy, symlinks=True)
        said = [launch_run(args, copy, src.content if "-" in args else b"")[:3] for args in order]
        ends.append((snapshot(copy), [s[::2] for s in (said if order[0] is a_args else
                                                        said[::-1])]))
        shutil.rmtree(copy)
    p = subprocess.Popen(RUNNER + [TOOL] + a_args, cwd=top, stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    half = len(src.content) - 4096
    try:
        p.stdin.write(src.content[:half])
        p.stdin.flush()
    except BrokenPipeError:
        pass  # it refused or skipped at once

    def making():  # the stream's outputs are open, unnamed, in the folder
        try:
            return any("(deleted)" in os.readlink("/proc/%d/fd/%s" % (p.pid, fd))
                       for fd in os.listdir("/proc/%d/fd" % p.pid))
        except OSError:
            return False
    deadline = time.time() + 5
    while time.time() < deadline and p.poll() is None and not making():
        time.sleep(0.005)
    b = launch_run(b_args, top, b"")
    try:
        a_out, _ = p.communicate(src.content[half:], timeout=60)
    except BrokenPipeError:
        a_out, _ = p.communicate(timeout=60)
    together = (snapshot(top), [(a_out, p.returncode), b[:3:2]])
    if together not in ends:
        return ["8: %r and %r together gave %r" % (a_args, b_args, together[1])]
    return []


def repeat_command(seed):
    return "python3 %s --tool %s --seed %d" % (os.path.abspath(__file__), TOOL, seed)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--seed", type=int)
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--first", type=int, default=0)
    parser.add_argument("--minutes", type=float)
    parser.add_argument("--sanitized", action="store_true",
                        help="a sanitizer build: time and memory are not judged")
    args = parser.parse_args()
    helpers.configure(args.tool, "")
    globals().update(TOOL=helpers.TOOL)
    if args.seed is not None:
        seeds = [args.seed]
    elif args.minutes:
        seeds = iter(range(args.first, 1 << 62))
    else:
        seeds = list(KEPT) + list(range(args.first, args.first + args.runs))
    start, failed, count = time.time(), 0, 0
    for seed in seeds:
        if args.minutes and time.time() - start > args.minutes * 60:
            break
        count += 1
        problems = check(seed, args.sanitized)
        if problems:
            failed += 1
            print("seed %d: %s\n  repeat: %s" % (seed, "\n  ".join(problems),
                                                 repeat_command(seed)))
            sys.stdout.flush()
    print("%d runs, %d failed" % (count, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
