"""Recommender files whose engine member is written into the archive and read from it in place:
the archive against zipfile's own, files written before still loading, damage, and the two
private calls with hostile descriptors and ranges."""

from __future__ import annotations

import gzip
import io
import json
import os
import struct
import tempfile
import time
import zipfile
import zlib

import numpy as np
import pandas as pd
import pytest
import quibrel
from quibrel import _files, _native
from quibrel.recommenders import ItemCFRecommender, SwingRecommender, UserCFRecommender, load
from test_model_file_streams import big_body

CLASSES = [ItemCFRecommender, UserCFRecommender, SwingRecommender]
RNG = np.random.default_rng(5)
FRAME = pd.DataFrame(
    {"user": [f"u{u}" for u in RNG.integers(0, 50, 600)], "item": RNG.integers(0, 30, 600)}
)
USERS = sorted(set(FRAME.user))
SAVE = {
    "ItemCF": quibrel.save_item_cf,
    "UserCF": quibrel.save_user_cf,
    "Swing": quibrel.save_swing,
}


def saved_by_engine(model) -> bytes:
    """The file the engine's own save writes for `model`."""
    with tempfile.TemporaryDirectory() as tmp:
        _native.call(SAVE[type(model).__name__], (model, tmp, "m"), 0, True, None)
        with open(os.path.join(tmp, "m.gz"), "rb") as f:
            return f.read()


def save_as_before(rec, path, compression=zipfile.ZIP_STORED) -> None:
    """A file as quibrel wrote it before the engine's file went straight into the archive:
    saved by the engine on its own, then copied in by zipfile."""
    stamp = (1980, 1, 1, 0, 0, 0)
    with tempfile.TemporaryDirectory() as tmp, zipfile.ZipFile(path, "w", compression) as z:
        _native.call(SAVE[type(rec._model).__name__], (rec._model, tmp, "engine"), 0, True, None)
        engine = os.path.join(tmp, "engine.gz")
        os.utime(engine, (time.mktime((*stamp, 0, 0, -1)),) * 2)
        header = {"format": _files.FORMAT, "version": 1, "class": type(rec).__name__}
        header |= {"params": rec.get_params(), "approximate": rec._approximate}
        parts = {}
        for what, ids in (("user", rec._users.index), ("item", rec._items.index)):
            kind, parts[f"{what}_ids"] = _files._encode_ids(ids, what)
            header[f"{what}_ids"] = kind
        z.writestr(zipfile.ZipInfo("recommender.json", stamp), json.dumps(header))
        z.write(engine, "engine.gz")
        for what in ("user", "item"):
            z.writestr(f"{what}_ids.{header[f'{what}_ids']}", parts[f"{what}_ids"])
        z.writestr("popularity.npy", _files._npy(rec._popularity))


def zipfile_twin(path) -> bytes:
    """What zipfile writes for the members of `path`, dated and moded as quibrel's."""
    out = io.BytesIO()
    with zipfile.ZipFile(path) as src, zipfile.ZipFile(out, "w") as z:
        for member in src.infolist():
            info = zipfile.ZipInfo(member.filename, (1980, 1, 1, 0, 0, 0))
            info.external_attr = 0o600 << 16
            if member.filename == "engine.gz":
                with z.open(info, "w", force_zip64=True) as dest:
                    dest.write(src.read(member))
            else:
                z.writestr(info, src.read(member))
    return out.getvalue()


def engine_range(path) -> tuple[int, int]:
    """(offset, length) of the engine member's bytes."""
    with zipfile.ZipFile(path) as z, open(path, "rb") as f:
        member = z.getinfo("engine.gz")
        return _files._data_offset(f.fileno(), member), member.compress_size


@pytest.mark.parametrize("cls", CLASSES)
def test_a_file_is_what_zipfile_writes_and_holds_the_engines_own_file(cls, tmp_path):
    rec = cls(num_threads=1).fit(FRAME)
    rec.save(tmp_path / "m")
    blob = (tmp_path / "m").read_bytes()
    assert blob == zipfile_twin(tmp_path / "m")
    with zipfile.ZipFile(tmp_path / "m") as z:
        assert z.testzip() is None
        assert [i.filename for i in z.infolist()][:2] == ["recommender.json", "engine.gz"]
        assert z.read("engine.gz") == saved_by_engine(rec._model)
    pd.testing.assert_frame_equal(load(tmp_path / "m").recommend(USERS), rec.recommend(USERS))


def test_the_zip64_fields_on_small_data(tmp_path, monkeypatch):
    # Every size and offset past the limit: the fields a member over 4 GiB needs.
    monkeypatch.setattr(_files, "_ZIP64_LIMIT", 100)
    monkeypatch.setattr(zipfile, "ZIP64_LIMIT", 100)
    rec = ItemCFRecommender(num_threads=1).fit(FRAME)
    rec.save(tmp_path / "m")
    blob = (tmp_path / "m").read_bytes()
    assert b"PK\x06\x06" in blob and b"PK\x06\x07" in blob  # zip64 end records
    assert blob == zipfile_twin(tmp_path / "m")
    entry = engine_entry(blob)
    assert struct.unpack("<LL", blob[entry + 20 : entry + 28]) == (2**32 - 1,) * 2
    monkeypatch.undo()  # read back by a zipfile with its usual limit
    with zipfile.ZipFile(tmp_path / "m") as z:
        assert z.testzip() is None
        assert z.getinfo("engine.gz").file_size == engine_range(tmp_path / "m")[1] > 100
        assert z.getinfo("popularity.npy").header_offset > 100
    pd.testing.assert_frame_equal(load(tmp_path / "m").recommend(USERS), rec.recommend(USERS))


def test_members_beyond_4_gib_of_offsets(tmp_path):
    # A hole of 5 GiB (no disk blocks) before the engine member: its offset, the later
    # members' and the directory's need the zip64 fields, and the member is read from there.
    rec = SwingRecommender(num_threads=1).fit(FRAME)
    rec.save(tmp_path / "small")
    with zipfile.ZipFile(tmp_path / "small") as z:
        parts = {name: z.read(name) for name in z.namelist()}
    fd = os.open(tmp_path / "big", os.O_RDWR | os.O_CREAT, 0o600)
    try:
        archive = _files._ArchiveWriter(fd)
        archive.add("recommender.json", parts["recommender.json"])
        os.lseek(fd, 5 << 30, os.SEEK_CUR)
        archive.add_written("engine.gz", lambda out: _native.write_engine(rec._model, out))
        for name in list(parts)[2:]:
            archive.add(name, parts[name])
        archive.finish()
    finally:
        os.close(fd)
    with zipfile.ZipFile(tmp_path / "big") as z:
        assert z.getinfo("popularity.npy").header_offset > 5 << 30
        assert {name: z.read(name) for name in z.namelist()} == parts
    pd.testing.assert_frame_equal(load(tmp_path / "big").recommend(USERS), rec.recommend(USERS))


@pytest.mark.parametrize("cls", CLASSES)
def test_files_written_before_still_load(cls, tmp_path, monkeypatch):
    rec = cls(num_threads=1).fit(FRAME)
    want = rec.recommend(USERS)
    save_as_before(rec, tmp_path / "stored")
    save_as_before(rec, tmp_path / "deflated", zipfile.ZIP_DEFLATED)
    read_in_place = _files._read_in_place
    seen = []
    monkeypatch.setattr(_files, "_read_in_place", lambda *a: seen.append(a) or read_in_place(*a))
    for name in ("stored", "deflated"):
        pd.testing.assert_frame_equal(load(tmp_path / name).recommend(USERS), want)
    assert len(seen) == 1  # the stored member read where it lies, the deflated one extracted


def damaged(blob: bytes, at: int) -> bytes:
    return blob[:at] + bytes([blob[at] ^ 0x40]) + blob[at + 1 :]


def engine_entry(blob: bytes) -> int:
    """Where the engine member's directory entry starts (the second entry)."""
    entry = blob.index(b"PK\x01\x02", blob.index(b"PK\x01\x02") + 1)
    assert blob[entry + 46 : entry + 55] == b"engine.gz"
    return entry


def with_member_size(blob: bytes, size: int) -> bytes:
    """The archive with the engine member's size in its directory entry changed."""
    entry = engine_entry(blob)
    return blob[: entry + 20] + struct.pack("<LL", size, size) + blob[entry + 28 :]


def test_damage_in_the_engine_member(tmp_path):
    path = tmp_path / "m"
    ItemCFRecommender(num_threads=1).fit(FRAME).save(path)
    blob = path.read_bytes()
    offset, length = engine_range(path)
    bad = {
        "gzip header": damaged(blob, offset),
        "deflate data": damaged(blob, offset + length // 2),
        "gzip trailer": damaged(blob, offset + length - 1),
        "member cut short": with_member_size(blob, length - 9),  # ends within the stream
        "member too long": with_member_size(blob, length + 20),  # runs into the next header
        "member past the end": with_member_size(blob, len(blob)),
    }
    for what, content in bad.items():
        path.write_bytes(content)
        with pytest.raises(ValueError, match="is a damaged quibrel recommender file") as e:
            load(path)
        assert "Bad CRC-32" in str(e.value) or "ends within" in str(e.value), what
    path.write_bytes(blob[: offset + length // 2])  # no directory left
    with pytest.raises(ValueError, match="not a quibrel recommender file"):
        load(path)


def test_a_member_stored_as_written_keeps_the_engines_verdict(tmp_path):
    path = tmp_path / "m"
    ItemCFRecommender(num_threads=1).fit(FRAME).save(path)
    with zipfile.ZipFile(path) as z:
        parts = {name: z.read(name) for name in z.namelist()}
    for engine, error in ((b"not gzip", OSError), (parts["engine.gz"] + b"more bytes", None)):
        with zipfile.ZipFile(path, "w") as z:
            for name, content in {**parts, "engine.gz": engine}.items():
                z.writestr(name, content)
        if error is None:  # bytes after the engine's stream are not used, as before
            assert load(path).n_items == 30
        else:
            with pytest.raises(error, match="invalid gzip header"):
                load(path)


@pytest.fixture(scope="module")
def large_engine(tmp_path_factory):
    """An ItemCF model whose file spans several writer chunks (inflated in parallel pieces)."""
    directory = tmp_path_factory.mktemp("large")
    (directory / "big.gz").write_bytes(gzip.compress(big_body(seed=2, n=700_000), 1))
    model = _native.call(quibrel.load_item_cf, (str(directory), "big"), 0, True, None)
    return model, saved_by_engine(model)


def test_write_and_read_engine_at_a_position(large_engine, tmp_path):
    small = ItemCFRecommender(num_threads=1).fit(FRAME)._model
    for model, engine in ((small, saved_by_engine(small)), large_engine):
        with open(tmp_path / "f", "w+b", buffering=0) as f:
            f.write(b"prefix!")
            assert _native.write_engine(model, f.fileno()) == (len(engine), zlib.crc32(engine))
            assert f.tell() == 7 + len(engine)
            f.write(b"suffix")
            assert (tmp_path / "f").read_bytes() == b"prefix!" + engine + b"suffix"
            copy, crc, n_users, n_items = _native.read_engine("ItemCF", f.fileno(), 7, len(engine))
            assert f.tell() == 13 + len(engine)  # read by position: the file's own stays
        assert crc == zlib.crc32(engine) and saved_by_engine(copy) == engine
        assert (n_users, n_items) == _files._engine_counts("ItemCF", write(tmp_path, engine))


def write(tmp_path, engine: bytes) -> str:
    (tmp_path / "e.gz").write_bytes(engine)
    return str(tmp_path / "e.gz")


def test_hostile_descriptors_and_ranges_raise(large_engine, tmp_path):
    model, engine = large_engine
    path = tmp_path / "f"
    path.write_bytes(b"prefix!" + engine)
    n = len(engine)
    with open(path, "rb") as f:
        fd = f.fileno()
        for offset, length, error, message in (
            (-1, n, OverflowError, "negative"),
            (7, -1, OverflowError, "negative"),
            (2**64, n, OverflowError, "too big"),
            (2**63, 1, ValueError, "beyond any file"),
            (2**62, 2**62, ValueError, "beyond any file"),
            (7 + n, n, OSError, "unexpected end of file"),  # at the end of the file
            (7, 0, OSError, "unexpected end of file"),
            (7, n - 1, OSError, "unexpected end of file"),  # the trailer cut
            (7, n // 2, OSError, "unexpected end of file"),  # within a later piece
            (7, n + 1, OSError, "unexpected end of file"),  # past the end of the file
            (8, n - 1, OSError, "invalid gzip header"),
            (0, n + 7, OSError, "invalid gzip header"),
        ):
            with pytest.raises(error, match=message):
                _native.read_engine("ItemCF", fd, offset, length)
        with pytest.raises(OSError):
            _native.read_engine("Swing", fd, 7, n)  # another record layout
        for kind, error in (("Nope", ValueError), (3, TypeError)):
            with pytest.raises(error):
                _native.read_engine(kind, fd, 7, n)
        with pytest.raises(OSError, match="Bad file descriptor"):
            _native.write_engine(model, fd)  # open for reading only
    with open(path, "wb") as f:
        closed = os.open(path, os.O_RDONLY)
        os.close(closed)
        for bad_fd in (-1, closed):
            with pytest.raises(OSError, match="Bad file descriptor"):
                _native.read_engine("ItemCF", bad_fd, 7, n)
            with pytest.raises(OSError, match="Bad file descriptor"):
                _native.write_engine(model, bad_fd)
        with pytest.raises(OSError, match="Bad file descriptor"):
            _native.read_engine("ItemCF", f.fileno(), 7, n)  # open for writing only
        with pytest.raises(TypeError, match="expected an ItemCF, UserCF or Swing model"):
            _native.write_engine(object(), f.fileno())
