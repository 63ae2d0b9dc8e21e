# SPDX-License-Identifier: MIT
"""The input files of a run, and where each one's output goes.

INPUT is a regular file, whose output is the file OUTPUT, or a directory,
each regular file under which has its output at the same relative path
under the directory OUTPUT. Symbolic links and files that are not regular
are skipped, one line each. A run whose outputs would land on its inputs,
or on files that are not regular, is refused before any work is done.
"""

import dataclasses
import os
import stat
import tempfile

from .worker import identity, reason


@dataclasses.dataclass(eq=False)
class File:
    """One input file, and the output being assembled for it."""
    source: str
    target: str
    ident: tuple  # the version of source that the run reads
    part: str = None  # the .part- file, once made
    left: int = 0  # pieces not yet done
    length: int = None  # the whole output's, once known
    failed: str = None  # why it failed, if it has
    done: bool = False  # renamed into place, or failed and removed

    @property
    def size(self):
        return self.ident[2]


def walk(top, output, report):
    """Lists a File for each regular file under top, with its output at the
    same place under output, a directory that is itself left out."""
    files = []
    for root, dirs, names in os.walk(
            top, onerror=lambda e: report.fail(e.filename, e.strerror)):
        links = [d for d in dirs if os.path.islink(os.path.join(root, d))]
        dirs[:] = sorted(d for d in dirs if d not in links and
                         os.path.realpath(os.path.join(root, d)) != output)
        for name in sorted(names + links):
            path = os.path.join(root, name)
            try:
                st = os.lstat(path)
            except OSError as e:  # gone since the directory was read
                report.fail(path, e.strerror)
                continue
            if stat.S_ISREG(st.st_mode):
                files.append(File(path, os.path.join(
                    output, os.path.relpath(path, top)), identity(st)))
            elif stat.S_ISLNK(st.st_mode):
                report.line(path, "symbolic link, skipped")
            else:
                report.line(path, "not a regular file, skipped")
    return files


def find(source, output, report):
    """Lists the Files of a run from source to output, and the directory
    that its outputs go under; or None, having said why it must not
    start."""
    if os.path.realpath(source) == os.path.realpath(output):
        return report.fail(source, "is the output too")
    try:
        st = os.stat(source)
    except OSError as e:
        return report.fail(source, e.strerror)
    if stat.S_ISDIR(st.st_mode):
        if os.path.lexists(output) and not os.path.isdir(output):
            return report.fail(output, "not a directory")
        return walk(source, os.path.realpath(output), report), output
    if not stat.S_ISREG(st.st_mode):
        return report.fail(source, "not a regular file")
    if os.path.isdir(output):
        return report.fail(output, "is a directory")
    return [File(source, output, identity(st))], os.path.dirname(output)


def inputs(source, output, report, outputs):
    """Finds the input files and their outputs, and makes sure that the
    outputs can be written. Returns the list of File, and the directory the
    outputs go under; or None if the run must not start."""
    found = find(source, output, report)
    if found is None:
        return None
    files, top = found
    outputs.inputs = {f.ident[:2] for f in files}
    for f in files:
        try:
            st = os.lstat(f.target)
        except OSError:
            continue
        if not stat.S_ISREG(st.st_mode):  # a device, say, not to be replaced
            return report.fail(f.source, "its output %s is not a regular "
                               "file" % f.target)
        if (st.st_dev, st.st_ino) in outputs.inputs:
            return report.fail(f.source, "its output %s is an input file"
                               % f.target)
    try:
        outputs.makedirs(top)
        tempfile.TemporaryFile(dir=top).close()
    except OSError as e:
        outputs.tidy()
        return report.fail(top, "cannot be written: %s" % reason(e))
    return files, top
