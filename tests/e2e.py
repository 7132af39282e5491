#!/usr/bin/env python3
"""End-to-end tests: run the built tarnvell2 in a scratch folder and check its standard output,
exit status and every byte of its outputs. Expected outputs are built here independently of the
tool, and files written by sox, ffmpeg and Python's wave module are checked against sox's own
channel extraction.

    e2e.py --tool build/tarnvell2 [--runner "qemu-arm"] [--oracles | TestClass.test_name ...]
"""
import argparse
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
import sys
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


with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "CMakeLists.txt")) as f:
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

    def test_metadata_tag_lies_where_a_plain_search_would_take_it(self):
        # Guards the case above: the comment's "data" is at an even offset before the real one.
        meta = chunk(b"LIST", b"INFOICMT" + struct.pack("<I", 20) + b"has metadata inside!")
        content = source(b"\0" * 8, before=meta)
        first = next(i for i in range(2, 200, 2) if content[i:i + 4] == b"data")
        self.assertLess(first, content.rindex(b"data"))

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
             b"tarnvell2: take_1.wav: was written by take.1.wav in this run, not replaced\n",
             ["take_%d.wav" % k for k in (1, 2, 3)]),
            # Without -a, "_2" names no output.
            ({"poly.wav": poly, "poly_2.wav": mono_file}, ["poly.wav", "poly_2.wav"],
             b"poly.wav: " + NOT_STEREO + b"poly_2.wav: " + NOT_STEREO, 1,
             b"tarnvell2: poly.wav: 3 channels; -a splits each into a file of its own\n", []),
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
    p = subprocess.run(["node", os.path.join(os.path.dirname(os.path.abspath(__file__)),
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
             b"a.wav: done\nm.wav: " + NOT_STEREO, 1, b"", ["a"]),
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
            ("mono.wav", source(pattern(40), channels=1), NOT_STEREO, 1, ""),
            ("mono8.wav", source(pattern(40), channels=1, bits=8), NOT_STEREO, 1, ""),
            ("ch0.wav", source(pattern(40), channels=0), NOT_STEREO, 1, ""),
            ("s8.wav", source(pattern(40), bits=8), BAD_BITS, 1, "8-bit samples; -a splits them"),
            ("s32.wav", source(pattern(40), bits=32), BAD_BITS, 1,
             "32-bit samples; -a splits them"),
            ("nofmt.wav", source(pattern(40)).replace(b"fmt ", b"FMT "), NO_FORMAT, 2, ""),
            ("nodata.wav", no_data, NO_DATA, 2, ""),
            ("empty.wav", b"", NO_FORMAT, 2, ""),
            ("cut-in-channels.wav", source(b"")[:22], NOT_STEREO, 1, ""),
            ("cut-in-bits.wav", source(b"")[:35], BAD_BITS, 1, ""),
            ("...", None, NAME_ERROR, 2, ""),
            ("dir/", None, NAME_ERROR, 2, ""),
            ("", None, NAME_ERROR, 2, ""),
            (["-w", "..."], None, NAME_ERROR, 2, ""),
            (["-w", "..wav"], source(pattern(40)), NAME_ERROR, 2, ""),
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
             "block align 3 is not a whole number of bytes for each of 2 channels"),
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
             b"d\\.wav: Is a directory", None),
            ("a pipe", lambda: os.mkfifo(self.path("p.wav")), ["p.wav"], not_found("p.wav"), 2,
             b"p\\.wav: not a regular file", None),
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
            ("full disk", None, ["song.wav", "-fsize"], WRITE_FAILED, 2,
             b"songL\\.wav: File too large", None),
            ("success", None, ["song.wav"], DONE, 0, None, None),
            ("-d: no such folder", None, ["-d", "out", "song.wav"], OPEN_FAILED, 2,
             b"out: No such file or directory", None),
            ("-d: not a folder", lambda: self.write("out", b""), ["-d", "out", "song.wav"],
             OPEN_FAILED, 2, b"out: Not a directory", None),
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
                    (os.rmdir if os.path.isdir(self.path(name)) else os.unlink)(self.path(name))
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

    def test_source_that_is_a_pipe(self):
        os.mkfifo(self.path("p.wav"))  # opening it would wait for a writer forever
        self.assertEqual(run(["p.wav"], self.dir), (not_found("p.wav"), 2))
        self.assertEqual(self.files(), ["p.wav"])

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
                                    "trace=fsync,rename,linkat,openat"] + inject + [TOOL] + args +
                                   ["song.wav"], cwd=self.dir, capture_output=True, timeout=60,
                                   env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
                self.assertEqual((p.stdout, p.returncode), (out, status))
                self.assertEqual([self.read("songL.wav"), self.read("songR.wav")], after)
                with open(self.path("trace")) as f:
                    calls = [re.sub(r"^\d+ +", "", line) for line in f]
                os.unlink(self.path("trace"))
                self.assertEqual(self.files(), ["song.wav", "songL.wav", "songR.wav"])
                syncs = [k for k, c in enumerate(calls) if c.startswith("fsync(")]
                renames = [k for k, c in enumerate(calls) if c.startswith("rename(")]
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

    def test_unwritable_folder_writes_in_place(self):
        # No temporary file can be made beside outputs that may be written: in place, as before.
        root = os.getuid() == 0  # root writes any folder: run as nobody then
        owner = 65534 if root else -1
        self.write("song.wav", source(pattern(400)))
        for side in "LR":
            self.write("song%s.wav" % side, b"old")
            os.chown(self.path("song%s.wav" % side), owner, -1)
        os.chmod(self.dir, 0o555)
        self.addCleanup(os.chmod, self.dir, 0o755)
        p = launch(["song.wav"], self.dir, user=owner if root else None)
        self.assertEqual((p.stdout, p.returncode), (DONE, 0))
        left, right = (mono(c, 16, 44100) for c in channels_of(pattern(400), 16))
        self.assertEqual((self.read("songL.wav"), self.read("songR.wav")), (left, right))

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


class Progress(Scratch):
    """The progress line on a terminal (a pseudo-terminal here), erased before the result line.
    The run is stopped for a second once it copies, so that the line is due."""

    def test_progress_line_on_a_terminal(self):
        folder = sparse_folder(self, 1 << 30)
        single = rb"\rtarnvell2: big\.wav +\d+% [\d.]+ MB/s\x1b\[K"
        cases = [
            # arguments, the progress line, the line that ends the run, status, size limit
            (["big.wav"], single, b"done\r\n", 0, None),
            (["big.wav", "big.wav"], rb"\rtarnvell2: \[1/2\] big\.wav +\d+% [\d.]+ MB/s\x1b\[K",
             b"big.wav: done\r\n", 0, None),
            (["big.wav"], single, b"tarnvell2: bigL.wav: File too large\r\nUnable to write file.\r\n",
             2, 300 << 20),
        ]
        for args, line, last, status, limit in cases:
            with self.subTest(args=args, limit=limit):
                master, slave = pty.openpty()
                p = subprocess.Popen(RUNNER + [TOOL] + args, cwd=folder, stdout=slave,
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
                self.assertRegex(text, line)
                self.assertIn(b"\x1b[K" + last, text)  # erased before the result line
                for n in os.listdir(folder):
                    if n != "big.wav":
                        os.unlink(os.path.join(folder, n))


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


CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


class Corpus(Scratch):
    """Every malformed file kept in tests/data, with the answer it must get. Anything on standard
    error (a sanitizer's report) fails it too."""

    def test_replay(self):
        with open(os.path.join(CORPUS, "corpus.txt")) as f:
            cases = [line.rstrip("\n").split("\t") for line in f if not line.startswith("#")]
        self.assertGreater(len(cases), 40)
        for name, status, message, reason in cases:
            with self.subTest(name):
                p, outputs = self.replay(os.path.join(CORPUS, name))
                self.assertEqual((p.stdout, p.returncode, p.stderr.decode()), (
                    message.encode() + b"\n", int(status),
                    reason and "tarnvell2: case.wav: %s\n" % reason))
                self.assertEqual(outputs, ["caseL.wav", "caseR.wav"] if status == "0" else [])

    def replay(self, path):
        """Runs the tool on a copy of the file; checks that outputs, if any, are consistent
        (the header counts what follows) and removes them."""
        shutil.copy(path, self.path("case.wav"))
        p = launch(["case.wav"], self.dir)
        outputs = [n for n in self.files() if n != "case.wav"]
        for n in outputs:
            out = self.read(n)
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
                self.assertRegex(p.stderr, rb"^(tarnvell2: case\.wav: [^\n]+\n)?$")
                self.assertEqual(len(outputs), 2 if p.returncode == 0 else 0)


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


REALWORLD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared",
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
                                 else b"^$")
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
                self.assertRegex(p.stderr, rb"^(tarnvell2: case\.wav: not carried: [^\n]+\n)?$")
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


def main():
    global TOOL, RUNNER
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--runner", default="")
    parser.add_argument("--oracles", action="store_true",
                        help="only the files of other programs; exit 77 (skipped) without sox")
    parser.add_argument("--realworld", action="store_true",
                        help="only the files of real programs in ../shared/realworld; exit 77 "
                        "(skipped) where the folder, sox or ffmpeg is missing")
    parser.add_argument("--staged", action="store_true",
                        help="only the runs staged with gdb (on the host)")
    args, rest = parser.parse_known_args()
    TOOL = os.path.abspath(args.tool)
    RUNNER = shlex.split(args.runner)
    loader = unittest.defaultTestLoader
    if args.oracles:
        if not have("sox"):
            print("skipped: sox is not installed (apt-get install sox ffmpeg)")
            sys.exit(77)
        suite = loader.loadTestsFromTestCase(Oracles)
    elif args.realworld:
        if not (os.path.isdir(REALWORLD) and have("sox") and have("ffmpeg")):
            print("skipped: needs %s, sox and ffmpeg" % os.path.normpath(REALWORLD))
            sys.exit(77)
        suite = loader.loadTestsFromTestCase(RealWorld)
    elif args.staged:
        suite = loader.loadTestsFromTestCase(Staged)
    elif rest:
        suite = loader.loadTestsFromNames(rest, sys.modules[__name__])
    else:  # every class but those with a suite of their own, so that none is left out
        own = (Oracles, RealWorld, Staged)
        suite = unittest.TestSuite(
            loader.loadTestsFromTestCase(c) for c in globals().values()
            if isinstance(c, type) and issubclass(c, unittest.TestCase) and c not in own)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
