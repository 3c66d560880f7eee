"""Jobs: one piece of the protocol each, driven by the library's stops."""

import gdb

from .filters import resolve_ranges
from .protocol import (EVENT_CONFIGURATION_UPDATED, EVENT_PING_ANSWER, FEATURE_NUMBER, FILTER_RECORD,
                       OPERATION_NUMBER, REQUEST_ALLOCATE, REQUEST_APPLY_FILTERS, REQUEST_PING, REQUEST_RESET,
                       STATUS_MESSAGES, TARGET_NUMBER, error_message)


class Job:
    """Writes its request, then follows the stops until the library has answered."""

    description = ""
    answer = None
    error = None
    origin = "command"  # or "at load", or "queued" for the library's next stop

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

    def result_lines(self, extension):
        """What the user is told when the job was done after its command had returned."""
        return ["tavo: %s: done" % self.description]


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

    def result_lines(self, extension):
        return [] if extension.verbose.value else [self.answer]  # verbose has shown it at the stop


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
    """Sets and clears flag bits. The poll cycle that follows recomputes the active mask from them;
    to settle, the job asks for one with a ping and waits for its answer."""

    settle = False
    written = False

    def __init__(self, description, set_bits=0, clear_bits=0):
        self.description = description
        self.set_bits, self.clear_bits = set_bits, clear_bits

    def write(self, library):
        """The detectors read the flags word as it is; only the active mask waits for a poll."""
        library.set_flags((library.flags() | self.set_bits) & ~self.clear_bits)
        self.written = True

    def start(self, library):
        if not self.written:
            self.write(library)
        if not self.settle:
            return True
        library.set_request(library.request() | REQUEST_PING)
        return False

    def on_stop(self, library, reason):
        return reason == EVENT_PING_ANSWER

    def fail(self, library, reason):
        super().fail(library, reason)
        library.set_request(library.request() & ~REQUEST_PING)


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

    def result_lines(self, extension):
        lines = extension.filters.lines(self.feature)
        return ["tavo: %s filter: %s" % tuple(lines[0].split(": ", 1))] + ["tavo: " + line for line in lines[1:]]
