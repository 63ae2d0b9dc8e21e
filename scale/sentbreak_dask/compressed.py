# SPDX-License-Identifier: MIT
"""Compressed input files: the kind of File whose text is decoded on the
workers, and whose output is written in the same format.

Its parts are found here, before any is sent (formats.layout), and go
together into pieces of about the block size of text; a file whose parts
cannot be found is one piece. A piece never starts at a part that is known
to decode to nothing, nor spans two xz streams. Each piece's output is a
member, frame or stream of its own, in a file of its own; once all are in,
they are joined, in order, into the output.
"""

import dataclasses
import os
from typing import NamedTuple

from . import packed
from .plain import File, reading, write_into
from .formats import Part, format_of, layout, weight, xz_join
from .parts import PREFIX
from .program import Failure
from .worker import open_input, read_exactly

SENT_MOST = 256 << 20  # compressed bytes of a piece that is sent
# Text per compressed byte, at most, as each format can hold it, where a
# part does not say: for how long a piece may take.
MOST_TEXT = {"gzip": 1032, "zstd": 32768, "bzip2": 1 << 20}


def kind(compression):
    """A function that makes the File of an input, or, by its suffix where
    compression is "infer", a Packed one."""
    def make(source, target, version):
        fmt = format_of(source) if compression == "infer" else None
        if fmt is None:
            return File(source, target, version)
        return Packed(source, target, version, fmt=fmt)
    return make


@dataclasses.dataclass(eq=False)
class Packed(File):
    """A compressed input file, in format fmt."""
    fmt: str = None
    text: int = None  # the bytes of text it holds, known or estimated
    outputs: dict = dataclasses.field(default_factory=dict)  # by piece

    on_storage, pack_stored = packed.on_storage, packed.pack_stored
    on_bytes, pack_sent = packed.on_bytes, packed.pack_sent
    keeps_pieces = False  # each piece's output is a file of its own

    @property
    def weight(self):
        return self.size if self.text is None else self.text

    def parts(self):
        """Its Parts, read here from the file."""
        with open_input(self.source, self.version) as (fd, _):
            return layout(self.fmt, lambda at, n: os.pread(fd, n, at),
                          self.size)

    def cut(self, block):
        """Its pieces: runs of whole parts."""
        parts = self.parts()
        self.text = sum(weight(p) for p in parts)
        groups = group(self.fmt, parts, block)
        pieces, lead = [], None
        for i, g in enumerate(groups):
            joined = join(self.fmt, g)
            pieces.append(PackedPiece(
                self, joined.start, joined.end, i == len(groups) - 1, i,
                joined, lead))
            lead = next((p for p in reversed(g) if p.size != 0), lead)
        return pieces

    def runs(self, piece):
        text = piece.part.size
        if text is None:
            text = (piece.end - piece.start) * MOST_TEXT[self.fmt]
        return 2 + text // packed.WINDOW

    def stored_job(self, piece):
        return packed.StoredPackedJob(
            self.source, self.version, self.fmt, piece.part, piece.lead,
            piece.last, os.path.dirname(self.part), PREFIX)

    def sent_job(self, piece):
        lead = piece.lead
        size = piece.end - piece.start + (lead.end - lead.start if lead
                                          else 0)
        if size > SENT_MOST:
            raise Failure("its piece of %d compressed bytes is too large to "
                          "send; with --shared, the workers read it "
                          "themselves" % size)
        with reading(self, piece) as fd:
            return packed.SentPackedJob(
                self.fmt, piece.part, lead, piece.last,
                read_exactly(fd, piece.end - piece.start, piece.start),
                lead and read_exactly(fd, lead.end - lead.start, lead.start))

    def keep_sent(self, piece, result, outputs):
        path = outputs.make_part(self.target)
        self.outputs[piece.index] = Output(path, 0)
        write_into(path, result.data, 0)
        return result._replace(length=len(result.data), where=path)

    def take(self, piece, result):
        self.outputs[piece.index] = Output(result.where, result.length)
        return None

    def prepare(self, outputs):
        pieces = [self.outputs[i] for i in sorted(self.outputs)]
        return outputs.join([p.path for p in pieces],
                            [p.length for p in pieces], self.part,
                            self.target)

    def remove(self, outputs):
        outputs.remove(self.part, *(o.path for o in self.outputs.values()),
                       self.target)


class Output(NamedTuple):
    path: str  # the file that holds a piece's output
    length: int


class PackedPiece(NamedTuple):
    file: Packed
    start: int
    end: int
    last: bool  # the piece ends its file
    index: int  # of the piece in its file
    part: Part  # what it decodes
    lead: Part  # the part whose last byte comes before it, or None


def group(fmt, parts, block):
    """parts in runs of about block bytes of text; parts known to hold
    none go with the run before them, or, at the start, after them, and no
    run spans two xz streams."""
    runs, total = [], 0
    for p in parts:
        if not runs or fmt == "xz" and runs[-1][-1].end != p.start or \
                p.size != 0 and total and total + weight(p) > block:
            runs.append([])
            total = 0
        runs[-1].append(p)
        total += weight(p)
    return runs


def join(fmt, parts):
    """One Part for a run of parts."""
    if fmt == "xz":
        return xz_join(parts)
    sizes = [p.size for p in parts]
    return Part(parts[0].start, parts[-1].end,
                None if None in sizes else sum(sizes))
