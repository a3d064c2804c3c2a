"""Store operations: maintenance, expiry, backup and restore, logging, the
content-changed callback and the context manager."""

import logging
import os
import time

import pytest

import corvane_vorn
from corvane_vorn import Store


def test_trim_clear_remove_values_and_inspect(store):
    for i in range(300):
        store[f"k{i}"] = "v" * 100
    for i in range(250):
        del store[f"k{i}"]
    grown = store.inspect()
    assert grown.key_count == 50 and grown.file_size > 4096

    store.trim()
    trimmed = store.inspect()
    assert trimmed.key_count == 50
    assert trimmed.actual_size < grown.actual_size / 2
    assert trimmed.file_size < grown.file_size
    assert trimmed.sequence > grown.sequence

    store.remove_values([f"k{i}" for i in range(250, 260)] + ["absent"])
    assert len(store) == 40 and "k250" not in store and store["k299"] == "v" * 100

    store.clear(keep_space=True)
    assert len(store) == 0 and store.inspect().file_size == trimmed.file_size
    store["k"] = "v"
    store.clear()
    assert len(store) == 0 and store.inspect().file_size == 4096
    assert list(store) == []


def test_context_manager_syncs_and_closes(root):
    with Store("ctx", root) as s:
        s["k"] = "v"
        assert s.id == "ctx" and s.root == root and not s.closed
    assert s.closed and s.id == "ctx"
    with pytest.raises(ValueError, match="store 'ctx' under .* is closed"):
        s["k"]
    with Store("ctx", root) as again:
        assert again["k"] == "v"


def test_expiry_times_and_switching(root):
    with Store("exp", root, expire=0) as s:
        assert s.inspect().key_expire
        now = time.time()
        s.set_string("a", "x", expire=100)
        s["b"] = "y"
        s.set_int32("c", 3, expire=0)
        assert now + 99 <= s.expire_time("a") <= now + 102
        assert s.expire_time("b") == 0 and s.expire_time("c") == 0 and s.expire_time("absent") == 0

        s.expire_enable(50)  # the default duration of setters given none
        s["d"] = "z"
        assert now + 49 <= s.expire_time("d") <= now + 52
        assert s["a"] == "x" and s.get_int32("c") == 3

        s.expire_disable()
        assert not s.inspect().key_expire
        assert s.expire_time("a") == 0 and s["a"] == "x" and s.get_int32("c") == 3
        # A duration on a store without expiry would silently never expire.
        with pytest.raises(ValueError):
            s.set_string("e", "x", expire=10)
        assert "e" not in s


@pytest.mark.slow
def test_expired_keys_vanish(root):
    with Store("exp", root, expire=0) as s:
        s.set_string("short", "x", expire=1)
        s.set_int32("long", 1, expire=3600)
        s["never"] = "n"
        time.sleep(2.2)
        assert "short" not in s
        assert len(s) == 2 and sorted(s) == ["long", "never"]
        assert s.get_string("short", None) is None
        with pytest.raises(KeyError):
            s["short"]


def test_backup_restore_and_change_callback(root, tmp_path):
    changed = []
    corvane_vorn.on_content_changed(changed.append)
    try:
        # Multi-process: the store tells about a restore (others may have it open).
        with Store("saved", root, multi_process=True) as s:
            s["k"] = "old"
            s.backup(tmp_path / "bk")
            s["k"] = "new"
            s["extra"] = "x"
            s.restore(tmp_path / "bk")  # the open store reloads in place
            assert s["k"] == "old" and "extra" not in s
            assert changed == ["saved"]

        # The forms by id work on a store that is not open.
        corvane_vorn.backup("saved", str(tmp_path / "bk2"), root)
        with Store("saved", root) as s:
            s.clear()
        corvane_vorn.restore("saved", tmp_path / "bk2", root=root)
        with Store("saved", root) as s:
            assert dict(s.items()) == {"k": "old"}
    finally:
        corvane_vorn.on_content_changed(None)

    with pytest.raises(corvane_vorn.Error):
        corvane_vorn.restore("saved", tmp_path / "no-backup-here", root)
    with Store("saved", root) as s:
        assert s["k"] == "old"


def test_library_lines_reach_the_logger(root, library_log):
    with Store("logged", root) as s:
        s["k"] = "v"
    records = [r for r in library_log.records if r.name == "corvane_vorn"]
    loaded = [r for r in records if r.getMessage() == "loaded [logged] with 0 key-values"]
    assert len(loaded) == 1 and loaded[0].levelno == logging.INFO
    assert loaded[0].funcName and loaded[0].pathname  # the library's call site


def test_default_level_passes_only_warnings_and_errors(root, caplog):
    caplog.set_level(logging.DEBUG, logger="corvane_vorn")
    with Store("quiet", root, key="sixteen byte key") as s:
        for i in range(50):
            s[f"k{i}"] = "v" * 30
    assert caplog.records == []
    with pytest.raises(corvane_vorn.WrongKeyError):
        Store("quiet", root, key="another key 1234")
    assert caplog.records and {r.levelno for r in caplog.records} == {logging.ERROR}
    assert any("wrong or missing key" in r.getMessage() for r in caplog.records)
