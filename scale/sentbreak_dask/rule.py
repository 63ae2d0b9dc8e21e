# SPDX-License-Identifier: MIT
"""What the recipe knows of sentbreak's output, and where it cuts files.

sentbreak writes one byte for each byte it reads: a whitespace byte right
after a point becomes a line feed, any other whitespace byte a space, and
every other byte itself. Then comes its final write: the whitespace byte
that ended the input after a point, given back, if there is one, and a
line feed. So output byte i is decided by input bytes i - 1 and i alone: a
piece may start anywhere, if its program reads the byte before the piece
too and the first byte of its output is dropped.
"""

import collections

POINTS = b".;!:"
SPACES = b"\0\t\n\r "

# The input that each worker's program is checked on before it gets work: a
# point before each whitespace byte, whitespace after other bytes, CR LF, a
# run of points, NUL, bytes that are neither, and every byte from 0x80 up;
# it ends with a break, so that the final write is two bytes.
PROBE = (b"sentbreak-dask probe. One;\ttwo:\nthree!\rfour.\0five six\tseven"
         b"\neight\rCR LF.\r\nA run... of points:. ?\x0b\0\0 "
         + bytes(range(0x80, 0x100)) + b" The end. ")


Span = collections.namedtuple("Span", "start end")


def final_length(end):
    """The length of the final write after an input whose last two bytes,
    or fewer for a shorter input, are end."""
    broke = len(end) == 2 and end[0] in POINTS and end[1] in SPACES
    return 2 if broke else 1


def expected_output(data):
    """What sentbreak writes for data, made here byte by byte: for the
    short inputs that programs are checked on."""
    out = bytearray(data)
    for i, c in enumerate(data):
        if c in SPACES:
            out[i] = 0x0a if i and data[i - 1] in POINTS else 0x20
    given_back = data[-1:] if final_length(data[-2:]) == 2 else b""
    return bytes(out) + given_back + b"\n"


def cut_evenly(start, end, most):
    """Cuts the bytes from start to end into spans of at most most bytes,
    as even as can be; an empty range is one empty span."""
    count = max(1, -(-(end - start) // most))
    cuts = [start + (end - start) * i // count for i in range(count + 1)]
    return [Span(a, b) for a, b in zip(cuts, cuts[1:])]
