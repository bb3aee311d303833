"""The `rowmint` console command: a thin launcher in front of rowmint.main().

The conversion itself is rowmint.main(), run exactly as it is; this module
only parses the command line, hands the four arguments to main() through
sys.argv, and turns a failed conversion into one line on stderr and an exit
status.

The command should cost little more than the conversion: at start-up this
module imports only what is already loaded when the interpreter starts (os,
sys). argparse, textwrap, signal and subprocess are imported where they are
needed: for help, the version, a usage error, or a failed conversion.
"""

import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:  # type checkers only; typing costs start-up time
    import argparse
    import subprocess
    from typing import List, Optional

PROG = "rowmint"

# Exit statuses: 0 done, 1 the conversion failed, 2 a usage error (argparse's),
# 130 interrupted (128 + SIGINT, as a shell reports it).
EXIT_FAILED = 1
EXIT_INTERRUPTED = 130

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
    'little-endian.'
)

EPILOG = (
    'A path that begins with "-" goes after "--", as in '
    '"rowmint -- objcopy app.elf app.hex -app.cyacd". That keeps it from '
    'rowmint\'s options only: OBJCOPY reads ELF and HEX as well and would '
    'take "-image.elf" for options of its own, so write those as '
    '"./-image.elf". Exit status: 0 when '
    'the row file was written, 1 when the conversion failed (one line on '
    'stderr says why; no row file is written), 2 for a usage error.'
)


class Arguments:
    """The four paths, as argparse's namespace holds them."""

    def __init__(self, objcopy: str, elf: str, hex: str, cyacd: str) -> None:
        self.objcopy, self.elf, self.hex, self.cyacd = objcopy, elf, hex, cyacd


def _wrap(*paragraphs: str) -> str:
    import textwrap
    return "\n\n".join(textwrap.fill(p, width=76) for p in paragraphs)


def build_parser(version: str) -> "argparse.ArgumentParser":
    import argparse
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=_wrap(SUMMARY, ROW_FILE),
        epilog=_wrap(EPILOG),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=version)
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


def _name(path: str) -> str:
    """A file name as the user gave it; an empty one made visible."""
    return path if path else "''"


def _is_row_file(path: object, cyacd: str) -> bool:
    """Whether an OSError's file name is the row file or the temporary file
    that the conversion writes beside it before the replacement."""
    if not isinstance(path, str):
        return False
    if path == cyacd:
        return True
    folder, base = os.path.split(cyacd)
    return os.path.dirname(path) == folder and os.path.basename(path).startswith("." + base + ".")


def _tool_failure(error: "subprocess.CalledProcessError") -> str:
    code = error.returncode
    if isinstance(code, int) and code < 0:
        import signal
        try:
            how = "was killed by signal %d (%s)" % (-code, signal.Signals(-code).name)
        except ValueError:
            how = "was killed by signal %d" % -code
    else:
        how = "failed with exit status %s" % (code,)
    return "the object-copy command %s: %s" % (how, error.cmd)


def _os_failure(error: OSError, args: Arguments) -> str:
    reason = error.strerror or str(error)
    filename = getattr(error, "filename", None)
    filename2 = getattr(error, "filename2", None)
    if _is_row_file(filename2, args.cyacd) or (filename != args.hex and _is_row_file(filename, args.cyacd)):
        message = "cannot write row file %s: %s" % (_name(args.cyacd), reason)
        folder = os.path.dirname(args.cyacd)
        if isinstance(error, FileNotFoundError) and folder and not os.path.isdir(folder):
            message += " (its folder %s does not exist)" % folder
        return message
    if filename is not None and filename == args.hex:
        message = "cannot read HEX file %s: %s" % (_name(args.hex), reason)
        if isinstance(error, FileNotFoundError):
            # The tool ran and reported success, yet wrote nothing there.
            message += " (the object-copy command succeeded but wrote no HEX file)"
        return message
    if filename is not None:
        return "%s: %s" % (_name(str(filename)), reason)
    return reason


def _hex_line_note(error: BaseException) -> "Optional[str]":
    for note in getattr(error, "__notes__", None) or ():
        if isinstance(note, str) and note.startswith("HEX line "):
            return note
    return None


def describe(error: Exception, args: Arguments) -> str:
    """The text after "rowmint: error: " for an exception out of main()."""
    import subprocess
    if isinstance(error, subprocess.CalledProcessError):
        return _tool_failure(error)
    if isinstance(error, OSError):
        return _os_failure(error, args)
    message = str(error)
    if isinstance(error, (ValueError, LookupError, TypeError)):
        if not message:
            message = type(error).__name__
    else:
        message = "%s: %s" % (type(error).__name__, message) if message else type(error).__name__
    note = _hex_line_note(error)
    if note is not None and not message.startswith("HEX line"):
        message = "%s: %s" % (note, message)
    elif note is None and isinstance(error, UnicodeDecodeError):
        # Text that is not in the interpreter's encoding can only be the HEX file's.
        message = "cannot read HEX file %s: %s" % (_name(args.hex), message)
    return message


def _interrupted_tool(error: Exception) -> bool:
    import signal
    import subprocess
    return (isinstance(error, subprocess.CalledProcessError)
            and error.returncode == -getattr(signal, "SIGINT", 2))


def _fail(message: str) -> int:
    # Always one line, whatever the message or a command in it holds.
    sys.stderr.write("%s: error: %s\n" % (PROG, " ".join(message.splitlines())))
    sys.stderr.flush()
    return EXIT_FAILED


def _parse(argv: "List[str]", version: str) -> Arguments:
    """The four paths; exits through argparse for help, the version and
    usage errors."""
    if len(argv) == 4 and not any(arg.startswith("-") for arg in argv):
        # Four plain arguments are all argparse could make of them: it reads
        # only arguments that begin with "-" as options.
        return Arguments(*argv)
    args = build_parser(version).parse_args(argv)
    return Arguments(args.objcopy, args.elf, args.hex, args.cyacd)


def run(argv: "Optional[List[str]]" = None) -> int:
    """Entry point of the console command; returns the exit status."""
    try:
        import rowmint
    except Exception as error:  # a broken installation: say so in one line
        return _fail("cannot load the conversion module: %s: %s" % (type(error).__name__, error))
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED

    args = _parse(sys.argv[1:] if argv is None else list(argv), rowmint.__version__)

    saved_argv = sys.argv
    sys.argv = [saved_argv[0] if saved_argv else PROG, args.objcopy, args.elf, args.hex, args.cyacd]
    try:
        rowmint.main()
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except Exception as error:
        # Ctrl-C while the tool runs: the shell's wait shields this process,
        # the tool dies of SIGINT. The user asked for it: no message.
        if _interrupted_tool(error):
            return EXIT_INTERRUPTED
        return _fail(describe(error, args))
    finally:
        sys.argv = saved_argv
    return 0


if __name__ == "__main__":
    sys.exit(run())
