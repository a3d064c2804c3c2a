"""An encrypted store's files never hold its keys or values in clear."""

import os

import pytest

from corvane_vorn import Store

MARKER = b"PLAINTEXT-MARKER"


def all_file_bytes(root):
    data = b""
    for folder, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(folder, name), "rb") as f:
                data += f.read()
    return data


@pytest.mark.parametrize(
    "key,aes256",
    [("sixteen byte key", False), (b"a thirty-two byte key for AES!!!", True)],
    ids=["aes128", "aes256"],
)
def test_encrypted_files_never_hold_the_plaintext(root, key, aes256):
    marker = MARKER.decode()
    with Store("enc", root, key=key, aes256=aes256) as s:
        for i in range(100):
            s[f"{marker}-key-{i}"] = f"{marker}-value-{i}"
        s.set_strings("list", [marker] * 3)
        s.set_bytes("blob", MARKER * 40)
        for i in range(50):
            del s[f"{marker}-key-{i}"]
        s.trim()  # a rewrite as well as appends
        assert s.inspect().encrypted
    assert MARKER not in all_file_bytes(root)

    # A new key rewrites everything; the old ciphertext does not linger either.
    with Store("enc", root, key=key, aes256=aes256) as s:
        s.rekey("another 16b key!")
    assert MARKER not in all_file_bytes(root)

    with Store("enc", root, key="another 16b key!") as s:
        assert len(s) == 52
        assert s[f"{marker}-key-99"] == f"{marker}-value-99"
        assert s.get_strings("list") == [marker] * 3
        assert s.get_bytes("blob") == MARKER * 40
        s.rekey(None)  # in clear: the same search now finds the values
        assert not s.inspect().encrypted
    assert MARKER in all_file_bytes(root)
    with Store("enc", root) as s:
        assert s[f"{marker}-key-50"] == f"{marker}-value-50"
