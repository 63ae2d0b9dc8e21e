# SPDX-License-Identifier: MIT
"""Where inputs and outputs are, in process: the walk, the targets and the
refusals; the .part- files, their mode, their commit and the sweep of those
that ended runs left."""

import os
import socket
import stat

import pytest

from sentbreak_dask.inputs import inputs
from sentbreak_dask.parts import Outputs
from sentbreak_dask.report import Refused, Report

HOST = socket.gethostname()


def build(top, names):
    for name in names:
        path = top / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(name)


def test_the_walk(tmp_path, capfd):
    top = tmp_path / "in"
    build(top, ["a", "sub/b", "sub/deeper/c"])
    (top / "link").symlink_to("a")
    (top / "dirlink").symlink_to("sub")
    os.mkfifo(top / "fifo")
    files, where = inputs(str(top), str(tmp_path / "out"), Report())
    assert [os.path.relpath(f.target, where) for f in files] == [
        "a", "sub/b", "sub/deeper/c"]
    said = capfd.readouterr().err.splitlines()
    assert [line.split(": ", 2)[1:] for line in said] == [
        [str(top / "dirlink"), "symbolic link, skipped"],
        [str(top / "fifo"), "not a regular file, skipped"],
        [str(top / "link"), "symbolic link, skipped"]]


@pytest.mark.parametrize("source, output, target, words", [
    ("in.txt", "out.txt", "out.txt", None),
    ("in.txt", "dir/", "dir/in.txt", None),
    ("in.txt", "existing", "existing/in.txt", None),
    ("in.txt", "in.txt", None, "is the output too"),
    ("in.txt", "./", None, "is the output too"),
    ("corpus", "corpus/sent", None, "lies inside INPUT"),
    ("corpus", "corpus/../corpus/x/y", None, "lies inside INPUT"),
    ("corpus", "in.txt", None, "not a directory"),
    ("corpus", "elsewhere", "elsewhere/a.txt", None),
    ("in.txt", "fifo", None, "is not a regular file"),
    ("two", "out", None, "is the output of"),
])
def test_targets(tmp_path, monkeypatch, source, output, target, words):
    monkeypatch.chdir(tmp_path)
    build(tmp_path, ["in.txt", "corpus/a.txt", "existing/.keep", "two/d1/x",
                     "two/d2/x", "out/d2/.keep"])
    os.mkfifo("fifo")
    os.symlink("d2", "out/d1")  # two outputs, one file
    if words:
        with pytest.raises(Refused) as e:
            inputs(source, output, Report())
        assert words in e.value.why
    else:
        [f], _ = inputs(source, output, Report())
        assert f.target == target


def test_parts_are_writable_until_they_take_the_mode_of_the_output(tmp_path):
    outputs = Outputs(0o444)
    umask = os.umask(0o222)
    try:
        part = outputs.make_part(str(tmp_path / "out"))
    finally:
        os.umask(umask)
    assert stat.S_IMODE(os.stat(part).st_mode) & 0o200
    with open(part, "wb") as f:
        f.write(b"five.")
    with pytest.raises(OSError):
        outputs.commit(part, str(tmp_path / "out"), 6)
    outputs.commit(part, str(tmp_path / "out"), 5)
    assert stat.S_IMODE(os.stat(tmp_path / "out").st_mode) == 0o444


def test_a_fresh_commit_leaves_a_writer_of_the_part_behind(tmp_path):
    outputs = Outputs(0o644)
    part = outputs.make_part(str(tmp_path / "out"))
    with open(part, "r+b") as late:
        late.write(b"five.")
        late.flush()
        outputs.commit(part, str(tmp_path / "out"), 5, fresh=True)
        late.seek(0)
        late.write(b"later")
    assert (tmp_path / "out").read_bytes() == b"five."
    assert os.listdir(tmp_path) == ["out"]


def test_no_input_is_replaced_or_removed(tmp_path):
    source = tmp_path / "in"
    source.write_text("kept")
    st = os.stat(source)
    outputs = Outputs(0o644, inputs={(st.st_dev, st.st_ino)})
    part = outputs.make_part(str(source))
    with pytest.raises(OSError):
        outputs.commit(part, str(source), 0)
    outputs.remove(part, str(source))
    assert source.read_text() == "kept" and not os.path.exists(part)


@pytest.mark.parametrize("name, is_input, swept", [
    (".part-%s-999999-abcdefgh" % HOST, False, True),  # a run that ended
    (".part-%s-999999-abcdefgh" % HOST, True, False),
    (".part-%s-%d-abcdefgh" % (HOST, os.getpid()), False, False),  # running
    (".part-otherhost-999999-abcdefgh", False, False),  # not ours to judge
    (".part-%s-999999-abc" % HOST, False, False),  # not as we name them
])
def test_the_sweep(tmp_path, name, is_input, swept):
    (tmp_path / name).write_text("x")
    st = os.stat(tmp_path / name)
    Outputs(0o644, inputs={(st.st_dev, st.st_ino)} if is_input else set()
            ).make_part(str(tmp_path / "out"))
    assert os.path.exists(tmp_path / name) != swept


@pytest.mark.parametrize("names, usable, left", [
    (["P", "P.pieces"], True, ["P", "P.pieces"]),  # a later run takes it
    (["P", "P.pieces"], False, []),
    (["P.pieces"], True, []),  # its part is gone
])
def test_the_sweep_of_recorded_parts(tmp_path, names, usable, left):
    part = ".part-%s-999999-abcdefgh" % HOST
    for name in names:
        (tmp_path / name.replace("P", part)).write_text("x")
    Outputs(0o644, usable=lambda p: usable).make_part(str(tmp_path / "out"))
    assert sorted(n for n in os.listdir(tmp_path) if "999999" in n) == [
        n.replace("P", part) for n in left]
