"""Runs the compressor built plain, with ThreadSanitizer and through tavo, one after another with the
same arguments, and prints each one's time and peak memory with tavo's ratio to ThreadSanitizer."""
import re
import subprocess
import sys


def run(label, program, arguments):
    output = subprocess.run([program, label, *arguments], check=True, capture_output=True, text=True).stdout
    print(output, end="")
    found = re.search(r": ([0-9.]+) s, ([0-9]+) KiB", output)
    return float(found.group(1)), int(found.group(2))


def main():
    plain, tsan, tavo, *arguments = sys.argv[1:]
    run("plain", plain, arguments)
    tsan_time, tsan_memory = run("tsan", tsan, arguments)
    tavo_time, tavo_memory = run("tavo", tavo, arguments)
    print(f"tavo / ThreadSanitizer: {tavo_time / tsan_time:.2f} times the time, "
          f"{tavo_memory / tsan_memory:.2f} times the memory")


main()
