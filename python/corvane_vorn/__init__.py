"""corvane_vorn: a persistent, memory-mapped key-value store.

    import corvane_vorn

    with corvane_vorn.Store("prefs", "/var/lib/myapp/stores") as prefs:
        prefs["greeting"] = "hello"          # a string
        prefs["blob"] = b"\\x00\\x01"          # bytes
        prefs.set_int64("launches", 3)       # typed setters match the C++ ones
        prefs.get_int64("launches")          # -> 3

Values carry no type tag (the files hold the bytes the setter wrote). The
mapping read ``store[key]`` decodes the value as a length-prefixed string, as
``set_string``/``set_bytes`` (and ``store[key] = ...``) write it: ``str`` when
those bytes are valid UTF-8, else ``bytes``; ``TypeError`` for a value of any
other shape. So ``store[k] = b"abc"`` reads back as ``"abc"``, and some values
of other setters (an int 0, a list of strings) read as text: use the typed
getters (``get_bytes``, ``get_int64``, ...) where the type matters.

Keys are ``str`` (stored as UTF-8) or ``bytes``; keys read back (iteration,
``keys()``) are ``str`` when valid UTF-8, else ``bytes``.

Every call releases the GIL; the store's own locks make concurrent use from
threads safe. Log lines of the library go to the ``logging`` logger
"corvane_vorn" (warnings and errors only, unless ``initialize()`` or
``set_log_level()`` says otherwise). A damaged store is recovered on open
(every record that still decodes is kept; the log says so).

Do not use a store across ``fork()``: handles opened before a fork raise
``ValueError`` (closed) in the child; open stores in the child instead, in a
child of a process that had none open (``multiprocessing`` with "spawn").
"""

from collections.abc import MutableMapping as _MutableMapping

from ._corvane_vorn import (
    Error,
    Inspection,
    ReadOnlyError,
    Store,
    WrongKeyError,
    __version__,
    backup,
    initialize,
    on_content_changed,
    restore,
    set_log_level,
)

# The rest of the mapping protocol. items, values and update come from the
# standard mixins (they work through __getitem__, __setitem__ and __iter__).
_MISSING = object()


def _pop(self, key, default=_MISSING):
    """Removes key and returns its value; default (or KeyError) when absent."""
    try:
        value = self[key]
    except KeyError:
        if default is _MISSING:
            raise
        return default
    del self[key]
    return value


def _popitem(self):
    """Removes and returns some (key, value) pair; KeyError when empty."""
    for key in self:
        return key, self.pop(key)
    raise KeyError("popitem(): the store is empty")


def _setdefault(self, key, default):
    """store[key] if present, else stores default and returns it."""
    try:
        return self[key]
    except KeyError:
        self[key] = default
        return default


Store.items = _MutableMapping.items
Store.values = _MutableMapping.values
Store.update = _MutableMapping.update
Store.pop = _pop
Store.popitem = _popitem
Store.setdefault = _setdefault
_MutableMapping.register(Store)

__all__ = [
    "Error",
    "Inspection",
    "ReadOnlyError",
    "Store",
    "WrongKeyError",
    "backup",
    "initialize",
    "on_content_changed",
    "restore",
    "set_log_level",
]
