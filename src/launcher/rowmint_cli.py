"""The `rowmint` console command: a thin launcher in front of rowmint.main().

The conversion itself is rowmint.main(), run exactly as it is; this module
only parses the command line, hands the four arguments to main() through
sys.argv, and turns a failed conversion into one line on stderr and an exit
status. After a conversion it warns of image bytes that the row file
loses or the metadata record overwrites. What only some runs need lives in
rowmint_tools: the help and its parser (launcher_help), the wording of a
failure (launcher_failures), and --check and --strict, where the row file
is proven or vetted before it replaces the old one (launcher_proof).

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
    from typing import Callable, List, Optional, TextIO

PROG = "rowmint"

# Exit statuses: 0 done, 1 the conversion (or with --check its proof) failed,
# 2 a usage error (argparse's), 130 interrupted (128 + SIGINT, as a shell
# reports it; 128 + the signal for SIGTERM and SIGHUP under --check and
# --strict).
EXIT_FAILED = 1
EXIT_INTERRUPTED = 130

# Options that _parse reads without argparse when they come before the paths.
PLAIN_FLAGS = frozenset(("--check", "--check=elf", "--check=hex", "--strict", "--verbose"))


class Arguments:
    """The four paths and the options, as argparse's namespace holds them."""

    def __init__(self, objcopy: str, elf: str, hex: str, cyacd: str,
                 check: "Optional[str]" = None, verbose: bool = False, strict: bool = False) -> None:
        self.objcopy, self.elf, self.hex, self.cyacd = objcopy, elf, hex, cyacd
        self.check, self.verbose, self.strict = check, verbose, strict


def build_parser(version: str) -> "argparse.ArgumentParser":
    """The parser for help, the version and usage errors."""
    from rowmint_tools.launcher_help import build_parser
    return build_parser(PROG, version)


def _name(path: str) -> str:
    """A file name as the user gave it; an empty one made visible."""
    return path if path else "''"


def describe(error: Exception, args: Arguments) -> str:
    """The text after "rowmint: error: " for an exception out of main()."""
    try:
        from rowmint_tools.launcher_failures import describe
    except Exception:  # a broken installation: the failure is still one line
        return "%s: %s" % (type(error).__name__, error)
    return describe(error, args.hex, args.cyacd)


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
        return _guarded(lambda: _convert_proven(args), args)

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


def _convert_proven(args: Arguments) -> int:
    """--check and --strict: a new row file, proven or vetted, and only then
    over the old one."""
    from rowmint_tools.launcher_proof import convert_proven
    return convert_proven(args.objcopy, args.elf, args.hex, args.cyacd, args.check, args.strict, args.verbose,
                          say=_say, fail=_fail)


def _guarded(convert: "Callable[[], int]", args: Arguments) -> int:
    """The exit status of a conversion: a failure becomes one line on stderr."""
    try:
        return convert()
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
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
    """The warnings of the tools' HEX reader, loaded from its file alone,
    without the package: on the plain path only the reader and binascii are
    imported, so the warnings cost a fraction of the conversion."""
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


if __name__ == "__main__":
    sys.exit(run())
