"""Errors: bad arguments, absent keys, wrong types, read-only stores, wrong keys,
closed stores and refused writes."""

import os

import pytest

import corvane_vorn


@pytest.mark.parametrize(
    "key,error",
    [("", ValueError), (b"", ValueError), (5, TypeError), (None, TypeError), (("a",), TypeError)],
)
def test_bad_keys_are_refused_everywhere(store, key, error):
    for operation in (
        lambda: store[key],
        lambda: store.__setitem__(key, "v"),
        lambda: store.__delitem__(key),
        lambda: store.get(key),
        lambda: store.set_int32(key, 1),
        lambda: store.get_string(key, None),
        lambda: store.expire_time(key),
    ):
        with pytest.raises(error):
            operation()
    assert len(store) == 0


@pytest.mark.parametrize("value", [5, 1.5, None, ["a"], True])
def test_mapping_values_are_only_text_and_bytes(store, value):
    with pytest.raises(TypeError):
        store["k"] = value
    assert "k" not in store


# (setter, value, getter): values whose bytes cannot decode as the type asked for.
WRONG_TYPES = [
    ("set_bool", True, "get_double"),  # 1 byte, a double needs 8
    ("set_int32", 300, "get_float"),  # 2 bytes, a float needs 4
    ("set_string", "ab", "get_strings"),  # an item length of 97 in a 2-byte list
    ("set_string", "abc", "get_double"),
]


@pytest.mark.parametrize("setter,value,getter", WRONG_TYPES)
def test_typed_getter_of_another_shape_raises_type_error(store, setter, value, getter):
    getattr(store, setter)("k", value)
    with pytest.raises(TypeError):
        getattr(store, getter)("k")
    with pytest.raises(TypeError):  # a default is for absent keys only
        getattr(store, getter)("k", None)


def test_mapping_read_of_a_scalar_raises_type_error(store):
    store.set_int64("n", 300)
    store.set_double("d", 2.5)
    for key in ("n", "d"):
        with pytest.raises(TypeError):
            store[key]
    assert store.get_int64("n") == 300


def test_get_string_of_bytes_that_are_not_utf8(store):
    store.set_bytes("k", b"\xff")
    with pytest.raises(UnicodeDecodeError):
        store.get_string("k")


def test_read_only_store_refuses_every_write_and_keeps_its_contents(root, tmp_path):
    with corvane_vorn.Store("ro", root) as s:
        s["k"] = "v"
        s.set_int32("n", 1)
        s.backup(tmp_path / "bk")
    before = {name: open(os.path.join(root, name), "rb").read() for name in ("ro", "ro.crc")}

    s = corvane_vorn.Store("ro", root, read_only=True)
    writes = [
        lambda: s.__setitem__("k", "w"),
        lambda: s.__setitem__("new", b"w"),
        lambda: s.__delitem__("k"),
        lambda: s.set_int32("n", 2),
        lambda: s.set_strings("l", ["a"]),
        lambda: s.remove_values(["k"]),
        lambda: s.clear(),
        lambda: s.trim(),
        lambda: s.rekey("sixteen byte key"),
        lambda: s.expire_enable(),
        lambda: s.expire_disable(),
        lambda: s.restore(tmp_path / "bk"),
    ]
    for write in writes:
        with pytest.raises(corvane_vorn.ReadOnlyError):
            write()
    assert s.read_only and s.inspect().read_only
    assert s["k"] == "v" and s.get_int32("n") == 1 and sorted(s) == ["k", "n"]
    s.close()
    after = {name: open(os.path.join(root, name), "rb").read() for name in ("ro", "ro.crc")}
    assert after == before
    assert issubclass(corvane_vorn.ReadOnlyError, OSError)


def test_read_only_open_of_a_missing_store(root):
    with pytest.raises(FileNotFoundError):
        corvane_vorn.Store("absent", root, read_only=True)
    assert os.listdir(root) == []


KEY16 = "the-right-key-16"
KEY32 = "the-right-key-of-32-bytes-for-it"


@pytest.fixture
def encrypted_store(root):
    """An AES-128 store of 50 keys (enough bytes that a wrong key cannot decode them)."""
    with corvane_vorn.Store("secret", root, key=KEY16) as s:
        for i in range(50):
            s[f"key-{i}"] = f"value-{i}" * 8
    return root


@pytest.mark.parametrize(
    "options",
    [
        {"key": "the-wrong-key-16"},
        {"key": KEY16[:-1] + "7"},
        {"key": KEY16, "aes256": True},
        {},  # no key for an encrypted store
        {"key": KEY16.encode()[::-1]},
    ],
    ids=["wrong", "last-byte", "aes256", "none", "bytes"],
)
def test_wrong_key_raises_and_leaves_the_files_alone(encrypted_store, options):
    root = encrypted_store
    before = {name: open(os.path.join(root, name), "rb").read() for name in ("secret", "secret.crc")}
    with pytest.raises(corvane_vorn.WrongKeyError) as raised:
        corvane_vorn.Store("secret", root, **options)
    assert isinstance(raised.value, OSError)
    assert "does not open store 'secret'" in str(raised.value)
    after = {name: open(os.path.join(root, name), "rb").read() for name in ("secret", "secret.crc")}
    assert after == before
    # The right key still opens it, as bytes or str.
    with corvane_vorn.Store("secret", root, key=KEY16.encode()) as s:
        assert len(s) == 50 and s["key-49"] == "value-49" * 8


def test_second_open_in_the_process_must_match_the_first(root):
    s = corvane_vorn.Store("shared", root, key=KEY32, aes256=True)
    with pytest.raises(corvane_vorn.WrongKeyError):
        corvane_vorn.Store("shared", root, key="another key of thirty-two bytes!", aes256=True)
    with pytest.raises(corvane_vorn.WrongKeyError):
        corvane_vorn.Store("shared", root)
    with pytest.raises(ValueError):
        corvane_vorn.Store("shared", root, key=KEY32, aes256=True, multi_process=True)
    same = corvane_vorn.Store("shared", root, key=KEY32, aes256=True)
    same["k"] = "v"
    assert s["k"] == "v"
    s.close()
    s.close()  # closing twice is harmless
    with pytest.raises(ValueError):
        s["k"]
    assert same["k"] == "v"  # the other handle keeps the store open
    same.close()
    with corvane_vorn.Store("shared", root, key=KEY32, aes256=True) as again:
        assert again["k"] == "v"


def test_write_refused_by_the_library_says_why(store):
    with pytest.raises(corvane_vorn.Error) as raised:
        store["k" * 70_000] = "v"  # a key part the store can never index
    assert "writing key" in str(raised.value) and ": " in str(raised.value).split("refused", 1)[1]
    assert len(store) == 0


def test_store_without_root_before_initialize(tmp_path):
    # The global root is per process: check it in a fresh one.
    from conftest import run_python

    code = """
import os, sys, corvane_vorn
root, other = sys.argv[1], sys.argv[2]
try:
    corvane_vorn.Store("x")
    raise SystemExit("opened without a root")
except ValueError:
    pass
with corvane_vorn.Store("y", other) as s:  # a root of its own needs no initialize()
    s["k"] = "v"
corvane_vorn.initialize(root)
with corvane_vorn.Store("x") as s:
    s["k"] = "v"
assert os.path.exists(os.path.join(root, "x")) and os.path.exists(os.path.join(root, "x.crc"))
corvane_vorn.initialize(root)  # the same root again is fine
try:
    corvane_vorn.initialize(other)
    raise SystemExit("a second root was accepted")
except ValueError:
    pass
print("ok")
"""
    result = run_python(code, str(tmp_path / "global"), str(tmp_path / "other"))
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"  # the library prints nothing itself
    assert result.stderr == ""  # nor logs anything at the default level
