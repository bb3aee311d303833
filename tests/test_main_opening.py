"""The opening of `main`: arguments, the tool command, tool failure, the decoder."""
import codecs
import errno
import os
import pathlib
import shlex
import signal
import stat
import subprocess
import sys
import types

import pytest

import rowmint
from support import (
    ROAD_DATA,
    ROAD_HEX,
    Conversion,
    Recorder,
    Stop,
    cmd_runs,
    make_os,
    posix_returncode,
    windows_quote,
)


@pytest.fixture
def conv(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    conversion = Conversion()
    monkeypatch.setattr(sys, "argv", conversion.argv)
    return conversion


class PathsInThisFolder(types.ModuleType):
    """os.path that puts every file in the current folder: the paths whose
    quoting is tested lie in folders that need not exist."""

    def dirname(self, path):
        return ""

    def __getattr__(self, name):
        return getattr(os.path, name)


def command_of(monkeypatch, argv, **os_attrs):
    """Run main up to the tool command and return the commands it ran."""
    recorder = Recorder(stop=True)
    monkeypatch.setattr(rowmint, "os", make_os(recorder, path=PathsInThisFolder("path"), **os_attrs))
    monkeypatch.setattr(sys, "argv", argv)
    with pytest.raises(Stop):
        rowmint.main()
    return recorder.commands


# ---------------------------------------------------------------- the command text

AWKWARD_PATHS = [
    "in.elf",
    "build/fw-1.2_final.elf",
    "dir/a+b@c%d=e:f,g.elf",
    "/abs/path/to/out.hex",
    "my in.elf",
    "a;rm -rf x",
    "$(touch pwned)",
    "`id`",
    "it's",
    'say "hi"',
    "",
    "\u00e4.elf",
    "a*b?",
    "~/x",
    "a\nb",
    "a\tb",
    "-O",
    "x|y&z>w<v",
    "!x#y",
    "back\\slash",
    "{a,b}",
    "'",
]


def test_plain_command_text(monkeypatch):
    commands = command_of(monkeypatch, ["script", "tool", "in.elf", "out.hex", "out.cyacd"])
    assert commands == ["tool -O ihex in.elf out.hex"]


@pytest.mark.parametrize(
    "tool",
    [
        "objcopy",
        "/opt/arm tools/bin/objcopy",
        "'/opt/arm tools/bin/objcopy' --gap-fill 0xFF",
        "objcopy;",
        "",
        "\u00e4objcopy",
    ],
)
@pytest.mark.parametrize("name", ["posix", "nt"])
def test_tool_command_goes_in_as_it_stands(monkeypatch, tool, name):
    commands = command_of(monkeypatch, ["script", tool, "in.elf", "out.hex", "out.cyacd"], name=name)
    assert commands == [tool + " -O ihex in.elf out.hex"]


@pytest.mark.parametrize("tool", ["objcopy", '"C:\\Program Files\\Arm\\bin\\arm-none-eabi-objcopy.exe"'])
@pytest.mark.parametrize("elf", ["in.elf", "C:\\work\\my app.elf"])
def test_windows_shell_runs_the_command_meant(monkeypatch, tool, elf):
    commands = command_of(monkeypatch, ["script", tool, elf, "out.hex", "out.cyacd"], name="nt")
    assert [cmd_runs(line) for line in commands] == [tool + " -O ihex " + windows_quote(elf) + " out.hex"]


WINDOWS_PATHS = [
    "in.elf",
    "C:\\fw\\build\\in.elf",
    "C:/fw/build/out-1_2.hex",
    "\\\\server\\share\\x.elf",
    "my in.elf",
    "",
    "a&b",
    "a;b",
    "a^b",
    "it's",
    "a+b",
    "a,b",
    "a=b",
    "a@b",
    "a(1)",
    "\u00e4.elf",
    "a\tb",
]


# Each shell: how a path is quoted for it, and what its shell makes of a line.
SHELLS = {"posix": (shlex.quote, lambda line: line), "nt": (windows_quote, cmd_runs)}


@pytest.mark.parametrize(
    "name, path", [("posix", path) for path in AWKWARD_PATHS] + [("nt", path) for path in WINDOWS_PATHS]
)
@pytest.mark.parametrize("which", ["elf", "hex"])
def test_command_quotes_paths_for_the_shell(monkeypatch, name, path, which):
    quote, shell_runs = SHELLS[name]
    elf, hex_ = (path, "out.hex") if which == "elf" else ("in.elf", path)
    commands = command_of(monkeypatch, ["script", "tool", elf, hex_, "out.cyacd"], name=name)
    assert [shell_runs(line) for line in commands] == ["tool -O ihex %s %s" % (quote(elf), quote(hex_))]


@pytest.mark.parametrize("path", ['"', 'a"b', '"quoted.elf"', 'C:\\a b\\"x', "%PATH%", "50%.hex"])
@pytest.mark.parametrize("which", ["elf", "hex"])
def test_windows_refuses_what_cmd_would_change_in_a_path(monkeypatch, conv, path, which):
    recorder = Recorder()
    monkeypatch.setattr(rowmint, "os", make_os(recorder, name="nt"))
    argv = conv.argv
    argv[2 if which == "elf" else 3] = path
    monkeypatch.setattr(sys, "argv", argv)
    with pytest.raises(ValueError):
        rowmint.main()
    assert recorder.commands == []
    assert not conv.output_exists()


# The arguments after the script name, os.name, and the refusal met first.
# Before the tool runs: too few arguments, then what cmd.exe would change,
# then a path that names the ELF file, then a HEX path that names what the
# user keeps or has nowhere to go, then a row file with nowhere to go, then a
# row file that is not a file. old.cyacd is a row file, other.elf an ELF file.
REFUSED_BEFORE_THE_TOOL = [
    (["tool", "app.hex", "app.elf", "out.cyacd"], "posix", ValueError,
     "the HEX path names an ELF file; the tool would write over it"),
    (["tool", "app.elf", "old.cyacd", "no/new.cyacd"], "posix", ValueError,
     "the HEX path names a row file; the tool would write over it"),
    (["tool", "app.elf", "fifo", "no/out.cyacd"], "posix", ValueError,
     "the HEX path names a device, a pipe or a socket, not a file"),
    (["tool", "app.elf", "no/out.hex", "no/out.cyacd"], "posix", FileNotFoundError,
     "[Errno %d] %s: 'no/out.hex'" % (errno.ENOENT, os.strerror(errno.ENOENT))),
    (["tool", "app.elf", "other.elf/out.hex", "out.cyacd"], "posix", NotADirectoryError,
     "[Errno %d] %s: 'other.elf/out.hex'" % (errno.ENOTDIR, os.strerror(errno.ENOTDIR))),
    (["tool", "app.elf", "sub", "out.cyacd"], "posix", IsADirectoryError,
     "[Errno %d] %s: 'sub'" % (errno.EISDIR, os.strerror(errno.EISDIR))),
    (["tool", "app.elf", "out.hex", "fifo"], "posix", ValueError,
     "the row-file path names a device, a pipe or a socket, not a file"),
    (["tool", "app.elf", "out.hex", os.devnull], "posix", ValueError,
     "the row-file path names a device, a pipe or a socket, not a file"),
    (["tool", "app.elf", "app.elf", "out.cyacd"], "posix", ValueError, "the HEX path names the ELF file"),
    (["tool", "app.elf", "sub/../app.elf", "out.cyacd"], "nt", ValueError, "the HEX path names the ELF file"),
    (["tool", "app.elf", "out.hex", "./app.elf"], "posix", ValueError, "the row-file path names the ELF file"),
    (["tool", "app.elf", "out.hex", "elf-link"], "posix", ValueError, "the row-file path names the ELF file"),
    (["tool", "app.elf", "app.elf"], "posix", IndexError, "list index out of range"),
    (["tool", "50%.elf", "50%.elf", "out.cyacd"], "nt", ValueError, "cannot pass a path holding '%'"),
    (["tool", "app.elf", "app.elf", "no/out.cyacd"], "posix", ValueError, "the HEX path names the ELF file"),
]


@pytest.mark.parametrize("args, name, error, message", REFUSED_BEFORE_THE_TOOL)
def test_refused_before_the_tool_runs(monkeypatch, conv, args, name, error, message):
    for elf in ("app.elf", "50%.elf", "other.elf"):
        with open(elf, "wb") as out:
            out.write(b"\x7fELF")
    with open("old.cyacd", "w") as out:
        out.write("256A11B50000\n")
    os.mkdir("sub")
    if "fifo" in args:
        if not hasattr(os, "mkfifo"):
            pytest.skip("no named pipes here")
        os.mkfifo("fifo")
    if os.devnull in args and os.name == "nt":
        pytest.skip("the Windows null device is not a file system node")
    if "elf-link" in args:
        try:
            os.symlink("app.elf", "elf-link")
        except (OSError, NotImplementedError):
            pytest.skip("no symbolic links here")
    before = sorted(os.listdir("."))
    recorder = Recorder()
    monkeypatch.setattr(rowmint, "os", make_os(recorder, name=name))
    monkeypatch.setattr(sys, "argv", ["script"] + args)
    with pytest.raises(error) as info:
        rowmint.main()
    assert type(info.value) is error
    assert str(info.value).startswith(message)
    assert recorder.commands == []
    assert sorted(os.listdir(".")) == before
    with open("app.elf", "rb") as elf:
        assert elf.read() == b"\x7fELF"
    with open("old.cyacd") as old:
        assert old.read() == "256A11B50000\n"
    if os.name != "nt":
        assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


def test_the_hex_file_is_looked_at_through_the_modules_os(monkeypatch, conv):
    conv.write_hex("")  # an empty file is written over, unless the stand-in says otherwise
    recorder = Recorder()
    monkeypatch.setattr(rowmint, "os", make_os(recorder, read=lambda fd, count: b"256A11B50000"[:count]))
    with pytest.raises(ValueError, match="^the HEX path names a row file"):
        rowmint.main()
    assert recorder.commands == []


def test_elements_after_the_fourth_are_ignored(monkeypatch):
    commands = command_of(monkeypatch, ["script", "tool", "in.elf", "out.hex", "out.cyacd", "extra", "-x"])
    assert commands == ["tool -O ihex in.elf out.hex"]


def test_command_runs_once_per_call(monkeypatch, conv):
    recorder = Recorder(hex_path=conv.hex, hex_bytes=ROAD_HEX.encode())
    monkeypatch.setattr(rowmint, "os", make_os(recorder))
    assert rowmint.main() is None
    assert recorder.commands == [conv.command]
    assert rowmint.main() is None
    assert recorder.commands == [conv.command] * 2


# ---------------------------------------------------------------- tool failure

@pytest.mark.parametrize(
    "status",
    [256, 512, 0x7F00, 9, 15, 0x80 | 11, 0x137F, -1, 2 ** 40, True],
    ids=["exit-1", "exit-2", "exit-127", "killed-9", "killed-15", "core-dump-11",
         "stopped", "minus-1", "too-large", "true"],
)
@pytest.mark.parametrize("hex_present", [False, True], ids=["no-hex", "old-hex"])
def test_posix_tool_failure(monkeypatch, conv, status, hex_present):
    if hex_present:
        conv.write_hex(ROAD_HEX)
    with open(conv.cyacd, "w") as old:
        old.write("old output\n")
    recorder = Recorder(result=status)
    monkeypatch.setattr(rowmint, "os", make_os(recorder, name="posix"))
    with pytest.raises(subprocess.CalledProcessError) as info:
        rowmint.main()
    assert type(info.value) is subprocess.CalledProcessError
    assert info.value.returncode == posix_returncode(status)
    assert type(info.value.returncode) is int
    assert info.value.cmd == conv.command
    assert recorder.commands == [conv.command]
    with open(conv.cyacd) as old:
        assert old.read() == "old output\n"


@pytest.mark.parametrize("name, status", [
    ("posix", 2), ("posix", 0x80 | 2), ("nt", 0xC000013A), ("nt", 0xC000013A - 2 ** 32),
], ids=["sigint", "sigint-core-dump", "control-c-exit", "control-c-exit-signed"])
def test_a_tool_ended_by_ctrl_c_stops_the_caller(monkeypatch, conv, name, status):
    conv.write_hex(ROAD_HEX)
    with open(conv.cyacd, "w") as old:
        old.write("old output\n")
    monkeypatch.setattr(rowmint, "os", make_os(Recorder(result=status), name=name))
    with pytest.raises(KeyboardInterrupt):
        rowmint.main()
    with open(conv.cyacd) as old:
        assert old.read() == "old output\n"


@pytest.mark.skipif(not hasattr(signal, "SIGUSR1"), reason="POSIX signals")
def test_a_signal_that_arrived_while_the_tool_ran_is_raised_at_once(monkeypatch, conv):
    # The shell signals this process; the handler runs before main goes on
    # to the HEX file, which the tool never wrote.
    def handler(signum, frame):
        raise Stop("signal")
    monkeypatch.setattr(rowmint, "os", make_os(os.system))
    argv = conv.argv
    argv[1] = "kill -USR1 %d; true" % os.getpid()
    monkeypatch.setattr(sys, "argv", argv)
    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        with pytest.raises(Stop):
            rowmint.main()
    finally:
        signal.signal(signal.SIGUSR1, previous)


def test_killed_tool_gives_negative_signal(monkeypatch, conv):
    monkeypatch.setattr(rowmint, "os", make_os(Recorder(result=9)))
    with pytest.raises(subprocess.CalledProcessError) as info:
        rowmint.main()
    assert info.value.returncode == -9
    assert not conv.output_exists()


@pytest.mark.parametrize("status", [1, 256, 9, -1, 2 ** 40])
def test_windows_tool_failure_keeps_raw_value(monkeypatch, conv, status):
    monkeypatch.setattr(rowmint, "os", make_os(Recorder(result=status), name="nt"))
    with pytest.raises(subprocess.CalledProcessError) as info:
        rowmint.main()
    assert info.value.returncode == status
    assert info.value.cmd == conv.command
    assert not conv.output_exists()


@pytest.mark.parametrize(
    "result",
    [None, "1", 1.0, b"\x01", object(), [1], 0, False],
    ids=["none", "str", "float", "bytes", "object", "list", "zero", "false"],
)
def test_non_failure_results_go_on_to_the_hex_file(monkeypatch, conv, result):
    monkeypatch.setattr(rowmint, "os", make_os(Recorder(result=result)))
    # Nothing at the HEX path: getting this far means the result was not taken as a failure.
    with pytest.raises(FileNotFoundError) as info:
        rowmint.main()
    assert info.value.filename == conv.hex
    assert not conv.output_exists()


def test_real_shell_failure(monkeypatch, conv):
    # The real os: a tool that exits with status 3.
    monkeypatch.setattr(rowmint, "os", os)
    argv = conv.argv
    argv[1] = "%s -c 'import sys; sys.exit(3)'" % shlex.quote(sys.executable)
    monkeypatch.setattr(sys, "argv", argv)
    with pytest.raises(subprocess.CalledProcessError) as info:
        rowmint.main()
    assert info.value.returncode == 3
    assert not conv.output_exists()


# ---------------------------------------------------------------- arguments

@pytest.mark.parametrize("count", [0, 1, 2, 3, 4])
def test_missing_arguments(monkeypatch, conv, count):
    recorder = Recorder()
    monkeypatch.setattr(rowmint, "os", make_os(recorder))
    monkeypatch.setattr(sys, "argv", conv.argv[:count])
    with pytest.raises(IndexError) as info:
        rowmint.main()
    assert type(info.value) is IndexError
    assert str(info.value) == "list index out of range"
    assert recorder.commands == []


def host_error(thunk):
    try:
        thunk()
    except TypeError as exc:
        return str(exc)
    raise AssertionError("expected TypeError")


NON_STR = [5, None, b"in.elf", pathlib.PurePosixPath("in.elf")]


@pytest.mark.parametrize("value", NON_STR, ids=["int", "none", "bytes", "path"])
@pytest.mark.parametrize("index", [1, 2, 3])
@pytest.mark.parametrize("name", ["posix", "nt"])
def test_non_str_argument(monkeypatch, conv, value, index, name):
    recorder = Recorder()
    monkeypatch.setattr(rowmint, "os", make_os(recorder, name=name))
    argv = conv.argv
    argv[index] = value
    monkeypatch.setattr(sys, "argv", argv)
    pieces = [argv[1], " -O ihex ", argv[2], " ", argv[3]]

    def concatenate():
        text = pieces[0]
        for piece in pieces[1:]:
            text = text + piece
        return text

    with pytest.raises(TypeError) as info:
        rowmint.main()
    assert type(info.value) is TypeError
    assert str(info.value) == host_error(concatenate)
    assert recorder.commands == []


def test_module_sys_is_looked_up(monkeypatch, conv):
    monkeypatch.setattr(sys, "argv", ["only-the-script"])
    fake_sys = types.SimpleNamespace(argv=["script", "other-tool", "a.elf", "b.hex", "c.cyacd"])
    monkeypatch.setattr(rowmint, "sys", fake_sys)
    recorder = Recorder(stop=True)
    monkeypatch.setattr(rowmint, "os", make_os(recorder))
    with pytest.raises(Stop):
        rowmint.main()
    assert recorder.commands == ["other-tool -O ihex a.elf b.hex"]


def test_argv_fetched_afresh_for_each_element(monkeypatch):
    fetched = []

    class FakeSys:
        @property
        def argv(self):
            n = len(fetched) + 1
            fetched.append(n)
            return ["s%d" % n, "t%d" % n, "e%d" % n, "h%d" % n, "c%d" % n]

    monkeypatch.setattr(rowmint, "sys", FakeSys())
    recorder = Recorder(stop=True)
    monkeypatch.setattr(rowmint, "os", make_os(recorder))
    with pytest.raises(Stop):
        rowmint.main()
    assert fetched == [1, 2, 3, 4]
    assert recorder.commands == ["t1 -O ihex e2 h3"]


# ---------------------------------------------------------------- the decoder

class RecordingCodecs(types.ModuleType):
    """A `codecs` whose getdecoder hands out a recording wrapper of the named decoder."""

    def __init__(self, alter=None):
        super().__init__("codecs")
        self.names = []
        self.inputs = []
        self.alter = alter or {}

    def getdecoder(self, name):
        self.names.append(name)
        real = codecs.getdecoder(name)

        def decoder(text):
            self.inputs.append(text)
            return OnlyFirst(self.alter.get(text, real(text)[0]))

        return decoder

    def __getattr__(self, name):
        return getattr(codecs, name)


class OnlyFirst:
    """A decoder result of which only element 0 may be taken."""

    def __init__(self, value):
        self.value = value

    def __getitem__(self, index):
        assert index == 0, "only element 0 of the decoder's result is used"
        return self.value


def run_conversion(monkeypatch, conv, hex_text):
    conv.write_hex(hex_text)
    monkeypatch.setattr(rowmint, "os", make_os(Recorder()))
    if os.path.exists(conv.cyacd):
        os.remove(conv.cyacd)
    assert rowmint.main() is None
    return conv.output_lines()


def test_substituted_decoder_is_used(monkeypatch, conv):
    plain = run_conversion(monkeypatch, conv, ROAD_HEX)
    fake = RecordingCodecs()
    monkeypatch.setattr(rowmint, "codecs", fake)
    assert run_conversion(monkeypatch, conv, ROAD_HEX) == plain
    assert fake.names == ["hex"]
    assert "10220000" in fake.inputs
    assert "00000001" in fake.inputs
    assert plain[1].startswith(":0000220100" + ROAD_DATA)


def test_substituted_decoder_result_decides_the_row(monkeypatch, conv):
    # The decoder claims the record lies in row 0x30: its answer, not the text, counts.
    fake = RecordingCodecs(alter={"10220000": b"\x10\x30\x00\x00"})
    monkeypatch.setattr(rowmint, "codecs", fake)
    lines = run_conversion(monkeypatch, conv, ROAD_HEX)
    assert lines[1].startswith(":0000300100" + ROAD_DATA)


def test_decoder_fetched_at_every_call(monkeypatch, conv):
    first, second = RecordingCodecs(), RecordingCodecs()
    for fake in (first, second):
        monkeypatch.setattr(rowmint, "codecs", fake)
        run_conversion(monkeypatch, conv, ROAD_HEX)
    assert first.names == ["hex"]
    assert second.names == ["hex"]


def test_decoder_fetched_before_arguments(monkeypatch):
    class Failing(types.ModuleType):
        def getdecoder(self, name):
            raise Stop(name)

    monkeypatch.setattr(rowmint, "codecs", Failing("codecs"))
    monkeypatch.setattr(sys, "argv", ["script"])
    recorder = Recorder()
    monkeypatch.setattr(rowmint, "os", make_os(recorder))
    with pytest.raises(Stop, match="^hex$"):
        rowmint.main()
    assert recorder.commands == []
