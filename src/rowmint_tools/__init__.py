"""Reading, checking and converting row files, beside the rowmint module.

    from rowmint_tools import check, convert, read_row_file

`read_row_file` reads a row file strictly; `check` proves it against the ELF
or HEX file it came from; `convert` runs a conversion through rowmint.main()
as it is, with keywords and path objects, and may prove the result before it
replaces the old row file.

The names are loaded when first used: the commands import one module each,
and start-up time is most of what a check costs.
"""

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .conversion import CheckFailed, Summary, convert
    from .image import Image, Piece
    from .input_files import InputRefused
    from .proof import Report, check
    from .row_file import Problem, Row, RowFile, read_row_file

# Where each public name lives.
_HOMES = {
    "CheckFailed": "conversion", "Summary": "conversion", "convert": "conversion",
    "Image": "image", "Piece": "image", "InputRefused": "input_files",
    "Report": "proof", "check": "proof",
    "Problem": "row_file", "Row": "row_file", "RowFile": "row_file", "read_row_file": "row_file",
}

__all__ = [
    "CheckFailed", "Image", "InputRefused", "Piece", "Problem", "Report", "Row", "RowFile", "Summary",
    "check", "convert", "read_row_file",
]


if not TYPE_CHECKING:
    def __getattr__(name):
        home = _HOMES.get(name)
        if home is None:
            raise AttributeError("module %r has no attribute %r" % (__name__, name))
        import importlib
        value = getattr(importlib.import_module("." + home, __name__), name)
        globals()[name] = value
        return value

    def __dir__():
        return sorted(set(globals()) | set(_HOMES))
