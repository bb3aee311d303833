"""Fixtures shared by the test modules."""

import shutil

import pytest


@pytest.fixture(scope="session")
def objcopy():
    """The host's object-copy tool; the tests that need it are skipped without it."""
    tool = shutil.which("objcopy")
    if tool is None:
        pytest.skip("objcopy is not on PATH")
    return tool
