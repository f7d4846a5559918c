"""Fuzz harnesses: run with `python3 -m pytest fuzz` and QUIBREL_FUZZ_EXAMPLES=<n> examples per
harness. The per-target execution counts are printed at the end (and written as JSON to
QUIBREL_FUZZ_STATS when set)."""

from __future__ import annotations

import json
import os
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import support


def pytest_configure(config):
    support.init()


def pytest_terminal_summary(terminalreporter):
    rows = support.STATS.table()
    if not rows:
        return
    terminalreporter.write_sep("-", "fuzz executions per target")
    for row in rows:
        outcomes = ", ".join(f"{k} {v}" for k, v in sorted(row["outcomes"].items()))
        terminalreporter.write_line(
            f"{row['target']:<22} {row['executions']:>9} runs {row['distinct_inputs']:>9} "
            f"distinct inputs  ({outcomes})"
        )
    path = os.environ.get("QUIBREL_FUZZ_STATS")
    if path:
        pathlib.Path(path).write_text(json.dumps(rows, indent=1))
