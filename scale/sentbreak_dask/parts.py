# SPDX-License-Identifier: MIT
"""The .part- files that outputs are assembled in, and the directories that
a run makes for them.

Each output is assembled in a .part- file beside its target, named for this
host and process, writable by its owner until it is renamed into place with
the mode that the umask gives. A later run on the same host removes the
.part- files of runs that have ended. Directories that the run made and
left empty are removed at its end. No input file is ever replaced or
removed, whatever its name.

An output's bytes reach stable storage before its name appears, and its
directory is synced after the rename: a run killed at any moment, or a
machine that loses power, leaves each output's name absent or holding the
whole output. Outputs are published in batches, synced together as the
durable module says. A .part- file that a record of finished pieces goes
with is kept by the sweep while a later run can still take it over.
"""

import contextlib
import dataclasses
import errno
import os
import re
import socket
import tempfile
from typing import NamedTuple

from .durable import sync_directory, sync_files
from .journal import PIECES
from .program import Failure, reason
from .worker import copy_range

PREFIX = ".part-%s-%d-" % (socket.gethostname(), os.getpid())
STALE = re.compile(r"\.part-(.*)-([0-9]+)-[a-z0-9_]{8}")  # as mkstemp names


class Ready(NamedTuple):
    """An output checked, waiting to be synced and renamed into place."""
    part: str
    target: str


def identity(st):
    return st.st_dev, st.st_ino


def stale_parts(directory):
    """The .part- files, and the records of .part- files, that runs on this
    host that have ended left in directory; each as the part's path."""
    import psutil

    found = set()
    for name in os.listdir(directory):
        part = name[:-len(PIECES)] if name.endswith(PIECES) else name
        m = STALE.fullmatch(part)
        if m and m.group(1) == socket.gethostname() and \
                not psutil.pid_exists(int(m.group(2))):
            found.add(os.path.join(directory, part))
    return sorted(found)


def sweep_stale(directory, inputs, usable=lambda part: False):
    """Removes the .part- files left in directory by runs on this host that
    have ended, with their records, unless usable(part) says that a later
    run can take it over; but never one of inputs, the identity of each."""
    for part in stale_parts(directory):
        if os.path.exists(part) and usable(part):
            continue
        for path in (part, part + PIECES):
            with contextlib.suppress(OSError):
                if identity(os.lstat(path)) not in inputs:
                    os.unlink(path)


@dataclasses.dataclass
class Outputs:
    """The .part- files and directories of one run."""
    mode: int  # of each output, as the umask leaves it
    inputs: set = dataclasses.field(default_factory=set)  # their identity
    made: list = dataclasses.field(default_factory=list)
    swept: set = dataclasses.field(default_factory=set)
    live: set = dataclasses.field(default_factory=set)
    usable: object = lambda part: False  # whether an ended run's part can
    # yet be taken over
    unsynced: set = dataclasses.field(default_factory=set)  # directories

    def makedirs(self, path):
        """Makes the directory path and those above it, as needed."""
        missing = []
        while not os.path.isdir(path):
            missing.append(path)
            path = os.path.dirname(path)
        for directory in reversed(missing):
            try:
                os.mkdir(directory)
            except FileExistsError:
                if not os.path.isdir(directory):
                    raise OSError(errno.ENOTDIR, "cannot make %s: not a "
                                  "directory" % directory) from None
                continue
            self.made.append(directory)
            self.unsynced.add(os.path.dirname(directory))

    def make_part(self, target):
        """Makes the .part- file for the output target; returns its path."""
        directory = os.path.dirname(target)
        self.makedirs(directory)
        if directory not in self.swept:
            self.swept.add(directory)
            sweep_stale(directory, self.inputs, self.usable)
        fd, part = tempfile.mkstemp(dir=directory, prefix=PREFIX)
        os.fchmod(fd, 0o600)  # whatever the umask: workers write into it
        os.close(fd)
        self.live.add(part)
        return part

    def is_input(self, path):
        try:
            return identity(os.lstat(path)) in self.inputs
        except OSError:
            return False

    def copy_of(self, part):
        """A new .part- file beside part, with its bytes; part is removed."""
        copy = self.make_part(part)
        try:
            with open(part, "rb") as src, open(copy, "r+b") as dst:
                copy_range(src.fileno(), 0, dst.fileno(), 0,
                           os.fstat(src.fileno()).st_size)
        except (OSError, Failure) as e:
            self.remove(copy)
            raise OSError(errno.EIO, reason(e)) from None
        self.remove(part)
        return copy

    def prepare(self, part, target, length, fresh=False):
        """Checks that part has length bytes, and gives it the mode of an
        output; returns its Ready, to be published. fresh: a copy of it,
        since something may still write into part itself."""
        if fresh:
            part = self.copy_of(part)
        try:
            # Opened, not only looked up, so that a network file system
            # looks at the file again.
            fd = os.open(part, os.O_RDONLY | os.O_CLOEXEC)
            try:
                got = os.fstat(fd).st_size
                if got != length:
                    raise OSError(errno.EIO, "its output is %d bytes, not %d"
                                  % (got, length))
                os.fchmod(fd, self.mode)
            finally:
                os.close(fd)
        except OSError:
            if fresh:
                self.remove(part)
            raise
        return Ready(part, target)

    def publish(self, batch):
        """Syncs the part of each Ready of batch, renames it to its target,
        then syncs the directories; returns the OSError of each that
        failed, by part, its part removed."""
        failed = sync_files([r.part for r in batch])
        for r in batch:
            if r.part not in failed:
                try:
                    if self.is_input(r.target):
                        raise OSError(errno.EEXIST, "its output %s is an "
                                      "input file" % r.target)
                    os.replace(r.part, r.target)
                except OSError as e:
                    failed[r.part] = e
            self.remove(r.part)  # or, renamed, its record
        dirs = {os.path.dirname(r.target) for r in batch
                if r.part not in failed} | self.unsynced
        self.unsynced = set()
        for directory in sorted(dirs, key=len, reverse=True):
            try:
                sync_directory(directory)
            except OSError as e:
                failed.update((r.part, e) for r in batch if r.part not in
                              failed and os.path.dirname(r.target) ==
                              directory)
        return failed

    def commit(self, part, target, length, fresh=False):
        """Renames part to target, if it has length bytes, once its bytes
        are on storage; fresh: as for prepare()."""
        ready = self.prepare(part, target, length, fresh)
        failed = self.publish([ready])
        if ready.part in failed:
            raise failed[ready.part]

    def sweep(self, target):
        """Sweeps the directory of target again."""
        with contextlib.suppress(OSError):
            sweep_stale(os.path.dirname(target), self.inputs,
                        self.usable)

    def stale_beside(self, target):
        """The .part- files that ended runs left beside target."""
        with contextlib.suppress(OSError):
            return stale_parts(os.path.dirname(target))
        return []

    def join(self, paths, lengths, part, target):
        """The output of a piece, or those of several joined in order in
        part, made ready to be published as target, if each has its length;
        returns its Ready."""
        if len(paths) == 1:
            ready = self.prepare(paths[0], target, lengths[0])
            self.remove(part)
            return ready
        fd = os.open(part, os.O_WRONLY | os.O_TRUNC | os.O_CLOEXEC)
        try:
            at = 0
            for path, length in zip(paths, lengths):
                src = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
                try:
                    if os.fstat(src).st_size != length:
                        raise OSError(errno.EIO, "the output of a piece is "
                                      "not %d bytes" % length)
                    copy_range(src, 0, fd, at, length)
                finally:
                    os.close(src)
                at += length
        except Failure as e:
            raise OSError(errno.EIO, reason(e)) from None
        finally:
            os.close(fd)
        ready = self.prepare(part, target, at)
        self.remove(*paths)
        return ready

    def remove(self, *paths):
        """Removes each of paths that is there and is not an input, and the
        record of each that is a .part- file."""
        for path in filter(None, paths):
            part = os.path.basename(path).startswith(".part-")
            for each in (path, path + PIECES) if part else (path,):
                if not self.is_input(each):
                    with contextlib.suppress(OSError):
                        os.unlink(each)
            self.live.discard(path)

    def remove_all(self):
        """Removes every .part- file of this run, and the directories it
        made."""
        self.remove(*self.live)
        self.remove_strays()
        self.remove_empty_dirs()

    def remove_strays(self):
        """Removes the files named as this run's .part- files that it does
        not know of: one made but not yet recorded, or made by a try that
        was given up."""
        for directory in self.swept:
            with contextlib.suppress(OSError):
                self.remove(*(os.path.join(directory, name)
                              for name in os.listdir(directory)
                              if name.startswith(PREFIX)))

    def remove_empty_dirs(self, keep=None):
        """Removes the directories this run made that are empty, but keep."""
        for directory in reversed(self.made):
            if directory != keep:
                with contextlib.suppress(OSError):
                    os.rmdir(directory)
