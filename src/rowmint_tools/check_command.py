"""The `rowmint-check` command: reads a row file, shows what it holds and
proves it against the ELF or HEX file it came from.

Exit status: 0 when the row file is sound (warnings allowed), 1 on a
problem or an input that cannot be read, 2 on a usage error, 130 when
interrupted.
"""

import argparse
import sys
from typing import Any, List, Optional, Sequence, Tuple, Union

from .input_files import InputRefused, require_kind
from .proof import Report, check
from .report import as_json, error_rows, failure_json, flash_map, problem_lines, summary_lines, verdict

PROG = "rowmint-check"
EXIT_SOUND, EXIT_PROBLEM, EXIT_INTERRUPTED = 0, 1, 130

DESCRIPTION = (
    "Read a cyacd row file strictly and show what it holds: its rows, the "
    "application checksum and the metadata record. With --elf or --hex, "
    "prove it against the image it was made from: its rows must be exactly "
    "the rows the image reaches between 0x2200 and 0x1FFFF, and every byte "
    "the image's (00 where the image sets none), the metadata record aside. "
    "Each problem is printed as ROWFILE:LINE: error: ..., or ROWFILE: error: "
    "... when it belongs to no line; warnings the same way. Image bytes "
    "below 0x2200 or from 0x20000 up, which a row file leaves out, and "
    "image bytes in the metadata area of the last row are warnings."
)
EPILOG = ("Exit status: 0 when the row file is sound, 1 on a problem or an input that cannot be read, "
          "2 for a usage error.")


class VersionAction(argparse.Action):
    """--version: the conversion module's version, loaded only when asked."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Union[str, Sequence[Any], None], option_string: Optional[str] = None) -> None:
        import rowmint
        sys.stdout.write("%s %s\n" % (PROG, rowmint.__version__))
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG)
    parser.add_argument("--version", action=VersionAction, nargs=0, help="print the version and exit")
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


def tolerant_output() -> None:
    """File names the terminal cannot encode are written escaped
    (backslashreplace), never as a UnicodeEncodeError."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")


def failure(error: Exception) -> Tuple[str, str]:
    """Who failed and why, for one line "WHO: error: WHY"."""
    if isinstance(error, InputRefused):
        return error.filename, error.reason
    if isinstance(error, OSError) and isinstance(error.filename, str):
        return error.filename, error.strerror or str(error)
    if isinstance(error, (OSError, ValueError)) and str(error):
        return PROG, " ".join(str(error).splitlines())
    # pyelftools or zlib on a hostile file, or memory run out: one line all the same
    message = " ".join(str(error).splitlines())
    return PROG, "cannot read the input: %s%s" % (type(error).__name__, ": " + message if message else "")


def checked(args: argparse.Namespace) -> Report:
    if args.elf is not None:
        require_kind(args.elf, seekable=True)
    if args.hex is not None:
        require_kind(args.hex, seekable=False)
    return check(args.row_file, elf=args.elf, hex_file=args.hex)


def main(argv: Optional[List[str]] = None) -> int:
    tolerant_output()
    args = build_parser().parse_args(argv)
    try:
        report = checked(args)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except Exception as error:  # every failure is one line, never a traceback
        who, why = failure(error)
        if args.json:
            import json
            sys.stdout.write(json.dumps(failure_json(args.row_file, "%s: %s" % (who, why))) + "\n")
        else:
            sys.stderr.write("%s: error: %s\n" % (who, why))
        return EXIT_PROBLEM
    if args.json:
        import json
        sys.stdout.write(json.dumps(as_json(report, args.row_file, args.map)) + "\n")
    else:
        print_report(report, args.row_file, args.map)
    return EXIT_SOUND if report.ok else EXIT_PROBLEM


def run() -> None:
    sys.exit(main())
