#!/usr/bin/env python3
"""Writes zulincoming.wav, the new-message sound: a short two-note chime (16-bit mono PCM,
22050 Hz, about a third of a second). Run it again only to change the sound."""
import math
import os
import struct
import wave

RATE = 22050
NOTES = [(880.0, 0.00, 0.16), (1318.5, 0.11, 0.22)]  # frequency, start, length in seconds
LENGTH = 0.34
VOLUME = 0.45


def sample(t):
    value = 0.0
    for freq, start, length in NOTES:
        if start <= t < start + length:
            local = t - start
            attack = min(1.0, local / 0.005)
            decay = math.exp(-local * 14.0)
            # A touch of the octave makes it sound like a bell rather than a beep.
            tone = math.sin(2 * math.pi * freq * local) + 0.3 * math.sin(4 * math.pi * freq * local)
            value += attack * decay * tone / 1.3
    return max(-1.0, min(1.0, value * VOLUME))


def main():
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "zulincoming.wav")
    frames = bytearray()
    for i in range(int(RATE * LENGTH)):
        frames += struct.pack("<h", int(round(sample(i / RATE) * 32767)))
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


if __name__ == "__main__":
    main()
