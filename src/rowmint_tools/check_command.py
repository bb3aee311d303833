"""The `rowmint-check` command: reads a row file, shows what it holds and
proves it against the ELF or HEX file it came from.

Exit status: 0 when the row file is sound (warnings allowed), 1 on a
problem or an input that cannot be read, 2 on a usage error (or a failure
outside the check, such as a closed output), 130 when interrupted.
"""

import sys
from typing import TYPE_CHECKING, List, Optional, Tuple

from .command_line import add_version, guarded, one_line, write_json, write_lines
from .input_files import InputRefused
from .proof import Report, check
from .report import as_json, error_rows, failure_json, flash_map, problem_lines, summary_lines, verdict

PROG = "rowmint-check"
EXIT_SOUND, EXIT_PROBLEM = 0, 1

if TYPE_CHECKING:
    import argparse

DESCRIPTION = (
    "Read a cyacd row file strictly and show what it holds: its rows, the "
    "application checksum and the metadata record. With --elf or --hex, "
    "prove it against the image it was made from: its rows must be exactly "
    "the rows the image reaches between 0x2200 and 0x1FFFF, and every byte "
    "the image's (00 where the image sets none), the metadata record aside. "
    "Each problem is printed as ROWFILE:LINE: error: ..., or ROWFILE: error: "
    "... when it belongs to no line; warnings the same way. The metadata "
    "record (bytes 192 to 203 of the last row line) may change no image "
    "byte but a placeholder in an area the image reserves: any other is an "
    "error. Image bytes below 0x2200 or from 0x20000 up, which a row file "
    "leaves out, and image bytes in bytes 204 to 255 of the last row, which "
    "the application checksum leaves out, are warnings."
)
EPILOG = ("Exit status: 0 when the row file is sound, 1 on a problem or an input that cannot be read, "
          "2 for a usage error.")


class Options:
    """What the command line asks for."""

    def __init__(self, row_file: str, elf: Optional[str] = None, hex: Optional[str] = None,
                 json: bool = False, map: bool = False) -> None:
        self.row_file, self.elf, self.hex, self.json, self.map = row_file, elf, hex, json, map


def simple_options(argv: List[str]) -> Optional[Options]:
    """The usual command lines, read without argparse, whose import costs
    about as much as reading a row file: ROWFILE, at most one of --elf ELF
    and --hex HEX, --json, --map, each once. Anything else is argparse's,
    for help, the version and usage errors."""
    named = {}
    row_files = []
    words = iter(argv)
    for word in words:
        if word in named or (word in ("--elf", "--hex") and ("--elf" in named or "--hex" in named)):
            return None
        if word in ("--json", "--map"):
            named[word] = ""
        elif word in ("--elf", "--hex"):
            value = next(words, "-")
            if value.startswith("-"):
                return None
            named[word] = value
        elif word.startswith("-"):
            return None
        else:
            row_files.append(word)
    if len(row_files) != 1:
        return None
    return Options(row_files[0], named.get("--elf"), named.get("--hex"), "--json" in named, "--map" in named)


def build_parser() -> "argparse.ArgumentParser":
    import argparse

    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG)
    add_version(parser)
    parser.add_argument("row_file", metavar="ROWFILE", help="the row file to read")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--elf", metavar="ELF", help="prove it against this ELF file")
    source.add_argument("--hex", metavar="HEX", help="prove it against this Intel HEX file")
    parser.add_argument("--json", action="store_true",
                        help="print the report, or the failure to read an input, as one JSON object")
    parser.add_argument("--map", action="store_true",
                        help="draw the 512 flash rows, a character each: B bootloader, # a row of the file, "
                             "M the row with the metadata record, X a row with an error, . empty")
    return parser


def print_report(report: Report, name: str, with_map: bool) -> None:
    lines = summary_lines(report, name)
    if with_map:
        lines += flash_map(report.row_file, error_rows(report))
    lines += problem_lines(report, name)
    lines.append(verdict(report, name))
    sys.stdout.write("".join(line + "\n" for line in lines))


def failure(error: Exception) -> Tuple[str, str]:
    """Who failed and why, for one line "WHO: error: WHY"."""
    if isinstance(error, InputRefused):
        return error.filename, error.reason
    if isinstance(error, OSError) and isinstance(error.filename, str):
        return error.filename, error.strerror or str(error)
    if isinstance(error, (OSError, ValueError)) and str(error):
        return PROG, one_line(str(error))
    # pyelftools or zlib on a hostile file, or memory run out: one line all the same
    message = one_line(str(error))
    return PROG, "cannot read the input: %s%s" % (type(error).__name__, ": " + message if message else "")


def parse(argv: List[str]) -> Options:
    """The options; exits through argparse for help, the version and usage errors."""
    simple = simple_options(argv)
    if simple is not None:
        return simple
    args = build_parser().parse_args(argv)
    return Options(args.row_file, args.elf, args.hex, args.json, args.map)


def main(argv: Optional[List[str]] = None) -> int:
    """The command's exit status; run() guards it, as the other commands'."""
    args = parse(sys.argv[1:] if argv is None else list(argv))
    try:
        report = check(args.row_file, elf=args.elf, hex_file=args.hex)
    except Exception as error:  # every failure is one line, never a traceback
        who, why = failure(error)
        if args.json:
            text = why if who == PROG else "%s: %s" % (who, why)
            write_json(failure_json(args.row_file, text))
        else:
            write_lines(["%s: error: %s" % (who, why)], sys.stderr)
        return EXIT_PROBLEM
    if args.json:
        write_json(as_json(report, args.row_file, args.map))
    else:
        print_report(report, args.row_file, args.map)
    return EXIT_SOUND if report.ok else EXIT_PROBLEM


def run() -> None:
    raise SystemExit(guarded(PROG, main))
