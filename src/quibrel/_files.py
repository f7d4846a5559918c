"""Recommender files: the engine's model file, the id maps and the settings in one zip archive.

Layout (format version 1), every member stored uncompressed (the engine's file is already gzip):
  recommender.json   format name and version, the class, its settings, how the ids are stored
  engine.gz          the engine's own model file
  user_ids.*, item_ids.*   raw ids in dense-id order (.npy for homogeneous numbers or strings,
                     .json with typed values for mixed ids)
  popularity.npy     interaction count per item (the "popular" fallback)
The engine's file is written straight into the archive and read straight from it (by its
offset), so a recommender file costs what the engine's own file does.
The header's "truncated" (written only when set) is k for a recommender whose lists hold only
their first k entries (quibrel.dask.fit with keep=k).
Nothing is unpickled on load: a file can only hold data.
"""

from __future__ import annotations

import contextlib
import gzip
import io
import json
import os
import shutil
import struct
import tempfile
import zipfile
import zlib
from collections.abc import Callable, Mapping
from typing import Any, ClassVar, NamedTuple, Protocol, TypeVar

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _native
from ._ids import IdMap
from .quibrel import load_item_cf, load_swing, load_user_cf


class Stored(Protocol):
    """What a recommender file holds of a recommender: its settings, id maps, item counts,
    the state flags and the engine model."""

    _engine_class: ClassVar[str]
    _users: IdMap
    _items: IdMap
    _popularity: npt.NDArray[np.int64]
    _approximate: bool
    _truncated: int | None
    _model: Any

    def get_params(self) -> dict[str, Any]: ...


_S = TypeVar("_S", bound=Stored)

FORMAT = "quibrel-recommender"
VERSION = 1

_LOAD = {"ItemCF": load_item_cf, "UserCF": load_user_cf, "Swing": load_swing}


def _quiet(function: Any, *args: Any) -> Any:
    return _native.call(function, args, 0, True, None)


def engine_bytes(model: Any) -> bytes:
    """The engine's model file of `model`, as bytes."""
    with tempfile.TemporaryFile(prefix="quibrel-") as f:
        _native.write_engine(model, f.fileno())
        f.seek(0)
        return f.read()


def engine_from_bytes(kind: str, blob: bytes) -> Any:
    with tempfile.TemporaryFile(prefix="quibrel-") as f:
        f.write(blob)
        f.flush()
        return _native.read_engine(kind, f.fileno(), 0, len(blob))[0]


# ---- ids --------------------------------------------------------------------------------

_TAGS: dict[type, str] = {bool: "bool", int: "int", float: "float", str: "str"}


def _encode_ids(index: pd.Index, what: str) -> tuple[str, bytes]:
    # Only numpy dtypes: pandas' own (the str dtype of pandas 3, nullable integers) hold
    # objects, and "" would be found in any string.
    if isinstance(index.dtype, np.dtype) and index.dtype.kind in ("b", "i", "u", "f"):
        return "npy", _npy(index.to_numpy())
    values = index.to_numpy(dtype=object)
    if all(type(v) is str for v in values):
        return "npy", _npy(np.asarray(values, dtype=str))
    encoded = []
    for v in values:
        plain = v.item() if isinstance(v, np.generic) else v
        tag = _TAGS.get(type(plain))
        if tag is None:
            raise TypeError(
                f"{what} id {v!r} of type {type(v).__name__} cannot be written to a recommender "
                "file (ids of type int, float, str and bool can); pickle the recommender instead"
            )
        encoded.append([tag, plain])
    return "json", json.dumps(encoded).encode()


def _decode_ids(kind: str, blob: bytes) -> pd.Index:
    if kind == "npy":
        ids: pd.Index = pd.Index(np.load(io.BytesIO(blob), allow_pickle=False), tupleize_cols=False)
        return ids
    decode = {"bool": bool, "int": int, "float": float, "str": str}
    mixed: pd.Index = pd.Index([decode[tag](v) for tag, v in json.loads(blob)], dtype=object)
    return mixed


def _npy(array: npt.NDArray[Any]) -> bytes:
    out = io.BytesIO()
    np.save(out, array, allow_pickle=False)
    return out.getvalue()


# ---- save and load ----------------------------------------------------------------------

# ---- the archive ------------------------------------------------------------------------
# Written here rather than by zipfile so that the engine's file can go straight into it. The
# bytes are those zipfile writes for the same members (stored, dated 1980-01-01, mode 0600, the
# engine's member opened with force_zip64 since its size is not known until it is written), so
# zipfile and other zip readers take them and one recommender always gives the same bytes.

_LOCAL = struct.Struct("<4s2B4HL2L2H")
_CENTRAL = struct.Struct("<4s4B4HL2L5H2L")
_END = struct.Struct("<4s4H2LH")
_END64 = struct.Struct("<4sQ2H2L4Q")
_LOCATOR64 = struct.Struct("<4sLQL")
_SIZES64 = struct.Struct("<HHQQ")  # the zip64 field of a local header: both sizes
# zipfile's limit: sizes and offsets beyond it go into zip64 fields.
_ZIP64_LIMIT = (1 << 31) - 1
_VERSION = 20
_ZIP64_VERSION = 45
_UNIX = 3
_DOS_DATE = 1 << 5 | 1  # 1980-01-01; the time of day is 0
_MODE = 0o600 << 16
_PIECE = 1 << 20


class _Entry(NamedTuple):
    name: bytes
    offset: int  # of the local header
    crc: int
    size: int
    version: int  # needed to extract, as the local header says


def _local_header(name: bytes, crc: int, size: int, zip64: bool) -> bytes:
    if zip64:
        extra = _SIZES64.pack(1, _SIZES64.size - 4, size, size)
        version, stated = _ZIP64_VERSION, 0xFFFFFFFF
    else:
        extra, version, stated = b"", _VERSION, size
    return (
        _LOCAL.pack(b"PK\x03\x04", version, 0, 0, zipfile.ZIP_STORED, 0, _DOS_DATE, crc, stated,
                    stated, len(name), len(extra))
        + name
        + extra
    )  # fmt: skip


def _central_entry(e: _Entry) -> bytes:
    wide = []  # the values that do not fit their 32-bit fields, in the order zip64 keeps them
    size = offset = 0xFFFFFFFF
    if e.size > _ZIP64_LIMIT:
        wide += [e.size, e.size]
    else:
        size = e.size
    if e.offset > _ZIP64_LIMIT:
        wide.append(e.offset)
    else:
        offset = e.offset
    extra = struct.pack(f"<HH{len(wide)}Q", 1, 8 * len(wide), *wide) if wide else b""
    version = max(e.version, _ZIP64_VERSION if wide else 0)
    return (
        _CENTRAL.pack(b"PK\x01\x02", version, _UNIX, version, 0, 0, zipfile.ZIP_STORED, 0,
                      _DOS_DATE, e.crc, size, size, len(e.name), len(extra), 0, 0, 0, _MODE,
                      offset)
        + e.name
        + extra
    )  # fmt: skip


def _end_records(count: int, start: int, end: int) -> bytes:
    """The end of an archive whose central directory of `count` entries is [start, end)."""
    size = end - start
    records = b""
    if count > 0xFFFF or start > _ZIP64_LIMIT or size > _ZIP64_LIMIT:
        records = _END64.pack(
            b"PK\x06\x06", _END64.size - 12, 45, 45, 0, 0, count, count, size, start
        ) + _LOCATOR64.pack(b"PK\x06\x07", 0, end, 1)
        count, size, start = min(count, 0xFFFF), min(size, 0xFFFFFFFF), min(start, 0xFFFFFFFF)
    return records + _END.pack(b"PK\x05\x06", 0, 0, count, count, size, start, 0)


class _ArchiveWriter:
    """Stored members written one after another to a file descriptor, then the directory."""

    def __init__(self, fd: int) -> None:
        self._fd = fd
        self._entries: list[_Entry] = []

    def _position(self) -> int:
        return os.lseek(self._fd, 0, os.SEEK_CUR)

    def _write(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            view = view[os.write(self._fd, view) :]

    def add(self, name: str, data: bytes) -> None:
        encoded, crc = name.encode(), zlib.crc32(data)
        zip64 = len(data) * 1.05 > _ZIP64_LIMIT  # zipfile's margin
        version = _ZIP64_VERSION if zip64 else _VERSION
        self._entries.append(_Entry(encoded, self._position(), crc, len(data), version))
        self._write(_local_header(encoded, crc, len(data), zip64))
        self._write(data)

    def add_written(self, name: str, write: Callable[[int], tuple[int, int]]) -> None:
        """A member that write(fd) puts at the descriptor's position, returning its size and
        CRC-32. Its local header is written first, with zip64 fields (the size may exceed
        4 GiB), and completed once the size is known."""
        encoded, offset = name.encode(), self._position()
        header = _local_header(encoded, 0, 0, zip64=True)
        self._write(header)
        size, crc = write(self._fd)
        if self._position() != offset + len(header) + size:
            raise RuntimeError(f"the {name} member was not written where it belongs")
        header = _local_header(encoded, crc, size, zip64=True)
        if os.pwrite(self._fd, header, offset) != len(header):
            raise OSError(f"could not complete the header of the {name} member")
        self._entries.append(_Entry(encoded, offset, crc, size, _ZIP64_VERSION))

    def finish(self) -> None:
        """Writes the central directory and the end records."""
        start = self._position()
        self._write(b"".join(map(_central_entry, self._entries)))
        self._write(_end_records(len(self._entries), start, self._position()))


def save_recommender(rec: Stored, path: str | os.PathLike[str]) -> None:
    target = os.path.realpath(os.fspath(path))  # a symlink's target is what gets replaced
    directory = os.path.dirname(target) or "."
    user_kind, user_blob = _encode_ids(rec._users.index, "user")
    item_kind, item_blob = _encode_ids(rec._items.index, "item")
    header = {
        "format": FORMAT,
        "version": VERSION,
        "class": type(rec).__name__,
        "params": rec.get_params(),
        "user_ids": user_kind,
        "item_ids": item_kind,
        "approximate": rec._approximate,
    }
    if rec._truncated is not None:
        header["truncated"] = rec._truncated
    fd, tmp_path = tempfile.mkstemp(prefix=".quibrel-", suffix=".tmp", dir=directory)
    try:
        try:
            archive = _ArchiveWriter(fd)
            archive.add("recommender.json", json.dumps(header).encode())
            archive.add_written("engine.gz", lambda out: _native.write_engine(rec._model, out))
            archive.add(f"user_ids.{user_kind}", user_blob)
            archive.add(f"item_ids.{item_kind}", item_blob)
            archive.add("popularity.npy", _npy(rec._popularity))
            archive.finish()
            os.fsync(fd)
        finally:
            os.close(fd)
        # mkstemp creates the file 0600; give it the mode a plain open() would.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp_path, 0o666 & ~umask)
        os.replace(tmp_path, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp_path)
        raise


# What reading a damaged archive can raise besides BadZipFile: a truncated member (EOFError),
# a damaged deflate stream (zlib.error), a compression method or flag this zipfile lacks
# (NotImplementedError, RuntimeError for encryption), a header count beyond the file.
_DAMAGE = (
    KeyError,
    TypeError,
    ValueError,
    EOFError,
    NotImplementedError,
    RuntimeError,
    struct.error,
    zlib.error,
    zipfile.BadZipFile,
    zipfile.LargeZipFile,
)


def _engine_counts(kind: str, path: str) -> tuple[int, int]:
    """(n_users, n_items) from the head of an engine model file the engine has just read: a
    Swing record starts with top_k, alpha, max_cache_num, a cosine record with the task word
    (length and bytes) and k_sim; n_users and n_items follow."""
    with gzip.open(path, "rb") as f:
        if kind == "Swing":
            f.read(8 + 4 + 8)
        else:
            (length,) = struct.unpack("<Q", f.read(8))
            f.seek(length + 8, io.SEEK_CUR)
        n_users, n_items = struct.unpack("<QQ", f.read(16))
    return n_users, n_items


def _in_place(member: zipfile.ZipInfo) -> bool:
    """Whether the member's bytes in the archive are the file itself."""
    return (
        member.compress_type == zipfile.ZIP_STORED
        and not member.flag_bits & 0x1  # encrypted
        and member.compress_size == member.file_size
    )


def _data_offset(fd: int, member: zipfile.ZipInfo) -> int:
    """Where the member's bytes start: after its local header, whose extra field need not be
    the directory's."""
    header = os.pread(fd, _LOCAL.size, member.header_offset)
    if len(header) != _LOCAL.size or header[:4] != b"PK\x03\x04":
        raise zipfile.BadZipFile(f"no local header for {member.filename!r}")
    name_length, extra_length = _LOCAL.unpack(header)[-2:]
    start: int = member.header_offset + _LOCAL.size + name_length + extra_length
    return start


def _damage(fd: int, offset: int, member: zipfile.ZipInfo) -> str | None:
    """What is wrong with the member's bytes against its directory entry, if anything."""
    crc, at, end = 0, offset, offset + member.compress_size
    while at < end:
        piece = os.pread(fd, min(_PIECE, end - at), at)
        if not piece:
            return f"the file ends within {member.filename!r}"
        crc = zlib.crc32(piece, crc)
        at += len(piece)
    return None if crc == member.CRC else f"Bad CRC-32 for file {member.filename!r}"


def _read_in_place(
    name: str, fd: int, offset: int, member: zipfile.ZipInfo, kind: str
) -> tuple[Any, tuple[int, int]]:
    """The engine model and its (n_users, n_items), read from the archive where it lies."""
    try:
        model, crc, n_users, n_items = _native.read_engine(kind, fd, offset, member.compress_size)
    except (OSError, ValueError, MemoryError):
        # A member whose bytes are not those written is a damaged archive, whatever the
        # engine made of them; the engine's own error stands for a member stored as written.
        damage = _damage(fd, offset, member)
        if damage is None:
            raise
        raise ValueError(f"{name!r} is a damaged quibrel recommender file: {damage}") from None
    if crc != member.CRC:
        raise ValueError(
            f"{name!r} is a damaged quibrel recommender file: "
            f"Bad CRC-32 for file {member.filename!r}"
        )
    return model, (n_users, n_items)


def _read_extracted(
    name: str, archive: zipfile.ZipFile, member: zipfile.ZipInfo, kind: str
) -> tuple[Any, tuple[int, int]]:
    """The engine model and its counts from a member that must be decompressed first."""
    # The engine reads files: stream its member out rather than holding it in memory.
    with tempfile.TemporaryDirectory(prefix="quibrel-") as tmp:
        try:
            with archive.open(member) as src, open(os.path.join(tmp, "m.gz"), "wb") as dst:
                shutil.copyfileobj(src, dst, _PIECE)
        except _DAMAGE as e:
            raise ValueError(f"{name!r} is a damaged quibrel recommender file: {e}") from None
        model = _quiet(_LOAD[kind], tmp, "m")
        try:
            counts = _engine_counts(kind, os.path.join(tmp, "m.gz"))
        except (*_DAMAGE, OSError) as e:
            raise ValueError(f"{name!r} is a damaged quibrel recommender file: {e}") from None
    return model, counts


def load_recommender(path: str | os.PathLike[str], classes: Mapping[str, type[_S]]) -> _S:
    """Reads a file `save_recommender` wrote; `classes` maps the class names a file may
    name to the classes that rebuild them."""
    name = os.fspath(path)
    try:
        archive = zipfile.ZipFile(name)
    except _DAMAGE:  # a damaged "version needed" field: NotImplementedError
        raise ValueError(f"{name!r} is not a quibrel recommender file") from None
    with archive:
        try:
            header = json.loads(archive.read("recommender.json"))
        except _DAMAGE:
            raise ValueError(f"{name!r} is not a quibrel recommender file") from None
        if not isinstance(header, dict) or header.get("format") != FORMAT:
            raise ValueError(f"{name!r} is not a quibrel recommender file")
        version = header.get("version")
        if version != VERSION:
            raise ValueError(
                f"{name!r} has recommender file version {version!r}; this quibrel reads "
                f"version {VERSION}"
            )
        cls = classes.get(str(header.get("class", "")))
        if cls is None:
            raise ValueError(f"{name!r} holds an unknown recommender class {header.get('class')!r}")
        try:
            rec = cls(**header["params"])
            user_kind, item_kind = header["user_ids"], header["item_ids"]
            users = _decode_ids(user_kind, archive.read(f"user_ids.{user_kind}"))
            items = _decode_ids(item_kind, archive.read(f"item_ids.{item_kind}"))
            popularity = np.load(io.BytesIO(archive.read("popularity.npy")), allow_pickle=False)
            if popularity.ndim != 1 or popularity.dtype.kind not in "iu":
                raise ValueError("the item counts are not a list of integers")
            truncated = header.get("truncated")
            if truncated is not None and (type(truncated) is not int or truncated < 1):
                raise ValueError(f"truncated must be a count of at least 1, got {truncated!r}")
            engine_member = archive.getinfo("engine.gz")
            archive.open(engine_member).close()  # zipfile's checks of its local header
            assert archive.fp is not None
            fd = archive.fp.fileno()
            # Every file quibrel writes stores the engine's file as it is.
            offset = _data_offset(fd, engine_member) if _in_place(engine_member) else None
        except _DAMAGE as e:
            raise ValueError(f"{name!r} is a damaged quibrel recommender file: {e}") from None
        if offset is not None:
            model, counts = _read_in_place(name, fd, offset, engine_member, cls._engine_class)
        else:
            model, counts = _read_extracted(name, archive, engine_member, cls._engine_class)
    rec._users.set_ids(users)
    rec._items.set_ids(items)
    rec._popularity = np.asarray(popularity, dtype=np.int64)
    # Every dense id the engine hands out must name a raw id, and the reverse.
    if len(rec._popularity) != len(items) or counts != (len(users), len(items)):
        raise ValueError(f"{name!r} is a damaged quibrel recommender file: sizes disagree")
    rec._approximate = bool(header.get("approximate", False))
    rec._truncated = truncated
    rec._model = model
    return rec
