#!/usr/bin/env python3
"""Writes examples/tones.wav: one second of 16-bit stereo at 44,100 Hz, a 440 Hz tone on the
left and a 660 Hz tone on the right, so that the two outputs of a split are easy to tell apart
by ear (or with `sox examples/tonesL.wav -n stat`)."""
import math
import os
import struct
import wave

RATE = 44100
path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tones.wav")
frames = b"".join(
    struct.pack("<hh", round(12000 * math.sin(2 * math.pi * 440 * k / RATE)),
                round(12000 * math.sin(2 * math.pi * 660 * k / RATE))) for k in range(RATE))
with wave.open(path, "wb") as w:
    w.setnchannels(2)
    w.setsampwidth(2)
    w.setframerate(RATE)
    w.writeframes(frames)
print(path)
