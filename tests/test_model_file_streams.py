"""Bodies of several megabytes through the reader and the writer: files cut at sync points
(the writer's own, whose pieces are inflated in parallel) and files whose sync points do not
stand alone, and damage anywhere in a file of many pieces."""

from __future__ import annotations

import gzip
import os
import struct
import subprocess
import sys
import textwrap
import zlib
from pathlib import Path

import numpy as np
import pytest
import quibrel
from test_model_files import HEADER, common_tail, encode_cf

MIB = 1 << 20
MARKER = b"\x00\x00\xff\xff"
DATA = Path(__file__).parent / "data"


def built_with_isal() -> bool:
    """Whether the extension compresses with ISA-L: its file then names the library."""
    (extension,) = Path(quibrel.__file__).parent.glob("quibrel*.so")
    return b"libisal.so" in extension.read_bytes()


def big_body(seed: int, n: int = 1_500_000, markers: bool = False) -> bytes:
    """An ItemCF record whose one consumed list holds n random ids; with `markers`, many of
    them are -65536, whose bytes are those of a sync marker (00 00 FF FF)."""
    rng = np.random.default_rng(seed)
    ids = rng.integers(0, 1 << 20, n).astype("<i4")  # compresses, but not to nothing
    if markers:
        ids[::97] = -65536
    head = encode_cf()[: -len(common_tail(()))]
    consumed = struct.pack("<Qi", 1, 3) + struct.pack("<Q", n) + ids.tobytes()
    return head + common_tail(())[:-12] + consumed + struct.pack("<f", 0.25)


def patterned_body(n: int = 700_000) -> bytes:
    """Like big_body, with ids that ISA-L packs tightly: the body of the small file
    data/item_cf_isal_chunks.gz, written by save_item_cf in a build with ISA-L 2.30."""
    i = np.arange(n, dtype=np.int64)
    ids = ((i % 64) * (i // 100_000)).astype("<i4")
    ids[::257] = (i[::257] * 2_654_435_761) % 100_003  # literals all along
    head = encode_cf()[: -len(common_tail(()))]
    consumed = struct.pack("<Qi", 1, 3) + struct.pack("<Q", n) + ids.tobytes()
    return head + common_tail(())[:-12] + consumed + struct.pack("<f", 0.25)


def member(body: bytes, deflated: bytes) -> bytes:
    return HEADER + deflated + struct.pack("<II", zlib.crc32(body), len(body) & 0xFFFFFFFF)


def deflate(body: bytes, level: int = 1, every: int | None = None, mode=zlib.Z_FULL_FLUSH):
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    step = every or len(body)
    out = []
    for i in range(0, len(body), step):
        out.append(c.compress(body[i : i + step]))
        if every and i + step < len(body):
            out.append(c.flush(mode))
    out.append(c.flush())
    return b"".join(out)


def zlib_chunks(body: bytes) -> bytes:
    """The deflate data of a build without ISA-L: each MiB from a fresh level-1 deflater, all
    but the last ended by a full flush."""
    out = []
    for i in range(0, len(body), MIB):
        c = zlib.compressobj(1, zlib.DEFLATED, -15, 8)
        mode = zlib.Z_FINISH if i + MIB >= len(body) else zlib.Z_FULL_FLUSH
        out.append(c.compress(body[i : i + MIB]) + c.flush(mode))
    return b"".join(out)


@pytest.fixture(scope="module")
def body():
    return big_body(1)


def round_trip(tmp_path, data: bytes, expected: bytes):
    """Loads data, checks the model by saving it, then loads and checks the writer's file."""
    (tmp_path / "in.gz").write_bytes(data)
    model = quibrel.load_item_cf(str(tmp_path), "in")
    quibrel.save_item_cf(model, str(tmp_path), "out")
    written = (tmp_path / "out.gz").read_bytes()
    assert gzip.decompress(written) == expected
    again = quibrel.load_item_cf(str(tmp_path), "out")
    quibrel.save_item_cf(again, str(tmp_path), "again")
    assert (tmp_path / "again.gz").read_bytes() == written
    return written


def test_writer_output_for_a_body_of_many_chunks(body, tmp_path, capfd):
    written = round_trip(tmp_path, member(body, deflate(body)), body)
    assert len(body) > 5 * MIB and written[:10] == HEADER
    # One stream: every chunk but the last ends in a full flush, none in a final block.
    assert written.count(b"\x00\x00\xff\xff") >= len(body) // MIB
    d = zlib.decompressobj(-15)
    assert d.decompress(written[10:-8]) == body and d.eof and d.unused_data == b""
    capfd.readouterr()


def test_files_written_by_either_build_load(body, tmp_path, capfd):
    # What the build without ISA-L writes; that build must write exactly these bytes.
    zlib_file = member(body, zlib_chunks(body))
    assert zlib_file.count(MARKER) >= len(body) // MIB
    written = round_trip(tmp_path, zlib_file, body)
    if not built_with_isal():
        assert written == zlib_file
    # What the build with ISA-L wrote: three pieces, two of them ended by full flushes.
    isal_file = (DATA / "item_cf_isal_chunks.gz").read_bytes()
    patterned = patterned_body()
    assert isal_file[:10] == HEADER and isal_file.count(MARKER) == 2
    assert isal_file != member(patterned, zlib_chunks(patterned))
    round_trip(tmp_path, isal_file, patterned)
    capfd.readouterr()


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda b: deflate(b, 1, MIB), id="full-flush-every-chunk"),
        pytest.param(lambda b: deflate(b, 1, 100_000), id="full-flush-small-pieces"),
        pytest.param(lambda b: deflate(b, 1, 3 * MIB), id="full-flush-pieces-too-long"),
        pytest.param(lambda b: deflate(b, 6, 300_000, zlib.Z_SYNC_FLUSH), id="sync-flush-history"),
        pytest.param(lambda b: deflate(b, 6), id="no-sync-points"),
        pytest.param(lambda b: deflate(b, 1, MIB, zlib.Z_SYNC_FLUSH), id="sync-flush-at-chunks"),
    ],
)
def test_streams_from_other_writers(make, body, tmp_path, capfd):
    round_trip(tmp_path, member(body, make(body)), body)
    capfd.readouterr()


def test_false_sync_markers_in_stored_data_and_after_the_member(tmp_path, capfd):
    body = big_body(2, n=800_000, markers=True)
    assert body.count(b"\x00\x00\xff\xff") > 8000
    stored = member(body, deflate(body, 0))  # stored blocks carry the markers verbatim
    round_trip(tmp_path, stored + b"\x00\x00\xff\xff" * 50 + bytes(100), body)
    flushed = member(body, deflate(body, 0, 200_000))
    round_trip(tmp_path, flushed + b"\x00\x00\x00\xff\xff", body)
    capfd.readouterr()


def damaged_copies(data: bytes):
    """(file, expected message or None for any OSError) for damage all along the file."""
    markers = [i for i in range(len(data)) if data.startswith(b"\x00\x00\xff\xff", i)]
    for cut in (11, 5000, len(data) // 3, markers[2] + 4, len(data) - 9, len(data) - 3):
        yield data[:cut], "unexpected end of file"
    trailer = bytearray(data)
    trailer[-6] ^= 1
    yield bytes(trailer), "corrupt gzip stream does not have a matching checksum"
    length = bytearray(data)
    length[-2] ^= 1
    yield bytes(length), "corrupt gzip stream does not have a matching checksum"
    for at in (20, len(data) // 2, markers[3] - 2, markers[-1] + 100, len(data) - 40):
        flipped = bytearray(data)
        flipped[at] ^= 0x10
        yield bytes(flipped), None


def test_damage_anywhere_in_a_file_of_many_pieces(body, tmp_path, capfd):
    (tmp_path / "a.gz").write_bytes(member(body, deflate(body)))
    quibrel.save_item_cf(quibrel.load_item_cf(str(tmp_path), "a"), str(tmp_path), "b")
    data = (tmp_path / "b.gz").read_bytes()
    for n, (damaged, message) in enumerate(damaged_copies(data)):
        (tmp_path / f"{n}.gz").write_bytes(damaged)
        with pytest.raises(OSError) as info:
            quibrel.load_item_cf(str(tmp_path), str(n))
        assert type(info.value) is OSError
        if message is None:
            assert str(info.value) in (
                "corrupt deflate stream",
                "corrupt gzip stream does not have a matching checksum",
                "unexpected end of file",
            ), n
        else:
            assert str(info.value) == message, n
    assert capfd.readouterr().out.count("Load `") == 1


@pytest.mark.skipif(
    "libtsan" in os.environ.get("LD_PRELOAD", ""),
    reason="the thread sanitizer's runtime cannot start under a huge stack size limit",
)
def test_without_helper_threads_the_same_bytes_come_out(body, tmp_path, capfd):
    # With a stack size limit this large every new thread fails to start: saves and loads
    # then do all their work on the calling thread.
    (tmp_path / "a.gz").write_bytes(member(body, deflate(body)))
    quibrel.save_item_cf(quibrel.load_item_cf(str(tmp_path), "a"), str(tmp_path), "threads")
    capfd.readouterr()
    code = textwrap.dedent(
        f"""
        import threading, quibrel
        try:
            threading.Thread(target=print).start()
            print("a thread started")
        except RuntimeError:
            pass
        model = quibrel.load_item_cf({str(tmp_path)!r}, "threads")
        quibrel.save_item_cf(model, {str(tmp_path)!r}, "inline")
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run(
        ["/bin/sh", "-c", 'ulimit -s 4000000000 && exec "$0" -c "$1"', sys.executable, code],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    if out.returncode != 0 and "ulimit" in out.stderr:
        pytest.skip(f"cannot raise the stack size limit: {out.stderr.strip()}")
    assert out.returncode == 0, out.stderr[-2000:]
    if "a thread started" in out.stdout:
        pytest.skip("threads still start under a huge stack size limit here")
    assert (tmp_path / "inline.gz").read_bytes() == (tmp_path / "threads.gz").read_bytes()
