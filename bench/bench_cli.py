"""Times the `rowmint` console command against the same conversion run from a
three-line script, both as whole processes; then the proofs against the ELF
against a plain conversion and the import of pyelftools' ELF reader.

    python bench/bench_cli.py [--runs N] [--objcopy COMMAND]

Run it with the interpreter of the environment where rowmint is installed:
the command is the `rowmint` script beside that interpreter, as pip wrote it.
Both ways convert the full-size image of bench_main.py (rows 0x022 to 0x1FF,
about 7,650 HEX lines) with the same object-copy command: a two-line shell
script that copies the prepared HEX file to the HEX path.  The script way is

    import sys, rowmint
    sys.argv = ["script", OBJCOPY, ELF, HEX, CYACD]
    rowmint.main()

The command's figure includes its warnings: the full image has data in the
metadata area of its last row, so the HEX file is scanned and one warning
printed.

The figure is CPU time (user + system) of each process and everything it
waited for (interpreter start-up, imports, the shell and the copy, the
conversion), taken from the children's resource usage.  The two ways take
turns; the bench prints the median of N runs of each and their ratio
(aim: at most 1.3).

Then, when OBJCOPY (default "objcopy") turns the HEX file into an ELF file
("-I ihex -O elf32-little"), the proofs on that full image:
`rowmint-check ROWFILE --elf ELF` and `rowmint --check OBJCOPY ELF HEX
CYACD`, each against the sum of the plain conversion of the same ELF and
`python -c "import elftools.elf.elffile"` (aim: at most 1.0), in CPU time,
all four taking turns.
"""

import argparse
import os
import resource
import shlex
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_main import full_image_lines  # noqa: E402

CLI = os.path.join(os.path.dirname(sys.executable), "rowmint")
CHECK_CLI = os.path.join(os.path.dirname(sys.executable), "rowmint-check")

SCRIPT = """import sys, rowmint
sys.argv = ["script", %r, %r, %r, %r]
rowmint.main()
"""


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def cpu_ms(command, folder, output=False):
    """CPU time of one run of the command, in ms; the command must succeed,
    and print nothing but warnings unless `output` is allowed."""
    before = children_cpu()
    result = subprocess.run(command, cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    spent = children_cpu() - before
    warnings_only = all(b": warning: " in line for line in result.stderr.splitlines())
    if result.returncode != 0 or not (output or (not result.stdout and warnings_only)):
        sys.exit("bench: %s failed (exit status %d): %s" % (
            command[0], result.returncode, (result.stdout + result.stderr).decode(errors="replace")))
    return spent * 1000.0


def proofs(folder, objcopy, runs):
    """The proof commands on the full image as an ELF file, against a plain
    conversion plus the import of the ELF reader; None without an objcopy
    that writes the ELF file."""
    made = subprocess.run(shlex.split(objcopy) + ["-I", "ihex", "-O", "elf32-little", "prepared.hex", "full.elf"],
                          cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if made.returncode != 0:
        return None
    ways = [
        ("plain conversion", [CLI, objcopy, "full.elf", "plain.hex", "plain.cyacd"]),
        ("import of the ELF reader", [sys.executable, "-c", "import elftools.elf.elffile"]),
        ("rowmint-check --elf", [CHECK_CLI, "plain.cyacd", "--elf", "full.elf"]),
        ("rowmint --check", [CLI, "--check", objcopy, "full.elf", "check.hex", "check.cyacd"]),
    ]
    times = [[] for _ in ways]
    for _ in range(runs):
        for (_, command), spent in zip(ways, times):
            spent.append(cpu_ms(command, folder, output=True))
    return [(name, statistics.median(spent)) for (name, _), spent in zip(ways, times)]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=41, help="runs of each (default 41)")
    parser.add_argument("--objcopy", default="objcopy", help="writes the full image as an ELF file")
    args = parser.parse_args(argv)
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    if not os.path.exists(CLI):
        sys.exit("bench: no rowmint command beside %s; install rowmint into this environment" % sys.executable)

    with tempfile.TemporaryDirectory(prefix="rowmint-bench-cli-") as folder:
        lines = full_image_lines()
        prepared = os.path.join(folder, "prepared.hex")
        with open(prepared, "w", newline="\r\n") as f:
            f.write("\n".join(lines) + "\n")
        # Called as "TOOL -O ihex ELF HEX": the HEX path is the fourth argument.
        tool = os.path.join(folder, "objcopy-stand-in")
        with open(tool, "w") as f:
            f.write("#!/bin/sh\nexec cp %s \"$4\"\n" % shlex.quote(prepared))
        os.chmod(tool, 0o755)
        open(os.path.join(folder, "app.elf"), "wb").close()

        with open(os.path.join(folder, "script.py"), "w") as f:
            f.write(SCRIPT % (tool, "app.elf", "script.hex", "script.cyacd"))
        ways = [
            ("rowmint command", [CLI, tool, "app.elf", "cli.hex", "cli.cyacd"]),
            ("three-line script", [sys.executable, "script.py"]),
        ]

        times = [[] for _ in ways]
        for _ in range(args.runs):
            for (_, command), spent in zip(ways, times):
                spent.append(cpu_ms(command, folder))

        with open(os.path.join(folder, "cli.cyacd"), "rb") as f:
            from_cli = f.read()
        with open(os.path.join(folder, "script.cyacd"), "rb") as f:
            from_script = f.read()
        if from_cli != from_script or not from_cli.startswith(b"256A11B50000"):
            sys.exit("bench: the command and the script wrote different row files")
        proven = proofs(folder, args.objcopy, args.runs)

    command_ms, script_ms = (statistics.median(spent) for spent in times)
    print("image: %d HEX lines, %d runs each (median CPU time, user + system)" % (len(lines), args.runs))
    print("rowmint command      %8.1f ms" % command_ms)
    print("three-line script    %8.1f ms" % script_ms)
    print("command / script     %8.2f x  (aim <= 1.3)" % (command_ms / script_ms))
    if proven is None:
        print("proofs: skipped, %r cannot write the image as an ELF file" % args.objcopy)
        return 0
    (_, plain_ms), (_, import_ms) = proven[:2]
    for name, spent in proven:
        print("%-25s %8.1f ms" % (name, spent))
    for name, spent in proven[2:]:
        print("%-19s / (plain + import) %6.2f x  (aim <= 1.0)" % (name, spent / (plain_ms + import_ms)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
