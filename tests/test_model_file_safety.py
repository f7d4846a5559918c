"""Saving over an existing model file: a failed save leaves the old file as it was, and the
temporary file that makes this possible never outlives the call."""

from __future__ import annotations

import os
import stat
import struct
import subprocess
import textwrap
import zlib

import pytest
import quibrel
from conftest import both_orientations, random_interactions, run_python
from test_model_files import HEADER, LOAD, SAVE, file_body, parse, tiny

KEY = {"item": "cf", "user": "cf", "swing": "swing"}


def larger(kind, seed=1, long_list=False):
    """A model whose file is tens of kilobytes (random values compress poorly); with
    `long_list`, one whose content spans several of the writer's 1 MiB chunks."""
    ui, ii = both_orientations(random_interactions(150, 200, 0.5, seed=seed))
    consumed = {0: list(range(700_000)) if long_list else [1, 2]}
    if kind == "swing":
        return quibrel.Swing(5, 1.0, 10, 150, 200, ui, ii, consumed, 0.5)
    cls = quibrel.ItemCF if kind == "item" else quibrel.UserCF
    return cls("rating", 5, 150, 200, 1, ui, ii, consumed, 0.5)


def zlib_file(body: bytes) -> bytes:
    return HEADER + zlib.compress(body, 1, -15) + struct.pack("<II", zlib.crc32(body), len(body))


@pytest.fixture
def locked_dir(tmp_path):
    """A directory in which no file can be created, though its files stay writable."""
    d = tmp_path / "locked"
    d.mkdir()
    yield d  # the test fills it first, then calls lock(d)
    if os.geteuid() == 0:
        subprocess.run(["chattr", "-i", str(d)], check=False, capture_output=True)
    d.chmod(0o755)


def lock(d):
    # Root ignores permission bits; the immutable attribute stops it creating files too.
    if os.geteuid() == 0:
        out = subprocess.run(["chattr", "+i", str(d)], check=False, capture_output=True)
        if out.returncode != 0:
            pytest.skip(f"cannot make a directory immutable here: {out.stderr.strip()!r}")
    else:
        d.chmod(0o555)


@pytest.mark.parametrize("kind", ["item", "user", "swing"])
def test_saved_bytes_are_the_deflate_stream_of_the_body(kind, tmp_path):
    # The file is exactly what the gzip writer produced before saves went through a
    # temporary file, and saving twice gives the same bytes.
    SAVE[kind](tiny(kind), str(tmp_path), "a")
    SAVE[kind](tiny(kind), str(tmp_path), "a")
    SAVE[kind](tiny(kind), str(tmp_path), "b")
    raw = (tmp_path / "a.gz").read_bytes()
    assert raw == (tmp_path / "b.gz").read_bytes() == zlib_file(file_body(tmp_path / "a.gz"))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.gz", "b.gz"]


def test_save_failing_on_the_file_size_limit_keeps_the_old_file(tmp_path):
    for kind in SAVE:
        SAVE[kind](tiny(kind), str(tmp_path), kind)
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    code = textwrap.dedent(
        f"""
        import resource, signal, quibrel
        from test_model_file_safety import larger, SAVE, LOAD
        # Past the limit a write fails with EFBIG instead of the signal ending the process.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        for kind in SAVE:
            # The long model's chunks are compressed and written by a helper thread.
            for long_list in (False, True):
                try:
                    SAVE[kind](larger(kind, long_list=long_list), {str(tmp_path)!r}, kind)
                    print("saved")
                except OSError as e:
                    print(type(e).__name__, e)
                LOAD[kind]({str(tmp_path)!r}, kind)
        """
    )
    out = run_python(code, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    errors = [x for x in out.stdout.splitlines() if not x.startswith("Load `")]
    assert errors == ["OSError File too large (os error 27)"] * 6
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


def test_save_through_symbolic_links_replaces_the_linked_file(tmp_path, capfd):
    real, links = tmp_path / "real", tmp_path / "links"
    real.mkdir()
    links.mkdir()
    SAVE["item"](tiny("item"), str(real), "m")
    (real / "m.gz").chmod(0o640)
    (links / "hop.gz").symlink_to("../real/m.gz")  # relative, and a chain of two
    (links / "m.gz").symlink_to(links / "hop.gz")
    (links / "new.gz").symlink_to(real / "created.gz")  # dangling: names a file to create
    capfd.readouterr()

    SAVE["item"](larger("item"), str(links), "m")
    SAVE["swing"](tiny("swing"), str(links), "new")
    lines = capfd.readouterr().out.splitlines()
    assert lines == [
        f"Save `ItemCF` model to `{os.path.realpath(real / 'm.gz')}`",
        f"Save `Swing` model to `{os.path.realpath(real / 'created.gz')}`",
    ]
    assert all((links / n).is_symlink() for n in ("hop.gz", "m.gz", "new.gz"))
    assert sorted(p.name for p in real.iterdir()) == ["created.gz", "m.gz"]
    assert stat.S_IMODE((real / "m.gz").stat().st_mode) == 0o640
    assert parse(file_body(real / "m.gz"), "cf")["n_users"] == 150
    assert parse(file_body(real / "created.gz"), "swing")["top_k"] == 7


def test_new_file_mode_follows_the_umask_and_hard_links_are_kept(tmp_path):
    old = os.umask(0o027)
    try:
        SAVE["user"](tiny("user"), str(tmp_path), "u")
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "u.gz").stat().st_mode) == 0o640
    # A file with two names is written in place, so both names still show one file.
    os.link(tmp_path / "u.gz", tmp_path / "other.gz")
    SAVE["user"](larger("user"), str(tmp_path), "u")
    assert (tmp_path / "u.gz").read_bytes() == (tmp_path / "other.gz").read_bytes()
    assert os.path.samefile(tmp_path / "u.gz", tmp_path / "other.gz")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["other.gz", "u.gz"]


def test_locked_directory_falls_back_to_writing_in_place(locked_dir, tmp_path):
    SAVE["swing"](tiny("swing"), str(locked_dir), "s")
    SAVE["swing"](tiny("swing"), str(tmp_path), "reference")
    lock(locked_dir)
    quibrel.save_swing(larger("swing"), str(locked_dir), "s")
    assert parse(file_body(locked_dir / "s.gz"), "swing")["n_users"] == 150
    # Same bytes whichever way the file was written.
    quibrel.save_swing(tiny("swing"), str(locked_dir), "s")
    assert (locked_dir / "s.gz").read_bytes() == (tmp_path / "reference.gz").read_bytes()
    assert [p.name for p in locked_dir.iterdir()] == ["s.gz"]
    # A file that does not exist yet cannot be made there, with the error a plain create gives.
    try:
        os.close(os.open(locked_dir / "t.gz", os.O_WRONLY | os.O_CREAT, 0o666))
        pytest.fail("the directory accepted a new file")
    except OSError as e:
        expected = e
    with pytest.raises(type(expected)) as info:
        quibrel.save_swing(tiny("swing"), str(locked_dir), "t")
    assert str(info.value) == f"{expected.strerror} (os error {expected.errno})"


def test_load_after_every_kind_of_save(tmp_path):
    # The replacement path and repeated saves leave loadable files with the saved state.
    for kind in SAVE:
        for model in (tiny(kind), larger(kind), tiny(kind)):
            SAVE[kind](model, str(tmp_path), kind)
        first = parse(file_body(tmp_path / f"{kind}.gz"), KEY[kind])
        SAVE[kind](LOAD[kind](str(tmp_path), kind), str(tmp_path), kind)
        assert parse(file_body(tmp_path / f"{kind}.gz"), KEY[kind]) == first
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(f"{k}.gz" for k in SAVE)
