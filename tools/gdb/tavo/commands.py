"""The tavo commands and settings."""

import os

import gdb

from .jobs import FilterJob, FlagsJob, PingJob, ResetJob
from .protocol import (EVENT_DATA_SHARING, FEATURE_NUMBER, FLAG_ALWAYS_CONCURRENT, FLAG_BITS, FLAG_IGNORE,
                       FLAG_NO_TASK_FILTER, OPERATION_NUMBER)

# Set to "off" in gdb's environment, commands never call a function in the program.
CALLS_VARIABLE = "TAVO_GDB_CALLS"
SETTINGS = ("verbose", "stop-on-error", "stop-on-detection", "inferior-calls")


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


def install_commands(extension):
    _Prefix("set tavo", "Settings of tavo's gdb extension.")
    _Prefix("show tavo", "Settings of tavo's gdb extension.", SETTINGS)
    extension.verbose = _Switch(
        "verbose", False,
        "Whether load, unload, configuration results and ping answers are shown.",
        "Show tavo's status events.", "Showing tavo's status events")
    extension.stop_on_error = _Switch(
        "stop-on-error", False,
        "Whether an error reported by tavo stops the program.",
        "Stop at tavo's errors.", "Stopping at tavo's errors")
    extension.stop_on_detection = _Switch(
        "stop-on-detection", True,
        "Whether a detection stops the program; off collects detections and goes on.",
        "Stop at tavo's detections.", "Stopping at tavo's detections")
    extension.inferior_calls = _Switch(
        "inferior-calls", os.environ.get(CALLS_VARIABLE, "on").lower() not in ("off", "0", "no"),
        "Whether a command may call a function in the program to be answered at once. Off, or where gdb "
        "cannot make such calls, the library takes commands at its next stop or call. The default is "
        "off when the environment has %s=off." % CALLS_VARIABLE,
        "Let commands call into the program.", "Letting commands call into the program")
    for command in COMMANDS:
        command(extension)


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

Where gdb cannot call a function in the program (or with "set tavo inferior-calls off"), a command
takes effect at the library's next stop: at once when the program is stopped in the library, else
when the program next calls it; "tavo status" shows what waits.

Settings: set tavo verbose, stop-on-error, stop-on-detection, inferior-calls."""

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
        for job in extension.queued():
            print("  queued:      " + job.description)
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
            for line in job.result_lines(self.extension):
                print(line)


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
        for job in self.run([FilterJob(feature, operation, target, argument)]):
            for line in job.result_lines(self.extension):
                print(line)


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

The status is 69 when the program never loaded the library (nothing was watched), 66 when tavo
detected something, else the program's exit status (128 + the signal's number when a signal ended
or stopped it)."""
    name = "exit"

    def act(self, words):
        self.expect(words, 0, "exit")
        status = self.extension.exit_status()
        count = len(self.extension.detections)
        if not self.extension.ever_loaded:
            print("tavo: the program never loaded the library: nothing was watched")
        else:
            print("tavo: %s" % ("%d detection%s" % (count, "" if count == 1 else "s") if count else "no detection"))
        if gdb.selected_inferior().pid != 0:
            gdb.execute("kill", to_string=True)
        gdb.execute("quit %d" % status)


COMMANDS = [TavoCommand, StatusCommand, EnableCommand, DisableCommand, IgnoreCommand, ResetCommand,
            PingCommand, FilterCommand, DetectionsCommand, ExitCommand]
