"""Recommender files: the engine's model file, the id maps and the settings in one zip archive.

Layout (format version 1), every member stored uncompressed (the engine's file is already gzip):
  recommender.json   format name and version, the class, its settings, how the ids are stored
  engine.gz          the engine's own model file
  user_ids.*, item_ids.*   raw ids in dense-id order (.npy for homogeneous numbers or strings,
                     .json with typed values for mixed ids)
  popularity.npy     interaction count per item (the "popular" fallback)
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
import time
import zipfile
import zlib
from collections.abc import Mapping
from typing import Any, ClassVar, Protocol, TypeVar

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _native
from ._ids import IdMap
from .quibrel import (
    load_item_cf,
    load_swing,
    load_user_cf,
    save_item_cf,
    save_swing,
    save_user_cf,
)


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

_SAVE = {"ItemCF": save_item_cf, "UserCF": save_user_cf, "Swing": save_swing}
_LOAD = {"ItemCF": load_item_cf, "UserCF": load_user_cf, "Swing": load_swing}


def _quiet(function: Any, *args: Any) -> Any:
    return _native.call(function, args, 0, True, None)


def _engine_kind(model: Any) -> str:
    return type(model).__name__


def engine_bytes(model: Any) -> bytes:
    """The engine's model file of `model`, as bytes."""
    with tempfile.TemporaryDirectory(prefix="quibrel-") as tmp:
        _quiet(_SAVE[_engine_kind(model)], model, tmp, "model")
        with open(os.path.join(tmp, "model.gz"), "rb") as f:
            return f.read()


def engine_from_bytes(kind: str, blob: bytes) -> Any:
    with tempfile.TemporaryDirectory(prefix="quibrel-") as tmp:
        with open(os.path.join(tmp, "model.gz"), "wb") as f:
            f.write(blob)
        return _quiet(_LOAD[kind], tmp, "model")


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

_MEMBER_DATE = (1980, 1, 1, 0, 0, 0)  # the earliest time a zip member can carry
_MEMBER_TIME = time.mktime((*_MEMBER_DATE, 0, 0, -1))


def _member(name: str) -> zipfile.ZipInfo:
    info = zipfile.ZipInfo(name, date_time=_MEMBER_DATE)
    info.compress_type = zipfile.ZIP_STORED
    info.external_attr = 0o600 << 16  # what writestr gives a member named by a string
    return info


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
        with tempfile.TemporaryDirectory(prefix="quibrel-", dir=directory) as engine_dir:
            _quiet(_SAVE[_engine_kind(rec._model)], rec._model, engine_dir, "engine")
            with os.fdopen(fd, "wb") as f:
                engine_path = os.path.join(engine_dir, "engine.gz")
                # Members carry a fixed time, so that one recommender saves to one sequence
                # of bytes whenever it is saved.
                os.utime(engine_path, (_MEMBER_TIME, _MEMBER_TIME))
                with zipfile.ZipFile(f, "w", compression=zipfile.ZIP_STORED) as z:
                    z.writestr(_member("recommender.json"), json.dumps(header))
                    z.write(engine_path, "engine.gz")
                    z.writestr(_member(f"user_ids.{user_kind}"), user_blob)
                    z.writestr(_member(f"item_ids.{item_kind}"), item_blob)
                    z.writestr(_member("popularity.npy"), _npy(rec._popularity))
                f.flush()
                os.fsync(f.fileno())
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
        except _DAMAGE as e:
            raise ValueError(f"{name!r} is a damaged quibrel recommender file: {e}") from None
        # The engine reads files: stream its member out rather than holding it in memory.
        with tempfile.TemporaryDirectory(prefix="quibrel-") as tmp:
            try:
                with (
                    archive.open(engine_member) as src,
                    open(os.path.join(tmp, "m.gz"), "wb") as dst,
                ):
                    shutil.copyfileobj(src, dst, 1 << 20)
            except _DAMAGE as e:
                raise ValueError(f"{name!r} is a damaged quibrel recommender file: {e}") from None
            model = _quiet(_LOAD[cls._engine_class], tmp, "m")
            try:
                counts = _engine_counts(cls._engine_class, os.path.join(tmp, "m.gz"))
            except (*_DAMAGE, OSError) as e:
                raise ValueError(f"{name!r} is a damaged quibrel recommender file: {e}") from None
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
