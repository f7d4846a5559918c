"""Replays the seed corpus of model files (fuzz/corpus) through all three loaders, uses every
model that loads, and checks that a gzip bomb is loaded in bounded memory."""

from __future__ import annotations

import os
import pathlib
import struct
import sys
import zlib

import numpy as np
import pytest
from conftest import run_python

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"
sys.path.insert(0, str(FUZZ))
import support  # noqa: E402

CORPUS = sorted((FUZZ / "corpus").glob("*.gz"))
SANITIZED = bool(os.environ.get("QUIBREL_SANITIZED"))


first_member = support.first_member
expected_record = support.expected_record


def test_corpus_is_present():
    kinds = {p.name.split("-")[0] for p in CORPUS}
    assert len(CORPUS) > 100 and kinds == {"item", "user", "swing"}


@pytest.mark.parametrize("kind", ["item", "user", "swing"])
def test_corpus_loads_agree_with_an_independent_decoder(kind, capfd):
    support.init()
    load = support.loaders()[kind]
    rng = np.random.default_rng(0)
    loaded = failed = 0
    for path in CORPUS:
        expected = expected_record(path.read_bytes(), kind)
        result = support.call("load", path.name, load, str(path.parent), path.stem)
        if isinstance(result, OSError):
            failed += 1
            assert expected is None, f"{path.name}: intact record refused: {result}"
            continue
        loaded += 1
        assert expected is not None, f"{path.name}: damaged file gave a model"
        support.exercise(result, kind, expected, path.name, rng)
    capfd.readouterr()
    assert loaded > 20 and failed > 20


@pytest.mark.skipif(SANITIZED, reason="resident size includes the sanitizer's shadow memory")
@pytest.mark.parametrize("load", ["load_item_cf", "load_user_cf", "load_swing"])
def test_multi_member_gzip_bomb_ends_in_bounded_memory(load, tmp_path):
    # About 1 MiB of file inflating to 1 GiB: a small record, then zeros. A deflate stream
    # cannot beat roughly 1:1000, so a smaller file cannot inflate further.
    block = bytes(1 << 20)
    c = zlib.compressobj(9, zlib.DEFLATED, -15, 9)
    chunk = c.compress(block) + c.flush(zlib.Z_FULL_FLUSH)
    assert chunk == c.compress(block) + c.flush(zlib.Z_FULL_FLUSH)
    repeats = 1024
    crc = 0
    for _ in range(repeats):
        crc = zlib.crc32(block, crc)
    bomb = (
        bytes.fromhex("1f8b08000000000004ff")
        + chunk * repeats
        + c.flush()
        + struct.pack("<II", crc, (repeats << 20) & 0xFFFFFFFF)
    )
    # The zeros decode as an empty record of any kind; a second member follows it.
    (tmp_path / "bomb.gz").write_bytes(bomb + support.gzip_member(b"\x01" * 64))
    assert (tmp_path / "bomb.gz").stat().st_size < 1_100_000
    out = run_python(
        f"""
import quibrel
def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
before = hwm()
try:
    quibrel.{load}({str(tmp_path)!r}, "bomb")
    outcome = "model"
except OSError as e:
    outcome = "OSError"
print(outcome, hwm() - before)
"""
    )
    assert out.returncode == 0, out.stderr
    outcome, grown_kib = out.stdout.split()[-2:]
    assert outcome in ("model", "OSError")
    assert int(grown_kib) < 64 * 1024
