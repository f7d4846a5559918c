"""Runs the typed usage file, so that every call the stubs accept is also shown to work."""

import check_usage
import pytest


def test_typed_usage_runs(capfd: pytest.CaptureFixture[str]) -> None:
    check_usage.main()  # asserts the results of every call it makes
    out = capfd.readouterr().out
    for cls in ("ItemCF", "UserCF", "Swing"):
        assert f"Save `{cls}` model to `" in out
        assert f"Load `{cls}` model from `" in out
