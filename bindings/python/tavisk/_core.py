"""The call into libtavisk.so.0 (through ctypes) and the typed result."""

from __future__ import annotations

import ctypes
import json
import math
import os
from dataclasses import dataclass, field
from types import MappingProxyType
from typing import Any, Mapping, Optional, Sequence, Tuple, Union

_SONAME = "libtavisk.so.0"
# Documents given as text are read by whichever reader fits (JSON, YAML, else plain text) unless
# the caller names one; values serialised here are JSON.
_DEFAULT_INPUT_FORMAT = "detect"
# Built once: json.dumps with non-default arguments builds a new encoder per call.
_to_json = json.JSONEncoder(ensure_ascii=False, allow_nan=False, separators=(",", ":")).encode
_U64_MAX = 2**64 - 1
# The library's own answer to a call it could not finish; every other message
# names its kind by its start (see _error_for).
_INTERNAL_MESSAGE = "internal error (panic) in tavisk"

Document = Union[str, bytes, bytearray, memoryview, Mapping[str, Any], Sequence[Any], int, float, bool, None]


class TaviskError(Exception):
    """The library refused a call; `message` is its text, unchanged."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class InputError(TaviskError, ValueError):
    """The document could not be read (not UTF-8, or not valid JSON or YAML)."""


class OptionsError(TaviskError, ValueError):
    """An option was unknown or had a value of the wrong kind."""


class InternalError(TaviskError, RuntimeError):
    """The library failed inside a call; worth reporting with the document."""


def _error_for(message: str) -> TaviskError:
    if message.startswith(("invalid options", "options ")):
        return OptionsError(message)
    if message.startswith("internal error"):
        return InternalError(message)
    # What is neither about the options nor internal is about the document:
    # "input is not valid UTF-8" and "invalid <format> input: ...".
    return InputError(message)


def _load() -> ctypes.CDLL:
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), _SONAME)
    if not os.path.exists(path):
        raise ImportError(
            "%s is missing from the tavisk package at %s; build the package with "
            "`python3 -m pip wheel bindings/python` or `python3 -m pip install -e bindings/python`"
            % (_SONAME, os.path.dirname(path))
        )
    # CDLL (not PyDLL) releases the interpreter lock for the length of each call.
    lib = ctypes.CDLL(path)
    u64 = ctypes.c_uint64
    lib.tavisk_shrink.argtypes = [ctypes.c_char_p, u64, ctypes.c_char_p, u64, ctypes.POINTER(u64)]
    lib.tavisk_shrink.restype = ctypes.c_void_p
    lib.tavisk_free.argtypes = [ctypes.c_void_p, u64]
    lib.tavisk_free.restype = None
    lib.tavisk_version.argtypes = []
    lib.tavisk_version.restype = ctypes.c_char_p
    return lib


_lib = _load()


def library_version() -> str:
    """The version of the bundled library, e.g. "0.2.1"."""
    return _lib.tavisk_version().decode("utf-8")


@dataclass(frozen=True)
class FieldDecision:
    """One per-field decision of condensing (recorded with ``explain=True``)."""

    path: str
    score: float
    kept: bool
    relevance: float


@dataclass(frozen=True)
class DroppedField:
    """A field that condensing left out, with the number of items that lost it."""

    path: str
    items: int


@dataclass(frozen=True)
class Report:
    """What one call did. Field names are the library's report keys."""

    input_chars: int
    output_chars: int
    max_chars: int
    format: str
    input_format: str
    pruned: bool
    fits: bool
    strings_truncated: int
    arrays_sampled: int
    items_omitted: int
    objects_trimmed: int
    keys_omitted: int
    containers_collapsed: int
    arrays_condensed: int
    protected_omitted: int
    field_decisions: Tuple[FieldDecision, ...]
    fields_dropped: int
    dropped_fields: Tuple[DroppedField, ...]
    #: Report keys this version of the package does not name, in the library's order.
    extra: Mapping[str, Any] = field(default_factory=lambda: MappingProxyType({}))

    def to_dict(self) -> dict:
        """The report as the library wrote it: a dict with its keys in order."""
        out: dict = {}
        for name in _REPORT_KEYS:
            value = getattr(self, name)
            if name == "field_decisions":
                value = [
                    {"path": d.path, "score": d.score, "kept": d.kept, "relevance": d.relevance} for d in value
                ]
            elif name == "dropped_fields":
                value = [{"path": d.path, "items": d.items} for d in value]
            out[name] = value
        out.update(self.extra)
        return out


_REPORT_KEYS = tuple(f for f in Report.__dataclass_fields__ if f != "extra")


@dataclass(frozen=True)
class Result:
    """A successful call: the shrunk document text and the report."""

    text: str
    report: Report


def _report(raw: Mapping[str, Any]) -> Report:
    try:
        values = {name: raw[name] for name in _REPORT_KEYS}
        values["field_decisions"] = tuple(
            FieldDecision(d["path"], d["score"], d["kept"], d["relevance"]) for d in raw["field_decisions"]
        )
        values["dropped_fields"] = tuple(DroppedField(d["path"], d["items"]) for d in raw["dropped_fields"])
    except (KeyError, TypeError) as e:
        raise InternalError("malformed report from the library: %r" % (e,)) from None
    values["extra"] = MappingProxyType({k: v for k, v in raw.items() if k not in values})
    # Filled in one step rather than through the frozen __init__'s per-field setattr: a
    # noticeable share of a small call.
    report = object.__new__(Report)
    report.__dict__.update(values)
    return report


def chars_for_tokens(max_tokens: int, chars_per_token: float = 3.5) -> int:
    """The character budget for a token budget: floor(max_tokens * chars_per_token).

    The product is taken in double precision and saturates at 2**64 - 1, the
    same arithmetic as the command's ``--max-tokens`` and the Node.js package.

    >>> chars_for_tokens(1000)
    3500
    """
    if isinstance(max_tokens, bool) or not isinstance(max_tokens, int) or max_tokens < 0:
        raise OptionsError("max_tokens must be a non-negative integer")
    if (
        isinstance(chars_per_token, bool)
        or not isinstance(chars_per_token, (int, float))
        or not math.isfinite(chars_per_token)
        or chars_per_token <= 0
    ):
        raise OptionsError("chars_per_token must be a positive number")
    product = float(max_tokens) * float(chars_per_token)
    if product >= 2.0**64:
        return _U64_MAX
    return int(math.floor(product))


def _document_bytes(document: Document) -> Tuple[bytes, bool]:
    """The document's bytes, and whether the binding serialised it as JSON."""
    if isinstance(document, str):
        # Lone surrogates pass through so the library answers them like any other bad UTF-8.
        return document.encode("utf-8", "surrogatepass"), False
    if isinstance(document, bytes):
        return document, False
    if isinstance(document, (bytearray, memoryview)):
        return bytes(document), False
    try:
        text = _to_json(document)
    except (TypeError, ValueError) as e:
        raise TypeError("document must be str, bytes or a JSON-serialisable value: %s" % e) from None
    return text.encode("utf-8", "surrogatepass"), True


def _call(data: bytes, options: bytes) -> bytes:
    length = ctypes.c_uint64(0)
    ptr = _lib.tavisk_shrink(data, len(data), options, len(options), ctypes.byref(length))
    try:
        return ctypes.string_at(ptr, length.value)
    finally:
        _lib.tavisk_free(ptr, length.value)


def shrink(
    document: Document,
    *,
    max_chars: Optional[int] = None,
    max_tokens: Optional[int] = None,
    chars_per_token: Optional[float] = None,
    indent: Optional[int] = None,
    format: Optional[str] = None,
    input_format: Optional[str] = None,
    field_scorer: Optional[str] = None,
    array_strategy: Optional[str] = None,
    protect: Union[str, Sequence[str], None] = None,
    arguments: Any = None,
    explain: Optional[bool] = None,
    keep_last_item: Optional[bool] = None,
    max_samples: Optional[int] = None,
    min_partial_chars: Optional[int] = None,
    string_head_chars: Optional[int] = None,
    string_section_chars: Optional[int] = None,
    string_min_section_chars: Optional[int] = None,
    strip_ansi: Optional[bool] = None,
    focus: Optional[str] = None,
    **more_options: Any,
) -> Result:
    """Shrinks `document` so that its rendering fits `max_chars` characters.

    `document` is a ``str``, UTF-8 ``bytes``, or any JSON-serialisable value
    (dicts and lists are serialised here, and read back as JSON unless
    `input_format` says otherwise). Options left at ``None`` take these
    defaults (the library's, but for `input_format`):

    - ``max_chars`` (10000): the character budget of ``result.text``.
    - ``max_tokens`` / ``chars_per_token`` (3.5): a token budget instead;
      ``max_chars`` becomes ``floor(max_tokens * chars_per_token)``.
    - ``indent`` (2; 0 gives compact JSON), ``format`` ("auto", "json",
      "yaml", "text").
    - ``input_format``: "detect" for text and bytes (JSON if it parses,
      else YAML that loses nothing, else plain text), "json" for values
      serialised here; also "auto", "json", "yaml", "text", "jsonl".
    - ``strip_ansi`` (False): drop terminal escape sequences from text.
    - ``focus`` ("none"; or "auto"): serve the parts that match `arguments`
      first; the report then carries five more counters (in ``extra``).
    - ``field_scorer`` ("heuristic", "compact", "key_order"),
      ``array_strategy`` ("sample", "condense").
    - ``protect`` ([]): path patterns such as ``"/items/*/id"`` whose nodes
      are never shortened; ``arguments`` (none): the request that produced
      the document, any JSON value, whose words rank keys and values.
    - ``explain`` (False), ``keep_last_item`` (True), ``max_samples`` (3),
      ``min_partial_chars`` (40), ``string_head_chars`` (500),
      ``string_section_chars`` (100), ``string_min_section_chars`` (16).

    Further keyword arguments are passed to the library as option keys, so
    options newer than this signature work too.

    Raises `InputError`, `OptionsError` or `InternalError` (all
    `TaviskError`, carrying the library's message), and `TypeError` for a
    document or option value that cannot be written as JSON. The library
    runs without the interpreter lock, so threads shrink in parallel.

    >>> r = shrink({"id": 7, "tags": ["a", "b"]}, max_chars=100, indent=0)
    >>> r.text, r.report.fits, r.report.input_format
    ('{"id":7,"tags":["a","b"]}', True, 'json')
    """
    options: dict = {}
    if max_tokens is not None:
        if max_chars is not None:
            raise OptionsError("give max_chars or max_tokens, not both")
        max_chars = chars_for_tokens(max_tokens, 3.5 if chars_per_token is None else chars_per_token)
    elif chars_per_token is not None:
        raise OptionsError("chars_per_token needs max_tokens")
    named = (
        ("max_chars", max_chars),
        ("indent", indent),
        ("format", format),
        ("input_format", input_format),
        ("field_scorer", field_scorer),
        ("array_strategy", array_strategy),
        ("protect", protect),
        ("arguments", arguments),
        ("explain", explain),
        ("keep_last_item", keep_last_item),
        ("max_samples", max_samples),
        ("min_partial_chars", min_partial_chars),
        ("string_head_chars", string_head_chars),
        ("string_section_chars", string_section_chars),
        ("string_min_section_chars", string_min_section_chars),
        ("strip_ansi", strip_ansi),
        ("focus", focus),
    )
    for key, value in named:
        if value is not None:
            options[key] = value
    options.update(more_options)
    data, serialised = _document_bytes(document)
    if "input_format" not in options:
        options["input_format"] = "json" if serialised else _DEFAULT_INPUT_FORMAT
    try:
        options_text = _to_json(options)
    except (TypeError, ValueError) as e:
        raise TypeError("options must be JSON-serialisable: %s" % e) from None
    envelope = json.loads(_call(data, options_text.encode("utf-8", "surrogatepass")))
    if envelope.get("ok") is not True:
        raise _error_for(str(envelope.get("error", "malformed envelope from the library")))
    return Result(envelope["text"], _report(envelope["report"]))
