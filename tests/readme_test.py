"""The README's sample outputs against what the commands print today, so that they cannot drift.

TAVO_BUILD_DIR names a release build tree. Each sample is one of the README's indented blocks,
found by its first line; its stable lines must appear in the command's output in the same order
(anywhere, where threads interleave). Both sides are masked alike: hexadecimal numbers, process,
thread and task numbers, task handles, the folders above the checkout, runs of blanks. gdb's thread notices,
prompts and shell commands are not output to compare."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
BUILD = os.environ.get("TAVO_BUILD_DIR", "")
SECONDS = 120

NOT_COMPARED = re.compile(r"^(\$ |\(gdb\) |\[New Thread|\[Thread |\[Switching to Thread|Reading symbols|"
                          r"Starting program|Continuing\.|\[Thread debugging|Using host libthread_db|\s*$)")
MASKS = [(r"0x[0-9a-fA-F]+", "0x#"), (r"\b[0-9a-fA-F]{12,16}\b", "#"), (r"\[[0-9a-f]+\]", "[#]"),
         (r"\(1\.\d+\)", "(1.#)"), (r"~\d+", "~#"), (r"(LWP |process |pid=|tid=)\d+", r"\1#"),
         (r"\S*/(examples|tests)/", r"\1/"), (r"\s+", " ")]


def stable(lines):
    kept = []
    for line in lines:
        if NOT_COMPARED.match(line):
            continue
        for pattern, replacement in MASKS:
            line = re.sub(pattern, replacement, line)
        kept.append(line.strip())
    return kept


def readme_block(first_line):
    with open(os.path.join(SOURCE, "README.md")) as readme:
        lines = readme.read().splitlines()
    start = lines.index("    " + first_line)
    block = []
    for line in lines[start:]:
        if line and not line.startswith("    "):
            break
        block.append(line[4:])
    return block


def run(argv, environment=None, cwd=None):
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=SECONDS,
                          env=dict(os.environ, **(environment or {})), cwd=cwd)
    return done.stdout.splitlines()


def built(*path):
    return os.path.join(BUILD, *path)


class Samples(unittest.TestCase):
    def assertSample(self, first_line, output, ordered=True):
        expected, actual = stable(readme_block(first_line)), stable(output)
        position = 0
        for line in expected:
            found = actual.index(line, position) if line in actual[position:] else -1
            self.assertNotEqual(found, -1, "the README's %r is not %s in what the command prints:\n%s" % (
                line, "there, in order," if ordered else "there", "\n".join(output)))
            position = found + 1 if ordered else 0

    def test_the_hand_instrumented_race(self):
        output = run([built("examples", "racy_counter")], {"TAVO_ENABLE": "1", "TAVO_LOGGING": "9"})
        self.assertSample("tavo: data sharing detected", output)

    def test_the_reentrant_call(self):
        output = run([built("examples", "reentrant_call")], {"TAVO_LOGGING": "0x39"})
        self.assertSample("describe is at 0x55c7c2552290", output, ordered=False)

    def test_the_gdb_session(self):
        first = "$ gdb -q -iex 'add-auto-load-safe-path build/release' build/release/examples/racy_counter"
        commands = [line[len("(gdb) "):] for line in readme_block(first) if line.startswith("(gdb) ")]
        argv = ["gdb", "-q", "-nx", "-batch", "-iex", "set debuginfod enabled off",
                "-iex", "add-auto-load-safe-path " + BUILD]
        for command in commands:
            argv += ["-ex", command]
        self.assertSample(first, run(argv + [built("examples", "racy_counter")]))

    def test_tavo_gdb(self):
        output = run(["bash", "-c", '"$0" "$1"; echo "exit status $?"', built("tavo-gdb"),
                      built("examples", "racy_counter")])
        self.assertSample("$ build/release/tavo-gdb build/release/examples/racy_counter; echo \"exit status $?\"",
                          output)

    def test_a_real_program(self):
        with tempfile.TemporaryDirectory() as work:
            run([built("frontend", "tavocc"), "-g", "-O1", os.path.join(SOURCE, "tests", "frontend", "reports",
                                                                         "locked_global.c"), "-o", "locked_global"],
                {"TAVO_CC": "clang"}, cwd=work)
            output = run(["bash", "-c", './locked_global; echo "exit status $?"'], cwd=work)
        self.assertSample("==================", output)


if __name__ == "__main__":
    if not os.path.isfile(built("tavo-gdb")):
        sys.exit("TAVO_BUILD_DIR must name a build tree")
    unittest.main(verbosity=2)
