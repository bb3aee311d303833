"""Reading, checking, comparing and converting row files, beside the rowmint
module.

    from rowmint_tools import check, convert, diff, export, read_row_file

`read_row_file` reads a row file strictly; `check` proves it against the ELF
or HEX file it came from; `convert` runs a conversion through rowmint.main()
as it is, with keywords and path objects, and may prove the result before it
replaces the old row file; `diff` compares two row files; `export` writes
what a device holds after the bootloader has written one, as Intel HEX or
binary.

The names are loaded when first used: each command imports only what it
runs, and start-up time is most of what a check costs.
"""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .conversion import CheckFailed, Summary, convert
    from .image import Image, Piece
    from .input_files import InputRefused
    from .output_file import OutputRefused
    from .proof import Report, check
    from .row_diff import Diff, RowChange, Span, diff
    from .row_export import Exported, export
    from .row_file import Problem, Row, RowFile, read_row_file
    from .row_input import Finding, RowFileRefused, TooLarge

_MODULES = {
    "conversion": ("CheckFailed", "Summary", "convert"),
    "image": ("Image", "Piece"),
    "input_files": ("InputRefused",),
    "output_file": ("OutputRefused",),
    "proof": ("Report", "check"),
    "row_diff": ("Diff", "RowChange", "Span", "diff"),
    "row_export": ("Exported", "export"),
    "row_file": ("Problem", "Row", "RowFile", "read_row_file"),
    "row_input": ("Finding", "RowFileRefused", "TooLarge"),
}
_HOME = {name: module for module, names in _MODULES.items() for name in names}

__all__ = [
    "CheckFailed", "Diff", "Exported", "Finding", "Image", "InputRefused", "OutputRefused", "Piece", "Problem",
    "Report", "Row", "RowChange", "RowFile", "RowFileRefused", "Span", "Summary", "TooLarge",
    "check", "convert", "diff", "export", "read_row_file",
]


if not TYPE_CHECKING:  # type checkers see the imports above instead
    def __getattr__(name):
        module = _HOME.get(name)
        if module is None:
            raise AttributeError("module %r has no attribute %r" % (__name__, name))
        import importlib
        value = getattr(importlib.import_module("." + module, __name__), name)
        globals()[name] = value
        return value

    def __dir__():
        return sorted(set(globals()) | set(_HOME))
