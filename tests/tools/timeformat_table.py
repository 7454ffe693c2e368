#!/usr/bin/env python3
"""Prints the expected values of the time-format conversions, computed with Python's own
integers and IEEE doubles, for tests/timeformat_test.cpp (an oracle independent of the C++):
one row per format, each column a conversion at the ten positions of the test. The Ex forms'
columns follow only where they differ from the plain forms'."""
import math

def trunc(v):
    if math.isnan(v) or math.isinf(v):
        return 0
    return int(v) & 0xFFFFFFFF

formats = [(44100, 16, 2, 4), (8000, 8, 1, 1), (22050, 8, 2, 2), (11025, 16, 1, 2), (48000, 16, 2, 4),
           (96000, 16, 2, 4), (7, 16, 1, 2), (8000, 12, 1, 2), (4294967295, 16, 2, 4), (0, 0, 0, 0)]
positions = [0, 1, 3, 7, 999, 1000, 176400, 0x7FFFFFFF, 0xFFFFFFFF, 24347]

for rate, bits, ch, align in formats:
    columns = [[] for _ in range(6)]
    for p in positions:
        bytes_per_second = (rate * (bits // 8) * ch) & 0xFFFFFFFF
        d = float((rate * bits * ch) & 0xFFFFFFFF)
        values = (((p * bytes_per_second) // 1000) & 0xFFFFFFFF,         # from ms
                  trunc(p * (bits / 8.0) * ch),                          # from samples
                  trunc((p / d) * 8000.0) if d else 0,                   # to ms
                  p // align if align else 0,                            # to samples
                  trunc(p * (rate / 1000.0) * (bits / 8.0) * ch),        # from ms, Ex
                  trunc(((p / d) * 8.0) * 1000.0) if d else 0)           # to ms, Ex
        for column, v in zip(columns, values):
            column.append(v)
    rows = columns[:4]
    if columns[5] != columns[2]:
        rows += [columns[4] if columns[4] != columns[0] else [], columns[5]]
    elif columns[4] != columns[0]:
        rows.append(columns[4])
    print("    {%d, %d, %d, %d," % (rate, bits, ch, align))
    for i, column in enumerate(rows):
        print("     {%s}%s" % (", ".join(str(v) for v in column), "}," if i == len(rows) - 1 else ","))
