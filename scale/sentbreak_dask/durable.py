# SPDX-License-Identifier: MIT
"""Bringing files and directories to stable storage, as cheaply as a batch
allows: where a batch holds SYNCFS_AT files or more, one syncfs for each
file system that holds them stands for a sync of each file, as a journaling
file system makes one flush of either. A file system that cannot syncfs
has each file synced on its own.
"""

import contextlib
import ctypes
import errno
import os

SYNCFS_AT = 4  # files in a batch from which one syncfs is cheaper


def syncfs(fd):
    """Syncs the file system that holds the open file fd."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.syncfs(fd) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))


def sync_path(path, how=os.fdatasync, flags=os.O_RDONLY):
    fd = os.open(path, flags | os.O_CLOEXEC)
    try:
        how(fd)
    finally:
        os.close(fd)


def sync_files(paths):
    """Brings the bytes of each of paths to stable storage; returns the
    OSError of each path that could not be, by path."""
    failed, by_device = {}, {}
    if len(paths) >= SYNCFS_AT:
        for path in paths:
            with contextlib.suppress(OSError):
                by_device.setdefault(os.stat(path).st_dev, []).append(path)
        for group in by_device.values():
            try:
                sync_path(os.path.dirname(group[0]), syncfs)
            except OSError:  # each on its own, then
                continue
            paths = [p for p in paths if p not in set(group)]
    for path in paths:
        try:
            sync_path(path)
        except OSError as e:
            failed[path] = e
    return failed


def sync_directory(path):
    """Syncs the entries of the directory path, where its file system can."""
    try:
        sync_path(path, os.fsync, os.O_RDONLY | os.O_DIRECTORY)
    except OSError as e:
        if e.errno != errno.EINVAL:  # a file system that syncs them itself
            raise
