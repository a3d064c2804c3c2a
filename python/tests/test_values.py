"""Typed round trips and the mapping protocol."""

import math
import struct
import sys
from collections.abc import MutableMapping

import pytest

import corvane_vorn

FLOAT_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
FLOAT_TINY = struct.unpack("<f", b"\x01\x00\x00\x00")[0]  # smallest subnormal

# (type, value): every setter, its limits and its empty value.
ROUND_TRIPS = [
    ("bool", True),
    ("bool", False),
    ("int32", -(2**31)),
    ("int32", 2**31 - 1),
    ("int32", -1),
    ("int32", 0),
    ("uint32", 2**32 - 1),
    ("uint32", 0),
    ("int64", -(2**63)),
    ("int64", 2**63 - 1),
    ("int64", -1),
    ("uint64", 2**64 - 1),
    ("uint64", 0),
    ("float", 1.5),
    ("float", -FLOAT_MAX),
    ("float", FLOAT_TINY),
    ("float", -0.0),
    ("float", math.inf),
    ("float", math.nan),
    ("double", 0.1),
    ("double", sys.float_info.max),
    ("double", 5e-324),
    ("double", -math.inf),
    ("double", math.nan),
    ("string", ""),
    ("string", "Grüße ✓ 🙂"),
    ("string", "nul\x00inside"),
    ("string", "x" * 100_000),
    ("bytes", b""),
    ("bytes", bytes(range(256))),
    ("bytes", b"\x00" * 70_000),
    ("strings", []),
    ("strings", ["", "a", "Grüße"]),
    ("strings", ["y" * 300] * 3),
]


def same(kind, got, expected):
    if kind == "float":
        return struct.pack("<f", got) == struct.pack("<f", expected)
    if kind == "double":
        return struct.pack("<d", got) == struct.pack("<d", expected)
    return type(got) is type(expected) and got == expected


@pytest.mark.parametrize("kind,value", ROUND_TRIPS, ids=lambda v: repr(v)[:24])
def test_typed_round_trip_survives_reopen(root, kind, value):
    with corvane_vorn.Store("typed", root) as s:
        getattr(s, "set_" + kind)("k", value)
        assert same(kind, getattr(s, "get_" + kind)("k"), value)
    with corvane_vorn.Store("typed", root) as s:
        assert same(kind, getattr(s, "get_" + kind)("k"), value)
        assert list(s) == ["k"]


# (type, value, exception): values a setter cannot store as that type.
REFUSED_VALUES = [
    ("int32", 2**31, OverflowError),
    ("int32", -(2**31) - 1, OverflowError),
    ("uint32", -1, OverflowError),
    ("uint32", 2**32, OverflowError),
    ("int64", 2**63, OverflowError),
    ("uint64", 2**64, OverflowError),
    ("uint64", -1, OverflowError),
    ("float", 1e39, OverflowError),
    ("int64", 1.5, TypeError),
    ("string", b"bytes", TypeError),
    ("bytes", "text", TypeError),
    ("strings", "abc", TypeError),
    ("strings", ["a", 1], TypeError),
]


@pytest.mark.parametrize("kind,value,error", REFUSED_VALUES, ids=lambda v: repr(v)[:24])
def test_setter_refuses_out_of_type_values_and_stores_nothing(store, kind, value, error):
    with pytest.raises(error):
        getattr(store, "set_" + kind)("k", value)
    assert "k" not in store


def test_mapping_protocol(store):
    assert isinstance(store, MutableMapping)
    store["text"] = "Grüße"
    store[b"raw"] = b"\xff\xfe"
    store["array"] = bytearray(b"\x80")
    store["view"] = memoryview(b"\x81\x82")
    assert store["text"] == "Grüße"
    assert store["raw"] == b"\xff\xfe"  # a bytes key names the same key as its UTF-8 str
    assert store[b"array"] == b"\x80" and store["view"] == b"\x81\x82"
    assert len(store) == 4
    assert sorted(store) == sorted(store.keys()) == ["array", "raw", "text", "view"]
    assert "text" in store and b"text" in store and "nope" not in store
    assert 5 not in store and "" not in store
    assert store.get("nope") is None and store.get("nope", "d") == "d"
    assert store.get("text") == "Grüße"

    store["text"] = "replaced"
    assert store["text"] == "replaced" and len(store) == 4
    del store["text"]
    assert "text" not in store and len(store) == 3
    with pytest.raises(KeyError):
        del store["text"]
    with pytest.raises(KeyError):
        store["text"]

    # The standard mixins work through the protocol.
    store.update({"a": "1"}, b="2")
    assert dict(store.items())["b"] == "2"
    assert store.pop("a") == "1" and store.pop("a", None) is None
    assert store.setdefault("c", "3") == "3" and store.setdefault("c", "4") == "3"


# (stored as, value, mapping read): values carry no type tag, the read decides.
MAPPING_READS = [
    ("str", "plain", "plain"),
    ("str", "", ""),
    ("bytes", b"ascii", "ascii"),  # valid UTF-8 reads as text
    ("bytes", b"\xc3\x28", b"\xc3\x28"),  # invalid UTF-8 stays bytes
    ("bytes", b"", ""),
]


@pytest.mark.parametrize("kind,value,read", MAPPING_READS)
def test_mapping_read_is_text_exactly_when_the_bytes_are_utf8(store, kind, value, read):
    store["k"] = value
    got = store["k"]
    assert type(got) is type(read) and got == read
    # The typed getters give certainty.
    if kind == "bytes":
        assert store.get_bytes("k") == value


def test_non_utf8_keys_come_back_as_bytes(store):
    store[b"\xff\x00key"] = "v"
    store["ключ"] = "w"
    assert sorted(store.keys(), key=repr) == sorted([b"\xff\x00key", "ключ"], key=repr)
    assert store[b"\xff\x00key"] == "v"


def test_strings_items_that_are_not_utf8_come_back_as_bytes(store):
    store.set_strings("k", ["a", b"\xff"])
    assert store.get_strings("k") == ["a", b"\xff"]


def test_typed_getters_default_and_missing(store):
    store.set_int32("n", 42)
    assert store.get_int32("n", 7) == 42
    assert store.get_int32("absent", 7) == 7
    assert store.get_string("absent", None) is None
    with pytest.raises(KeyError):
        store.get_double("absent")
    with pytest.raises(KeyError):
        store.get_strings("absent")
