"""What the row-file commands `rowmint-check`, `rowmint-diff` and
`rowmint-export` share on the command line: the version, lines written
whole, names the terminal cannot encode written escaped, and the guard that
turns every failure into one line and an exit status.

Kept to what the interpreter has loaded at start-up: argparse, json and the
conversion module are imported only by the options that need them.
"""

import sys
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Optional, Sequence, Union

from .input_files import InputRefused

if TYPE_CHECKING:
    import argparse

EXIT_TROUBLE = 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports it


def add_version(parser: "argparse.ArgumentParser") -> None:
    """--version: rowmint's own version, looked up only when asked for."""
    import argparse

    class VersionAction(argparse.Action):
        def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                     values: Union[str, Sequence[Any], None], option_string: Optional[str] = None) -> None:
            import rowmint
            sys.stdout.write(rowmint.__version__ + "\n")
            parser.exit()

    parser.add_argument("--version", action=VersionAction, nargs=0, default=argparse.SUPPRESS,
                        help="print the version and exit")


def tolerant_output() -> None:
    """File names the terminal cannot encode are written escaped
    (backslashreplace), never as a UnicodeEncodeError."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")


def one_line(text: str) -> str:
    """Text as one line, whatever a path or message in it holds."""
    return " ".join(text.splitlines())


def write_lines(lines: Iterable[str], stream: Any = None) -> None:
    out = sys.stdout if stream is None else stream
    out.write("".join(one_line(line) + "\n" for line in lines))
    out.flush()


def write_json(value: Dict[str, Any]) -> None:
    import json
    write_lines([json.dumps(value)])


def describe(error: Exception) -> str:
    """An exception as the text of an error line: an OSError leads with the
    file it concerns, in the `FILE: error: ...` form."""
    if _names_its_file(error):
        return "%s: error: %s" % (error.filename, _reason(error))  # type: ignore[attr-defined]
    return "error: %s" % (str(error) or type(error).__name__)


def _names_its_file(error: Exception) -> bool:
    """An OSError with a file name, or an input refused for what it is."""
    return isinstance(error, (OSError, InputRefused)) and error.filename is not None


def _reason(error: Exception) -> str:
    if isinstance(error, InputRefused):
        return error.reason
    return getattr(error, "strerror", None) or str(error)


def error_json(error: Exception) -> Dict[str, Any]:
    """An error as the JSON output's "errors" hold it: the file it concerns,
    if any, and the message without that name."""
    if isinstance(error, (OSError, InputRefused)):
        return {"file": error.filename, "line": None, "message": _reason(error)}
    return {"file": None, "line": None, "message": str(error)}


def error_line(prog: str, error: Exception) -> str:
    text = describe(error)
    return text if _names_its_file(error) else "%s: %s" % (prog, text)


def guarded(prog: str, main: Callable[[List[str]], int], argv: Optional[List[str]] = None) -> int:
    """The exit status of `main`; whatever escapes it is one line on stderr
    and exit status 2, never a traceback."""
    try:
        tolerant_output()
        return main(sys.argv[1:] if argv is None else list(argv))
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader has gone: nobody is left to tell, and the interpreter's
        # own flush at exit must not complain either.
        import os
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_TROUBLE
    except Exception as error:
        try:
            write_lines([error_line(prog, error)], sys.stderr)
        except Exception:
            pass
        return EXIT_TROUBLE
