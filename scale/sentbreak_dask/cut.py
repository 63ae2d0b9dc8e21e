# SPDX-License-Identifier: MIT
"""Where a file may be cut, and how long its output is.

sentbreak writes one byte for each byte it reads, decided by that byte and
the one before it, then its final write: one byte, or two where the input
ends with a point and a whitespace byte. So after any byte that is not a
point, a run started there writes what the whole run writes there, and the
pieces' outputs, each but the last cut to its piece's length, join into the
whole run's output.
"""

POINTS = b".;!:"
SPACES = b"\0\t\n\r "
MIN_PIECE = 4096


def final(tail):
    """The length of the final write after an input whose last two bytes, or
    fewer for a shorter input, are tail."""
    ended = len(tail) == 2 and tail[0] in POINTS and tail[1] in SPACES
    return 2 if ended else 1


def cuts(pread, length, block):
    """Cuts an input of length bytes, read by pread(count, offset), into
    pieces of about block bytes, each starting after a byte that is not a
    point and none shorter than MIN_PIECE. Returns the (start, end) of each;
    raises EOFError if the input turns out shorter than length."""
    starts = [0]
    at = block
    while length - at >= MIN_PIECE:
        window = pread(MIN_PIECE, at - 1)
        if len(window) < MIN_PIECE:
            raise EOFError("shorter than %d bytes" % length)
        points = len(window) - len(window.lstrip(POINTS))
        at += points
        if points < len(window) and length - at >= MIN_PIECE:
            starts.append(at)
            at += block
    return list(zip(starts, starts[1:] + [length]))
