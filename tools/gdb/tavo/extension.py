"""The extension's state, the breakpoint on the library's stop, and how commands reach the library.

A command writes the configuration block and lets the library answer at one of its own stops,
where this breakpoint drives the protocol on (allocate, write the records, apply). The library
polls the block after every return from the debugger, and any gated entry polls it when a request
bit is set, so no command needs gdb to call into the program:

- stopped in the library's report, the answer comes at the stop that follows when the program
  goes on;
- stopped anywhere else, the request waits for the program's next gated entry (a flags change is
  written at once and asks for a ping, so that the poll's cycle recomputes the active mask);
- before the library has loaded, the work waits for its load stops.

Where gdb can call a function in the program (found out once), a command instead calls a cheap
gated entry, _TAVO_leaveFunction(0, 0), whose entry frame polls; the stops of that poll reach the
breakpoint, and the command's answer is there when it returns."""

import signal
import struct

import gdb

from .detections import Detection
from .filters import FilterModel
from .jobs import FilterJob, FlagsJob
from .library import Library
from .naming import describe_code
from .protocol import (COMMAND_STOP_LIMIT, DETECTION_EXIT_STATUS, NOT_LOADED_EXIT_STATUS, EVENT_DATA_SHARING, EVENT_HANDSHAKE,
                       EVENT_LOADED, EVENT_REENTRANT_CALL, EVENT_UNLOADED, POLARITY_FOCUS, POLL_CALL,
                       POLL_ERRORS, PROBE_CALL, REPEATED_ERROR_LIMIT, REQUEST_POLL, REQUEST_UNKNOWN_FEATURES,
                       STATUS_MESSAGES, STOP_FUNCTION, REPORT_SYMBOL, REPORT, REPORT_LIMIT,
                       error_message)


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
        self.jobs = []  # being driven, one at a time: a command's, those that waited for the load, queued ones
        self.pending = []  # given before the library loaded
        self.finished = []
        self.in_command = False
        self.quiet = False
        self.command_stops = 0
        self.calls_work = None  # whether gdb can call a function in the program: found out once
        self.select_site = None
        self.last_error = None
        self.repeats = 0
        self.signal = None
        self.ever_loaded = False
        # Set by the commands module: the settings.
        self.verbose = self.stop_on_error = self.stop_on_detection = self.inferior_calls = None

    def install(self):
        from .commands import install_commands
        install_commands(self)
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
        for job in self.jobs:
            print("tavo: the program ended before the library took %s" % job.description)
        self.jobs = []
        self.state = "not loaded"
        self.library.forget()
        self.filters = FilterModel()
        self.calls_work = None

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
        if self.library.reason() == EVENT_DATA_SHARING:
            print(self._front_end_report(), end="")

    def _front_end_report(self):
        """A program built with the compiler front end describes the detection itself, with both
        stacks, the memory, the locks and the threads, before it stops: read, never called."""
        try:
            address = self.library.address(REPORT_SYMBOL)
        except gdb.error:
            return ""
        try:
            text, length = REPORT.unpack(self.library.read(address, REPORT.size))
            if text == 0 or length > REPORT_LIMIT:
                return "tavo: the front end did not describe the detection\n"
            return self.library.read(text, length).decode("utf-8", "replace")
        except gdb.error as failure:
            return "tavo: the front end's report cannot be read (%s)\n" % failure

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
        if self.jobs and (reason >= 0 or reason in POLL_ERRORS):
            self._drive(reason)
            return False
        if reason < 0:
            return self._on_error(reason)
        return False

    def _on_load(self):
        self.state = "loading"
        self.ever_loaded = True
        self.detections = []
        self.signal = None
        self.filters = FilterModel()
        if _environment_has("TAVO_RE"):
            self.filters.polarity["re"] = POLARITY_FOCUS
        self.jobs = []
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
            if job.origin == "queued" and not self.quiet:
                for line in job.result_lines(self):
                    print(line)
        elif job.origin != "command":
            print("%s (%s: %s)" % (job.error, job.origin, job.description))
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
                self.ever_loaded = True
            except gdb.error:
                pass
        return inferior.pid != 0 and self.state == "loaded"

    def queued(self):
        return [job for job in self.jobs if job.origin == "queued"]

    def run(self, jobs, from_tty=True):
        """Applies the jobs: at once where gdb can call into the program, else at the library's next
        stop, or at its load when it is not there yet. Returns the jobs done now."""
        if self.state == "unloaded":
            raise gdb.GdbError("tavo: the library has unloaded")
        if self.state == "loading" and gdb.selected_inferior().pid != 0:
            # Stopped between the load stops: the loader's locks are held, so no call; the
            # poll after this stop takes the requests.
            self._queue(jobs)
            return []
        if not self.live():
            for job in jobs:
                job.origin = "at load"
            self.pending.extend(jobs)
            if from_tty or self.verbose.value:
                print("tavo: the library has not loaded yet; this is applied when it loads")
            return []
        if self.jobs or not self.calls_possible():
            self._queue(jobs)
            return []
        return self._run_now(jobs)

    def calls_possible(self):
        if not self.inferior_calls.value:
            return False
        if self.calls_work is None:
            with _PausedBreakpoints(self.breakpoint), _KeptSelection():
                try:
                    self.calls_work = int(gdb.parse_and_eval(PROBE_CALL)) == 0
                except gdb.error as failure:
                    self.calls_work = False
                    print("tavo: gdb cannot call a function in this program (%s); commands take effect "
                          "when the program next stops in or calls the library" % failure)
        return self.calls_work

    def _queue(self, jobs):
        """Writes the requests now; the library takes them when the program goes on."""
        in_report = _thread_in_report() is not None
        for job in jobs:
            job.origin = "queued"
            if isinstance(job, FlagsJob):
                job.write(self.library)
                job.settle = not in_report  # a report recomputes the mask when it ends
        idle = not self.jobs
        self.jobs.extend(jobs)
        if idle:
            self.quiet = True  # what is done at once needs no word
            try:
                self._start_jobs()
            finally:
                self.quiet = False
        for job in jobs:
            if job in self.jobs:
                print("tavo: %s: %s" % (job.description, "the library answers when the program goes on" if in_report
                                        else "queued until the program next calls the library"))

    def _run_now(self, jobs):
        for job in jobs:
            job.origin = "command"
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
        with _PausedBreakpoints(self.breakpoint), _KeptSelection():
            reporting = _thread_in_report()
            saved = None
            try:
                if reporting is not None:
                    reporting.switch()
                    saved = (self.library.read(self.library.address("__tavo_event_reason"), 4),
                             self.library.detection())
                gdb.parse_and_eval(POLL_CALL)
            finally:
                if saved is not None and gdb.selected_inferior().pid != 0:
                    self.library.write(self.library.address("__tavo_event_reason"), saved[0])
                    self.library.write(self.library.address("__tavo_current_detection"), saved[1])

    def exit_status(self):
        if not self.ever_loaded:
            return NOT_LOADED_EXIT_STATUS
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


class _PausedBreakpoints:
    """The program's breakpoints off during a call from gdb, so that the call is not cut short."""

    def __init__(self, keep):
        self.keep = keep

    def __enter__(self):
        self.paused = [point for point in gdb.breakpoints()
                       if point.enabled and point.visible and point is not self.keep]
        for point in self.paused:
            point.enabled = False

    def __exit__(self, *failure):
        for point in self.paused:
            if point.is_valid():
                point.enabled = True


class _KeptSelection:
    """The user's thread and frame, selected again afterwards."""

    def __enter__(self):
        self.thread = gdb.selected_thread()
        try:
            self.frame = gdb.selected_frame()
        except gdb.error:
            self.frame = None

    def __exit__(self, *failure):
        if self.thread is not None and self.thread.is_valid():
            self.thread.switch()
            if self.frame is not None and self.frame.is_valid():
                self.frame.select()


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
    with _KeptSelection():
        for thread in threads:
            thread.switch()
            try:
                if gdb.newest_frame().name() == STOP_FUNCTION:
                    found = thread
                    break
            except gdb.error:
                continue
    return found
