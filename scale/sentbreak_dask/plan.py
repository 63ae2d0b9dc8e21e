# SPDX-License-Identifier: MIT
"""How the files of a run make tasks: a file of more than one piece, one
larger than the block size, has a task for each; smaller files of a kind
go together, up to BATCH_FILES of them or BATCH_BYTES of text a task.
"""

from .program import Failure, reason

BATCH_BYTES = 8 << 20
BATCH_FILES = 64


def cut_file(f, block):
    """The pieces of the file f; counts them in f.pending."""
    cut = f.cut(block)
    f.pending = len(cut)
    return cut


def tasks_of(files, block, fail):
    """Yields the pieces of each task in turn, as it is needed; a file that
    cannot be cut is given to fail(file, why)."""
    batches = {}  # by kind of file: [pieces, bytes]
    for f in files:
        try:
            cut = cut_file(f, block)
        except (Failure, OSError) as e:
            fail(f, reason(e))
            continue
        if len(cut) > 1:
            yield from ([piece] for piece in cut)
            continue
        batch = batches.setdefault(type(f), [[], 0])
        if batch[0] and (batch[1] + f.weight > BATCH_BYTES
                         or len(batch[0]) == BATCH_FILES):
            yield batch[0]
            batch[:] = [[], 0]
        batch[0] += cut
        batch[1] += f.weight
    yield from (b for b, _ in batches.values() if b)
