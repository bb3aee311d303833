"""Reading, checking and converting row files, beside the rowmint module.

    from rowmint_tools import check, convert, read_row_file

`read_row_file` reads a row file strictly; `check` proves it against the ELF
or HEX file it came from; `convert` runs a conversion through rowmint.main()
as it is, with keywords and path objects, and may prove the result before it
replaces the old row file.
"""

from .conversion import CheckFailed, Summary, convert
from .image import Image, Piece
from .input_files import InputRefused
from .proof import Report, check
from .row_file import Problem, Row, RowFile, read_row_file

__all__ = [
    "CheckFailed", "Image", "InputRefused", "Piece", "Problem", "Report", "Row", "RowFile", "Summary",
    "check", "convert", "read_row_file",
]
