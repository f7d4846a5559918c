"""Model files: byte layout, round trips, failures, hostile inputs."""

from __future__ import annotations

import gzip
import os
import random
import struct
import subprocess
import sys
import textwrap
import zlib

import pytest
import quibrel
from conftest import both_orientations, from_rows, random_interactions

HEADER = bytes.fromhex("1f8b08000000000004ff")
EOF_ERROR = "io error: unexpected end of file"
CHECKSUM_ERROR = "corrupt gzip stream does not have a matching checksum"


# ---- an independent encoder/decoder of the body, written from the layout ----


class Body:
    def __init__(self, raw: bytes):
        self.raw, self.pos = raw, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.raw, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return values

    def one(self, fmt):
        return self.take(fmt)[0]

    def vec(self, fmt):
        return list(self.take(f"{self.one('Q')}{fmt}"))

    def entries(self, read_value):
        return [(self.one("i"), read_value()) for _ in range(self.one("Q"))]


def parse(raw: bytes, kind: str) -> dict:
    b = Body(raw)

    def csr():
        return b.vec("i"), b.vec("Q"), b.vec("f")

    if kind == "swing":
        f = dict(
            zip(
                ("top_k", "alpha", "max_cache_num", "n_users", "n_items"),
                b.take("QfQQQ"),
                strict=True,
            )
        )
        f["swing_scores"] = sorted(b.entries(lambda: b.take("if" * b.one("Q"))))
    else:
        f = {"task": b.take(f"{b.one('Q')}s")[0].decode()}
        f.update(zip(("k_sim", "n_users", "n_items", "min_common"), b.take("QQQQ"), strict=True))
        f["sum_squares"] = b.vec("f")
        f["pair_stats"] = sorted(b.take("iiifQ") for _ in range(b.one("Q")))
        f["sim_mapping"] = sorted(b.entries(lambda: (b.vec("i"), b.vec("f"))))
    f["user_interactions"], f["item_interactions"] = csr(), csr()
    f["user_consumed"] = sorted(b.entries(lambda: b.vec("i")))
    f["default_pred"] = b.one("f")
    f["rest"] = len(raw) - b.pos
    return f


def vec(fmt, values):
    return struct.pack(f"<Q{len(values)}{fmt}", len(values), *values)


def encode_cf(
    task=b"ranking", n_users=2, n_items=3, pairs=(), sims=(), consumed=(), tail=b"", min_common=1
):
    out = vec("s", []) if task is None else struct.pack("<Q", len(task)) + task
    out += struct.pack("<QQQQ", 4, n_users, n_items, min_common) + vec("f", [1.0, 2.0])
    out += struct.pack("<Q", len(pairs)) + b"".join(struct.pack("<iiifQ", *p) for p in pairs)
    out += struct.pack("<Q", len(sims))
    out += b"".join(struct.pack("<i", k) + vec("i", ids) + vec("f", s) for k, ids, s in sims)
    return out + common_tail(consumed) + tail


def common_tail(consumed):
    out = (vec("i", [1]) + vec("Q", [0, 1]) + vec("f", [0.5])) * 2
    out += struct.pack("<Q", len(consumed))
    out += b"".join(struct.pack("<i", k) + vec("i", v) for k, v in consumed)
    return out + struct.pack("<f", 0.25)


def gz(body: bytes) -> bytes:
    return HEADER + zlib.compress(body, 1, -15) + struct.pack("<II", zlib.crc32(body), len(body))


# ---- models ----

SAVE = {"item": quibrel.save_item_cf, "user": quibrel.save_user_cf, "swing": quibrel.save_swing}
LOAD = {"item": quibrel.load_item_cf, "user": quibrel.load_user_cf, "swing": quibrel.load_swing}


def tiny(kind):
    ui = from_rows([{0: 1.0, 2: 2.0}, {1: 3.0}])
    ii = from_rows([{0: 1.0}, {1: 3.0}, {0: 2.0}])
    if kind == "swing":
        return quibrel.Swing(7, 1.5, 99, 2, 3, ui, ii, {1: [1, -5]}, 0.125)
    cls = quibrel.ItemCF if kind == "item" else quibrel.UserCF
    return cls("ranking", 7, 2, 3, 2, ui, ii, {1: [1, -5]}, 0.125)


def file_body(path):
    with open(path, "rb") as f:
        return gzip.decompress(f.read())


def computed(kind, seed=3):
    ui, ii = both_orientations(random_interactions(40, 30, 0.2, seed=seed))
    rows = zip(ui.sparse_indptr[:-1], ui.sparse_indptr[1:], strict=True)
    consumed = {u: [int(i) for i in ui.sparse_indices[a:b]] for u, (a, b) in enumerate(rows)}
    if kind == "swing":
        m = quibrel.Swing(10, 1.0, 1000, 40, 30, ui, ii, consumed, 0.0)
        m.compute_swing(2)
    else:
        cls = quibrel.ItemCF if kind == "item" else quibrel.UserCF
        m = cls("rating", 10, 40, 30, 1, ui, ii, consumed, 0.0)
        m.compute_similarities(False, 2)
    return m


# ---- layout ----


@pytest.mark.parametrize("kind", ["item", "user", "swing"])
def test_tiny_model_bytes(kind, tmp_path):
    SAVE[kind](tiny(kind), str(tmp_path), "m")
    raw = (tmp_path / "m.gz").read_bytes()
    body = gzip.decompress(raw)
    assert raw[:10] == HEADER
    assert raw[-8:] == struct.pack("<II", zlib.crc32(body), len(body))
    ui = vec("i", [0, 2, 1]) + vec("Q", [0, 2, 3]) + vec("f", [1.0, 2.0, 3.0])
    ii = vec("i", [0, 1, 0]) + vec("Q", [0, 1, 2, 3]) + vec("f", [1.0, 3.0, 2.0])
    tail = ui + ii + struct.pack("<Qi", 1, 1) + vec("i", [1, -5]) + struct.pack("<f", 0.125)
    if kind == "swing":
        head = struct.pack("<QfQQQQ", 7, 1.5, 99, 2, 3, 0)
    else:
        head = struct.pack("<Q7sQQQQ", 7, b"ranking", 7, 2, 3, 2) + bytes(24)
    assert body == head + tail


@pytest.mark.parametrize("kind", ["item", "user", "swing"])
def test_round_trip_with_computed_state(kind, tmp_path):
    m = computed(kind)
    SAVE[kind](m, str(tmp_path), "a")
    loaded = LOAD[kind](str(tmp_path), "a")
    SAVE[kind](loaded, str(tmp_path), "b")
    kind_key = "swing" if kind == "swing" else "cf"
    first = parse(file_body(tmp_path / "a.gz"), kind_key)
    assert first == parse(file_body(tmp_path / "b.gz"), kind_key)
    assert first["rest"] == 0 and (first.get("sim_mapping") or first.get("swing_scores"))
    users, items = list(range(40)) * 30, [i for i in range(30) for _ in range(40)]
    if kind == "user":
        users, items = items, users
    assert loaded.predict(users, items) == m.predict(users, items)
    assert loaded.recommend(list(range(40)), 5, True, False) == m.recommend(
        list(range(40)), 5, True, False
    )


@pytest.mark.parametrize("kind", ["user", "swing"])
def test_round_trip_of_vectors_larger_than_the_upfront_reservation(kind, tmp_path):
    ui, ii = both_orientations(random_interactions(700, 1000, 0.5, seed=5))
    consumed = {u: list(range(u, u + 300000)) if u == 3 else [u] for u in range(700)}
    if kind == "swing":
        m = quibrel.Swing(1, 0.5, 2, 700, 1000, ui, ii, consumed, 0.0)
    else:
        m = quibrel.UserCF("rating", 1, 700, 1000, 1, ui, ii, consumed, 0.0)
    SAVE[kind](m, str(tmp_path), "a")
    SAVE[kind](LOAD[kind](str(tmp_path), "a"), str(tmp_path), "b")
    key = "swing" if kind == "swing" else "cf"
    a, b = parse(file_body(tmp_path / "a.gz"), key), parse(file_body(tmp_path / "b.gz"), key)
    assert a == b and len(a["user_interactions"][0]) > 300000
    assert a["user_consumed"][3][1] == list(range(3, 300003))


def pair_key(x, y, n):
    return struct.unpack("<i", struct.pack("<I", (x * n + y) & 0xFFFFFFFF))[0]


@pytest.mark.parametrize("first, second", [("item", "user"), ("user", "item")])
def test_cross_loading_and_pair_keys(first, second, tmp_path):
    # Stored keys are ignored on load; records are identified by (x, y), the
    # later duplicate wins, and saving derives the key from the saving class's n.
    pairs = [(999, 0, 1, 0.5, 2), (-7, 0, 1, 1.5, 3), (0, 70000, 65536, 2.0, 4)]
    sims = [(1, [0], [0.5]), (1, [2], [0.75])]
    body = encode_cf(n_users=100000, n_items=5, pairs=pairs, sims=sims)
    (tmp_path / "f.gz").write_bytes(gz(body))
    n = {"user": 100000, "item": 5}
    SAVE[first](LOAD[first](str(tmp_path), "f"), str(tmp_path), "g")
    loaded = LOAD[second](str(tmp_path), "g")
    assert type(loaded).__name__ == {"item": "ItemCF", "user": "UserCF"}[second]
    SAVE[second](loaded, str(tmp_path), "h")
    for kind, name in [(first, "g"), (second, "h")]:
        out = parse(file_body(tmp_path / f"{name}.gz"), "cf")
        expected = [(0, 1, 1.5, 3), (70000, 65536, 2.0, 4)]
        assert out["pair_stats"] == sorted(
            (pair_key(x, y, n[kind]), x, y, d, c) for x, y, d, c in expected
        )
        assert out["sim_mapping"] == [(1, ([2], [0.75]))]
        assert out == {
            **parse(body, "cf"),
            "pair_stats": out["pair_stats"],
            "sim_mapping": out["sim_mapping"],
        }


@pytest.mark.parametrize("kind", ["item", "user"])
def test_counts_beyond_32_bits_survive_files_and_updates(kind, tmp_path):
    # Counts of 2**32 - 1 and more take a separate path in memory; they must
    # come back exactly, grow across the boundary and meet a large min_common.
    wide = 2**32 + 1
    counts = {(0, 1): 2**32 - 2, (0, 2): 2**32 - 1, (1, 2): 2**32, (3, 4): 2**64 - 1}
    pairs = [(0, x, y, 0.5, c) for (x, y), c in counts.items()]
    body = encode_cf(n_users=3, n_items=3, pairs=pairs, min_common=wide)
    (tmp_path / "f.gz").write_bytes(gz(body))
    m = LOAD[kind](str(tmp_path), "f")
    SAVE[kind](m, str(tmp_path), "g")
    n = 3
    saved = parse(file_body(tmp_path / "g.gz"), "cf")["pair_stats"]
    assert saved == sorted((pair_key(x, y, n), x, y, 0.5, c) for (x, y), c in counts.items())

    # One new row holding entities 0, 1 and 2 adds 1 to each of their pairs.
    row = from_rows([{0: 1.0, 1: 1.0, 2: 1.0}])
    empty = from_rows([{}, {}, {}])
    if kind == "item":
        m.update_similarities(row, empty)
    else:
        m.update_similarities(empty, row)
    SAVE[kind](m, str(tmp_path), "h")
    out = parse(file_body(tmp_path / "h.gz"), "cf")
    grown = {**counts, (0, 1): 2**32 - 1, (0, 2): 2**32, (1, 2): 2**32 + 1}
    assert [(x, y, c) for _, x, y, _, c in out["pair_stats"]] == sorted(
        (x, y, c) for (x, y), c in grown.items()
    )
    # Only (1, 2) reaches min_common = 2**32 + 1.
    assert [(k, ids) for k, (ids, _) in out["sim_mapping"]] == [(1, [2]), (2, [1])]


# ---- paths and printed lines ----


def test_paths_and_printed_lines(tmp_path):
    (tmp_path / "real").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "real")
    script = textwrap.dedent(
        f"""
        import os, sys
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        import quibrel, test_model_files as t
        os.chdir({str(tmp_path / "real")!r})
        quibrel.save_item_cf(t.tiny("item"), "", "m.gz")
        quibrel.save_swing(t.tiny("swing"), "../link/", "s")
        quibrel.save_user_cf(t.tiny("user"), "/nowhere", {str(tmp_path / "real" / "u")!r})
        quibrel.load_user_cf("../link/.", "m.gz")
        quibrel.load_swing(".", "s")
        try:
            quibrel.load_swing(".", "missing")
        except FileNotFoundError as e:
            print("error", e)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    real = os.path.realpath(tmp_path / "real")
    assert out.stdout.splitlines() == [
        f"Save `ItemCF` model to `{real}/m.gz.gz`",
        f"Save `Swing` model to `{real}/s.gz`",
        f"Save `UserCF` model to `{real}/u.gz`",
        f"Load `UserCF` model from `{real}/m.gz.gz`",
        f"Load `Swing` model from `{real}/s.gz`",
        "error No such file or directory (os error 2)",
    ]


def test_save_overwrites_and_needs_existing_directory(tmp_path):
    m = quibrel.Swing(1, 0.0, 1, 0, 0, from_rows([]), from_rows([]), {}, 0.0)
    (tmp_path / "s.gz").write_bytes(b"x" * 100000)
    quibrel.save_swing(m, str(tmp_path), "s")
    assert parse(file_body(tmp_path / "s.gz"), "swing")["rest"] == 0
    with pytest.raises(FileNotFoundError, match=r"^No such file or directory \(os error 2\)$"):
        quibrel.save_swing(m, str(tmp_path), "sub/s")
    (tmp_path / "d.gz").mkdir()
    with pytest.raises(OSError, match=r"^Is a directory \(os error 21\)$"):
        quibrel.save_swing(m, str(tmp_path), "d")
    with pytest.raises(OSError, match=r"\(os error 21\)$"):
        quibrel.load_swing(str(tmp_path), "d")
    if os.path.exists("/dev/full"):  # a device that fails every write
        (tmp_path / "full.gz").symlink_to("/dev/full")
        with pytest.raises(OSError, match=r"^No space left on device \(os error 28\)$"):
            quibrel.save_swing(m, str(tmp_path), "full")


# ---- failures ----

GOOD = encode_cf()
DEFLATED = zlib.compress(GOOD, 1, -15)
TRAILER = struct.pack("<II", zlib.crc32(GOOD), len(GOOD))


def header_with(flags, fields):
    head = HEADER[:3] + bytes([flags]) + HEADER[4:] + fields
    return head + struct.pack("<H", zlib.crc32(head) & 0xFFFF) if flags & 2 else head


@pytest.mark.parametrize(
    "data, message",
    [
        (gz(GOOD[:-3]), EOF_ERROR),  # body cut inside default_pred
        (gz(GOOD[:5]), EOF_ERROR),
        (gz(b""), EOF_ERROR),
        (gz(struct.pack("<Q", 1 << 62) + GOOD[8:]), "io error: "),  # text longer than the body
        (  # more texts in test_task_text_validation_matches_a_reference_decoder
            gz(encode_cf(task=b"x\xe1\x80a")),
            "string is not valid utf8: invalid utf-8 sequence of 2 bytes from index 1",
        ),
        (HEADER + DEFLATED[:-5], "unexpected end of file"),
        (HEADER + DEFLATED + TRAILER[:7], "unexpected end of file"),
        (b"", "unexpected end of file"),
        (HEADER[:5], "unexpected end of file"),
        (b"PK\x03\x04" + bytes(20), "invalid gzip header"),
        (HEADER[:2] + b"\x07" + HEADER[3:] + DEFLATED + TRAILER, "invalid gzip header"),
        (header_with(0x20, b"") + DEFLATED + TRAILER, "invalid gzip header"),
        (header_with(0x02, b"")[:-1] + b"\x00" + DEFLATED + TRAILER, "invalid gzip header"),
        (
            header_with(0x08, b"n" * 70000 + b"\x00") + DEFLATED + TRAILER,
            "gzip header field too long",
        ),
        (HEADER + b"\xff" + DEFLATED + TRAILER, "corrupt deflate stream"),
        (HEADER + DEFLATED + TRAILER[:3] + b"\x00" + TRAILER[4:], CHECKSUM_ERROR),
        (HEADER + DEFLATED + TRAILER[:4] + b"\x00\x00\x00\x00", CHECKSUM_ERROR),
        # a damaged stream is reported as such, even when the body is also undecodable
        (gz(GOOD[:-3])[:-8] + b"\x00" * 8, CHECKSUM_ERROR),
        (gz(encode_cf(task=b"\xff", tail=bytes(10**6)))[:-100], "unexpected end of file"),
    ],
    ids=lambda v: v if isinstance(v, str) else f"{len(v)}-bytes",
)
@pytest.mark.parametrize("load", [quibrel.load_item_cf, quibrel.load_user_cf])
def test_load_failures(data, message, load, tmp_path, capfd):
    (tmp_path / "f.gz").write_bytes(data)
    with pytest.raises(OSError) as info:
        load(str(tmp_path), "f")
    assert type(info.value) is OSError and str(info.value) == message
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "data",
    [
        gz(encode_cf(tail=b"junk" * 1000)),  # trailing body bytes
        gz(GOOD) + b"garbage after the member",
        gz(GOOD) + gz(b"\xff\xff"),
        header_with(0x1F, b"\x03\x00abc" + b"name\x00" + b"comment\x00") + DEFLATED + TRAILER,
    ],
    ids=["trailing-body-bytes", "garbage-after-member", "second-member", "optional-header-fields"],
)
def test_accepted_streams(data, tmp_path):
    (tmp_path / "f.gz").write_bytes(data)
    quibrel.save_item_cf(quibrel.load_item_cf(str(tmp_path), "f"), str(tmp_path), "g")
    assert {**parse(file_body(tmp_path / "g.gz"), "cf"), "rest": 0} == {
        **parse(GOOD, "cf"),
        "rest": 0,
    }


def utf8_message(raw: bytes):
    """The expected decode error, with Python's own UTF-8 decoder as the oracle."""
    try:
        raw.decode("utf-8")
        return None
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return f"string is not valid utf8: incomplete utf-8 byte sequence from index {e.start}"
        n = e.end - e.start
        return f"string is not valid utf8: invalid utf-8 sequence of {n} bytes from index {e.start}"


def test_task_text_validation_matches_a_reference_decoder(tmp_path, capfd):
    rng = random.Random(7)
    alphabet = [0x41, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xE1, 0xED]
    alphabet += [0xEE, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF]
    seen = set()
    for n in range(400):
        raw = bytes(rng.choice(alphabet) for _ in range(rng.randrange(1, 7)))
        (tmp_path / f"{n}.gz").write_bytes(gz(encode_cf(task=raw)))
        try:
            quibrel.load_item_cf(str(tmp_path), str(n))
            message = None
        except OSError as e:
            message = str(e)
        assert message == utf8_message(raw), raw
        seen.add(message and message[:40])
    capfd.readouterr()
    assert len(seen) == 3  # valid, invalid and incomplete texts all occurred


# ---- hostile inputs ----


def encode_swing(scores):
    out = struct.pack("<QfQQQQ", 3, 1.0, 10, 2, 3, len(scores))
    for k, pairs in scores:
        out += struct.pack("<iQ" + "if" * len(pairs), k, len(pairs), *(v for p in pairs for v in p))
    return out + common_tail([(0, [1]), (1, [2, 0])])


def mutations(rng, body: bytes, count: int):
    data = gz(body)
    # 8-byte windows holding small numbers are mostly counts; corrupting them
    # exercises every length check.
    counts = [i for i in range(len(body) - 7) if 0 < struct.unpack_from("<Q", body, i)[0] < 16]
    for _ in range(count):
        choice, d, b = rng.randrange(6), bytearray(data), bytearray(body)
        if choice == 0:
            yield bytes(d[: rng.randrange(len(d))])
        elif choice == 1:
            d[rng.randrange(len(d))] ^= 1 << rng.randrange(8)
            yield bytes(d)
        elif choice == 2:
            i = rng.randrange(len(d))
            d[i : i + 4] = rng.randbytes(4)
            yield bytes(d)
        elif choice == 3:
            i = rng.choice(counts)
            b[i : i + 8] = struct.pack("<Q", rng.choice([1 << 62, 2**64 - 1, 1 << 31, 300000]))
            yield gz(bytes(b))
        elif choice == 4:
            i = rng.randrange(len(b))
            b[i : i + 4] = rng.randbytes(4)
            yield gz(bytes(b))
        else:
            yield gz(bytes(b[: rng.randrange(len(b))]))


FUZZ_BODIES = {
    "item": encode_cf(
        pairs=[(1, 0, 1, 0.5, 2)], sims=[(0, [1, 2], [0.5, 0.25])], consumed=[(0, [1])]
    ),
    "user": encode_cf(task=b"r\xc3\xa9", sims=[(1, [0], [0.5]), (-3, [], [])]),
    "swing": encode_swing([(0, [(1, 0.5), (2, 0.25)]), (2, [(0, 0.125)])]),
}


@pytest.mark.parametrize("kind", ["item", "user", "swing"])
def test_mutated_files_give_a_model_or_oserror(kind, tmp_path, capfd):
    body = FUZZ_BODIES[kind]
    assert parse(body, "swing" if kind == "swing" else "cf")["rest"] == 0
    rng, outcomes = random.Random(f"{kind}-1"), {"model": 0, "error": 0}
    for n, sample in enumerate(mutations(rng, body, 1200)):
        (tmp_path / f"{n}.gz").write_bytes(
            sample
        )  # fresh names: truncation is slow on some file systems
        try:
            outcomes["model" if LOAD[kind](str(tmp_path), str(n)) else "none"] += 1
        except OSError:
            outcomes["error"] += 1
    capfd.readouterr()
    assert outcomes["model"] > 50 and outcomes["error"] > 500


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc for peak memory")
def test_gzip_bomb_loads_in_bounded_memory(tmp_path):
    # One small file whose body is a tiny model followed by just over 1 GB of zeros.
    block, repeats = bytes(1 << 20), 960
    c = zlib.compressobj(9, zlib.DEFLATED, -15, 9)
    first = c.compress(GOOD) + c.flush(zlib.Z_FULL_FLUSH)
    chunk = c.compress(block) + c.flush(zlib.Z_FULL_FLUSH)
    assert chunk == c.compress(block) + c.flush(
        zlib.Z_FULL_FLUSH
    )  # blocks after a full flush repeat
    crc = zlib.crc32(GOOD)
    for _ in range(repeats + 1):
        crc = zlib.crc32(block, crc)
    size = len(GOOD) + (repeats + 1) * len(block)
    with open(tmp_path / "bomb.gz", "wb") as f:
        f.write(HEADER + first + chunk * (repeats + 1) + c.flush())
        f.write(struct.pack("<II", crc, size & 0xFFFFFFFF))
    assert (tmp_path / "bomb.gz").stat().st_size < 2 << 20
    # Peak resident memory of the mm, from /proc: ru_maxrss would carry the
    # parent's peak across exec and hide any growth smaller than pytest itself.
    script = textwrap.dedent(
        f"""
        import quibrel
        def peak_kib():
            with open("/proc/self/status") as f:
                return int(f.read().split("VmHWM:")[1].split()[0])
        before = peak_kib()
        quibrel.load_item_cf({str(tmp_path)!r}, "bomb")
        print(peak_kib() - before)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert int(out.stdout.splitlines()[-1]) < 32 * 1024  # KiB
