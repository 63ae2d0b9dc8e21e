# SPDX-License-Identifier: MIT
"""What a run records beside its outputs, so that a later run with --update
can tell an output that is up to date, and take up the finished pieces of
a big file that a run left behind when it was killed.

An output's record is a line of the journal, .sentbreak-dask.journal, in
the output's directory, appended once the output is renamed into place and
the directory synced. It holds the Stamp of what the output was made from,
and the output as this machine saw it then: size, modification and change
time to the nanosecond, and inode. An output is up to date while its
record's Stamp is the run's and the output is still as recorded; a user's
edit changes its change time, whatever is done to the rest. The device
number is left out everywhere: it differs between the mounts of one
network file system, and may change with a reboot.

A file cut into pieces has a record beside its .part- file, the part's
name with .pieces added: a first line with the Stamp and the output's
name, then a line for each piece whose output has been synced into the
part, keyed by the piece's start and end in the input and the length of
its output. A run with --update takes over such a part, left by an ended
run on this host for the same output and Stamp, by renaming it and its
record to names of its own, and runs only the pieces not recorded.

A record lost, torn or stale only makes a file run again: every line is
checked, and an output that is not as recorded is never skipped.
"""

import contextlib
import hashlib
import json
import os
import shutil
import tempfile
from typing import NamedTuple

from . import __version__
from .worker import version_of

JOURNAL = ".sentbreak-dask.journal"
PIECES = ".pieces"  # the suffix of a part's record
COMPACT_AFTER = 256  # lines a journal may hold beyond twice its records


class Stamp(NamedTuple):
    """What an output is made from; a change to any of it makes the output
    stale."""
    size: int
    mtime_ns: int
    ctime_ns: int
    inode: int
    program: str  # --sentbreak as given, and a hash of the file it names
    recipe: str
    compression: str


class Done(NamedTuple):
    """A piece whose output is in its part, synced."""
    start: int
    end: int
    length: int


def program_id(program):
    """The program as given, and the SHA-256 of the file that it names on
    this machine, where there is one."""
    digest = hashlib.sha256()
    try:
        with open(shutil.which(program) or program, "rb") as f:
            while chunk := f.read(1 << 20):
                digest.update(chunk)
    except (OSError, TypeError):
        return program
    return "%s sha256:%s" % (program, digest.hexdigest())


def seen(st):
    """An output as a record keeps it."""
    return [st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_ino]


def append_synced(path, lines):
    """Appends lines to the file path, each in one write, and syncs it."""
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC,
                 0o666)
    try:
        for line in lines:
            os.write(fd, (json.dumps(line) + "\n").encode())
        os.fdatasync(fd)
    finally:
        os.close(fd)


def read_lines(path):
    """The lines of a record that parse; a torn one is left out."""
    lines = []
    with contextlib.suppress(OSError), open(path, "rb") as f:
        for raw in f:
            with contextlib.suppress(ValueError):
                lines.append(json.loads(raw))
    return lines


class Journal:
    """The records of one run: compression is the setting that decides
    the format of its outputs."""

    def __init__(self, program, compression="none"):
        self.program = program_id(program)
        self.compression = compression
        self.journals = {}  # by directory: {name: record}
        self.lines = {}  # by directory: how many its journal holds
        self.blocked = set()  # directories where an output takes its name

    def keep_out(self, targets):
        """Keeps records out of each directory where one of targets is
        named as the journal is."""
        self.blocked |= {os.path.dirname(t) for t in targets
                         if os.path.basename(t) == JOURNAL}

    def stamp(self, version):
        return Stamp(version.size, version.mtime_ns, version.ctime_ns,
                     version.inode, self.program, __version__,
                     self.compression)

    def records(self, directory):
        if directory in self.blocked:
            return {}
        if directory not in self.journals:
            lines = read_lines(os.path.join(directory, JOURNAL))
            self.lines[directory] = len(lines)
            self.journals[directory] = {
                r["name"]: r for r in lines
                if isinstance(r, dict) and "name" in r}
        return self.journals[directory]

    def write(self, directory, batch):
        """Appends batch to the journal of directory; one that has grown to
        more than twice its records is written anew instead."""
        path = os.path.join(directory, JOURNAL)
        self.lines[directory] += len(batch)
        kept = self.journals[directory]
        if self.lines[directory] <= 2 * len(kept) + COMPACT_AFTER:
            return append_synced(path, batch)
        fd, new = tempfile.mkstemp(dir=directory, prefix=JOURNAL)
        os.close(fd)
        try:
            append_synced(new, list(kept.values()))
            os.chmod(new, 0o644)
            os.replace(new, path)
        finally:
            with contextlib.suppress(OSError):
                os.unlink(new)
        self.lines[directory] = len(kept)

    def up_to_date(self, target, version):
        """Whether the output target is as recorded, made from version."""
        record = self.records(os.path.dirname(target)).get(
            os.path.basename(target))
        try:
            st = os.lstat(target)
        except OSError:
            return False
        return record is not None and \
            record.get("stamp") == list(self.stamp(version)) and \
            record.get("output") == seen(st)

    def note_outputs(self, committed):
        """Records each output of committed, (target, version) pairs just
        renamed into place; an OSError leaves them to run again."""
        lines = {}
        for target, version in committed:
            directory, name = os.path.split(target)
            if directory in self.blocked:
                continue
            record = {"name": name, "stamp": list(self.stamp(version)),
                      "output": seen(os.lstat(target))}
            lines.setdefault(directory, []).append(record)
            self.records(directory)[name] = record
        for directory, batch in lines.items():
            self.write(directory, batch)

    def start_pieces(self, part, target, source, version):
        """Begins the record of part, the .part- file of target, whose input
        is source."""
        append_synced(part + PIECES, [{"name": os.path.basename(target),
                                       "source": source,
                                       "stamp": list(self.stamp(version))}])

    def note_piece(self, part, done):
        """Records the piece done, once part holds its output on storage."""
        fd = os.open(part, os.O_RDONLY | os.O_CLOEXEC)
        try:
            os.fdatasync(fd)
        finally:
            os.close(fd)
        append_synced(part + PIECES, [list(done)])

    def adopt(self, target, version, parts, prefix):
        """Takes over a part that an ended run left for target, of the same
        Stamp; returns its new path and its Done pieces, or None. parts:
        the paths of the ended runs' .part- files beside target."""
        for part in parts:
            done = pieces_of(part)
            if done is None or done[0] != (os.path.basename(target),
                                           list(self.stamp(version))):
                continue
            fd, mine = tempfile.mkstemp(dir=os.path.dirname(target),
                                        prefix=prefix)
            os.close(fd)
            try:
                os.rename(part + PIECES, mine + PIECES)  # claims it
                os.rename(part, mine)
            except OSError:
                for path in (mine, mine + PIECES):
                    with contextlib.suppress(OSError):
                        os.unlink(path)
                continue
            return mine, {(d.start, d.end): d for d in done[1]}
        return None

    def still_usable(self, part):
        """Whether an ended run's part may yet be taken over by a run like
        this one: its record is whole, its input as recorded, and its
        output not made since."""
        done = pieces_of(part)
        if done is None:
            return False
        (name, stamp), _, source = done
        try:
            st = os.stat(source)
        except (OSError, TypeError, ValueError):
            return False
        if stamp != list(self.stamp(version_of(st))) or \
                not isinstance(name, str):
            return False
        record = self.records(os.path.dirname(part)).get(name)
        target = os.path.join(os.path.dirname(part), name)
        return not (record and record.get("stamp") == stamp
                    and self.output_as_recorded(target, record))

    @staticmethod
    def output_as_recorded(target, record):
        try:
            return record.get("output") == seen(os.lstat(target))
        except OSError:
            return False


def pieces_of(part):
    """The record of part: ((name, stamp), [Done], source), or None where
    it has none, or none that can be read."""
    lines = read_lines(part + PIECES)
    if not lines or not isinstance(lines[0], dict):
        return None
    head = lines[0]
    done = []
    for line in lines[1:]:
        with contextlib.suppress(TypeError, ValueError):
            done.append(Done(*map(int, line)))
    return (head.get("name"), head.get("stamp")), done, head.get("source")
