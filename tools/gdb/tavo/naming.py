"""Names for code and data addresses, as people read them."""

import os
import re

import gdb

def _function_block(pc):
    try:
        block = gdb.block_for_pc(pc)
    except RuntimeError:
        block = None
    while block is not None and block.function is None:
        block = block.superblock
    return block


def _symbol_at(address):
    """(name, offset, objfile) of the ELF symbol that covers the address, or None."""
    try:
        text = gdb.execute("info symbol 0x%x" % address, to_string=True).strip()
    except gdb.error:
        return None
    match = re.match(r"^(\S+)(?: \+ (\d+))? in section \S+(?: of (.+))?$", text)
    if match is None:
        return None
    return match.group(1), int(match.group(2) or 0), match.group(3)


def describe_code(address, return_address=True):
    """'function at file:line' for a code address; a return address names the call before it."""
    if address == 0:
        return "no call site"
    pc = address - 1 if return_address else address
    block = _function_block(pc)
    function = block.function.print_name if block is not None else None
    if block is not None and block.start == pc and block.function.symtab is not None:
        # A function's own address: where it is defined rather than its first instruction's line.
        symtab, number = block.function.symtab, block.function.line
    else:
        line = gdb.find_pc_line(pc)
        symtab, number = line.symtab, line.line
    if symtab is not None and number:
        where = "%s:%d" % (os.path.basename(symtab.filename), number)
        return "%s at %s" % (function or "0x%x" % address, where)
    symbol = _symbol_at(pc)
    if symbol is not None:
        name, _, objfile = symbol
        return "%s in %s" % (function or name, os.path.basename(objfile)) if objfile else (function or name)
    return "0x%x" % address


def describe_data(address):
    """The variable's name at a data address, where gdb can tell, else None."""
    symbol = _symbol_at(address)
    if symbol is None:
        return None
    name, offset, _ = symbol
    if offset == 0:
        return name
    try:
        found = gdb.lookup_static_symbol(name) or gdb.lookup_global_symbol(name)
    except gdb.error:
        found = None
    if found is not None:
        kind = found.type.strip_typedefs()
        if kind.code == gdb.TYPE_CODE_ARRAY:
            element = kind.target().sizeof
            if element and offset % element == 0:
                return "%s[%d]" % (name, offset // element)
    return "%s+%d" % (name, offset)
