#!/usr/bin/env python3
"""Non-blank, non-comment lines of the product and of its tests, and their ratio.

Product: the library (include runtime platform tsm sync task filter re), the front end (frontend),
the OpenMP tool (openmp) and the gdb extension with its wrapper (tools/gdb, tools/tavo-gdb).
Tests: every text file under tests/ (programs, corpus, scripts, expected outputs, build files),
except the published SARIF schema and the fuzzer's generated inputs, which we did not write.
"""
import os, sys

PRODUCT = ["include", "runtime", "platform", "tsm", "sync", "task", "filter", "re",
           "frontend", "openmp", "tools/gdb", "tools/tavo-gdb"]
NOT_OURS = ("tests/frontend/reports/sarif-", "tests/fuzz/corpus/")

def lines(path):
    hash_comments = not path.endswith((".c", ".cpp", ".h", ".inl", ".in", ".def", ".map"))
    count, block = 0, False
    for text in open(path, errors="replace"):
        text = text.strip()
        if block:
            block = "*/" not in text
            continue
        if not text or text.startswith("//") or (hash_comments and text.startswith("#")):
            continue
        if text.startswith("/*") and not hash_comments:
            block = "*/" not in text
            continue
        count += 1
    return count

def total(paths):
    n = 0
    for top in paths:
        walk = [(os.path.dirname(top), [], [os.path.basename(top)])] if os.path.isfile(top) else os.walk(top)
        for folder, _, files in walk:
            for name in files:
                path = os.path.join(folder, name)
                if not path.startswith(NOT_OURS) and "__pycache__" not in path:
                    n += lines(path)
    return n

os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
product, tests = total(PRODUCT), total(["tests"])
print(f"product {product}\ntests   {tests}\nratio   {tests / product:.2f}")
if len(sys.argv) > 1:
    for top in sys.argv[1:]:
        print(f"{top} {total([top])}")
