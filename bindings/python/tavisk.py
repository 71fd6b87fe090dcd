"""Python binding for the tavisk shared library (through ctypes).

    import tavisk
    result = tavisk.shrink(open("issues.json").read(), max_chars=2000, protect=["/*/number"])
    print(result["text"])
    print(result["report"]["fits"])

Options are the library's option keys as keyword arguments (max_chars, indent,
format, input_format, field_scorer, array_strategy, protect, arguments,
explain, keep_last_item, max_samples, min_partial_chars, string_head_chars,
string_section_chars, string_min_section_chars, strip_ansi).

The library is found through the TAVISK_LIBRARY environment variable (a path
to libtavisk.so.0), then in the build directories of this checkout, then by the
system's loader.
"""

import ctypes
import json
import os
import threading

__all__ = ["Error", "shrink", "version"]

_SONAME = "libtavisk.so.0"
_HERE = os.path.dirname(os.path.abspath(__file__))
_CHECKOUT = os.path.dirname(os.path.dirname(_HERE))
_BUILD_DIRS = ("build", "build-release", "build-asan")

_lock = threading.Lock()
_lib = None


class Error(Exception):
    """The library answered with an error envelope; `message` is its text."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


def _candidates():
    env = os.environ.get("TAVISK_LIBRARY")
    if env:
        return [env]
    paths = [os.path.join(_CHECKOUT, d, _SONAME) for d in _BUILD_DIRS]
    return [p for p in paths if os.path.exists(p)] + [_SONAME]


def _load():
    global _lib
    with _lock:
        if _lib is not None:
            return _lib
        errors = []
        for path in _candidates():
            try:
                lib = ctypes.CDLL(path)
                break
            except OSError as e:
                errors.append(str(e))
        else:
            raise OSError("cannot load %s: %s" % (_SONAME, "; ".join(errors)))
        u64 = ctypes.c_uint64
        lib.tavisk_shrink.argtypes = [ctypes.c_char_p, u64, ctypes.c_char_p, u64, ctypes.POINTER(u64)]
        lib.tavisk_shrink.restype = ctypes.c_void_p
        lib.tavisk_free.argtypes = [ctypes.c_void_p, u64]
        lib.tavisk_free.restype = None
        lib.tavisk_version.argtypes = []
        lib.tavisk_version.restype = ctypes.c_char_p
        _lib = lib
        return lib


def version():
    """The library's version text, e.g. "0.2.1"."""
    return _load().tavisk_version().decode("utf-8")


def _envelope(document, options):
    lib = _load()
    data = document.encode("utf-8") if isinstance(document, str) else bytes(document)
    opts = json.dumps(options, ensure_ascii=False).encode("utf-8")
    length = ctypes.c_uint64(0)
    ptr = lib.tavisk_shrink(data, len(data), opts, len(opts), ctypes.byref(length))
    try:
        return ctypes.string_at(ptr, length.value)
    finally:
        lib.tavisk_free(ptr, length.value)


def shrink(document, **options):
    """Shrinks `document` (str or UTF-8 bytes) under the given options.

    Without input_format the reader is detected: JSON if the document parses
    as JSON, YAML if it parses as a YAML mapping or sequence and loses nothing
    (no comment lines with content, such as Markdown headings), else plain
    text; result["report"]["input_format"] names it.

    Returns {"text": the shrunk document, "report": the report dict}; raises
    Error with the library's message on an error envelope.
    """
    options.setdefault("input_format", "detect")
    envelope = json.loads(_envelope(document, options))
    if not envelope.get("ok"):
        raise Error(envelope.get("error", "malformed envelope"))
    return {"text": envelope["text"], "report": envelope["report"]}
