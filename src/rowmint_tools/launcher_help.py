"""The `rowmint` command's help: what the command does, the row file it
writes, what --check and --strict prove, and the parser that prints it.

The launcher imports this module only for help, the version and a usage
error; the plain command reads its options without argparse.
"""

import argparse
import textwrap

USAGE = "rowmint [-h] [--version] [--check[=elf|hex]] [--strict] [--verbose] OBJCOPY ELF HEX CYACD"

SUMMARY = (
    'Convert a firmware ELF image into a cyacd row file. OBJCOPY is run '
    'through the shell as "OBJCOPY -O ihex ELF HEX" to write the image as an '
    'Intel HEX file, which is then laid out as flash rows and written to CYACD.'
)

ROW_FILE = (
    'The row file is text, one line per row. Its first line is the header '
    '"256A11B50000". Each 256-byte flash row that the image reaches gets one '
    'line of 525 characters, in the order in which the image first reaches '
    'the rows: ":", the array ID 00, the 4-digit row number, the data length '
    '0100, the 512 hex digits of the row\'s data (bytes the image leaves unset '
    'read 00) and a 2-digit checksum that brings the bytes after the ":" to a '
    'multiple of 256. Only addresses 0x2200 to 0x1FFFF (rows 0x022 to 0x1FF) '
    'are converted; data below or above them is left out, and every record '
    'in between is placed at its own address or the conversion fails. The last '
    '64 data bytes of the last row are its metadata area, left out of the '
    'application checksum; they begin with that checksum (the byte that '
    'brings the sum of all other row data to a multiple of 256), nine fixed '
    'bytes 11 22 00 00 21 00 00 00 00 and the index of the last row line, '
    'little-endian. The metadata record overwrites whatever the image puts in '
    'the first 12 bytes of the area: an image built to be loaded by the '
    'bootloader reserves the area with a section of placeholders.'
)

CHECK = (
    'After a conversion, rowmint warns on stderr of image bytes below 0x2200, '
    'which the row file leaves out, and of image bytes that the metadata '
    'record overwrites; bytes from 0x20000 up (configuration sections) get no '
    'warning. With --check (or --check=elf), the conversion writes a new row '
    'file beside CYACD and '
    'proves it against ELF (with --check=hex, against the HEX file OBJCOPY '
    'wrote, for an OBJCOPY given options that change the image on purpose): '
    'its rows are exactly the rows the image reaches in 0x2200 to 0x1FFFF and '
    'every byte is the image\'s, the metadata record aside. Only then does it '
    'replace CYACD (a symbolic link stays and its target is replaced; the '
    'permission bits are kept). Otherwise the report goes to stderr, CYACD is '
    'left as it was, and the exit status is 1. Image bytes that the row file '
    'leaves out (below 0x2200, from 0x20000 up) or overwrites (the metadata '
    'area) are reported as warnings. With --strict, the new row file is '
    'written beside CYACD in the same way, and those warnings (of the '
    'conversion, and with --check of the proof) fail it: exit status 1, and '
    'CYACD is left as it was. "rowmint-check ROWFILE --elf ELF" proves '
    'a row file at any time.'
)

EPILOG = (
    'A path that begins with "-" goes after "--", as in '
    '"rowmint -- objcopy app.elf app.hex -app.cyacd". That keeps it from '
    'rowmint\'s options only: OBJCOPY reads ELF and HEX as well and would '
    'take "-image.elf" for options of its own, so write those as '
    '"./-image.elf". Exit status: 0 when '
    'the row file was written, 1 when the conversion or, with --check, its '
    'proof failed, or --strict refused it (stderr says why; no row file is '
    'written), 2 for a usage error.'
)


def _wrap(*paragraphs: str) -> str:
    return "\n\n".join(textwrap.fill(p, width=76) for p in paragraphs)


def build_parser(prog: str, version: str) -> argparse.ArgumentParser:
    """The command's parser; `prog` is the name it is called by in messages."""

    class HelpFormatter(argparse.RawDescriptionHelpFormatter):
        def _format_action_invocation(self, action: argparse.Action) -> str:
            # The value of --check goes after "=": "--check hex" would read
            # hex as OBJCOPY.
            if action.dest == "check":
                return "--check[=elf|hex]"
            return super()._format_action_invocation(action)

    parser = argparse.ArgumentParser(
        prog=prog,
        usage=USAGE,
        description=_wrap(SUMMARY, ROW_FILE, CHECK),
        epilog=_wrap(EPILOG),
        formatter_class=HelpFormatter,
    )
    parser.add_argument("--version", action="version", version=version)
    parser.add_argument(
        "--check", nargs="?", const="elf", choices=("elf", "hex"),
        help="prove the new row file against ELF, or with --check=hex against HEX, "
             "before it replaces CYACD")
    parser.add_argument("--strict", action="store_true",
                        help="fail the conversion, keeping CYACD as it was, when image bytes are left out "
                             "below 0x2200 or overwritten by the metadata record")
    parser.add_argument("--verbose", action="store_true",
                        help="after a conversion, print one line summing up the row file")
    parser.add_argument(
        "objcopy", metavar="OBJCOPY",
        help="object-copy command; it may carry options of its own "
             '(quote it as one argument, e.g. "arm-none-eabi-objcopy -R .noinit")')
    parser.add_argument("elf", metavar="ELF", help="firmware image to convert")
    parser.add_argument("hex", metavar="HEX", help="Intel HEX file that OBJCOPY writes (left in place)")
    parser.add_argument(
        "cyacd", metavar="CYACD",
        help="row file to write; an existing file is replaced only by a complete conversion")
    return parser
