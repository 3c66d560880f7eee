# tavo's debugger side for gdb.
#
# The library stops in __tavo_switch_to_debugger whenever it has something to say; this extension
# keeps a breakpoint there, reads the event reason and the detection record, and writes the
# configuration block and the filter records through gdb's memory access. gdb loads it by itself
# as libtavo.so-gdb.py beside the library (auto-load), or by hand: source tools/gdb/tavo.py.
#
# A command that changes the configuration must see the library answer. It writes the block and
# then calls a cheap gated entry, _TAVO_leaveFunction(0, 0), whose entry frame polls; every stop of
# that poll reaches the breakpoint, which drives the protocol on (allocate, write the records,
# apply) and lets the call go on. Before the library has loaded, the work waits for its load stops.

import os
import re
import signal
import struct

import gdb

# Layouts and values of include/tavo/tavo.h.
CONFIG_VERSION = 3
REQUEST_RESET = {"tsm": 0x1, "re": 0x2}
REQUEST_UNKNOWN_FEATURES = 0xFC
# A bit with no meaning: while it is set, every gated entry takes the runtime lock and polls.
REQUEST_POLL = 0x100
REQUEST_PING = 0x20000000
REQUEST_APPLY_FILTERS = 0x40000000
REQUEST_ALLOCATE = 0x80000000
FLAG_BITS = {"tsm": 0x1, "re": 0x2}
FLAG_ALWAYS_CONCURRENT = 0x08000000
FLAG_NO_TASK_FILTER = 0x10000000
FLAG_IGNORE = {"atomics": 0x20000000, "reads": 0x40000000}

EVENT_LOADED = 1
EVENT_UNLOADED = 2
EVENT_CONFIGURATION_UPDATED = 3
EVENT_PING_ANSWER = 4
EVENT_HANDSHAKE = 5
EVENT_DATA_SHARING = 256
EVENT_REENTRANT_CALL = 257

FEATURE_NUMBER = {"tsm": 1, "re": 2}
TARGET_NUMBER = {"code": 1, "data": 2, "polarity": 8}
OPERATION_NUMBER = {"clear": 1, "add": 2, "focus": 3, "remove": 4, "suppress": 5}
POLARITY_FOCUS, POLARITY_SUPPRESS = 0, 1
# A feature's first batch starts from these polarities (tsm watches everything, re nothing).
INITIAL_POLARITY = {"tsm": POLARITY_SUPPRESS, "re": POLARITY_FOCUS}

STATUS_MESSAGES = {
    0: "tavo: ok",
    EVENT_LOADED: "tavo: library loaded",
    EVENT_UNLOADED: "tavo: library unloaded",
    EVENT_CONFIGURATION_UPDATED: "tavo: configuration updated",
    EVENT_PING_ANSWER: "tavo: how are you?",
}

# The library's own texts (runtime/errors.cpp).
ERROR_MESSAGES = {
    -10000: "tavo: version mismatch",
    -9998: "tavo: out of memory",
    -30000: "tavo: invalid parameter",
    -29999: "tavo: unknown feature",
    -29998: "tavo: bad filter operation",
    -29997: "tavo: filter operation failed",
    -29996: "tavo: task handle overflow",
    -29995: "tavo: task nesting error",
    -29994: "tavo: invalid task handle",
    -29993: "tavo: access too big",
    -29992: "tavo: sync clock overflow",
    -29991: "tavo: no such task",
    -29990: "tavo: invalid task type",
    -29989: "tavo: invalid sync type",
    -29988: "tavo: invalid memory order",
    -29987: "tavo: syncid overflow",
    -29986: "tavo: syncid mismatch",
}

TASK_TYPE_NAMES = {1: "initial task", 2: "openmp task", 3: "native thread"}
ACCESS_TYPE_NAMES = {0: "read", 1: "written", 2: "updated", 3: "atomically updated"}

ACCESS = struct.Struct("<IIQI4xQQ")  # 40 bytes
OFFENSE = struct.Struct("<I4xQ")  # 16 bytes
FILTER_RECORD = struct.Struct("<BxBB4xQQ")  # 24 bytes
# Lists longer than this are taken for garbage rather than read.
LIST_LIMIT = 4096
# A command whose poll keeps stopping this often is stuck; the block is then cleared.
COMMAND_STOP_LIMIT = 64
# The same error this many times in a row means a block that nothing corrects.
REPEATED_ERROR_LIMIT = 16
# tavo exit's status when something was detected.
DETECTION_EXIT_STATUS = 66

STOP_FUNCTION = "__tavo_switch_to_debugger"
POLL_CALL = "((void (*)(void *, void *)) _TAVO_leaveFunction)(0, 0)"


def error_message(code):
    return ERROR_MESSAGES.get(code, "tavo: internal error %d" % code)


def task_name(task_type, task_id):
    return "%s %d" % (TASK_TYPE_NAMES.get(task_type, "?"), task_id)


# ---------------------------------------------------------------------------------------------
# Settings


class _Prefix(gdb.Command):
    def __init__(self, name, doc, settings=()):
        self.__doc__ = doc
        self.settings = settings
        self.name = name
        super().__init__(name, gdb.COMMAND_DATA, gdb.COMPLETE_NONE, True)

    def invoke(self, argument, from_tty):
        # As gdb's own prefixes do: "show tavo" shows every setting, "set tavo" lists them.
        if not self.settings:
            gdb.execute("help " + self.name)
        for name in self.settings:
            gdb.execute("show tavo " + name)


class _Switch(gdb.Parameter):
    def __init__(self, name, default, doc, set_doc, show_doc):
        self.__doc__ = doc
        self.set_doc = set_doc
        self.show_doc = show_doc
        super().__init__("tavo " + name, gdb.COMMAND_DATA, gdb.PARAM_BOOLEAN)
        self.value = default

    def get_set_string(self):
        return ""

    def get_show_string(self, value):
        return "%s is %s." % (self.show_doc, value)


# ---------------------------------------------------------------------------------------------
# The library's data in the inferior


class Library:
    """Reads and writes the exported data of the library in the selected inferior."""

    def __init__(self):
        self._addresses = {}

    def forget(self):
        self._addresses = {}

    def address(self, name):
        if name not in self._addresses:
            # gdb resolves a copy-relocated datum to the executable's copy, which the library uses.
            self._addresses[name] = int(gdb.parse_and_eval("(unsigned long) &%s" % name))
        return self._addresses[name]

    @staticmethod
    def read(address, size):
        return bytes(gdb.selected_inferior().read_memory(address, size))

    @staticmethod
    def write(address, data):
        gdb.selected_inferior().write_memory(address, data)

    def u32(self, name, offset=0):
        return struct.unpack("<I", self.read(self.address(name) + offset, 4))[0]

    def set_u32(self, name, value, offset=0):
        self.write(self.address(name) + offset, struct.pack("<I", value & 0xFFFFFFFF))

    def reason(self):
        return struct.unpack("<i", self.read(self.address("__tavo_event_reason"), 4))[0]

    def request(self):
        return self.u32("__tavo_config", 4)

    def set_request(self, value):
        self.set_u32("__tavo_config", value, 4)

    def flags(self):
        return self.u32("__tavo_config", 8)

    def set_flags(self, value):
        self.set_u32("__tavo_config", value, 8)

    def filter_count(self):
        return self.u32("__tavo_config", 12)

    def set_filter_count(self, value):
        self.set_u32("__tavo_config", value, 12)

    def active_mask(self):
        return self.u32("__TAVO_isGuardedCall")

    def filter_buffer(self):
        return struct.unpack("<Q", self.read(self.address("__tavo_filter_space"), 8))[0]

    def detection(self):
        return self.read(self.address("__tavo_current_detection"), 64)


# ---------------------------------------------------------------------------------------------
# Naming code and data for people


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


# ---------------------------------------------------------------------------------------------
# Detections


class Access:
    def __init__(self, data):
        (self.access_type, self.size, self.address, self.task_type, self.task_id,
         self.code_address) = ACCESS.unpack(data)
        self.variable = describe_data(self.address)
        self.location = describe_code(self.code_address)

    def text(self):
        variable = " (%s)" % self.variable if self.variable else ""
        return "%d bytes %s at 0x%x%s by %s, in %s" % (
            self.size, ACCESS_TYPE_NAMES.get(self.access_type, "?"), self.address, variable,
            task_name(self.task_type, self.task_id), self.location)


class Detection:
    """What one stop with reason 256 or 257 reported, copied while the lists were valid."""

    def __init__(self, number, reason, record, library):
        self.number = number
        self.reason = reason
        self.thread = gdb.selected_thread().num  # the stopped thread is the reporting one
        self.site = struct.unpack_from("<Q", record, 0)[0]
        self.site_location = describe_code(self.site)
        if reason == EVENT_DATA_SHARING:
            self.offending = Access(record[8:48])
            count, pointer = struct.unpack_from("<QQ", record, 48)
            self.offended = [Access(item) for item in _read_list(library, pointer, count, ACCESS.size)]
        else:
            self.function, count, pointer = struct.unpack_from("<QQQ", record, 8)
            self.function_location = describe_code(self.function, return_address=False)
            self.tasks = [OFFENSE.unpack(item) for item in _read_list(library, pointer, count, OFFENSE.size)]

    def lines(self):
        if self.reason == EVENT_DATA_SHARING:
            lines = ["tavo: data sharing detected (detection %d, thread %d)" % (self.number, self.thread),
                     "  offending: " + self.offending.text()]
            lines += ["  offended:  " + access.text() for access in self.offended]
            return lines
        lines = ["tavo: reentrant call detected (detection %d, thread %d)" % (self.number, self.thread),
                 "  function: %s (0x%x)" % (self.function_location, self.function)]
        if self.tasks:
            entering = self.tasks[-1]
            lines.append("  entered by %s, in %s" % (task_name(*entering), self.site_location))
            lines += ["  inside:    " + task_name(*task) for task in self.tasks[:-1]]
        return lines


def _read_list(library, pointer, count, size):
    if pointer == 0 or count == 0:
        return []
    count = min(count, LIST_LIMIT)
    data = library.read(pointer, count * size)
    return [data[index * size:(index + 1) * size] for index in range(count)]


# ---------------------------------------------------------------------------------------------
# Filters: arguments, records and what is in force


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


# ---------------------------------------------------------------------------------------------
# Jobs: one piece of the protocol each, driven by the stops of the polls


class Job:
    """Writes its request, then follows the stops until the library has answered."""

    description = ""
    answer = None
    error = None

    def start(self, library):
        """Writes the request; True when nothing more is needed."""
        raise NotImplementedError

    def on_stop(self, library, reason):
        """True when the job is complete."""
        raise NotImplementedError

    def fail(self, library, reason):
        """An error stop: leave the block so that the next poll has nothing of ours to fail on."""
        self.error = error_message(reason)

    def succeeded(self, extension):
        pass


class PingJob(Job):
    description = "ping"

    def start(self, library):
        library.set_request(library.request() | REQUEST_PING)

    def on_stop(self, library, reason):
        if reason == EVENT_PING_ANSWER:
            self.answer = STATUS_MESSAGES[EVENT_PING_ANSWER]
            return True
        return False

    def fail(self, library, reason):
        super().fail(library, reason)
        library.set_request(library.request() & ~REQUEST_PING)


class ResetJob(Job):
    def __init__(self, feature):
        self.feature = feature
        self.bit = REQUEST_RESET[feature]
        self.description = "reset " + feature

    def start(self, library):
        library.set_request(library.request() | self.bit)

    def on_stop(self, library, reason):
        return reason == EVENT_CONFIGURATION_UPDATED and not library.request() & self.bit

    def fail(self, library, reason):
        super().fail(library, reason)
        library.set_request(library.request() & ~self.bit)


class FlagsJob(Job):
    """Sets and clears flag bits. The poll that follows recomputes the active mask from them."""

    def __init__(self, description, set_bits=0, clear_bits=0):
        self.description = description
        self.set_bits, self.clear_bits = set_bits, clear_bits

    def start(self, library):
        library.set_flags((library.flags() | self.set_bits) & ~self.clear_bits)
        return True


class FilterJob(Job):
    """One batch: allocate the buffer, write the records, apply them all or none."""

    def __init__(self, feature, operation, target, argument):
        self.feature, self.operation, self.target, self.argument = feature, operation, target, argument
        self.description = " ".join(part for part in ("filter", operation, feature, target, argument) if part)
        self.records = None
        self.applying = False
        self.resolve()

    def resolve(self):
        """(Re)computes the records: addresses move when the program is loaded."""
        try:
            self._resolve()
        except gdb.error as failure:  # an expression gdb cannot evaluate here
            raise gdb.GdbError("tavo: %s" % failure)

    def _resolve(self):
        self.steps = []  # (target, operation, ranges)
        if self.operation in ("focus", "suppress"):
            self.steps.append(("polarity", self.operation, []))
            if self.target is not None:
                self.steps.append((self.target, "add", resolve_ranges(self.target, self.argument)))
        elif self.operation == "clear":
            for target in ([self.target] if self.target else ["code", "data"]):
                self.steps.append((target, "clear", []))
        else:
            self.steps.append((self.target, self.operation, resolve_ranges(self.target, self.argument)))
        self._pack_records()

    def _pack_records(self):
        feature = FEATURE_NUMBER[self.feature]
        self.records = []
        for target, operation, ranges in self.steps:
            for span in ranges or [None]:
                base, length = (span.base, span.length) if span is not None else (0, 0)
                self.records.append(FILTER_RECORD.pack(
                    feature, TARGET_NUMBER[target], OPERATION_NUMBER[operation], base, length))

    def start(self, library):
        library.set_filter_count(len(self.records))
        library.set_request(library.request() | REQUEST_ALLOCATE)

    def on_stop(self, library, reason):
        if reason != EVENT_CONFIGURATION_UPDATED:
            return False
        request = library.request()
        if not self.applying and not request & REQUEST_ALLOCATE:
            buffer = library.filter_buffer()
            library.write(buffer, b"".join(self.records))
            library.set_filter_count(len(self.records))
            library.set_request(request | REQUEST_APPLY_FILTERS)
            self.applying = True
            return False
        return self.applying and not request & REQUEST_APPLY_FILTERS

    def fail(self, library, reason):
        super().fail(library, reason)
        if self.applying and reason != -30000:
            failed = len(self.records) - library.filter_count()
            if 0 <= failed < len(self.records):
                self.error += " (record %d of %d: %s)" % (failed + 1, len(self.records), self._record_text(failed))
        library.set_request(library.request() & ~(REQUEST_ALLOCATE | REQUEST_APPLY_FILTERS))
        library.set_filter_count(0)

    def _record_text(self, index):
        for target, operation, ranges in self.steps:
            count = max(len(ranges), 1)
            if index < count:
                span = ranges[index].text() if ranges else ""
                return " ".join(part for part in (operation, self.feature, target, span) if part)
            index -= count
        return "?"

    def succeeded(self, extension):
        for target, operation, ranges in self.steps:
            extension.filters.apply(self.feature, target, operation, ranges)


# ---------------------------------------------------------------------------------------------
# The extension


class StopBreakpoint(gdb.Breakpoint):
    def __init__(self, extension):
        super().__init__(STOP_FUNCTION, gdb.BP_BREAKPOINT, internal=True)
        self.silent = True
        self.extension = extension

    def stop(self):
        try:
            return self.extension.on_library_stop()
        except Exception as failure:  # never leave the program running blind
            print("tavo: the gdb extension failed at this stop: %s" % failure)
            return True


class Extension:
    def __init__(self):
        self.library = Library()
        self.breakpoint = None
        self.state = "not loaded"  # then "loading" (stops 5 to 1), "loaded", "unloaded" (stop 2)
        self.detections = []
        self.filters = FilterModel()
        self.jobs = []  # being driven: a command's, or at load those that waited for it
        self.pending = []  # given before the library loaded
        self.finished = []
        self.in_command = False
        self.command_stops = 0
        self.select_site = None
        self.last_error = None
        self.repeats = 0
        self.signal = None

    # -- setup ----------------------------------------------------------------------------------

    def install(self):
        _Prefix("set tavo", "Settings of tavo's gdb extension.")
        _Prefix("show tavo", "Settings of tavo's gdb extension.", ("verbose", "stop-on-error", "stop-on-detection"))
        self.verbose = _Switch(
            "verbose", False,
            "Whether load, unload, configuration results and ping answers are shown.",
            "Show tavo's status events.", "Showing tavo's status events")
        self.stop_on_error = _Switch(
            "stop-on-error", False,
            "Whether an error reported by tavo stops the program.",
            "Stop at tavo's errors.", "Stopping at tavo's errors")
        self.stop_on_detection = _Switch(
            "stop-on-detection", True,
            "Whether a detection stops the program; off collects detections and goes on.",
            "Stop at tavo's detections.", "Stopping at tavo's detections")
        for command in COMMANDS:
            command(self)
        gdb.events.new_objfile.connect(self._on_new_objfile)
        gdb.events.exited.connect(self._on_exited)
        gdb.events.stop.connect(self._on_stop_event)
        self._set_breakpoint()

    def _set_breakpoint(self):
        if self.breakpoint is not None and self.breakpoint.is_valid():
            return
        try:
            gdb.parse_and_eval("&" + STOP_FUNCTION)
        except gdb.error:
            return  # not loaded yet: a later objfile will bring it
        self.breakpoint = StopBreakpoint(self)

    def _on_new_objfile(self, event):
        self.library.forget()
        self._set_breakpoint()

    def _on_exited(self, event):
        self.state = "not loaded"
        self.library.forget()
        self.filters = FilterModel()

    def _on_stop_event(self, event):
        if isinstance(event, gdb.SignalEvent):
            self.signal = event.stop_signal
        site, self.select_site = self.select_site, None
        if site is None or not isinstance(event, gdb.BreakpointEvent) or self.breakpoint not in event.breakpoints:
            return
        # Show the program where the library was called rather than the library's own frames.
        frame = gdb.newest_frame()
        while frame is not None and frame.pc() != site:
            frame = frame.older()
        if frame is not None:
            frame.select()
            print(gdb.execute("frame", to_string=True), end="")

    # -- stops ----------------------------------------------------------------------------------

    def on_library_stop(self):
        library = self.library
        reason = library.reason()
        if reason == EVENT_HANDSHAKE:
            self._on_load()
        elif reason == EVENT_LOADED:
            self.state = "loaded"
        elif reason == EVENT_UNLOADED:
            self.state = "unloaded"
        if self.in_command:
            self.command_stops += 1
            if self.command_stops > COMMAND_STOP_LIMIT:
                # Something outside the command keeps the poll reporting: withdraw every request.
                library.set_request(0)
                library.set_filter_count(0)
                for job in self.jobs:
                    job.error = "tavo: the library did not complete %s; the requests were withdrawn" % job.description
                self.finished += self.jobs
                self.jobs = []
        if reason in STATUS_MESSAGES and self.verbose.value:
            print(STATUS_MESSAGES[reason])
        if reason in (EVENT_DATA_SHARING, EVENT_REENTRANT_CALL):
            return self._on_detection(reason)
        if self.jobs:
            self._drive(reason)
            return False
        if reason < 0:
            return self._on_error(reason)
        return False

    def _on_load(self):
        self.state = "loading"
        self.detections = []
        self.signal = None
        self.filters = FilterModel()
        if _environment_has("TAVO_RE"):
            self.filters.polarity["re"] = POLARITY_FOCUS
        self.jobs, self.pending = [], self.pending
        for job in self.pending:
            try:
                if isinstance(job, FilterJob):
                    job.resolve()  # the program is mapped now: its addresses are final
                self.jobs.append(job)
            except gdb.GdbError as failure:
                print("%s (at load: %s)" % (failure, job.description))
        self.pending = []
        self._start_jobs()

    def _start_jobs(self):
        while self.jobs and self.jobs[0].start(self.library):
            self._finish(self.jobs[0])

    def _finish(self, job):
        self.jobs.remove(job)
        self.finished.append(job)
        if job.error is None:
            job.succeeded(self)
        elif not self.in_command:
            print("%s (at load: %s)" % (job.error, job.description))
        if job.error is not None and self.in_command:
            self.jobs.clear()  # the rest of a failed command is not applied

    def _drive(self, reason):
        library = self.library
        job = self.jobs[0]
        if reason < 0:
            job.fail(library, reason)
            if reason == -29999:
                # Bits that name no feature fail every poll; a command must not wait on them.
                library.set_request(library.request() & ~REQUEST_UNKNOWN_FEATURES)
            done = True
        else:
            done = job.on_stop(library, reason)
        if done:
            self._finish(job)
            self._start_jobs()

    def _on_detection(self, reason):
        detection = Detection(len(self.detections) + 1, reason, self.library.detection(), self.library)
        self.detections.append(detection)
        for line in detection.lines():
            print(line)
        if self.in_command or not self.stop_on_detection.value:
            return False
        self.select_site = detection.site
        return True

    def _on_error(self, reason):
        site = struct.unpack_from("<Q", self.library.detection(), 0)[0]
        where = ", in " + describe_code(site) if site else ""
        print("%s (%d)%s" % (error_message(reason), reason, where))
        key = (reason, site, gdb.selected_thread().num)
        self.repeats = self.repeats + 1 if key == self.last_error else 1
        self.last_error = key
        if self.in_command:
            return False
        if self.repeats >= REPEATED_ERROR_LIMIT:
            print("tavo: the library keeps reporting this error; stopped so that the block can be corrected")
            self.repeats = 0
            return True
        if self.stop_on_error.value:
            self.select_site = site
            return True
        return False

    # -- commands -------------------------------------------------------------------------------

    def live(self):
        inferior = gdb.selected_inferior()
        if inferior.pid != 0 and self.state == "not loaded" and inferior.was_attached:
            # gdb came after the library's load stops; if the library is there, it has loaded.
            try:
                self.library.address("__tavo_config")
                self.state = "loaded"
            except gdb.error:
                pass
        return inferior.pid != 0 and self.state == "loaded"

    def run(self, jobs, from_tty=True):
        """Applies the jobs now when the library is there, else at its load. Returns the jobs done."""
        if self.state == "unloaded":
            raise gdb.GdbError("tavo: the library has unloaded")
        if not self.live():
            self.pending.extend(jobs)
            if from_tty or self.verbose.value:
                print("tavo: the library has not loaded yet; this is applied when it loads")
            return []
        self.jobs = list(jobs)
        self.finished = []
        self.in_command = True
        self.command_stops = 0
        # The calling thread must poll itself, even when another thread's poll takes the requests:
        # it then waits for that report to end, and its own poll recomputes the active mask.
        forcing = not self.library.request() & REQUEST_POLL
        try:
            if forcing:
                self.library.set_request(self.library.request() | REQUEST_POLL)
            self._start_jobs()
            self._call_poll()
        finally:
            self.in_command = False
            if forcing and gdb.selected_inferior().pid != 0:
                self.library.set_request(self.library.request() & ~REQUEST_POLL)
            unfinished, self.jobs = self.jobs, []
        for job in unfinished:
            job.error = job.error or "tavo: the library has not answered %s" % job.description
            self.finished.append(job)
        errors = [job.error for job in self.finished if job.error is not None]
        if errors:
            raise gdb.GdbError("\n".join(errors))
        return self.finished

    def _call_poll(self):
        """Calls the gated entry whose frame polls, on a thread stopped in the library's report if
        there is one: it holds the runtime lock, which another thread's poll would wait for.

        Other threads run during the call, as in any call from gdb, so that none waits for a lock
        that a stopped thread holds; the program's breakpoints are off meanwhile, so that the call
        is not cut short. The stop's own reason and record are put back afterwards."""
        selected_thread = gdb.selected_thread()
        try:
            selected_frame = gdb.selected_frame()
        except gdb.error:
            selected_frame = None
        reporting = _thread_in_report()
        saved = None
        paused = [point for point in gdb.breakpoints()
                  if point.enabled and point.visible and point is not self.breakpoint]
        try:
            if reporting is not None:
                reporting.switch()
                saved = (self.library.read(self.library.address("__tavo_event_reason"), 4),
                         self.library.detection())
            for point in paused:
                point.enabled = False
            gdb.parse_and_eval(POLL_CALL)
        finally:
            for point in paused:
                if point.is_valid():
                    point.enabled = True
            if saved is not None and gdb.selected_inferior().pid != 0:
                self.library.write(self.library.address("__tavo_event_reason"), saved[0])
                self.library.write(self.library.address("__tavo_current_detection"), saved[1])
            if selected_thread is not None and selected_thread.is_valid():
                selected_thread.switch()
                if selected_frame is not None and selected_frame.is_valid():
                    selected_frame.select()

    def exit_status(self):
        if self.detections:
            return DETECTION_EXIT_STATUS
        if self.signal is not None and gdb.selected_inferior().pid != 0:
            number = getattr(signal, self.signal, None)
            return 128 + int(number) if number is not None else 1
        code = gdb.convenience_variable("_exitcode")
        if code is not None:
            return int(code)
        ended_by = gdb.convenience_variable("_exitsignal")
        if ended_by is not None:
            return 128 + int(ended_by)
        return 1  # the program did not run to its end


def _environment_has(name):
    try:
        text = gdb.execute("show environment %s" % name, to_string=True)
    except gdb.error:
        return False
    return text.startswith(name + " =")


def _thread_in_report():
    """A thread stopped at the library's stop function, the selected one first."""
    selected = gdb.selected_thread()
    threads = [selected] if selected is not None else []
    threads += [thread for thread in gdb.selected_inferior().threads() if thread != selected]
    found = None
    for thread in threads:
        thread.switch()
        try:
            if gdb.newest_frame().name() == STOP_FUNCTION:
                found = thread
                break
        except gdb.error:
            continue
    if selected is not None:
        selected.switch()
    return found


# ---------------------------------------------------------------------------------------------
# Commands


class TavoCommand(gdb.Command):
    """Drive tavo, the analysis library of the program: status, detectors, filters, detections.

tavo status                      flags, active mask, filters in force, detections so far
tavo enable|disable tsm|re       switch data-sharing (tsm) or reentrant-call (re) detection
tavo ignore reads|atomics on|off have tsm skip reads or atomic updates
tavo reset tsm|re                forget what a detector gathered so far
tavo ping                        ask the library whether it is there
tavo filter OPERATION ...        narrow what a detector watches (help tavo filter)
tavo detections                  every detection of this run
tavo exit                        quit gdb: 66 when something was detected, else the program's status

Settings: set tavo verbose, set tavo stop-on-error, set tavo stop-on-detection."""

    def __init__(self, extension):
        super().__init__("tavo", gdb.COMMAND_DATA, gdb.COMPLETE_NONE, True)


class _Subcommand(gdb.Command):
    name = ""

    def __init__(self, extension):
        self.extension = extension
        super().__init__("tavo " + self.name, gdb.COMMAND_DATA)

    def invoke(self, argument, from_tty):
        self.from_tty = from_tty
        self.act(gdb.string_to_argv(argument))

    def run(self, jobs):
        return self.extension.run(jobs, self.from_tty)

    @staticmethod
    def expect(words, count, usage):
        if len(words) != count:
            raise gdb.GdbError("usage: tavo " + usage)


class StatusCommand(_Subcommand):
    """Show the flags word, the active mask, the filters in force and the detections so far."""
    name = "status"

    def act(self, words):
        self.expect(words, 0, "status")
        extension = self.extension
        live = extension.live() or (gdb.selected_inferior().pid != 0 and extension.state == "loading")
        print("tavo: %s" % (extension.state if gdb.selected_inferior().pid != 0 else "no process"))
        if live:
            flags = extension.library.flags()
            print("  flags:       0x%x (%s)" % (flags, _describe_flags(flags)))
            print("  active mask: 0x%x" % extension.library.active_mask())
        lines = extension.filters.lines("tsm") + extension.filters.lines("re")
        print("  filters:     " + lines[0])
        for line in lines[1:]:
            print("               " + line)
        for job in extension.pending:
            print("  at load:     " + job.description)
        sharing = sum(1 for detection in extension.detections if detection.reason == EVENT_DATA_SHARING)
        reentrant = len(extension.detections) - sharing
        print("  detections:  %d (%d data sharing, %d reentrant call%s)" % (
            len(extension.detections), sharing, reentrant, "" if reentrant == 1 else "s"))


def _describe_flags(flags):
    parts = ["tsm " + ("on" if flags & FLAG_BITS["tsm"] else "off"),
             "re " + ("on" if flags & FLAG_BITS["re"] else "off")]
    for what, bit in sorted(FLAG_IGNORE.items()):
        if flags & bit:
            parts.append(what + " ignored")
    if flags & FLAG_ALWAYS_CONCURRENT:
        parts.append("every task concurrent")
    if flags & FLAG_NO_TASK_FILTER:
        parts.append("no code filter at task entry")
    return ", ".join(parts)


def _feature(word, usage):
    if word not in FEATURE_NUMBER:
        raise gdb.GdbError("usage: tavo " + usage)
    return word


class EnableCommand(_Subcommand):
    """Switch a detector on: tavo enable tsm|re."""
    name = "enable"

    def act(self, words):
        self.expect(words, 1, "enable tsm|re")
        feature = _feature(words[0], "enable tsm|re")
        self.run([FlagsJob("enable " + feature, set_bits=FLAG_BITS[feature])])


class DisableCommand(_Subcommand):
    """Switch a detector off: tavo disable tsm|re."""
    name = "disable"

    def act(self, words):
        self.expect(words, 1, "disable tsm|re")
        feature = _feature(words[0], "disable tsm|re")
        self.run([FlagsJob("disable " + feature, clear_bits=FLAG_BITS[feature])])


class IgnoreCommand(_Subcommand):
    """Have data-sharing detection skip reads or atomic updates: tavo ignore reads|atomics on|off."""
    name = "ignore"

    def act(self, words):
        usage = "ignore reads|atomics on|off"
        self.expect(words, 2, usage)
        if words[0] not in FLAG_IGNORE or words[1] not in ("on", "off"):
            raise gdb.GdbError("usage: tavo " + usage)
        bit = FLAG_IGNORE[words[0]]
        description = "ignore %s %s" % tuple(words)
        job = FlagsJob(description, set_bits=bit) if words[1] == "on" else FlagsJob(description, clear_bits=bit)
        self.run([job])


class ResetCommand(_Subcommand):
    """Have a detector forget what it gathered: tavo reset tsm|re."""
    name = "reset"

    def act(self, words):
        self.expect(words, 1, "reset tsm|re")
        self.run([ResetJob(_feature(words[0], "reset tsm|re"))])


class PingCommand(_Subcommand):
    """Ask the library whether it is there; it answers "tavo: how are you?"."""
    name = "ping"

    def act(self, words):
        self.expect(words, 0, "ping")
        if not self.extension.live():
            raise gdb.GdbError("tavo: no library to ping: the program has not loaded it")
        for job in self.run([PingJob()]):
            if not self.extension.verbose.value:  # else the stop has shown it
                print(job.answer)


class FilterCommand(_Subcommand):
    """Narrow what a detector watches.

tavo filter add|remove tsm|re code|data ARG    add or remove ranges
tavo filter focus|suppress tsm|re [code|data ARG]
                                               watch only the listed ranges (focus) or all
                                               but them (suppress), adding ARG's ranges
tavo filter clear tsm|re [code|data]           drop the ranges

ARG is an address range (START,END or START,+LENGTH, gdb expressions), a function (its code),
a variable (its bytes, for data) or FILE:LINE[-LINE] (the code of those lines).
A new tsm filter suppresses, a new re filter focuses. A rejected batch changes nothing."""
    name = "filter"
    usage = "filter add|remove|clear|focus|suppress tsm|re code|data ARG"

    def act(self, words):
        if len(words) < 2 or words[0] not in OPERATION_NUMBER:
            raise gdb.GdbError("usage: tavo " + self.usage)
        operation, feature = words[0], _feature(words[1], self.usage)
        target = words[2] if len(words) > 2 else None
        if target is not None and target not in ("code", "data"):
            raise gdb.GdbError("usage: tavo " + self.usage)
        argument = " ".join(words[3:])
        if operation in ("add", "remove") and (target is None or not argument):
            raise gdb.GdbError("usage: tavo filter %s %s code|data ARG" % (operation, feature))
        if operation == "clear" and argument:
            raise gdb.GdbError("usage: tavo filter clear %s [code|data]" % feature)
        if operation in ("focus", "suppress") and target is not None and not argument:
            raise gdb.GdbError("usage: tavo filter %s %s [code|data ARG]" % (operation, feature))
        if self.run([FilterJob(feature, operation, target, argument)]):
            lines = self.extension.filters.lines(feature)
            print("tavo: %s filter: %s" % tuple(lines[0].split(": ", 1)))
            for line in lines[1:]:
                print("tavo: " + line)


class DetectionsCommand(_Subcommand):
    """List every detection of this run."""
    name = "detections"

    def act(self, words):
        self.expect(words, 0, "detections")
        if not self.extension.detections:
            print("tavo: no detection")
        for detection in self.extension.detections:
            for line in detection.lines():
                print(line)


class ExitCommand(_Subcommand):
    """Quit gdb with the run's verdict.

The status is 66 when tavo detected something, else the program's exit status (128 + the signal's
number when a signal ended or stopped it)."""
    name = "exit"

    def act(self, words):
        self.expect(words, 0, "exit")
        status = self.extension.exit_status()
        count = len(self.extension.detections)
        print("tavo: %s" % ("%d detection%s" % (count, "" if count == 1 else "s") if count else "no detection"))
        if gdb.selected_inferior().pid != 0:
            gdb.execute("kill", to_string=True)
        gdb.execute("quit %d" % status)


COMMANDS = [TavoCommand, StatusCommand, EnableCommand, DisableCommand, IgnoreCommand, ResetCommand,
            PingCommand, FilterCommand, DetectionsCommand, ExitCommand]


# Auto-loading and an explicit source may both happen: one extension per gdb.
if not hasattr(gdb, "tavo_extension"):
    gdb.tavo_extension = Extension()
    gdb.tavo_extension.install()
