"""The `rowmint-check` command: reads a row file, shows what it holds and
proves it against the ELF or HEX file it came from.

Exit status: 0 when the row file is sound (warnings allowed), 1 on a
problem, 2 on a usage error.
"""

import argparse
import json
import sys
from typing import List, Optional

from .proof import Report, check
from .report import as_json, flash_map, problem_lines, summary_lines, verdict

PROG = "rowmint-check"
EXIT_SOUND, EXIT_PROBLEM = 0, 1

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
EPILOG = "Exit status: 0 when the row file is sound, 1 on a problem, 2 for a usage error."


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=DESCRIPTION, epilog=EPILOG)
    parser.add_argument("row_file", metavar="ROWFILE", help="the row file to read")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--elf", metavar="ELF", help="prove it against this ELF file")
    source.add_argument("--hex", metavar="HEX", help="prove it against this Intel HEX file")
    parser.add_argument("--json", action="store_true", help="print the report as one JSON object")
    parser.add_argument("--map", action="store_true",
                        help="draw the 512 flash rows, a character each: B bootloader, # a row of the file, "
                             "M the row with the metadata record, . empty")
    return parser


def print_report(report: Report, name: str, with_map: bool) -> None:
    lines = summary_lines(report, name)
    if with_map:
        lines += flash_map(report.row_file)
    lines += problem_lines(report, name)
    lines.append(verdict(report, name))
    sys.stdout.write("".join(line + "\n" for line in lines))


def main(argv: Optional[List[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        report = check(args.row_file, elf=args.elf, hex_file=args.hex)
    except (OSError, ValueError) as error:
        sys.stderr.write("%s: error: %s\n" % (PROG, error))
        return EXIT_PROBLEM
    if args.json:
        sys.stdout.write(json.dumps(as_json(report, args.row_file, args.map)) + "\n")
    else:
        print_report(report, args.row_file, args.map)
    return EXIT_SOUND if report.ok else EXIT_PROBLEM


def run() -> None:
    sys.exit(main())
