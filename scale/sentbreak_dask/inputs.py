# SPDX-License-Identifier: MIT
"""The input files of a run, and where each one's output goes.

INPUT is a regular file, whose output is the file OUTPUT, or, where OUTPUT
ends in / or is a directory, the file of the same name in it. Or INPUT is a
directory: each regular file under it has its output at the same relative
path under the directory OUTPUT, which must not lie inside INPUT. Symbolic
links and files that are not regular are skipped, one line each. A run
whose outputs would land on its inputs, on each other, or on files that
are not regular, is refused before any work is done.
"""

import contextlib
import os
import stat

from .plain import File
from .parts import identity
from .program import reason
from .report import Refused
from .worker import version_of


def lies_in(path, dirs):
    """Whether path, or the nearest of the directories above it that is
    there, is one of dirs, by identity, whatever links or mounts lead to
    it."""
    path = os.path.realpath(path)
    while True:
        try:
            return identity(os.stat(path)) in dirs
        except OSError:
            if os.path.dirname(path) == path:
                return False
            path = os.path.dirname(path)


def walk(top, output, report, make):
    """A file made by make() for each regular file under top, with its
    output at the same place under output; and the identity of each
    directory walked."""
    files, walked = [], set()
    for root, dirs, names in os.walk(
            top, onerror=lambda e: report.fail(e.filename, reason(e))):
        with contextlib.suppress(OSError):
            walked.add(identity(os.stat(root)))
        links = [d for d in dirs if os.path.islink(os.path.join(root, d))]
        dirs[:] = sorted(set(dirs) - set(links))
        for name in sorted(names + links):
            path = os.path.join(root, name)
            try:
                st = os.lstat(path)
            except OSError as e:  # gone since the directory was read
                report.fail(path, reason(e))
                continue
            if stat.S_ISREG(st.st_mode):
                files.append(make(path, os.path.join(
                    output, os.path.relpath(path, top)), version_of(st)))
            elif stat.S_ISLNK(st.st_mode):
                report.say(path, "symbolic link, skipped")
            else:
                report.say(path, "not a regular file, skipped")
    return files, walked


def find_files(source, output, report, make):
    """The files of a run from source to output, each made by make(), and
    the directory that its outputs go under."""
    if os.path.realpath(source) == os.path.realpath(output):
        raise Refused(source, "is the output too")
    try:
        st = os.stat(source)
    except OSError as e:
        raise Refused(source, reason(e)) from None
    if stat.S_ISDIR(st.st_mode):
        if os.path.lexists(output) and not os.path.isdir(output):
            raise Refused(output, "not a directory")
        inside = Refused(output, "lies inside INPUT, whose files it would "
                         "overwrite")
        if lies_in(output, {identity(st)}):
            raise inside
        files, walked = walk(source, output, report, make)
        if lies_in(output, walked):  # through a mount of a directory in it
            raise inside
        return files, output
    if not stat.S_ISREG(st.st_mode):
        raise Refused(source, "not a regular file")
    if output.endswith("/") or os.path.isdir(output):
        output = os.path.join(output, os.path.basename(source))
        if os.path.realpath(source) == os.path.realpath(output):
            raise Refused(source, "is the output too")
    return [make(source, output, version_of(st))], os.path.dirname(output)


def inputs(source, output, report, make=File):
    """Finds the input files, each made by make(source, target, version),
    and checks where their outputs go. Returns the files, and the
    directory that the outputs go under."""
    files, top = find_files(source, output, report, make)
    ids = {(f.version.device, f.version.inode) for f in files}
    targets = {}
    for f in files:
        where = os.path.realpath(f.target)
        if where in targets:
            raise Refused(f.source, "its output %s is the output of %s too"
                          % (f.target, targets[where]))
        targets[where] = f.source
        try:
            st = os.lstat(f.target)
        except OSError:
            continue
        if not stat.S_ISREG(st.st_mode):  # a device, say, not to be replaced
            raise Refused(f.source, "its output %s is not a regular file"
                          % f.target)
        if identity(st) in ids:
            raise Refused(f.source, "its output %s is an input file"
                          % f.target)
    return files, top
