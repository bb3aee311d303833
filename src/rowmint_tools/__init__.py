"""Reading, checking, comparing and converting row files, beside the rowmint
module.

    from rowmint_tools import check, convert, diff, export, read_row_file

`read_row_file` reads a row file strictly; `check` proves it against the ELF
or HEX file it came from; `convert` runs a conversion through rowmint.main()
as it is, with keywords and path objects, and may prove the result before it
replaces the old row file; `diff` compares two row files; `export` writes
what a device holds after the bootloader has written one, as Intel HEX or
binary.
"""

from typing import Any

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .conversion import CheckFailed, Summary, convert
    from .image import Image, Piece
    from .output_file import OutputRefused
    from .proof import Report, check
    from .row_diff import Diff, RowChange, Span, diff
    from .row_export import Exported, export
    from .row_file import Problem, Row, RowFile, read_row_file
    from .row_input import Finding, RowFileRefused, TooLarge

# Each name is loaded from its module at first use: a command imports only
# what it runs (the conversion's helpers, the ELF and HEX readers, the
# exporter each cost start-up time).
_MODULES = {
    "conversion": ("CheckFailed", "Summary", "convert"),
    "image": ("Image", "Piece"),
    "output_file": ("OutputRefused",),
    "proof": ("Report", "check"),
    "row_diff": ("Diff", "RowChange", "Span", "diff"),
    "row_export": ("Exported", "export"),
    "row_file": ("Problem", "Row", "RowFile", "read_row_file"),
    "row_input": ("Finding", "RowFileRefused", "TooLarge"),
}
_HOME = {name: module for module, names in _MODULES.items() for name in names}

__all__ = [
    "CheckFailed", "Diff", "Exported", "Finding", "Image", "OutputRefused", "Piece", "Problem", "Report",
    "Row", "RowChange", "RowFile", "RowFileRefused", "Span", "Summary", "TooLarge",
    "check", "convert", "diff", "export", "read_row_file",
]


def __getattr__(name: str) -> Any:
    module = _HOME.get(name)
    if module is None:
        raise AttributeError("module %r has no attribute %r" % (__name__, name))
    from importlib import import_module
    value = getattr(import_module("." + module, __name__), name)
    globals()[name] = value
    return value


def __dir__() -> Any:
    return sorted(set(globals()) | set(_HOME))
