"""tavo's debugger side for gdb.

The library stops in __tavo_switch_to_debugger whenever it has something to say; this extension
keeps a breakpoint there, reads the event reason and the detection record, and writes the
configuration block and the filter records through gdb's memory access (extension.py says how a
command reaches the library). gdb loads it through the loader beside the library (auto-load), or
by hand: source tools/gdb/load.py."""

import gdb

from .extension import Extension


def install():
    # Auto-loading and an explicit source may both happen: one extension per gdb.
    if not hasattr(gdb, "tavo_extension"):
        gdb.tavo_extension = Extension()
        gdb.tavo_extension.install()
    return gdb.tavo_extension
