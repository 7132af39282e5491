"""What the end-to-end tests share: running the built tarnvell2 in a scratch folder, files made
here byte by byte, the outputs we expect built independently of the tool, and the independent
readers (sox, ffmpeg, libsndfile, wavefile) that judge them. Each room of tests (run.py names
them) imports all of it."""
import atexit
import fcntl
import json
import os
import pty
import re
import resource
import shlex
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import wave

try:  # libsndfile, the reader most Linux audio software uses (Debian's python3-soundfile)
    import soundfile
except ImportError:
    soundfile = None

TOOL = None
RUNNER = []
SHIM = None
# tests/, where the data, the corpus and the readers' helpers are.
TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROMPT = b"\nEnter the name of .wav file or 'h' for help: "
HELP = (b"Tarnvell 1.021 by Oskavar\n\nThis program will split a stereo wave file into two mono"
        b" wave files.\n\nEnter the name of .wav file or 'x' to exit: ")
DONE = b"done\n"
OPEN_FAILED = b"Unable to open file.\n"
WRITE_FAILED = b"Unable to write file.\n"
NOT_STEREO = b"The file you want to convert is not a stereo track!\n"
BAD_BITS = b"24 bit or 16 bit wave files only!\n"
NO_FORMAT = b"Can't find format chunk in wave file!\n"
NO_DATA = b"Can't find data block in wave file!\n"
NAME_ERROR = b"Filename error: looking for format of type name.wav\n"
NO_NAME = "no name for the outputs: the part after the last / is empty or all dots"
# Standard error's line for a sample area that ends inside a frame, or whose header declares no
# data size (a regular expression).
LEFTOVER = (rb"^(tarnvell2: case\.wav: (the header declares no data size \(a recording in "
            rb"progress\?\); split up to byte \d+|\d+ bytes? after the last whole frame not "
            rb"copied)\n)")


with open(os.path.join(TESTS, "..", "CMakeLists.txt")) as f:
    VERSION = re.search(r"project\(tarnvell2 VERSION ([\d.]+)", f.read()).group(1).encode()


def not_found(name):
    return b"Cannot find file in track list called " + name.encode() + b"!!\n"


def chunk(tag, body, pad=True):
    return tag + struct.pack("<I", len(body)) + body + (b"\0" if pad and len(body) % 2 else b"")


def fmt_body(channels=2, bits=16, rate=44100, align=None):
    align = channels * bits // 8 if align is None else align
    return struct.pack("<HHIIHH", 1, channels, rate, rate * align, align, bits)


def source(samples, channels=2, bits=16, rate=44100, before=b"", after=b"", declared=None,
           first=b"", align=None, form=b"RIFF"):
    """A WAVE file: the chunks in `first`, fmt, those in `before`, data, then `after`."""
    size = len(samples) if declared is None else declared
    data = b"data" + struct.pack("<I", size) + samples
    body = (b"WAVE" + first + chunk(b"fmt ", fmt_body(channels, bits, rate, align)) + before +
            data + after)
    return form + struct.pack("<I", len(body) if form == b"RIFF" else 0xFFFFFFFF) + body


def mono_header(length, bits, rate):
    width = bits // 8
    return (b"RIFF" + struct.pack("<I", 36 + length + length % 2) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * width, width, bits) + b"data" +
            struct.pack("<I", length))


def mono(samples, bits, rate):
    """The output we expect, built here rather than by the tool: an odd data size is followed by
    RIFF's pad byte."""
    return mono_header(len(samples), bits, rate) + samples + bytes(len(samples) % 2)


def channels_of(samples, bits, container=None):
    """Left and right sample bytes of interleaved stereo, whole frames only; each sample the low
    bytes of its container."""
    w = bits // 8
    c = container or w
    frames = len(samples) // (2 * c)
    left = b"".join(samples[2 * c * k:2 * c * k + w] for k in range(frames))
    right = b"".join(samples[2 * c * k + c:2 * c * k + c + w] for k in range(frames))
    return left, right


def pattern(n):
    return bytes((i * 37 + i // 256) & 0xFF for i in range(n))


def have(tool):
    return shutil.which(tool) is not None


def launch(args, cwd, stdin=b"", fsize=None, user=None):
    """Runs the tool; the completed process, standard error included. A file size limit stands
    in for a full disk (the tool must take SIGXFSZ for a failed write, not die of it)."""
    def limits():
        if fsize is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))

    return subprocess.run(RUNNER + [tool_for(user)] + args, cwd=cwd, input=stdin,
                          capture_output=True, timeout=120, preexec_fn=limits, user=user)


def tool_for(user):
    """The tool, where that user may run it: a copy in a folder open to all for another user
    (the build folder may sit below one that only its owner can enter)."""
    if user is None:
        return TOOL
    if not hasattr(tool_for, "copy"):
        folder = tempfile.mkdtemp(prefix="tarnvell2-tool-")
        atexit.register(shutil.rmtree, folder, True)
        os.chmod(folder, 0o755)
        tool_for.copy = shutil.copy(TOOL, folder)
    return tool_for.copy


def configure(tool, runner, shim=None):
    """Sets the tool, the emulator it runs under and the read-back shim; before the rooms are
    imported, since they take TOOL, RUNNER and SHIM as they stand then."""
    global TOOL, RUNNER, SHIM
    TOOL = os.path.abspath(tool)
    RUNNER = shlex.split(runner)
    SHIM = shim and os.path.abspath(shim)


def run(args, cwd, stdin=b"", fsize=None):
    p = launch(args, cwd, stdin, fsize)
    return p.stdout, p.returncode


class Scratch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tarnvell2-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, content):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(content)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def files(self):
        return sorted(os.listdir(self.dir))

    def split(self, name, content, left, right, args=None, stdin=b"", out=DONE, outputs=None):
        self.write(name, content)
        got = run([name] if args is None else args, self.dir, stdin)
        self.assertEqual(got, (out, 0))
        self.assertEqual(self.read(name), content)
        l_name, r_name = outputs or (name.split(".")[0] + "L.wav", name.split(".")[0] + "R.wav")
        self.assertEqual(self.read(l_name), left)
        self.assertEqual(self.read(r_name), right)


def libsndfile(path):
    """libsndfile's account of a file: (rate, channels, subtype, frames x channels as float64)."""
    with soundfile.SoundFile(path) as f:
        return f.samplerate, f.channels, f.subtype, f.read(dtype="float64", always_2d=True)


def sox_raw(path, *effects):
    """The sample bytes sox reads from a file, in its own encoding; None where sox cannot."""
    p = subprocess.run(["sox", path, "-t", "raw", "-"] + list(effects), capture_output=True)
    return p.stdout if p.returncode == 0 else None


def extensible(samples, channels, container, valid, sub=1, rate=48000):
    """A WAVE_FORMAT_EXTENSIBLE file written here: `valid` bits in `container` bytes."""
    guid = struct.pack("<H", sub) + bytes.fromhex("000000001000800000aa00389b71")
    fmt = struct.pack("<HHIIHHHHI", 0xFFFE, channels, rate, rate * channels * container,
                      channels * container, container * 8, 22, valid, (1 << channels) - 1) + guid
    body = b"WAVE" + chunk(b"fmt ", fmt) + chunk(b"data", samples)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def channels_of3(samples, k):
    """Channel k of 16-bit samples in frames of three."""
    return b"".join(samples[6 * f + 2 * k:6 * f + 2 * k + 2] for f in range(len(samples) // 6))


def chunks_of(content):
    """The chunk list of an output, checked to be well formed: (tag, body) in order, each body
    followed by its pad byte, the RIFF size the file's."""
    assert content[:4] in (b"RIFF", b"RF64") and content[8:12] == b"WAVE", content[:12]
    if content[:4] == b"RIFF":
        assert struct.unpack_from("<I", content, 4)[0] == len(content) - 8
    found, at = [], 12
    while at < len(content):
        tag, size = content[at:at + 4], struct.unpack_from("<I", content, at + 4)[0]
        assert at + 8 + size + size % 2 <= len(content), (tag, at, size, len(content))
        found.append((tag, content[at + 8:at + 8 + size]))
        if size % 2:
            assert content[at + 8 + size] == 0, tag
        at += 8 + size + size % 2
    return found


def bext(description, time_reference, history=b""):
    """A bext body (EBU Tech 3285, version 1)."""
    return (description.ljust(256, b"\0") + b"Sound Devices".ljust(32, b"\0") +
            b"SD-ref".ljust(32, b"\0") + b"2026-12-0910-11-12" + struct.pack("<QH", time_reference, 1) +
            bytes(64 + 10 + 180) + history)


def ixml(names):
    tracks = "".join("\n    <TRACK><CHANNEL_INDEX>%d</CHANNEL_INDEX><INTERLEAVE_INDEX>%d"
                     "</INTERLEAVE_INDEX><NAME>%s</NAME></TRACK>" % (k + 3, k + 1, n)
                     for k, n in enumerate(names))
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<BWFXML><IXML_VERSION>1.5</IXML_VERSION>'
            "<SCENE>4</SCENE><TAKE>2</TAKE>\n  <TRACK_LIST>\n    <TRACK_COUNT>%d</TRACK_COUNT>%s"
            "\n  </TRACK_LIST>\n</BWFXML>\n" % (len(names), tracks)).encode()


def wavefile_read(path):
    """What the npm package wavefile reads of a file, or None where node or it is missing."""
    if not have("node") or not have("npm"):
        return None
    root = subprocess.run(["npm", "root", "-g"], capture_output=True, text=True).stdout.strip()
    p = subprocess.run(["node", os.path.join(TESTS,
                                             "wavefile_read.js"), path],
                       capture_output=True, env=dict(os.environ, NODE_PATH=root))
    if b"Cannot find module 'wavefile'" in p.stderr:
        return None
    assert p.returncode == 0, p.stderr
    return json.loads(p.stdout)


def ffprobe_tags(path):
    """The tags ffprobe reads; None where it refuses the file."""
    p = subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_entries", "format_tags",
                        path], capture_output=True)
    return json.loads(p.stdout).get("format", {}).get("tags", {}) if p.returncode == 0 else None


def sparse_folder(test, n, top=None):
    """A folder holding big.wav, n bytes of silent 16-bit samples, sparse, so that splitting it
    takes a while; on the disk unless `top` says where (the outputs are not sparse)."""
    folder = tempfile.mkdtemp(prefix="tarnvell2-big-", dir=top)
    test.addCleanup(shutil.rmtree, folder)
    with open(os.path.join(folder, "big.wav"), "wb") as f:
        f.write(source(b"", declared=n))
        f.truncate(44 + n)
    return folder


def without_o_tmpfile(args):
    """strace's arguments that make the tool's opens with O_TMPFILE fail with EOPNOTSUPP, as on
    vfat: counted in a run of the same arguments on small files, which opens the same."""
    folder = tempfile.mkdtemp(prefix="tarnvell2-count-")
    try:
        for name in args:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(source(pattern(400)))
        subprocess.run(["strace", "-f", "-e", "trace=openat", "-o", os.path.join(folder, "trace"),
                        TOOL] + args, cwd=folder, capture_output=True, timeout=60,
                       env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        with open(os.path.join(folder, "trace")) as f:
            calls = [line for line in f if "openat(" in line]
    finally:
        shutil.rmtree(folder)
    # Each failed O_TMPFILE is followed by the open of the named temporary file it falls back to.
    first = next(k for k, line in enumerate(calls, 1) if "O_TMPFILE" in line)
    return ["strace", "-f", "-e", "trace=openat", "-e",
            "inject=openat:error=EOPNOTSUPP:when=%d..%d+2" % (first, first + 2)]


def traced(p):
    """The tool that strace runs (p is strace), once it runs: the child of strace whose program
    is the tool."""
    while p.poll() is None:
        try:
            with open("/proc/%d/task/%d/children" % (p.pid, p.pid)) as f:
                children = [int(c) for c in f.read().split()]
            tool = [c for c in children if os.path.realpath("/proc/%d/exe" % c) ==
                    os.path.realpath(TOOL)]
        except OSError:
            tool = []
        if tool:
            class Tool:
                pid = tool[0]

                @staticmethod
                def poll():
                    return p.poll()
            return Tool
        time.sleep(0.001)
    raise AssertionError(p.communicate())


def copying(p, folder):
    """Waits until the run has made both outputs of big.wav: unnamed files, or named temporary
    ones where the file system has no O_TMPFILE, open in the folder."""
    pattern_ = re.compile(re.escape(os.path.realpath(folder)) + r"/(#\d+ \(deleted\)|\.big[LR])")
    links = []
    while p.poll() is None:
        try:
            links = [os.readlink("/proc/%d/fd/%s" % (p.pid, fd))
                     for fd in os.listdir("/proc/%d/fd" % p.pid)]
        except OSError:  # a descriptor closed while we looked
            time.sleep(0.001)
            continue
        # Unnamed files have no name to tell whose they are: big.wav's while it is open.
        if sum(bool(pattern_.match(link)) for link in links) >= 2 and any(
                link.endswith("/big.wav") for link in links):
            return
        time.sleep(0.001)
    raise AssertionError("the run ended before it was seen copying; last seen open: %s" % links)


def sparse_sinks(folder, names):
    """Makes each name a FIFO, which the tool writes in place, and copies what comes through it
    into NAME.sparse, seeking over blocks of zeros: gigabytes of outputs that cost neither memory
    nor disk. Returns a function that waits for the copies and gives their paths."""
    def drain(fifo, copy):
        with open(fifo, "rb", buffering=0) as r, open(copy, "wb") as w:
            try:  # fewer, larger trips through the pipe
                fcntl.fcntl(r.fileno(), 1031, 1 << 20)  # F_SETPIPE_SZ
            except OSError:
                pass
            zero = bytes(1 << 20)
            while True:
                block = r.read(1 << 20)
                if not block:
                    break
                if block == zero[:len(block)]:
                    w.seek(len(block), 1)
                else:
                    w.write(block)
            w.truncate()

    threads = []
    for name in names:
        path = os.path.join(folder, name)
        os.mkfifo(path)
        threads.append(threading.Thread(target=drain, args=(path, path + ".sparse"), daemon=True))
        threads[-1].start()

    def finish():
        for t in threads:
            t.join(timeout=600)
        return [os.path.join(folder, n + ".sparse") for n in names]
    return finish


CORPUS = os.path.join(TESTS, "data")


REALWORLD = os.path.join(TESTS, "..", "..", "shared",
                         "realworld")


def data_chunk(content):
    """The data chunk's own bytes, found by walking the chunk list (sizes 0 and 0xFFFFFFFF, and
    sizes past the end, run to the end of the file)."""
    at = 12
    while at + 8 <= len(content):
        tag, size = content[at:at + 4], struct.unpack_from("<I", content, at + 4)[0]
        if tag == b"data":
            end = at + 8 + size if size not in (0, 0xFFFFFFFF) else len(content)
            return content[at + 8:end]
        at += 8 + size + size % 2
    raise AssertionError("no data chunk")
