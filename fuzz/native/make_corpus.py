"""Writes the seed inputs of the native loader targets into fuzz/native/corpus/.

A loader input is a mode byte and then either a whole file (mode < 64) or, for larger modes,
two option bytes and a record body that the target wraps into a gzip member (see loader.hpp).
The seeds come from the model-file corpus in fuzz/corpus (models saved by the library, hostile
records, truncations, bit flips, several members): each file of the loader's kind as a whole
file, and the body of each one whose first member is intact as a record to wrap, once plain,
once followed by a second member and once cut short.

    python3 fuzz/native/make_corpus.py

Seeds of the other targets are the inputs a campaign kept, merged into their directories with
libFuzzer's -merge=1 (see fuzz/README.md).
"""

from __future__ import annotations

import hashlib
import pathlib
import zlib

HERE = pathlib.Path(__file__).resolve().parent
MODEL_FILES = HERE.parent / "corpus"
CORPUS = HERE / "corpus"

# Which model-file kinds each loader target starts from; either cosine loader reads both.
KINDS = {
    "load_item_cf": ("item", "user"),
    "load_user_cf": ("user", "item"),
    "load_swing": ("swing",),
}
WHOLE_FILE = 0x00
WRAP = 0x40  # level 1, no file name field
WRAP_OPTIONS = {"plain": 0, "second-member": 6, "cut": 7}


def first_member(data: bytes):
    d = zlib.decompressobj(wbits=31)
    try:
        body = d.decompress(data) + d.flush()
    except zlib.error:
        return None
    return body if d.eof else None


def write(target: str, name: str, data: bytes, seen: set):
    digest = hashlib.sha1(data).hexdigest()
    if digest in seen:
        return
    seen.add(digest)
    (CORPUS / target / name).write_bytes(data)


def main():
    for target, kinds in KINDS.items():
        out = CORPUS / target
        out.mkdir(parents=True, exist_ok=True)
        for old in out.glob("file-*"):
            old.unlink()
        for old in out.glob("body-*"):
            old.unlink()
        seen: set = set()
        for path in sorted(MODEL_FILES.glob("*.gz")):
            kind = path.name.split("-")[0]
            if kind not in kinds:
                continue
            data = path.read_bytes()
            if kind == kinds[0]:
                write(target, f"file-{path.stem}", bytes([WHOLE_FILE]) + data, seen)
            body = first_member(data)
            if body is None:
                continue
            for tag, wrap in WRAP_OPTIONS.items():
                if tag != "plain" and "fresh" not in path.stem:
                    continue  # the wrappers once per kind of model is enough
                write(target, f"body-{tag}-{path.stem}", bytes([WRAP, wrap, 3]) + body, seen)
        print(target, len(list(out.iterdir())), "inputs")


if __name__ == "__main__":
    main()
