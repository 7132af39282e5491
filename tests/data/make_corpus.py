#!/usr/bin/env python3
"""Writes the malformed files of this folder, each named after what is wrong with it, and
corpus.txt, which says what the tool must answer for each: exit status and message. Files that
the fuzzer once found troublesome are kept here too (listed in corpus.txt, not made by this
script). Run it again after changing a case; tests/e2e/formats.py replays the list."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
DONE = (0, "done")
NOT_STEREO = (1, "The file you want to convert is not a stereo track!")
BAD_BITS = (1, "24 bit or 16 bit wave files only!")
NO_FORMAT = (2, "Can't find format chunk in wave file!")
NO_DATA = (2, "Can't find data block in wave file!")


def chunk(tag, body, size=None):
    return tag + struct.pack("<I", len(body) if size is None else size) + body


def fmt(channels=2, bits=16, rate=44100, align=None, size=16, tag=1, sub=1):
    align = channels * bits // 8 if align is None else align
    body = struct.pack("<HHIIHH", tag, channels, rate, rate * align & 0xFFFFFFFF, align & 0xFFFF,
                       bits)
    if size >= 40 and tag == 0xFFFE:  # the valid bits, a mask and the sub-format's GUID
        body += struct.pack("<HHIH", 22, bits, 3, sub) + bytes.fromhex("000000001000800000aa00389b71")
    return chunk(b"fmt ", body + bytes(size - len(body)))


def pad(tag, n, fill=b"\0"):
    """A chunk of n filler bytes, with its pad byte for an odd n."""
    return chunk(tag, fill * n) + (b"\0" if n % 2 else b"")


def riff(body, size=None, form=b"RIFF"):
    return form + struct.pack("<I", len(body) + 4 if size is None else size) + b"WAVE" + body


def ds64(data_size):
    return chunk(b"ds64", struct.pack("<QQQI", 0, data_size, 0, 0))


SAMPLES = bytes(range(16))
GOOD = riff(fmt() + chunk(b"data", SAMPLES))


def at(offset, tag, length, fill=b"\0"):
    """A raw file (no chunk walk) with a tag at an offset; a stereo 16-bit fmt at 2 if `tag`
    is data, else data at 2."""
    b = bytearray(fill * length)
    if tag == b"fmt ":
        b[2:6] = b"data"
    else:
        b[2:26] = fmt()[:24]
    b[offset:offset + 4] = tag
    if tag == b"fmt ":
        b[offset:offset + 24] = fmt()[:24]
    return bytes(b[:length])


CASES = [
    # name, content, (status, message)
    ("empty.wav", b"", NO_FORMAT + ("the file is empty",)),
    # What users meet most that is no WAVE file: a renamed MP3.
    ("mp3-renamed.wav", b"ID3\x04\x00\x00\x00\x00\x00\x00" + b"\xff\xfb\x90\x64" + bytes(400),
     NO_FORMAT + ("not a WAVE file: it begins as an MP3 file does",)),
    ("cut-in-riff-tag.wav", GOOD[:2], NO_FORMAT + (
     "no fmt chunk at an even offset from 2 to 15000",)),
    ("riff-header-only.wav", GOOD[:12], NO_FORMAT + (
     "no fmt chunk at an even offset from 2 to 15000, nor in the chunk list",)),
    ("cut-in-fmt-tag.wav", GOOD[:14], NO_FORMAT + (
     "no fmt chunk at an even offset from 2 to 15000, nor in the chunk list",)),
    ("cut-after-fmt-tag.wav", GOOD[:15], NOT_STEREO + (
     "its format chunk is cut off by the end of the file",)),
    ("cut-in-channels.wav", GOOD[:23], NOT_STEREO + (
     "its format chunk is cut off by the end of the file",)),
    ("cut-in-sample-rate.wav", GOOD[:26], BAD_BITS + (
     "its format chunk is cut off by the end of the file",)),
    ("cut-in-bits.wav", GOOD[:35], BAD_BITS + (
     "its format chunk is cut off by the end of the file",)),
    ("cut-in-data-tag.wav", GOOD[:38], NO_DATA + (
     "no data chunk at an even offset from 2 to 15000, nor in the chunk list",)),
    ("cut-in-data-size.wav", GOOD[:42], DONE),
    ("cut-in-first-frame.wav", GOOD[:46], DONE + (
     "2 bytes after the last whole frame not copied",)),
    ("cut-in-last-frame.wav", GOOD[:-1], DONE + ("3 bytes after the last whole frame not copied",)),
    ("channels-0.wav", riff(fmt(channels=0) + chunk(b"data", SAMPLES)), NOT_STEREO + (
     "has no channels",)),
    ("channels-1-bits-8.wav", riff(fmt(channels=1, bits=8) + chunk(b"data", SAMPLES)),
     NOT_STEREO + ("has one channel, nothing to split",)),
    ("channels-65535.wav", riff(fmt(channels=65535) + chunk(b"data", SAMPLES)), NOT_STEREO + (
     "has 65535 channels, and block align 65534 is not 65535 channels of 16 bits",)),
    ("bits-0.wav", riff(fmt(bits=0) + chunk(b"data", SAMPLES)), BAD_BITS + (
     "block align 0 is not a whole number of bytes for each of 2 channels",)),
    ("bits-8.wav", riff(fmt(bits=8) + chunk(b"data", SAMPLES)),
     BAD_BITS + ("8-bit samples; -a splits them",)),
    ("bits-32.wav", riff(fmt(bits=32) + chunk(b"data", SAMPLES)),
     BAD_BITS + ("32-bit samples; -a splits them",)),
    ("bits-65535.wav", riff(fmt(bits=65535) + chunk(b"data", SAMPLES)), BAD_BITS + (
     "block align 16383 is not 2 channels of 65535 bits",)),
    ("sample-rate-ffffffff.wav", riff(fmt(rate=0xFFFFFFFF) + chunk(b"data", SAMPLES)), DONE),
    ("riff-size-0.wav", riff(fmt() + chunk(b"data", SAMPLES), size=0), DONE),
    ("riff-size-ffffffff.wav", riff(fmt() + chunk(b"data", SAMPLES), size=0xFFFFFFFF), DONE),
    ("data-size-0.wav", riff(fmt() + chunk(b"data", SAMPLES, size=0)), DONE + (
     "the header declares no data size (a recording in progress?); split up to byte %d" % 60,)),
    ("data-size-ffffffff.wav", riff(fmt() + chunk(b"data", SAMPLES, size=0xFFFFFFFF)), DONE),
    ("data-size-past-end.wav", riff(fmt() + chunk(b"data", SAMPLES, size=1000)), DONE),
    ("data-size-odd-then-list.wav",
     riff(fmt() + chunk(b"data", SAMPLES[:13]) + b"\0" + chunk(b"LIST", b"INFO")), DONE + (
     "1 byte after the last whole frame not copied",)),
    ("data-size-ends-on-garbage.wav",
     riff(fmt() + chunk(b"data", SAMPLES, size=8)), DONE),
    ("chunk-size-overflows-32-bits.wav",
     riff(fmt() + chunk(b"LIST", b"INFOdata", size=0xFFFFFFF8) + chunk(b"data", SAMPLES)),
     DONE),
    ("chunk-size-ffffffff-before-data.wav",
     riff(fmt() + chunk(b"junk", b"", size=0xFFFFFFFF) + chunk(b"data", SAMPLES)), DONE),
    ("chunk-size-odd-without-pad.wav",
     riff(fmt() + chunk(b"note", b"abc") + chunk(b"data", SAMPLES)), NO_DATA + (
     "no data chunk at an even offset from 2 to 15000, nor in the chunk list",)),
    ("chunk-tag-unprintable.wav",
     riff(fmt() + chunk(b"\x01\x02\x03\x04", b"") + chunk(b"data", SAMPLES)), DONE),
    ("data-tag-only-inside-list.wav",
     riff(fmt() + chunk(b"LIST", b"INFOmetadata") + chunk(b"DATA", SAMPLES)), NO_DATA + (
     "no data chunk at an even offset from 2 to 15000, nor in the chunk list",)),
    ("fmt-tag-only-inside-list.wav",
     riff(chunk(b"LIST", b"INFO" + fmt()) + chunk(b"data", SAMPLES)), NO_FORMAT + (
     "no fmt chunk at an even offset from 2 to 15000, nor in the chunk list",)),
    ("data-tag-before-fmt.wav", riff(chunk(b"data", SAMPLES) + fmt()), DONE),
    ("data-tag-at-end.wav", GOOD[:36] + b"data", DONE),
    ("fmt-tag-at-odd-offset.wav", at(3, b"fmt ", 100), NO_FORMAT + (
     "no fmt chunk at an even offset from 2 to 15000",)),
    ("data-tag-at-odd-offset.wav", at(41, b"data", 100), NO_DATA + (
     "no data chunk at an even offset from 2 to 15000",)),
    ("data-tag-at-15000.wav", at(15000, b"data", 15100), DONE + ("the header declares no data size (a recording in progress?); split up to byte %d" % 15100,)),
    ("data-tag-at-15002.wav", at(15002, b"data", 15100), NO_DATA + (
     "no data chunk at an even offset from 2 to 15000",)),
    ("fmt-tag-at-15000.wav", at(15000, b"fmt ", 15100), DONE + (
     "the header declares no data size (a recording in progress?); split up to byte %d" % 15100, "2 bytes after the last whole frame not copied")),
    ("fmt-tag-at-15000-cut-in-bits.wav", at(15000, b"fmt ", 15023), BAD_BITS + (
     "its format chunk is cut off by the end of the file",)),
    ("fmt-tag-at-15002.wav", at(15002, b"fmt ", 15100), NO_FORMAT + (
     "no fmt chunk at an even offset from 2 to 15000",)),
    ("not-riff-at-all.wav", b"RIFX" + GOOD[4:], DONE),
    ("text-file.wav", b"This is not a sound file at all.\n" * 10, NO_FORMAT + (
     "not a WAVE file: it holds text",)),
    # Chunks past the searched head, laid out as real recorders write them.
    ("data-past-15000-pro-tools-elm1.wav",
     riff(pad(b"JUNK", 92) + pad(b"bext", 602) + fmt(bits=24, size=40) + pad(b"minf", 16) +
          pad(b"elm1", 15574) + chunk(b"data", SAMPLES * 3) + pad(b"regn", 92)), DONE),
    ("data-past-15000-zoom-f8-pad.wav",
     riff(pad(b"bext", 602) + pad(b"iXML", 5738, b" ") + fmt() + pad(b"PAD ", 124664) +
          chunk(b"data", SAMPLES)), DONE),
    ("data-past-15000-ffmpeg-20k-comment.wav",
     riff(fmt() + chunk(b"LIST", b"INFOICMT" + struct.pack("<I", 19988) + b"metadata " * 2220 +
                        b"xxxxxxxx") + chunk(b"data", SAMPLES)), DONE),
    ("fmt-past-15000.wav", riff(pad(b"JUNK", 16000) + fmt() + chunk(b"data", SAMPLES)), DONE),
    ("fmt-past-15000-mono.wav", riff(pad(b"JUNK", 16000) + fmt(channels=1) +
                                     chunk(b"data", SAMPLES)), NOT_STEREO + (
     "has one channel, nothing to split",)),
    ("data-past-15000-size-past-end.wav",
     riff(fmt() + pad(b"JUNK", 15500) + chunk(b"data", SAMPLES, size=100000)), DONE),
    ("data-past-15000-after-unprintable-tag.wav",
     riff(fmt() + pad(b"JUNK", 15500) + pad(b"\x01\x02\x03\x04", 4) +
          chunk(b"data", SAMPLES)), NO_DATA + (
     "no data chunk at an even offset from 2 to 15000, nor in the chunk list",)),
    ("data-past-15000-after-cut-header.wav",
     riff(fmt() + pad(b"JUNK", 15500) + chunk(b"LIST", b"INFO", size=999999) +
          chunk(b"data", SAMPLES)), NO_DATA + (
     "no data chunk at an even offset from 2 to 15000, nor in the chunk list",)),
    ("chain-of-small-chunks-then-data.wav",
     riff(fmt() + pad(b"junk", 0) * 2500 + chunk(b"data", SAMPLES)), DONE),
    ("chain-of-small-chunks-ends-in-cut-header.wav",
     riff(fmt() + pad(b"junk", 0) * 2500 + b"data\x10\x00"), NO_DATA + (
     "no data chunk at an even offset from 2 to 15000, nor in the chunk list",)),
    ("24-bit-in-4-byte-containers-arecord.wav",
     riff(fmt(bits=24, align=8) + chunk(b"data", SAMPLES * 2)), DONE),
    ("data-size-0-then-regn-umid-dgda-id3.wav",
     riff(pad(b"JUNK", 92) + pad(b"bext", 602) + fmt(bits=24, size=40) + pad(b"minf", 16) +
          chunk(b"data", b"") + pad(b"regn", 92) + pad(b"umid", 24) + pad(b"DGDA", 444) +
          pad(b"ID3 ", 1501)), DONE),
    ("rf64-ds64-size-then-list.wav",
     riff(ds64(16) + fmt() + chunk(b"data", SAMPLES, size=0xFFFFFFFF) + pad(b"LIST", 30),
          size=0xFFFFFFFF, form=b"RF64"), DONE),
    ("format-tag-wma-declaring-16-bits.wav",
     riff(fmt(tag=0x161) + chunk(b"data", SAMPLES)), BAD_BITS + ("format 0x0161 is not PCM",)),
    ("extensible-sub-format-adpcm.wav",
     riff(fmt(tag=0xFFFE, size=40, sub=2) + chunk(b"data", SAMPLES)),
     BAD_BITS + ("format 0xFFFE with sub-format 0x0002 is not PCM",)),
    ("extensible-sub-format-cut-off.wav", riff(fmt(tag=0xFFFE, size=40)[:40]),
     BAD_BITS + ("format 0xFFFE with an unknown sub-format is not PCM",)),
    ("extensible-too-short-for-a-sub-format.wav",
     riff(fmt(tag=0xFFFE, size=18, sub=3) + chunk(b"data", SAMPLES)), DONE),
    ("extensible-float-sub-format.wav",
     riff(fmt(tag=0xFFFE, size=40, sub=3, bits=32) + chunk(b"data", SAMPLES)),
     BAD_BITS + ("32-bit float samples; -a splits them",)),
    # Metadata layouts, for -m and the fuzzer (without -m they split as any other file).
    ("metadata-bext-ixml-cue-list-id3-peak.wav",
     riff(pad(b"bext", 602, b"b") + fmt() + pad(b"iXML", 0) + chunk(
         b"iXML", b"<TRACK_LIST><TRACK_COUNT>2</TRACK_COUNT><TRACK><INTERLEAVE_INDEX>1"
         b"</INTERLEAVE_INDEX></TRACK><TRACK><INTERLEAVE_INDEX>2</INTERLEAVE_INDEX></TRACK>"
         b"</TRACK_LIST> ") + chunk(b"PEAK", bytes(24)) + chunk(b"cue ", bytes(28)) +
          chunk(b"data", SAMPLES) + pad(b"LIST", 9, b"a") + pad(b"id3 ", 11, b"3")), DONE),
    ("metadata-ixml-track-without-interleave-index.wav",
     riff(fmt() + chunk(b"iXML", b"<TRACK_LIST><TRACK><NAME>A</NAME></TRACK></TRACK_LIST>") +
          chunk(b"data", SAMPLES)), DONE),
    ("odd-chunk-without-its-pad-byte-before-data.wav",
     riff(fmt() + chunk(b"LIST", b"INFOodd") + chunk(b"data", SAMPLES)), NO_DATA + (
     "no data chunk at an even offset from 2 to 15000, nor in the chunk list",)),
    ("metadata-chunk-cut-off-after-a-list.wav",
     riff(fmt() + chunk(b"data", SAMPLES) + chunk(b"LIST", b"INFO") +
          chunk(b"LIST", b"INFO", size=400)), DONE),
    ("metadata-peak-too-short-for-the-channels.wav",
     riff(fmt() + chunk(b"PEAK", bytes(16)) + chunk(b"data", SAMPLES)), DONE),
    ("bw64-data-past-15000.wav",
     riff(ds64(16) + fmt() + pad(b"JUNK", 15500) + chunk(b"data", SAMPLES, size=0xFFFFFFFF),
          size=0xFFFFFFFF, form=b"BW64"), DONE),
]


def main():
    with open(os.path.join(HERE, "corpus.txt"), "w") as listing:
        listing.write("# file\tstatus\tmessage\treasons on standard error, one line each, "
                      "separated by \" | \"\n")
        for name, content, (status, message, *reasons) in CASES:
            with open(os.path.join(HERE, name), "wb") as f:
                f.write(content)
            listing.write("%s\t%d\t%s\t%s\n" % (name, status, message, " | ".join(reasons)))


if __name__ == "__main__":
    main()
