"""Filter arguments, the ranges they name, and the filters in force."""

import re

import gdb

from .protocol import INITIAL_POLARITY, POLARITY_FOCUS, POLARITY_SUPPRESS

class Range:
    def __init__(self, base, length, label):
        if length > 0xFFFFFFFF:
            raise gdb.GdbError("tavo: the range %s is longer than 4 GiB" % label)
        self.base, self.length, self.label = base, length, label

    @property
    def end(self):
        return self.base + self.length  # inside, as the library counts it

    def equivalent(self, other):
        # Neither precedes the other: the same range, or one inside the other.
        precedes = lambda a, b: a.base < b.base and a.end < b.end
        return not precedes(self, other) and not precedes(other, self)

    def text(self):
        return "%s [0x%x, 0x%x]" % (self.label, self.base, self.end)


def _address_of(expression):
    value = gdb.parse_and_eval(expression)
    if value.type.strip_typedefs().code == gdb.TYPE_CODE_FUNC:
        value = value.address
    return int(value) & 0xFFFFFFFFFFFFFFFF


def _find_symbol(name):
    try:
        found = gdb.lookup_symbol(name)[0]
    except gdb.error:
        found = None
    return found or gdb.lookup_global_symbol(name) or gdb.lookup_static_symbol(name)


def _function_range(symbol, name):
    start = int(symbol.value().address)
    block = gdb.block_for_pc(start)
    while block is not None and block.function is None:
        block = block.superblock
    if block is None:
        raise gdb.GdbError("tavo: gdb does not know where %s ends; give an address range" % name)
    return Range(block.start, block.end - block.start, name)


def _line_ranges(file_name, first, last):
    if last < first:
        raise gdb.GdbError("tavo: the line range %s:%d-%d is empty" % (file_name, first, last))
    try:
        lines = gdb.decode_line("%s:%d" % (file_name, first))[1] or ()
    except gdb.error as failure:
        raise gdb.GdbError("tavo: %s" % failure)
    tables = {}
    for line in lines:
        if line.symtab is not None:
            tables[(line.symtab.fullname(), line.symtab.objfile.filename)] = line.symtab
    spans = []
    for symtab in tables.values():
        # Each line owns the code from its entry to the next entry at a higher address.
        entries = sorted((entry.pc, entry.line) for entry in symtab.linetable())
        for (pc, line), following in zip(entries, entries[1:] + [(None, None)]):
            if first <= line <= last and following[0] is not None and following[0] > pc:
                spans.append([pc, following[0]])
    spans.sort()
    merged = []
    for start, end in spans:
        if merged and start <= merged[-1][1]:
            merged[-1][1] = max(merged[-1][1], end)
        else:
            merged.append([start, end])
    label = "%s:%d" % (file_name, first) + ("-%d" % last if last != first else "")
    if not merged:
        raise gdb.GdbError("tavo: no code for %s" % label)
    # The end address counts as inside: it covers the return address of a call that ends the line.
    return [Range(start, end - start, label) for start, end in merged]


def resolve_ranges(target, argument):
    """The ranges that a filter argument names: an address range, a function, a variable or
    (for code) a file:line range."""
    argument = argument.strip()
    if not argument:
        raise gdb.GdbError("tavo: say which %s: an address range, a %s" % (
            target, "function or file:line range" if target == "code" else "variable"))
    if "," in argument:
        start_text, end_text = (part.strip() for part in argument.split(",", 1))
        start = _address_of(start_text)
        if end_text.startswith("+"):
            length = _address_of(end_text[1:])
        else:
            end = _address_of(end_text)
            if end < start:
                raise gdb.GdbError("tavo: the range %s ends before it starts" % argument)
            length = end - start
        return [Range(start, length, argument)]
    lines = re.match(r"^(.+):(\d+)(?:-(\d+))?$", argument)
    if lines is not None:
        if target != "code":
            raise gdb.GdbError("tavo: %s names code; a data filter takes a variable or an address range" % argument)
        first = int(lines.group(2))
        return _line_ranges(lines.group(1), first, int(lines.group(3) or first))
    if re.match(r"^[A-Za-z_][\w:<>~]*$", argument):
        symbol = _find_symbol(argument)
        if symbol is not None and symbol.is_function:
            if target != "code":
                raise gdb.GdbError("tavo: %s is a function; a data filter takes a variable or an address range" % argument)
            return [_function_range(symbol, argument)]
        if symbol is not None and symbol.is_variable:
            if target != "data":
                raise gdb.GdbError("tavo: %s is a variable; a code filter takes a function, file:line or an address range" % argument)
            return [Range(int(symbol.value().address), symbol.type.sizeof, argument)]
    try:
        return [Range(_address_of(argument), 0, argument)]
    except gdb.error as failure:
        raise gdb.GdbError("tavo: cannot tell what %s names (%s)" % (argument, failure))


class FilterModel:
    """The filters in force as set from here, replayed from the batches the library accepted."""

    def __init__(self):
        self.polarity = {}
        self.ranges = {}

    def apply(self, feature, target, operation, ranges):
        self.polarity.setdefault(feature, INITIAL_POLARITY[feature])
        if target == "polarity":
            self.polarity[feature] = POLARITY_FOCUS if operation == "focus" else POLARITY_SUPPRESS
            return
        stored = self.ranges.setdefault((feature, target), [])
        if operation == "clear":
            stored.clear()
        for added in ranges:
            if operation == "add":
                stored.append(added)
            elif operation == "remove":
                stored[:] = [kept for kept in stored if not kept.equivalent(added)]
        stored.sort(key=lambda kept: kept.base)

    def lines(self, feature):
        """The feature's polarity, then one line per range."""
        if feature not in self.polarity:
            return ["%s: no filter" % feature]
        polarity = "focus" if self.polarity[feature] == POLARITY_FOCUS else "suppress"
        lines = ["%s: %s" % (feature, polarity)]
        for target in ("code", "data"):
            lines += ["  %s %s" % (target, kept.text()) for kept in self.ranges.get((feature, target), [])]
        return lines
