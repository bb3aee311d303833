"""Small helpers shared by the tests of the module surface and the HEX front end."""
import codecs
import functools
import os
import shlex
import shutil
import string
import subprocess
import tempfile
import types

HEADER_LINE = "256A11B50000"

# One 16-byte record at 0x2200 (row 0x022) and the end-of-file record.
ROAD_RECORD = ":10220000000102030405060708090A0B0C0D0E0F56"
ROAD_DATA = "000102030405060708090A0B0C0D0E0F"
EOF_RECORD = ":00000001FF"
ROAD_HEX = ROAD_RECORD + "\n" + EOF_RECORD + "\n"


class StandInOs(types.ModuleType):
    """An `os` that answers what it was given and delegates the rest to the real one."""

    def __getattr__(self, name):
        return getattr(os, name)


def make_os(system, **attrs):
    fake = StandInOs("os")
    fake.system = system
    for key, value in attrs.items():
        setattr(fake, key, value)
    return fake


class Stop(Exception):
    """Raised by stand-ins to end `main` at a chosen point."""


class Recorder:
    """A `system` stand-in: records every command, optionally writes the HEX file."""

    def __init__(self, result=0, hex_path=None, hex_bytes=None, stop=False):
        self.commands = []
        self.result = result
        self.hex_path = hex_path
        self.hex_bytes = hex_bytes
        self.stop = stop

    def __call__(self, cmd):
        self.commands.append(cmd)
        if self.hex_path is not None and self.hex_bytes is not None:
            with open(self.hex_path, "wb") as out:
                out.write(self.hex_bytes)
        if self.stop:
            raise Stop(cmd)
        return self.result


def stopping_system(cmd):
    raise Stop(cmd)


def pure_replace(start, lenth, str, repstr):
    start = start + 11
    return str[0:start] + repstr + str[start + lenth:]


WINDOWS_SAFE = set(string.ascii_letters + string.digits + "._-:\\/")


def windows_quote(path):
    if path == "" or any(ch not in WINDOWS_SAFE for ch in path):
        return '"' + path + '"'
    return path


def cmd_runs(line):
    """The command that `cmd.exe /c LINE` runs, by cmd's own rule: the quotes of
    a line holding exactly two, with white space and none of &<>()@^| between
    them, are kept (when they name an executable file: assumed here);
    otherwise a line that begins with a quote loses it and its last quote."""
    quotes = [i for i, ch in enumerate(line) if ch == '"']
    if len(quotes) == 2:
        inside = line[quotes[0] + 1:quotes[1]]
        if not any(ch in "&<>()@^|" for ch in inside) and any(ch.isspace() for ch in inside):
            return line
    if line.startswith('"'):
        last = line.rindex('"')
        return line[1:last] + line[last + 1:]
    return line


def posix_returncode(status):
    """The exit status, or minus the signal, of a wait status; the status
    itself where it is not a valid one. Decoded by hand before 3.9, which
    brought os.waitstatus_to_exitcode."""
    try:
        if hasattr(os, "waitstatus_to_exitcode"):
            return os.waitstatus_to_exitcode(status)
        if os.WIFEXITED(status):
            return os.WEXITSTATUS(status)
        if os.WIFSIGNALED(status):
            return -os.WTERMSIG(status)
        raise ValueError("invalid wait status: %r" % (status,))
    except (ValueError, OverflowError):
        return status


def hex_codec_error(digits):
    """The type and text of what the running interpreter's hex decoder raises
    for these digits: its texts, and which fault it names first, change
    between releases."""
    try:
        codecs.getdecoder("hex")(digits)
    except ValueError as exc:
        return type(exc), str(exc)
    raise AssertionError("%r decodes" % (digits,))


def empty_row_line(row):
    return ":00%04X0100" % row + "0" * 512


class Conversion:
    """Paths and argv of one conversion in a temporary folder."""

    def __init__(self, tool="tool", elf="in.elf", hex="out.hex", cyacd="out.cyacd"):
        # Relative names: the tests run in a fresh working folder.
        self.tool = tool
        self.elf = elf
        self.hex = hex
        self.cyacd = cyacd

    @property
    def argv(self):
        return ["script", self.tool, self.elf, self.hex, self.cyacd]

    @property
    def command(self):
        return "%s -O ihex %s %s" % (self.tool, self.elf, self.hex)

    def write_hex(self, text=None, data=None):
        if data is None:
            data = text.encode("utf-8")
        with open(self.hex, "wb") as out:
            out.write(data)

    def output_exists(self):
        return os.path.exists(self.cyacd)

    def output_lines(self):
        with open(self.cyacd, "rb") as f:
            data = f.read()
        assert data.endswith(os.linesep.encode())
        return data.decode("ascii").split(os.linesep)[:-1]


EXAMPLE_ELF = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples", "elf", "blinky.elf")


def _reads(words, source):
    with tempfile.TemporaryDirectory() as scratch:
        target = os.path.join(scratch, "probe.hex")
        done = subprocess.run(words + ["-O", "ihex", source, target], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
        return done.returncode == 0 and os.path.getsize(target) > 0


@functools.lru_cache(maxsize=None)
def object_copy_words(input_format="elf"):
    """The object-copy tool that reads the example images, as argument words, or None.

    The target's own arm-none-eabi-objcopy where present. Otherwise the host's
    objcopy: binutils 2.47 and later no longer recognise an ARM ELF file
    without being told its format, so it gets "-I elf32-little" when it cannot
    read the example on its own; a HEX input always gets "-I ihex".
    """
    for name in ("arm-none-eabi-objcopy", "objcopy"):
        tool = shutil.which(name)
        if tool is None:
            continue
        if input_format == "ihex":
            return (tool, "-I", "ihex")
        if _reads([tool], EXAMPLE_ELF):
            return (tool,)
        if _reads([tool, "-I", "elf32-little"], EXAMPLE_ELF):
            return (tool, "-I", "elf32-little")
    return None


def object_copy_command(input_format="elf"):
    """The same tool as one shell command, for rowmint's OBJCOPY argument, or None."""
    words = object_copy_words(input_format)
    return None if words is None else " ".join(shlex.quote(word) for word in words)
