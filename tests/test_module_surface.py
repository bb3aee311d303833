"""The importable module: namespace, functions, import behaviour, running as the main module."""
import builtins
import codecs
import importlib
import importlib.util
import os
import shlex
import shutil
import subprocess
import sys
import textwrap

import pytest
import six

import rowmint
from support import ROAD_DATA, ROAD_HEX, Conversion, Recorder, Stop, make_os, stopping_system

BOUND = ["codecs", "os", "sys", "six", "__version__", "replace", "main", "__test__"]


def test_namespace_binding_order():
    names = list(vars(rowmint))
    assert [n for n in names if n in BOUND] == BOUND
    others = [n for n in names if n not in BOUND]
    # Only the attributes the import system sets, all of them before the body's first binding.
    assert all(n.startswith("__") and n.endswith("__") for n in others), others
    first = names.index("codecs")
    assert all(names.index(n) < first for n in others), names


@pytest.mark.parametrize(
    "name, value",
    [("codecs", codecs), ("os", os), ("sys", sys), ("six", six)],
)
def test_library_modules_bound(name, value):
    # Compared through sys.modules too, in case a test elsewhere holds another copy.
    assert getattr(rowmint, name) is value
    assert getattr(rowmint, name) is sys.modules[name]


def test_version_and_test_dict():
    assert type(rowmint.__version__) is str
    assert rowmint.__version__ == "1.00"
    assert type(rowmint.__test__) is dict
    assert rowmint.__test__ == {}


def test_module_has_no_docstring():
    assert rowmint.__doc__ is None
    assert rowmint.__name__ == "rowmint"


@pytest.mark.parametrize("name", ["main", "replace"])
def test_function_names_and_docstrings(name):
    func = getattr(rowmint, name)
    assert callable(func)
    assert func.__name__ == name
    assert func.__qualname__ == name
    assert func.__doc__ is None


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "main() takes no arguments (1 given)"),
        ((1, 2), {}, "main() takes no arguments (2 given)"),
        ((None,) * 7, {}, "main() takes no arguments (7 given)"),
        ((), {"x": 1}, "main() takes no keyword arguments"),
        ((), {"x": 1, "y": 2}, "main() takes no keyword arguments"),
    ],
)
def test_main_argument_errors(monkeypatch, args, kwargs, message):
    recorder = Recorder()
    monkeypatch.setattr(rowmint, "os", make_os(recorder))
    monkeypatch.setattr(sys, "argv", ["script", "tool", "in.elf", "out.hex", "out.cyacd"])
    with pytest.raises(TypeError) as info:
        rowmint.main(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert recorder.commands == []


def test_main_with_empty_keyword_dict_runs(monkeypatch):
    # An empty ** is no keyword at all: main starts and runs the command.
    monkeypatch.setattr(rowmint, "os", make_os(stopping_system))
    monkeypatch.setattr(sys, "argv", ["script", "tool", "in.elf", "out.hex", "out.cyacd"])
    with pytest.raises(Stop):
        rowmint.main(*(), **{})


def test_reimport_returns_same_module_without_running_body(monkeypatch):
    marker = make_os(stopping_system)
    test_dict = rowmint.__test__
    monkeypatch.setattr(rowmint, "os", marker)
    monkeypatch.delitem(sys.modules, "rowmint")
    again = importlib.import_module("rowmint")
    assert again is rowmint
    assert sys.modules["rowmint"] is rowmint
    # The body did not run again: the rebinding survives and __test__ is the same dict.
    assert again.os is marker
    assert again.__test__ is test_dict


def test_rebinding_os_changes_next_call(monkeypatch):
    monkeypatch.setattr(sys, "argv", ["script", "tool", "in.elf", "out.hex", "out.cyacd"])
    first, second = Recorder(stop=True), Recorder(stop=True)
    for recorder in (first, second):
        monkeypatch.setattr(rowmint, "os", make_os(recorder))
        with pytest.raises(Stop):
            rowmint.main()
    assert first.commands == ["tool -O ihex in.elf out.hex"]
    assert second.commands == ["tool -O ihex in.elf out.hex"]


def test_rebinding_builtin_open_has_no_effect(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    conv = Conversion()
    monkeypatch.setattr(sys, "argv", conv.argv)
    monkeypatch.setattr(rowmint, "os", make_os(Recorder()))
    opened = []

    def fake_open(*args, **kwargs):
        opened.append(args)
        raise Stop("fake open")

    monkeypatch.setattr(builtins, "open", fake_open)
    # No HEX file exists: the real open reports it.
    with pytest.raises(FileNotFoundError) as info:
        rowmint.main()
    assert info.value.filename == conv.hex
    assert opened == []


def run_fresh(tmp_path, source):
    script = tmp_path / "fresh.py"
    script.write_text(textwrap.dedent(source))
    sys_path = os.pathsep.join([os.path.dirname(__file__)] + sys.path)
    return subprocess.run(
        [sys.executable, str(script)], cwd=str(tmp_path), capture_output=True, text=True, timeout=120,
        env=dict(os.environ, PYTHONPATH=sys_path),
    )


def test_failed_import_leaves_no_module_and_can_be_retried(tmp_path):
    proc = run_fresh(tmp_path, """
        import sys
        sys.modules["six"] = None
        try:
            import rowmint
        except ModuleNotFoundError as exc:
            print("refused", "six" in str(exc))
        print("rowmint" in sys.modules)
        del sys.modules["six"]
        import rowmint
        print([n for n in vars(rowmint) if not n.startswith("__")], rowmint.__version__, rowmint.__test__)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "refused True",
        "False",
        "['codecs', 'os', 'sys', 'six', 'replace', 'main'] 1.00 {}",
    ]


@pytest.mark.skipif(importlib.util.find_spec("_testcapi") is None, reason="needs _testcapi")
@pytest.mark.parametrize(
    "source, expected",
    [
        # A second interpreter is refused while the first lives.
        ("import rowmint\nprint(_testcapi.run_in_subinterp('import rowmint'))", ["-1"]),
        # The first one ended: the next import gets a module of its own.
        ("print(_testcapi.run_in_subinterp('import rowmint'))\nimport rowmint, os\n"
         "print(rowmint.os is os, rowmint.replace(0, 1, 'x' * 12, 'Y'))", ["0", "True xxxxxxxxxxxY"]),
    ],
    ids=["second-refused", "after-the-first-ended"],
)
def test_one_interpreter_per_process(tmp_path, source, expected):
    proc = run_fresh(tmp_path, "import _testcapi\n" + source)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == expected
    assert ("ImportError: rowmint can be loaded into one interpreter per process" in proc.stderr) == (expected == ["-1"])


def test_builtin_open_is_taken_when_the_module_executes(tmp_path):
    proc = run_fresh(tmp_path, """
        import builtins, sys
        from support import ROAD_HEX, Recorder, make_os
        real_open = builtins.open
        opened = []

        def spy(*args, **kwargs):
            opened.append(args[0])
            return real_open(*args, **kwargs)

        builtins.open = spy
        import rowmint
        builtins.open = real_open
        with open("out.hex", "w") as out:
            out.write(ROAD_HEX)
        rowmint.os = make_os(Recorder())
        sys.argv = ["script", "tool", "in.elf", "out.hex", "out.cyacd"]
        rowmint.main()
        print(opened.count("out.hex"))
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "2\n"


# ---------------------------------------------------------------- running as the main module

TOOL_SCRIPT = textwrap.dedent(
    """
    import sys
    assert sys.argv[1:3] == ["-O", "ihex"], sys.argv
    with open(sys.argv[4], "w") as out:
        out.write({hex!r})
    """
)

RUNNER = textwrap.dedent(
    """
    import ctypes, sys, types
    from importlib.machinery import ModuleSpec

    path = sys.argv[1]
    sys.argv = sys.argv[2:]
    trace = sys.argv[0] == "trace"
    if trace:
        import os, six
        events = []

        class Spy(types.ModuleType):
            def __init__(self, name, real):
                super().__init__(name)
                object.__setattr__(self, "_real", real)

            def __getattribute__(self, name):
                real = object.__getattribute__(self, "_real")
                if name == "exit":
                    events.append("fetch exit")
                    def exit(code=None):
                        events.append("exit %r" % (code,))
                        print(";".join(events))
                        real.exit(code)
                    return exit
                if name == "system":
                    def system(cmd):
                        events.append("system")
                        return real.system(cmd)
                    return system
                if name == "_real":
                    return real
                return getattr(real, name)

        sys.modules["sys"] = Spy("sys", sys)
        sys.modules["os"] = Spy("os", os)

    lib = ctypes.PyDLL(path)
    lib.PyInit_rowmint.restype = ctypes.c_void_p
    definition = lib.PyInit_rowmint()
    from_def = ctypes.pythonapi.PyModule_FromDefAndSpec2
    from_def.restype = ctypes.py_object
    from_def.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.restype = ctypes.c_int
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    module = from_def(definition, ModuleSpec("__main__", None, origin=path), 1013)
    exec_def(module, definition)
    print("body returned")
    """
)


def run_as_main(tmp_path, tool_exit=0, trace=False):
    tool = tmp_path / "tool.py"
    tool.write_text(TOOL_SCRIPT.format(hex=ROAD_HEX) + "sys.exit(%d)\n" % tool_exit)
    runner = tmp_path / "runner.py"
    runner.write_text(RUNNER)
    conv = Conversion(tool="%s %s" % (shlex.quote(sys.executable), shlex.quote(str(tool))))
    argv = conv.argv
    if trace:
        argv[0] = "trace"
    proc = subprocess.run(
        [sys.executable, str(runner), rowmint.__file__] + argv,
        cwd=str(tmp_path), capture_output=True, text=True, timeout=120,
    )
    return proc, tmp_path / conv.cyacd


def test_runs_conversion_as_main_module(tmp_path):
    proc, cyacd = run_as_main(tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "" and proc.stderr == ""
    lines = cyacd.read_text().split("\n")
    assert lines[0] == "256A11B50000"
    assert lines[1].startswith(":0000220100" + ROAD_DATA)
    assert len(lines[1]) == 525
    assert lines[2:] == [""]


def test_main_module_fetches_exit_before_main_and_exits_with_none(tmp_path):
    proc, cyacd = run_as_main(tmp_path, trace=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "fetch exit;system;exit None\n"
    assert cyacd.exists()


def test_failed_conversion_as_main_module(tmp_path):
    proc, cyacd = run_as_main(tmp_path, tool_exit=3)
    assert proc.returncode != 0
    assert "Traceback" in proc.stderr
    assert "CalledProcessError" in proc.stderr
    assert "body returned" not in proc.stdout
    assert not cyacd.exists()


# ---------------------------------------------------------------- shared object

@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_init_function_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", rowmint.__file__], capture_output=True, text=True, check=True
    ).stdout
    functions = set()
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 3 and fields[1] in ("T", "t", "W", "w", "i"):
            functions.add(fields[2].split("@")[0])
    assert functions == {"PyInit_rowmint"}
