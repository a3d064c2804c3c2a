"""Shared fixtures of the corvane_vorn tests.

Tests that wait for the real clock (key expiry: the library's clock cannot be
replaced from Python) are marked `slow` and run only with --run-slow.
"""

import logging
import os
import subprocess
import sys

import pytest

import corvane_vorn


def pytest_addoption(parser):
    parser.addoption("--run-slow", action="store_true", help="also run tests that sleep on the real clock")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: waits on the real clock; run with --run-slow")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--run-slow"):
        return
    skip = pytest.mark.skip(reason="sleeps on the real clock; run with --run-slow")
    for item in items:
        if "slow" in item.keywords:
            item.add_marker(skip)


@pytest.fixture
def root(tmp_path):
    """A fresh store root: no store of another test shares its instances."""
    path = tmp_path / "stores"
    path.mkdir()
    return str(path)


@pytest.fixture
def store(root):
    s = corvane_vorn.Store("test", root)
    yield s
    s.close()


@pytest.fixture
def library_log(caplog):
    """Captures the library's lines at INFO and above; restores the default level after."""
    corvane_vorn.set_log_level(logging.INFO)
    caplog.set_level(logging.INFO, logger="corvane_vorn")
    yield caplog
    corvane_vorn.set_log_level(logging.WARNING)


def run_python(code, *args, timeout=120):
    """Runs code in a fresh interpreter that imports this very corvane_vorn."""
    env = dict(os.environ)
    package_parent = os.path.dirname(os.path.dirname(corvane_vorn.__file__))
    env["PYTHONPATH"] = package_parent + os.pathsep + env.get("PYTHONPATH", "")
    return subprocess.run(
        [sys.executable, "-c", code, *args], env=env, capture_output=True, text=True, timeout=timeout
    )
