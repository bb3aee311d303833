"""The `rowmint-export` command: what the device holds after the bootloader
has written a row file, as Intel HEX or a binary image, for the tools that
compare, flash or archive images.

Exit status: 0 when OUT was written, 1 when the row file has problems (OUT
is left as it was), 2 on trouble (a file that cannot be read or written, an
output that may not be replaced, a usage error).
"""

import argparse
import sys
from typing import Any, Dict, List, Optional

from .command_line import EXIT_TROUBLE, add_version, error_json, error_line, guarded, write_json, write_lines
from .row_export import Exported, export
from .row_input import RowFileRefused

PROG = "rowmint-export"
EXIT_WRITTEN, EXIT_PROBLEM = 0, 1

DESCRIPTION = (
    "Write what the device holds once the bootloader has written every row "
    "of ROWFILE, the metadata record included, to OUT: as Intel HEX (16 data "
    "bytes a record, extended linear address records, CR LF line ends) or as "
    "a binary image from the lowest row's address to the end of the highest, "
    "the rows the file lacks filled with the --fill byte. The format comes "
    "from OUT's suffix (.hex, .ihex or .bin) or from --format. OUT is "
    "replaced whole or not at all; it may not name ROWFILE, a device, a pipe "
    "or a socket. A row file with any problem is refused: check it with "
    "rowmint-check."
)
EPILOG = ("Exit status: 0 when OUT was written, 1 when the row file has problems (nothing is "
          "written), 2 on trouble.")


def _fill_byte(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        value = -1
    if not 0 <= value <= 0xFF:
        raise argparse.ArgumentTypeError("%r is not a byte: give 0x00 to 0xFF" % text)
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG)
    add_version(parser)
    parser.add_argument("row_file", metavar="ROWFILE", help="the row file to export")
    parser.add_argument("out", metavar="OUT", help="the HEX or binary file to write")
    parser.add_argument("--format", choices=("hex", "bin"), help="the format of OUT, when its suffix does not say")
    parser.add_argument("--fill", type=_fill_byte, metavar="0xNN",
                        help="binary only: the byte of rows the file lacks (default 0x00)")
    parser.add_argument("--json", action="store_true", help="print what was written as one JSON object")
    return parser


def summary(done: Exported) -> str:
    if done.format == "hex":
        return "%s: Intel HEX of %d rows, 0x%04X to 0x%04X" % (done.out, done.rows, done.start, done.end)
    filled = "" if not done.filled_rows else "; %d rows the file lacks filled with 0x%02X" % (
        done.filled_rows, done.fill or 0)
    return "%s: binary image of %d bytes, 0x%04X to 0x%04X, from %d rows%s; it starts at address 0x%04X" % (
        done.out, done.size, done.start, done.end, done.rows, filled, done.start)


def _json(args: argparse.Namespace, done: Optional[Exported], errors: List[Dict[str, Any]]) -> Dict[str, Any]:
    result: Dict[str, Any] = {"row_file": args.row_file, "out": args.out, "written": done is not None}
    if done is not None:
        result.update(format=done.format, start=done.start, end=done.end, bytes=done.size, rows=done.rows,
                      filled_rows=done.filled_rows, fill=done.fill)
    result["errors"] = errors
    return result


def _refused(args: argparse.Namespace, refused: RowFileRefused) -> int:
    if args.json:
        write_json(_json(args, None, [finding.as_json() for finding in refused.findings]))
    else:
        count = len(refused.findings)
        write_lines([f.text("error") for f in refused.findings]
                    + ["%s: error: %s has %d problem%s; nothing is written to %s"
                       % (PROG, args.row_file, count, "" if count == 1 else "s", args.out)], sys.stderr)
    return EXIT_PROBLEM


def _trouble(args: argparse.Namespace, error: Exception) -> int:
    if args.json:
        write_json(_json(args, None, [error_json(error)]))
    else:
        write_lines([error_line(PROG, error)], sys.stderr)
    return EXIT_TROUBLE


def main(argv: List[str]) -> int:
    args = build_parser().parse_args(argv)
    try:
        done = export(args.row_file, args.out, format=args.format, fill=args.fill)
    except RowFileRefused as refused:
        return _refused(args, refused)
    except (OSError, ValueError) as error:
        return _trouble(args, error)
    if args.json:
        write_json(_json(args, done, []))
    else:
        write_lines([summary(done)])
    return EXIT_WRITTEN


def run() -> None:
    raise SystemExit(guarded(PROG, main))
