"""The `rowmint` console command: a thin launcher in front of rowmint.main().

The conversion itself is rowmint.main(), run exactly as it is; this module
only parses the command line, hands the four arguments to main() through
sys.argv, and turns a failed conversion into one line on stderr and an exit
status. After a conversion it warns of image bytes that the row file
loses or the metadata record overwrites. With --check, the row file is
proven by rowmint_tools before it replaces the old one; with --strict, those
warnings fail the conversion.

The command should cost little more than the conversion: at start-up this
module imports only what is already loaded when the interpreter starts (os,
sys). argparse, textwrap, signal, subprocess and rowmint_tools are imported
where they are needed: for help, the version, a usage error, a failed
conversion, --check, --strict or --verbose. The warnings come from one file
of rowmint_tools, loaded on its own (importlib.util, no typing, no
dataclasses, not the package's __init__).
"""

import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:  # type checkers only; typing costs start-up time
    import argparse
    import subprocess
    from types import FrameType
    from typing import Callable, List, Optional, TextIO

    from rowmint_tools.proof import Report

PROG = "rowmint"
USAGE = "rowmint [-h] [--version] [--check[=elf|hex]] [--strict] [--verbose] OBJCOPY ELF HEX CYACD"

# Exit statuses: 0 done, 1 the conversion (or with --check its proof) failed,
# 2 a usage error (argparse's), 130 interrupted (128 + SIGINT, as a shell
# reports it; 128 + the signal for SIGTERM and SIGHUP under --check and
# --strict).
EXIT_FAILED = 1
EXIT_INTERRUPTED = 130
EXIT_SIGNALLED = 128

# Options that _parse reads without argparse when they come before the paths.
PLAIN_FLAGS = frozenset(("--check", "--check=elf", "--check=hex", "--strict", "--verbose"))

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


class Arguments:
    """The four paths and the options, as argparse's namespace holds them."""

    def __init__(self, objcopy: str, elf: str, hex: str, cyacd: str,
                 check: "Optional[str]" = None, verbose: bool = False, strict: bool = False) -> None:
        self.objcopy, self.elf, self.hex, self.cyacd = objcopy, elf, hex, cyacd
        self.check, self.verbose, self.strict = check, verbose, strict


def _wrap(*paragraphs: str) -> str:
    import textwrap
    return "\n\n".join(textwrap.fill(p, width=76) for p in paragraphs)


def build_parser(version: str) -> "argparse.ArgumentParser":
    import argparse

    class HelpFormatter(argparse.RawDescriptionHelpFormatter):
        def _format_action_invocation(self, action: argparse.Action) -> str:
            # The value of --check goes after "=": "--check hex" would read
            # hex as OBJCOPY.
            if action.dest == "check":
                return "--check[=elf|hex]"
            return super()._format_action_invocation(action)

    parser = argparse.ArgumentParser(
        prog=PROG,
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


def _name(path: str) -> str:
    """A file name as the user gave it; an empty one made visible."""
    return path if path else "''"


def _is_row_file(path: object, cyacd: str) -> bool:
    """Whether an OSError's file name is the row file or the temporary file
    (".cyacd-" and 12 hex digits) that the conversion writes beside it."""
    if not isinstance(path, str):
        return False
    if path == cyacd:
        return True
    base = os.path.basename(path)
    return (os.path.dirname(path) == os.path.dirname(cyacd) and base.startswith(".cyacd-")
            and base.endswith(".tmp"))


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
    message = "the object-copy command %s: %s" % (how, error.cmd)
    if code in (126, 127, 9009):  # the POSIX shell's and cmd.exe's "not found"
        message += ("; the shell could not run a command of that name: install the target's own objcopy "
                    "(arm-none-eabi-objcopy; on Debian the package binutils-arm-none-eabi) or give the tool's "
                    "full path")
    return message


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
        if _hex_has_no_place(error, args.hex):
            return "cannot write HEX file %s: %s" % (_name(args.hex), reason)
        message = "cannot read HEX file %s: %s" % (_name(args.hex), reason)
        if isinstance(error, FileNotFoundError):
            # The tool ran and reported success, yet wrote nothing there.
            message += " (the object-copy command succeeded but wrote no HEX file)"
        return message
    if filename is not None:
        return "%s: %s" % (_name(str(filename)), reason)
    return reason


def _hex_has_no_place(error: OSError, hex_path: str) -> bool:
    """Whether the HEX path was refused before the tool ran: it is a folder,
    or its folder is missing (where no tool could have written it)."""
    if isinstance(error, IsADirectoryError):
        return True
    return (isinstance(error, (FileNotFoundError, NotADirectoryError))
            and not os.path.isdir(os.path.dirname(hex_path) or os.curdir))


# The refusals of a HEX path that names something the user keeps: most often
# the arguments in the wrong order.
_HEX_PATH_REFUSALS = (
    "the HEX path names a device, a pipe or a socket, not a file",
    "the HEX path names an ELF file; the tool would write over it",
    "the HEX path names a row file; the tool would write over it",
)


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
    if message in _HEX_PATH_REFUSALS:
        return message + " (check the order: OBJCOPY ELF HEX CYACD)"
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
    _say("%s: error: %s" % (PROG, " ".join(message.splitlines())), sys.stderr)
    return EXIT_FAILED


def _check_spelled_out(argv: "List[str]") -> "List[str]":
    """A bare --check as --check=elf: argparse would take OBJCOPY for its value."""
    if "--" in argv:
        end = argv.index("--")
        return _check_spelled_out(argv[:end]) + argv[end:]
    return ["--check=elf" if arg == "--check" else arg for arg in argv]


def _plain_options(argv: "List[str]") -> "Optional[Arguments]":
    """Options from PLAIN_FLAGS, each once, then four plain arguments: read
    without argparse, whose import costs about as much as a check's reading
    of the row file. None for anything else."""
    flags = argv[:-4]
    checks = [flag for flag in flags if flag.startswith("--check")]
    if (len(argv) <= 4 or not set(flags) <= PLAIN_FLAGS or len(set(flags)) < len(flags) or len(checks) > 1
            or any(arg.startswith("-") for arg in argv[-4:])):
        return None
    check = ("hex" if checks[0] == "--check=hex" else "elf") if checks else None
    return Arguments(argv[-4], argv[-3], argv[-2], argv[-1], check, "--verbose" in flags, "--strict" in flags)


def _parse(argv: "List[str]", version: str) -> Arguments:
    """The four paths and the options; exits through argparse for help, the
    version and usage errors."""
    if len(argv) == 4 and not any(arg.startswith("-") for arg in argv):
        # Four plain arguments are all argparse could make of them: it reads
        # only arguments that begin with "-" as options.
        return Arguments(argv[0], argv[1], argv[2], argv[3])
    plain = _plain_options(argv)
    if plain is not None:
        return plain
    args = build_parser(version).parse_args(_check_spelled_out(argv))
    return Arguments(args.objcopy, args.elf, args.hex, args.cyacd, args.check, args.verbose, args.strict)


def run(argv: "Optional[List[str]]" = None) -> int:
    """Entry point of the console command; returns the exit status."""
    try:
        import rowmint
    except Exception as error:  # a broken installation: say so in one line
        return _fail("cannot load the conversion module: %s: %s" % (type(error).__name__, error))
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED

    args = _parse(sys.argv[1:] if argv is None else list(argv), rowmint.__version__)
    if args.check is not None or args.strict:
        return _guarded(lambda: _convert_and_prove(args), args)

    def convert() -> int:
        saved_argv = sys.argv
        sys.argv = [saved_argv[0] if saved_argv else PROG, args.objcopy, args.elf, args.hex, args.cyacd]
        try:
            rowmint.main()
        finally:
            sys.argv = saved_argv
        _warn_of_lost_bytes(args)
        if args.verbose:
            from rowmint_tools.conversion import summarize
            from rowmint_tools.row_file import read_row_file
            _say(str(summarize(read_row_file(args.cyacd), args.cyacd)))
        return 0

    return _guarded(convert, args)


def _guarded(convert: "Callable[[], int]", args: Arguments) -> int:
    """The exit status of a conversion: a failure becomes one line on stderr."""
    try:
        return convert()
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except _Terminated as terminated:
        return EXIT_SIGNALLED + terminated.signum
    except Exception as error:
        # Ctrl-C while the tool runs: the shell's wait shields this process,
        # the tool dies of SIGINT. The user asked for it: no message.
        if _interrupted_tool(error):
            return EXIT_INTERRUPTED
        return _fail(describe(error, args))


def _say(line: str, stream: "Optional[TextIO]" = None) -> None:
    out = sys.stdout if stream is None else stream
    try:
        out.write(line + "\n")
    except UnicodeEncodeError:  # a file name the terminal cannot encode
        out.write(line.encode("ascii", "backslashreplace").decode("ascii") + "\n")
    out.flush()


def plain_warnings(hex_path: str) -> "List[str]":
    """The warnings of the tools' HEX reader, loaded from its file alone:
    the package's __init__ would import typing and dataclasses, which cost
    more than the conversion."""
    import importlib.util
    package = importlib.util.find_spec("rowmint_tools")
    folders = package.submodule_search_locations if package is not None else None
    if not folders:
        raise ImportError("rowmint_tools is not installed")
    path = os.path.join(folders[0], "hex_reader.py")
    spec = importlib.util.spec_from_file_location("rowmint_tools_hex_reader", path)
    if spec is None or spec.loader is None:
        raise ImportError("rowmint_tools has no HEX reader")
    reader = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(reader)
    found: "List[str]" = reader.plain_warnings(hex_path)
    return found


def _warn_of_lost_bytes(args: Arguments) -> None:
    """After a conversion that succeeded: one warning line per kind of image
    bytes the row file loses. The row file is sound either way, so a scan
    that fails is itself only a warning."""
    try:
        warnings = plain_warnings(args.hex)
    except Exception as error:
        warnings = ["cannot look for image bytes left out: %s" % describe(error, args)]
    for warning in warnings:
        _say("%s: warning: %s" % (_name(args.cyacd), warning), sys.stderr)


class _Terminated(BaseException):
    """SIGTERM or SIGHUP while a new row file is on its way: unwinds like
    Ctrl-C, so that the scratch folder is removed."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _unwind_on_termination() -> None:
    import signal

    def terminated(signum: int, frame: "Optional[FrameType]") -> None:
        raise _Terminated(signum)
    for name in ("SIGTERM", "SIGHUP"):
        number = getattr(signal, name, None)
        if number is not None:
            signal.signal(number, terminated)


def _strict_findings(args: Arguments, report: "Report") -> "List[str]":
    """What --strict refuses: the plain command's warnings, and the proof's
    warnings of the same kinds. Bytes from 0x20000 up never count."""
    findings = plain_warnings(args.hex)
    for warning in report.warnings:
        text = warning.message
        if ("below 0x2200" in text or "the metadata record overwrites" in text) and text not in findings:
            findings.append(text)
    return findings


def _convert_and_prove(args: Arguments) -> int:
    """--check and --strict: a new row file, proven or vetted, and only then
    over the old one."""
    from rowmint_tools.conversion import CheckFailed, StrictFailed, convert_and_prove, summarize
    from rowmint_tools.report import problem_lines

    def vet(report: "Report") -> None:
        if args.strict:
            findings = _strict_findings(args, report)
            if findings:
                raise StrictFailed(findings)

    _unwind_on_termination()
    source = args.elf if args.check == "elf" else args.hex
    kept = "%s is left as it was" % _name(args.cyacd)
    try:
        report = convert_and_prove(args.objcopy, args.elf, args.hex, args.cyacd, against=args.check, vet=vet)
    except CheckFailed as failed:
        for line in problem_lines(failed.report, _name(args.cyacd), kept=False):
            _say(line, sys.stderr)
        return _fail("the new row file does not match %s; %s" % (_name(source), kept))
    except StrictFailed as refused:
        for finding in refused.findings:
            _say("%s (new file, not kept): error: %s" % (_name(args.cyacd), finding), sys.stderr)
        return _fail("--strict: the conversion loses or overwrites image bytes; %s" % kept)
    for line in problem_lines(report, _name(args.cyacd)):  # its warnings
        _say(line, sys.stderr)
    if args.verbose:
        proven = ", proven against %s" % _name(source) if args.check is not None else ""
        _say("%s%s" % (summarize(report.row_file, args.cyacd), proven))
    return 0


if __name__ == "__main__":
    sys.exit(run())
