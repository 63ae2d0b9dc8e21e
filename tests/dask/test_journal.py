# SPDX-License-Identifier: MIT
"""The records that --update reads, in process: what makes an output stale,
and a journal that stays small and survives a torn line."""

import os

import pytest

from sentbreak_dask.journal import JOURNAL, Journal
from sentbreak_dask.worker import version_of


def same_size_times_back(path):
    st = os.stat(path)
    with open(path, "r+b") as f:
        f.write(f.read().upper())
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


def torn(d):
    with open(d / JOURNAL, "ab") as f:
        f.write(b'{"name": "out", "stam')


@pytest.mark.parametrize("then, fresh", [
    (lambda d: None, True),
    (lambda d: same_size_times_back(d / "out"), False),
    (lambda d: same_size_times_back(d / "in"), False),
    (lambda d: os.unlink(d / JOURNAL), False),
    (torn, True),
    (lambda d: (d / JOURNAL).write_bytes(b"\x00garbage\n"), False),
])
def test_what_makes_an_output_stale(tmp_path, sentbreak, then, fresh):
    (tmp_path / "in").write_bytes(b"In. Put.")
    (tmp_path / "out").write_bytes(b"Out. Put.")
    Journal(sentbreak).note_outputs([(str(tmp_path / "out"), version_of(
        os.stat(tmp_path / "in")))])
    then(tmp_path)
    assert Journal(sentbreak).up_to_date(str(tmp_path / "out"), version_of(
        os.stat(tmp_path / "in"))) == fresh


def test_a_journal_written_often_stays_small(tmp_path, sentbreak):
    (tmp_path / "out").write_bytes(b"Out.")
    journal, version = Journal(sentbreak), version_of(os.stat(tmp_path))
    for _ in range(1000):
        journal.note_outputs([(str(tmp_path / "out"), version)])
    assert len((tmp_path / JOURNAL).read_bytes().splitlines()) < 300
    assert Journal(sentbreak).up_to_date(str(tmp_path / "out"), version)
    assert sorted(os.listdir(tmp_path)) == [JOURNAL, "out"]
