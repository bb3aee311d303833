"""How the `rowmint` command words a failed conversion: one line that names
the file or the tool at fault and, where the cause is a common mistake
(arguments in the wrong order, an object-copy tool that is not installed),
what to do about it.

The launcher imports this module only when a conversion has failed, or when
the scan for lost image bytes after a conversion has.
"""

import os
import signal
import subprocess
from typing import Optional


def shown_name(path: str) -> str:
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


def _tool_failure(error: subprocess.CalledProcessError) -> str:
    code = error.returncode
    if isinstance(code, int) and code < 0:
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


def _os_failure(error: OSError, hex_path: str, cyacd: str) -> str:
    reason = error.strerror or str(error)
    filename = getattr(error, "filename", None)
    filename2 = getattr(error, "filename2", None)
    if _is_row_file(filename2, cyacd) or (filename != hex_path and _is_row_file(filename, cyacd)):
        message = "cannot write row file %s: %s" % (shown_name(cyacd), reason)
        folder = os.path.dirname(cyacd)
        if isinstance(error, FileNotFoundError) and folder and not os.path.isdir(folder):
            message += " (its folder %s does not exist)" % folder
        return message
    if filename is not None and filename == hex_path:
        if _hex_has_no_place(error, hex_path):
            return "cannot write HEX file %s: %s" % (shown_name(hex_path), reason)
        message = "cannot read HEX file %s: %s" % (shown_name(hex_path), reason)
        if isinstance(error, FileNotFoundError):
            # The tool ran and reported success, yet wrote nothing there.
            message += " (the object-copy command succeeded but wrote no HEX file)"
        return message
    if filename is not None:
        return "%s: %s" % (shown_name(str(filename)), reason)
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


def _hex_line_note(error: BaseException) -> Optional[str]:
    for note in getattr(error, "__notes__", None) or ():
        if isinstance(note, str) and note.startswith("HEX line "):
            return note
    return None


def describe(error: Exception, hex_path: str, cyacd: str) -> str:
    """The text after "rowmint: error: " for an exception out of main(),
    which was given the HEX path `hex_path` and the row file `cyacd`."""
    if isinstance(error, subprocess.CalledProcessError):
        return _tool_failure(error)
    if isinstance(error, OSError):
        return _os_failure(error, hex_path, cyacd)
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
        message = "cannot read HEX file %s: %s" % (shown_name(hex_path), message)
    return message
