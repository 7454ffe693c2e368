#!/usr/bin/env python3
"""Prints the expected values of the time-format conversions, computed with Python's own
integers and IEEE doubles, for tests/timeformat_test.cpp (an oracle independent of the C++)."""
import math

def trunc(v):
    if math.isnan(v) or math.isinf(v):
        return 0
    return int(v) & 0xFFFFFFFF

formats = [(44100, 16, 2, 4), (8000, 8, 1, 1), (22050, 8, 2, 2), (11025, 16, 1, 2), (48000, 16, 2, 4),
           (96000, 16, 2, 4), (7, 16, 1, 2), (8000, 12, 1, 2), (4294967295, 16, 2, 4), (0, 0, 0, 0)]
positions = [0, 1, 3, 7, 999, 1000, 176400, 0x7FFFFFFF, 0xFFFFFFFF, 24347]

for rate, bits, ch, align in formats:
    for p in positions:
        bytes_per_second = (rate * (bits // 8) * ch) & 0xFFFFFFFF
        from_ms = ((p * bytes_per_second) // 1000) & 0xFFFFFFFF
        from_ms_ex = trunc(p * (rate / 1000.0) * (bits / 8.0) * ch)
        from_samples = trunc(p * (bits / 8.0) * ch)
        d = float((rate * bits * ch) & 0xFFFFFFFF)
        to_ms = trunc((p / d) * 8000.0) if d else 0
        to_ms_ex = trunc(((p / d) * 8.0) * 1000.0) if d else 0
        to_samples = p // align if align else 0
        print("    {%du, %d, %d, %d, %uu, %uu, %uu, %uu, %uu, %uu, %uu}," %
              (rate, bits, ch, align, p, from_ms, from_ms_ex, from_samples, to_ms, to_ms_ex, to_samples))
