# SPDX-License-Identifier: MIT
"""The .part- files that outputs are assembled in, and the directories that
a run makes for them.

Each output is assembled in a .part- file beside its target, named for this
host and process, writable by its owner until it is renamed into place with
the mode that the umask gives. A later run on the same host removes the
.part- files of runs that have ended. Directories that the run made and
left empty are removed at its end. No input file is ever replaced or
removed, whatever its name.
"""

import contextlib
import dataclasses
import errno
import os
import re
import socket
import tempfile

from .program import Failure, reason
from .worker import copy_range

PREFIX = ".part-%s-%d-" % (socket.gethostname(), os.getpid())
STALE = re.compile(r"\.part-(.*)-([0-9]+)-[a-z0-9_]{8}")  # as mkstemp names


def identity(st):
    return st.st_dev, st.st_ino


def sweep_stale(directory, inputs):
    """Removes the .part- files left in directory by runs on this host that
    have ended, but never one of inputs, the identity of each."""
    import psutil

    for name in os.listdir(directory):
        m = STALE.fullmatch(name)
        if not m or m.group(1) != socket.gethostname() or \
                psutil.pid_exists(int(m.group(2))):
            continue
        path = os.path.join(directory, name)
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

    def make_part(self, target):
        """Makes the .part- file for the output target; returns its path."""
        directory = os.path.dirname(target)
        self.makedirs(directory)
        if directory not in self.swept:
            self.swept.add(directory)
            sweep_stale(directory, self.inputs)
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

    def commit(self, part, target, length, fresh=False):
        """Renames part to target, if it has length bytes; fresh: a copy of
        it, since something may still write into part itself."""
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
            if self.is_input(target):
                raise OSError(errno.EEXIST, "its output %s is an input file"
                              % target)
            os.replace(part, target)
        except OSError:
            if fresh:
                self.remove(part)
            raise
        self.live.discard(part)

    def join(self, paths, lengths, part, target):
        """Renames the output of a piece, or those of several joined in
        order in part, to target, if each has its length."""
        if len(paths) == 1:
            self.commit(paths[0], target, lengths[0])
            return self.remove(part)
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
        self.commit(part, target, at)
        self.remove(*paths)

    def remove(self, *paths):
        """Removes each of paths that is there and is not an input."""
        for path in filter(None, paths):
            if not self.is_input(path):
                with contextlib.suppress(OSError):
                    os.unlink(path)
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
