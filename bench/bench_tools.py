"""Times `rowmint-diff` and `rowmint-export` against `rowmint-check` on the
same row file, all as whole processes.

    python bench/bench_tools.py [--runs N]

Run it with the interpreter of the environment where rowmint is installed:
the commands are the scripts beside that interpreter, as pip wrote them.
The row file is the full-size image of bench_main.py (rows 0x022 to 0x1FF),
converted once through rowmint.main(). The commands take turns:

    rowmint-check ROWFILE
    rowmint-diff ROWFILE COPY          (a copy with the same bytes)
    rowmint-export ROWFILE OUT.hex
    rowmint-export ROWFILE OUT.bin

The figure is CPU time (user + system) of each process, from the children's
resource usage; the bench prints the median of N runs of each and its ratio
to rowmint-check's (aim: at most 1.20).
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_main import full_image_lines  # noqa: E402

BIN = os.path.dirname(sys.executable)


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def cpu_ms(command, folder):
    """CPU time of one run of the command, in ms; the command must succeed."""
    before = children_cpu()
    result = subprocess.run(command, cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    spent = children_cpu() - before
    if result.returncode != 0 or result.stderr:
        sys.exit("bench: %s failed (exit status %d): %s" % (
            command[0], result.returncode, (result.stdout + result.stderr).decode(errors="replace")))
    return spent * 1000.0


def make_row_file(folder):
    """The full-size image's row file, converted with the tool left out."""
    import rowmint
    hex_path = os.path.join(folder, "app.hex")
    with open(hex_path, "w", newline="\r\n") as f:
        f.write("\n".join(full_image_lines()) + "\n")

    class NoTool:
        def __getattr__(self, name):
            return getattr(os, name)

        def system(self, command):
            return 0

    saved_os, saved_argv = rowmint.os, sys.argv
    rowmint.os, sys.argv = NoTool(), ["bench", "tool", "app.elf", hex_path, os.path.join(folder, "app.cyacd")]
    try:
        rowmint.main()
    finally:
        rowmint.os, sys.argv = saved_os, saved_argv
    shutil.copy(os.path.join(folder, "app.cyacd"), os.path.join(folder, "copy.cyacd"))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=41, help="runs of each (default 41)")
    args = parser.parse_args(argv)
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    ways = [
        ("rowmint-check", ["rowmint-check", "app.cyacd"]),
        ("rowmint-diff", ["rowmint-diff", "app.cyacd", "copy.cyacd"]),
        ("rowmint-export .hex", ["rowmint-export", "app.cyacd", "out.hex"]),
        ("rowmint-export .bin", ["rowmint-export", "app.cyacd", "out.bin"]),
    ]
    for _, command in ways:
        command[0] = os.path.join(BIN, command[0])
        if not os.path.exists(command[0]):
            sys.exit("bench: no %s beside %s; install rowmint into this environment" % (command[0], sys.executable))

    with tempfile.TemporaryDirectory(prefix="rowmint-bench-tools-") as folder:
        make_row_file(folder)
        times = [[] for _ in ways]
        for _ in range(args.runs):
            for (_, command), spent in zip(ways, times):
                spent.append(cpu_ms(command, folder))

    medians = [statistics.median(spent) for spent in times]
    print("full-size row file, %d runs each (median CPU time, user + system)" % args.runs)
    for (name, _), median in zip(ways, medians):
        print("%-22s %8.1f ms  %5.2f x rowmint-check" % (name, median, median / medians[0]))
    print("aim: each at most 1.20 x rowmint-check")
    return 0


if __name__ == "__main__":
    sys.exit(main())
