# SPDX-License-Identifier: MIT
"""How the files of a run make tasks: a file larger than the block size is
cut into pieces of about that size, each a task of its own; smaller files
go together, up to BATCH_FILES of them or BATCH_BYTES a task.
"""

from .files import Piece
from .rule import cut_evenly

BATCH_BYTES = 8 << 20
BATCH_FILES = 64


def cut_file(f, block):
    """The pieces of the File f; counts them in f.pending."""
    cut = [Piece(f, s.start, s.end, s.end == f.size)
           for s in cut_evenly(0, f.size, block)]
    f.pending = len(cut)
    return cut


def tasks_of(files, block):
    """Yields the pieces of each task in turn, as it is needed."""
    batch, size = [], 0
    for f in files:
        if f.size > block:
            yield from ([piece] for piece in cut_file(f, block))
            continue
        if batch and (size + f.size > BATCH_BYTES
                      or len(batch) == BATCH_FILES):
            yield batch
            batch, size = [], 0
        batch += cut_file(f, block)
        size += f.size
    if batch:
        yield batch
