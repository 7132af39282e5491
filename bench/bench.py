#!/usr/bin/env python3
"""Benchmark: tarnvell2 against a plain copy of the source (cp, dd bs=256K) and against the
peers people use (sox, ffmpeg, libsndfile's sndfile-deinterleave), where installed.

For each width (16 and 24 bits) it makes a stereo source of random samples, checks that every
tool's sample data equals tarnvell2's, then times the tools interleaved over several rounds after
a warm-up. Before every timed run the outputs of the previous run are deleted, what is still to
be written back is synced (so that one run's write-back does not slow the next), and the source
is either read once (warm: the host may drop the page cache when idle) or, with --cold, evicted
from the page cache (posix_fadvise DONTNEED, checked with fincore), so that the run reads it from
the disk. --memory-limit runs every command in a memory cgroup of that size,
page cache included, as on a small board. It reports, per tool, the median wall time, the
median of the per-round ratio to cp, the median user and system time, the peak resident memory
and the bytes read from the disk per run (the file system inputs that getrusage counts). A
benchmark, not a test: it prints figures and fails only when outputs differ.

With --batch N it makes N short sources instead (one second each, 16-bit, 44.1 kHz by default)
in a fresh folder and times, interleaved, tarnvell2 over all of them in one run, cp of the 2N
mono files they split into (the floor: as many files, as many bytes), the --before binary the
same way, and the peers once per file in a shell loop; it reports sources per second, the ratio
to cp and the peak resident memory.
--plot draws the ratios to cp of result files written with --json as one chart.

    bench/bench.py --tool build/tarnvell2 [--before OLD_BINARY] [--size 1G] [--rounds 5] [--stream]
                   [--cold] [--memory-limit 256M] [--dir DIR] [--csv FILE] [--json FILE] [--sync] [--verify]
                   [--callgrind]
    bench/bench.py --batch 1000 [--seconds 1] [--rate 44100] [--before OLD] [--json FILE]
    bench/bench.py --plot chart.svg RESULTS.json...
"""
import argparse
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

GNU_TIME = "/usr/bin/time"  # Debian package "time"
SYNC = False  # --sync: time tarnvell2 --sync beside tarnvell2
VERIFY = False  # --verify: time tarnvell2 --verify beside tarnvell2
STREAM = False  # --stream: time the source piped through cat, beside cat into a file


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    return int(float(text[:-1]) * units[text[-1].upper()]) if text[-1].upper() in units else int(text)


# --format: the format tag and bits of each kind of sample.
FORMATS = {"s16": (1, 16), "s24": (1, 24), "s32": (1, 32), "u8": (1, 8), "f32": (3, 32),
           "ulaw": (7, 8)}


def make_source(path, size, bits, channels=2, kind=None):
    tag, bits = FORMATS[kind] if kind else (1, bits)
    width = bits // 8
    size -= size % (channels * width)
    rate = 48000
    fmt = struct.pack("<HHIIHH", tag, channels, rate, rate * channels * width, channels * width,
                      bits)
    fact = b""
    if tag != 1:  # an 18-byte format chunk and the fact chunk that non-PCM data needs
        fmt += b"\0\0"
        fact = b"fact" + struct.pack("<II", 4, size // (channels * width))
    body = b"fmt " + struct.pack("<I", len(fmt)) + fmt + fact
    header = (b"RIFF" + struct.pack("<I", 4 + len(body) + 8 + size) + b"WAVE" + body + b"data" +
              struct.pack("<I", size))
    block = os.urandom(1 << 22)
    # Samples a peer keeps as they are: random bytes as floats hold NaNs whose payloads a
    # converting reader may change, and mu-law's negative zero comes back as positive zero.
    if kind == "f32":
        block = struct.pack("<%df" % (len(block) // 4), *(
            (x - 32768) / 32768 for x in struct.unpack("<%dH" % (len(block) // 4),
                                                       block[:len(block) // 2])))
    if kind == "ulaw":
        block = block.replace(b"\x7f", b"\x7e")
    with open(path, "wb") as f:
        f.write(header)
        left = size
        while left:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n


def data_chunk(path):
    """(offset, length) of the data chunk of a RIFF/WAVE file, by walking its chunks."""
    with open(path, "rb") as f:
        f.seek(12)
        while True:
            head = f.read(8)
            if len(head) < 8:
                raise ValueError("no data chunk in " + path)
            tag, size = head[:4], struct.unpack("<I", head[4:])[0]
            if tag == b"data":
                length = os.path.getsize(path) - f.tell()
                return f.tell(), min(size, length) if size not in (0, 0xFFFFFFFF) else length
            f.seek(size + (size & 1), 1)


def same_data(a, b):
    (ao, al), (bo, bl) = data_chunk(a), data_chunk(b)
    if al != bl:
        return False
    with open(a, "rb") as fa, open(b, "rb") as fb:
        fa.seek(ao)
        fb.seek(bo)
        while al > 0:
            n = min(al, 1 << 22)
            if fa.read(n) != fb.read(n):
                return False
            al -= n
    return True


def warm(path):
    with open(path, "rb") as f:
        while f.read(1 << 22):
            pass


def evict(path):
    """Writes the source back and drops it from the page cache; fails if any of it stays."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)
    pages = subprocess.run(["fincore", "-n", "-b", "-o", "RES", path], capture_output=True,
                           text=True, check=True).stdout.split()
    if pages and int(pages[0]) != 0:
        sys.exit("%s still has %s bytes in the page cache" % (path, pages[0]))


class MemoryLimit:
    """A memory cgroup (v2, or v1's memory controller) that the timed commands run in."""

    def __init__(self, limit):
        v2 = os.path.exists("/sys/fs/cgroup/cgroup.controllers")
        self.path = "/sys/fs/cgroup/" + ("" if v2 else "memory/") + "tarnvell2-bench-%d" % os.getpid()
        os.mkdir(self.path)
        with open(os.path.join(self.path, "memory.max" if v2 else "memory.limit_in_bytes"), "w") as f:
            f.write(str(limit))

    def enter(self):
        with open(os.path.join(self.path, "cgroup.procs"), "w") as f:
            f.write(str(os.getpid()))

    def close(self):
        os.rmdir(self.path)


def timed(commands, cwd, cgroup=None):
    """Runs the commands one after another; wall, user, system seconds, peak RSS in KiB and
    bytes read from the disk.

    Memory, CPU times and inputs come from GNU time: a child forked straight from Python would
    report Python's own peak RSS, which Linux carries across the exec."""
    wall = user = system = 0.0
    peak = disk = 0
    with tempfile.NamedTemporaryFile("r") as report:
        for command in commands:
            start = time.perf_counter()
            p = subprocess.run([GNU_TIME, "-f", "%U %S %M %I", "-o", report.name] + command,
                               cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               preexec_fn=cgroup.enter if cgroup else None)
            wall += time.perf_counter() - start
            if p.returncode != 0:
                raise RuntimeError("%s failed: %s" % (command, p.stderr.decode()))
            report.seek(0)
            u, s, m, i = report.read().split()[-4:]
            user += float(u)
            system += float(s)
            peak = max(peak, int(m))
            disk += int(i) * 512
    return wall, user, system, peak, disk


def tools(tool, before, src, bits, channels=2, kind=None):
    """name -> (commands, outputs or None for the copies)."""
    base = os.path.splitext(os.path.basename(src))[0]
    codec = "pcm_s%dle" % bits
    if channels != 2 or kind:  # -a, beside the copies and sndfile-deinterleave only
        ours = ([base + "L.wav", base + "R.wav"] if channels == 2 else
                ["%s_%d.wav" % (base, k + 1) for k in range(channels)])
        found = {"cp": ([["cp", src, "copy.wav"]], None), "tarnvell2": ([[tool, "-a", src]], ours)}
        if shutil.which("sndfile-deinterleave"):
            stem = os.path.splitext(src)[0]
            found["sndfile-deinterleave"] = ([["sndfile-deinterleave", src]], [
                "%s_%02d.wav" % (stem, k) for k in range(channels)])
        return found
    found = {
        "cp": ([["cp", src, "copy.wav"]], None),
        "dd bs=256K": ([["dd", "if=" + src, "of=copy.wav", "bs=256K", "status=none"]], None),
        "tarnvell2": ([[tool, src]], (base + "L.wav", base + "R.wav")),
    }
    if before:
        found["tarnvell2 before"] = ([[before, src]], (base + "L.wav", base + "R.wav"))
    if SYNC:
        found["tarnvell2 --sync"] = ([[tool, "--sync", src]], (base + "L.wav", base + "R.wav"))
    if VERIFY:
        found["tarnvell2 --verify"] = ([[tool, "--verify", src]], (base + "L.wav", base + "R.wav"))
    if STREAM:
        # The source as a stream, through a pipe; the same pipe into a file, for the cost of
        # the pipe itself. The time of the pipeline, its peak memory the larger process's.
        found["cat > copy.wav"] = ([["sh", "-c", "cat %s > copy.wav" % src]], None)
        found["cat | tarnvell2 -"] = ([["sh", "-c", "cat %s | %s --as s.wav -" % (src, tool)]],
                                      ("sL.wav", "sR.wav"))
    if shutil.which("sox"):
        found["sox"] = ([["sox", src, "soxL.wav", "remix", "1"],
                         ["sox", src, "soxR.wav", "remix", "2"]], ("soxL.wav", "soxR.wav"))
    if shutil.which("ffmpeg"):
        found["ffmpeg"] = ([["ffmpeg", "-v", "error", "-y", "-i", src, "-filter_complex",
                             "channelsplit=channel_layout=stereo[L][R]", "-map", "[L]", "-c:a",
                             codec, "ffL.wav", "-map", "[R]", "-c:a", codec, "ffR.wav"]],
                           ("ffL.wav", "ffR.wav"))
    if shutil.which("sndfile-deinterleave"):
        stem = os.path.splitext(src)[0]
        found["sndfile-deinterleave"] = ([["sndfile-deinterleave", src]],
                                         (stem + "_00.wav", stem + "_01.wav"))
    return found


def clean(work, keep):
    for name in os.listdir(work):
        if name not in keep:
            os.unlink(os.path.join(work, name))


def bench_width(tool, before, work, size, bits, rounds, cold, cgroup, channels=2, kind=None,
                only=None):
    src = os.path.join(work, "src%s.wav" % (kind or bits))
    make_source(src, size, bits, channels, kind)
    keep = {os.path.basename(src)}
    found = tools(tool, before, src, bits, channels, kind)
    if only:
        found = {k: v for k, v in found.items() if k in only}
    # Correctness first: every peer's samples must equal ours.
    outputs = {}
    for name, (commands, outs) in found.items():
        timed(commands, work)
        if outs:
            outputs[name] = outs
    ours = [os.path.join(work, o) for o in outputs["tarnvell2"]]
    for name, outs in outputs.items():
        for mine, theirs in zip(ours, outs):
            if not same_data(mine, os.path.join(work, theirs)):
                sys.exit("%s and tarnvell2 differ on %s (%d-bit)" % (name, theirs, bits))
    clean(work, keep)
    samples = {name: [] for name in found}
    for r in range(rounds + 1):  # round 0 is the warm-up
        for name, (commands, _) in found.items():
            os.sync()  # the previous run's write-back must not compete with this one
            if cold:
                evict(src)
            else:
                warm(src)
            figures = timed(commands, work, cgroup)
            clean(work, keep)
            if r > 0:
                samples[name].append(figures)
    os.unlink(src)
    rows = []
    cp_walls = [s[0] for s in samples["cp"]]
    for name, runs in samples.items():
        rows.append({
            "bits": bits if not kind and channels == 2 else "%d x %s" % (
                channels, kind or "s%d" % bits), "tool": name, "size_bytes": size,
            "wall_s": statistics.median(s[0] for s in runs),
            "ratio_to_cp": statistics.median(s[0] / c for s, c in zip(runs, cp_walls)),
            "wall_min_s": min(s[0] for s in runs), "wall_max_s": max(s[0] for s in runs),
            "user_s": statistics.median(s[1] for s in runs),
            "sys_s": statistics.median(s[2] for s in runs),
            "peak_rss_kib": max(s[3] for s in runs),
            "disk_read_mib": statistics.median(s[4] for s in runs) / (1 << 20),
        })
    return rows


def callgrind(tool, work, bits, channels=2, kind=None):
    """Instructions per source byte for a 50 MiB source: repeatable, unlike wall time."""
    size = 50 << 20
    src = os.path.join(work, "cg%s.wav" % (kind or bits))
    make_source(src, size, bits, channels, kind)
    out = os.path.join(work, "callgrind.out")
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, tool] +
                   (["-a"] if channels != 2 or kind else []) + [src],
                   cwd=work, check=True, capture_output=True)
    with open(out) as f:
        total = next(int(line.split()[1]) for line in f if line.startswith(("summary:", "totals:")))
    clean(work, set())
    return total / size


def make_batch(folder, n, seconds, rate):
    """n sources of random 16-bit stereo samples; their names, in order."""
    frames = int(seconds * rate)
    size = frames * 4
    header = (b"RIFF" + struct.pack("<I", size + 36) + b"WAVEfmt " +
              struct.pack("<IHHIIHH", 16, 1, 2, rate, rate * 4, 4, 16) + b"data" +
              struct.pack("<I", size))
    samples = os.urandom(size)
    names = ["f%05d.wav" % k for k in range(n)]
    for name in names:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(header + samples)
    return names


def batch_tools(tool, before, names, monos):
    """name -> command lines; the peers once per file in one shell loop. The floor is cp of the
    mono files the split makes: as many files made, as many bytes written."""
    loop = 'for f in f*.wav; do %s || exit 1; done'
    found = {"tarnvell2": [[tool] + names],
             "cp": [["cp"] + [os.path.join("monos", m) for m in monos] + ["copies"]]}
    if before:
        found["tarnvell2 before"] = [[before] + names]
    if SYNC:
        found["tarnvell2 --sync"] = [[tool, "--sync"] + names]
    if VERIFY:
        found["tarnvell2 --verify"] = [[tool, "--verify"] + names]
    if shutil.which("sox"):
        found["sox"] = [["sh", "-c", loop % 'sox "$f" "${f%.wav}-sL.wav" remix 1 && '
                         'sox "$f" "${f%.wav}-sR.wav" remix 2']]
    if shutil.which("ffmpeg"):
        found["ffmpeg"] = [["sh", "-c", loop % (
            'ffmpeg -v error -y -i "$f" -filter_complex "channelsplit=channel_layout=stereo[L][R]"'
            ' -map "[L]" -c:a pcm_s16le "${f%.wav}-fL.wav" -map "[R]" -c:a pcm_s16le '
            '"${f%.wav}-fR.wav" </dev/null')]]
    if shutil.which("sndfile-deinterleave"):
        found["sndfile-deinterleave"] = [["sh", "-c", loop % 'sndfile-deinterleave "$f" >/dev/null']]
    return found


def bench_batch(tool, before, work, n, seconds, rate, rounds, only=None):
    names = make_batch(work, n, seconds, rate)
    keep = set(names) | {"monos"}
    subprocess.run([tool] + names, cwd=work, stdout=subprocess.DEVNULL, check=True)
    os.mkdir(os.path.join(work, "monos"))
    monos = sorted(set(os.listdir(work)) - keep)
    for m in monos:
        os.rename(os.path.join(work, m), os.path.join(work, "monos", m))
    found = batch_tools(tool, before, names, monos)
    if only:
        found = {k: v for k, v in found.items() if k in only}
    samples = {name: [] for name in found}
    for r in range(rounds + 1):  # round 0 is the warm-up
        for name, commands in found.items():
            os.mkdir(os.path.join(work, "copies"))
            os.sync()
            for source in names:
                warm(os.path.join(work, source))
            figures = timed(commands, work)
            if name == "tarnvell2":  # every split complete
                missing = [x for x in names if not os.path.exists(
                    os.path.join(work, x[:-4] + "R.wav"))]
                if missing:
                    sys.exit("tarnvell2 left %d sources unsplit" % len(missing))
            shutil.rmtree(os.path.join(work, "copies"))
            clean(work, keep)
            if r > 0:
                samples[name].append(figures)
    cp_walls = [s[0] for s in samples["cp"]]
    rows = []
    for name, runs in samples.items():
        wall = statistics.median(s[0] for s in runs)
        rows.append({
            "batch": n, "seconds": seconds, "rate": rate, "tool": name,
            "wall_s": wall, "sources_per_s": n / wall,
            "ratio_to_cp": statistics.median(s[0] / c for s, c in zip(runs, cp_walls)),
            "wall_min_s": min(s[0] for s in runs), "wall_max_s": max(s[0] for s in runs),
            "user_s": statistics.median(s[1] for s in runs),
            "sys_s": statistics.median(s[2] for s in runs),
            "peak_rss_kib": max(s[3] for s in runs),
        })
    return rows


def rf64_stream(tool, work, size):
    """A stream past 8 GiB that declares its size in a ds64, piped to tarnvell2, whose outputs go
    through FIFOs into sparse copies: RF64 outputs judged by libsndfile, and nothing large
    stored. Marked samples near the start, past each output's 4 GiB line and at the end."""
    import threading
    frames = size // 4
    marks = [0, (5 << 30) // 4, frames - 4096]  # frames; the second past the 4 GiB line of an output
    fmt = b"fmt " + struct.pack("<IHHIIHH", 16, 1, 2, 48000, 192000, 4, 16)
    ds64 = b"ds64" + struct.pack("<IQQQI", 28, 0, frames * 4, frames, 0)
    head = b"RF64\xff\xff\xff\xffWAVE" + ds64 + fmt + b"data\xff\xff\xff\xff"
    mark = bytes(range(256)) * 64  # 16 KiB: 4096 frames

    def drain(fifo, copy):
        with open(fifo, "rb", buffering=0) as r, open(copy, "wb") as w:
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
    for side in "LR":
        fifo = os.path.join(work, "s%s.wav" % side)
        os.mkfifo(fifo)
        threads.append(threading.Thread(target=drain, args=(fifo, fifo + ".sparse")))
        threads[-1].start()
    start = time.perf_counter()
    with tempfile.NamedTemporaryFile("r") as report:
        p = subprocess.Popen([GNU_TIME, "-f", "%M", "-o", report.name, tool, "--as", "s.wav", "-"],
                             cwd=work, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        p.stdin.write(head)
        zero = bytes(1 << 20)
        at = 0
        for m in marks + [frames]:
            while at < m * 4:
                n = min(len(zero), m * 4 - at)
                p.stdin.write(zero[:n])
                at += n
            if m < frames:
                p.stdin.write(mark)
                at += len(mark)
        p.stdin.close()
        out = p.stdout.read()
        p.wait()
        report.seek(0)
        peak = int(report.read().split()[-1])
    for t in threads:
        t.join()
    wall = time.perf_counter() - start
    if out != b"done\n" or p.returncode != 0:
        sys.exit("tarnvell2 failed on the RF64 stream: %r" % out)
    left = bytes(b for k in range(0, len(mark), 4) for b in mark[k:k + 2])
    row = {"stream": "RF64, ds64 declared", "size_bytes": size, "wall_s": wall,
           "rate_mb_s": size / wall / 1e6, "peak_rss_kib": peak}
    path = os.path.join(work, "sL.wav.sparse")
    with open(path, "rb") as f:
        head_out = f.read(80)
        row["form"] = head_out[:4].decode()
        row["ds64_frames"] = struct.unpack_from("<Q", head_out, 36)[0]
        for m in marks:
            f.seek(80 + 2 * m)
            if f.read(len(left)) != left:
                sys.exit("the left output lacks the mark at frame %d" % m)
    try:
        import soundfile
        with soundfile.SoundFile(path) as sf:
            row["libsndfile_frames"] = sf.frames
            sf.seek(marks[1])
            row["libsndfile_mark"] = sf.read(4096, dtype="int16").tobytes() == left
    except ImportError:
        pass
    for name in os.listdir(work):
        os.unlink(os.path.join(work, name))
    return [row]


def plot(path, result_files):
    """One chart: each result file a panel, the median time of each tool against cp's."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    panels = []
    for name in result_files:
        with open(name) as f:
            rows = [r for r in json.load(f) if "ratio_to_cp" in r]
        for key in sorted({r.get("bits", 0) for r in rows}):
            chosen = [r for r in rows if r.get("bits", 0) == key]
            first = chosen[0]
            if "batch" in first:
                title = "%d sources of %g s" % (first["batch"], first["seconds"])
            else:
                title = "%d-bit, %s" % (key, first.get("title", os.path.basename(name)))
            panels.append((title, chosen))
    fig, axes = plt.subplots(len(panels), 1, figsize=(7, 1.0 + 0.45 * sum(
        len(p[1]) for p in panels)), squeeze=False)
    for ax, (title, chosen) in zip(axes[:, 0], panels):
        chosen = sorted(chosen, key=lambda r: r["ratio_to_cp"])
        labels = [r["tool"] for r in chosen]
        ratios = [r["ratio_to_cp"] for r in chosen]
        colours = ["tab:green" if t == "tarnvell2" else "tab:grey" if t in ("cp", "dd bs=256K")
                   else "tab:blue" for t in labels]
        ax.barh(labels, ratios, color=colours)
        ax.axvline(1.0, color="black", linewidth=0.8)
        ax.set_xscale("log")
        ax.set_title(title, fontsize=10, loc="left")
        for y, v in enumerate(ratios):
            ax.text(v, y, " %.2f" % v, va="center", fontsize=8)
    axes[-1, 0].set_xlabel("time against cp (median of the rounds; 1 = cp; log scale)")
    fig.tight_layout()
    fig.savefig(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", default="build/tarnvell2")
    parser.add_argument("--before", help="an earlier tarnvell2 binary, timed beside --tool")
    parser.add_argument("--cold", action="store_true",
                        help="evict the source from the page cache before every run")
    parser.add_argument("--memory-limit", help="run the commands in a memory cgroup, e.g. 256M")
    parser.add_argument("--size", default="1G", help="source size, e.g. 10M or 1G (default 1G)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--bits", default="16,24")
    parser.add_argument("--channels", type=int, default=2,
                        help="channels of the source (more than 2: tarnvell2 -a)")
    parser.add_argument("--format", choices=sorted(FORMATS),
                        help="samples other than 16/24-bit PCM (tarnvell2 -a)")
    parser.add_argument("--dir", help="work folder (default: a temporary one, removed after)")
    parser.add_argument("--csv")
    parser.add_argument("--json")
    parser.add_argument("--callgrind", action="store_true",
                        help="also count instructions per source byte (valgrind, 50 MiB)")
    parser.add_argument("--batch", type=int, help="time N short sources in one run instead")
    parser.add_argument("--seconds", type=float, default=1.0, help="length of a batch source")
    parser.add_argument("--rate", type=int, default=44100, help="sample rate of a batch source")
    parser.add_argument("--sync", action="store_true", help="also time tarnvell2 --sync")
    parser.add_argument("--verify", action="store_true", help="also time tarnvell2 --verify")
    parser.add_argument("--rf64-stream", help="pipe a stream of this size (e.g. 8G) that declares"
                        " it in a ds64, its outputs through FIFOs, and judge them")
    parser.add_argument("--stream", action="store_true",
                        help="also time the source piped to tarnvell2 -, and cat into a file")
    parser.add_argument("--only", help="time only these tools, e.g. tarnvell2,cp")
    parser.add_argument("--title", help="the chart's name for this run (--json)")
    parser.add_argument("--plot", help="draw the result files given as arguments to this SVG")
    parser.add_argument("results", nargs="*", help="result files (--json) for --plot")
    args = parser.parse_args()
    if args.plot:
        plot(args.plot, args.results)
        return
    global SYNC, STREAM, VERIFY
    SYNC = args.sync
    VERIFY = args.verify
    STREAM = args.stream
    if not os.path.exists(GNU_TIME):
        sys.exit("bench needs GNU time: apt-get install -y time")
    tool = os.path.abspath(args.tool)
    before = os.path.abspath(args.before) if args.before else None
    work = tempfile.mkdtemp(prefix="tarnvell2-bench-", dir=args.dir)
    cgroup = MemoryLimit(parse_size(args.memory_limit)) if args.memory_limit else None
    rows = []
    try:
        widths = [FORMATS[args.format][1]] if args.format else [int(b) for b in
                                                                 args.bits.split(",")]
        if args.rf64_stream:
            rows = rf64_stream(tool, work, parse_size(args.rf64_stream))
            widths = []
        for bits in [] if args.batch else widths:
            rows += bench_width(tool, before, work, parse_size(args.size), bits, args.rounds,
                                args.cold, cgroup, args.channels, args.format,
                                args.only and args.only.split(","))
            if args.callgrind:
                rows.append({"bits": rows[-1]["bits"], "tool": "tarnvell2 (callgrind)",
                             "instructions_per_byte": callgrind(tool, work, bits, args.channels,
                                                                args.format)})
        if args.batch:
            rows = bench_batch(tool, before, work, args.batch, args.seconds, args.rate,
                               args.rounds, args.only and args.only.split(","))
    finally:
        shutil.rmtree(work)
        if cgroup:
            cgroup.close()
    for r in rows:
        if args.title:
            r["title"] = args.title

    if args.rf64_stream:
        print(json.dumps(rows, indent=1))
        if args.json:
            with open(args.json, "w") as f:
                json.dump(rows, f, indent=1)
        return
    if args.batch:
        print("%d sources of %g s, %d rounds" % (args.batch, args.seconds, args.rounds))
        print("%-22s %9s %15s %7s %11s %9s" % ("tool", "wall s", "min-max s", "x cp",
                                               "sources/s", "peak KiB"))
        for r in rows:
            print("%-22s %9.3f %7.3f-%7.3f %7.2f %11.0f %9d" % (
                r["tool"], r["wall_s"], r["wall_min_s"], r["wall_max_s"], r["ratio_to_cp"],
                r["sources_per_s"], r["peak_rss_kib"]))
        if args.json:
            with open(args.json, "w") as f:
                json.dump(rows, f, indent=1)
        return

    print("%s, %s page cache%s, %d rounds" % (args.size, "cold" if args.cold else "warm",
                                             ", memory limit " + args.memory_limit
                                             if args.memory_limit else "", args.rounds))
    print("%-5s %-22s %9s %15s %7s %7s %7s %9s %9s" % (
        "bits", "tool", "wall s", "min-max s", "x cp", "user s", "sys s", "peak KiB",
        "disk MiB"))
    for r in rows:
        if "instructions_per_byte" in r:
            print("%-5s %-22s %.2f instructions per source byte" % (r["bits"], r["tool"],
                                                                    r["instructions_per_byte"]))
        else:
            print("%-5s %-22s %9.3f %7.3f-%7.3f %7.2f %7.3f %7.3f %9d %9.0f" % (
                r["bits"], r["tool"], r["wall_s"], r["wall_min_s"], r["wall_max_s"],
                r["ratio_to_cp"], r["user_s"], r["sys_s"], r["peak_rss_kib"],
                r["disk_read_mib"]))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    if args.csv:
        keys = ["bits", "tool", "size_bytes", "wall_s", "wall_min_s", "wall_max_s", "ratio_to_cp",
                "user_s", "sys_s", "peak_rss_kib", "disk_read_mib", "instructions_per_byte"]
        with open(args.csv, "w") as f:
            f.write(",".join(keys) + "\n")
            for r in rows:
                f.write(",".join(str(r.get(k, "")) for k in keys) + "\n")


if __name__ == "__main__":
    main()
