"""Shrink JSON, YAML or prose documents to fit a context window.

    >>> import tavisk
    >>> result = tavisk.shrink({"items": list(range(1000))}, max_chars=60, indent=0)
    >>> result.text
    '{"items":[0,1,2,3,4,5,6,7,8,9,"…[989 items omitted]",999]}'
    >>> result.report.fits, result.report.items_omitted
    (True, 989)

The native library ships inside this package; nothing else is needed.
"""

from ._core import (
    DroppedField,
    FieldDecision,
    InputError,
    InternalError,
    OptionsError,
    Report,
    Result,
    TaviskError,
    chars_for_tokens,
    library_version,
    shrink,
)

__version__ = "0.2.1"

__all__ = [
    "DroppedField",
    "FieldDecision",
    "InputError",
    "InternalError",
    "OptionsError",
    "Report",
    "Result",
    "TaviskError",
    "chars_for_tokens",
    "library_version",
    "shrink",
]
