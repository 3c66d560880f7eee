# End-to-end: real gdb in batch mode drives the library through the extension, on the examples.
#
# Run by ctest, one test class at a time: gdb_session_test.py CLASS. TAVO_BUILD_DIR names the build
# tree (library, extension, wrapper, examples); GDB the debugger. With TAVO_E2E_CALLS=off, gdb may not
# call functions in the program, as on machines where it cannot (where it cannot, every run is like
# that): the extension then finds so, commands take effect at the library's next stop, and the
# expectations that depend on that say so.
import os
import re
import signal
import subprocess
import sys
import unittest

BUILD = os.environ.get("TAVO_BUILD_DIR", "")
SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
GDB = os.environ.get("GDB", "gdb")
SESSION_SECONDS = 60
AUTO_LOAD = os.environ.get("TAVO_GDB_AUTO_LOAD", "")  # the loader's name beside the library
CALLS = os.environ.get("TAVO_E2E_CALLS", "on") != "off"  # may gdb call functions; see __main__


def example(name):
    return os.path.join(BUILD, "examples", name)


def line_of(source, text):
    # The number of the example's line that holds text, so that edits elsewhere keep tests valid.
    with open(os.path.join(SOURCE, "examples", source)) as lines:
        return next(number for number, line in enumerate(lines, 1) if text in line)


def bounded(argv, environment=None):
    # Runs argv in a session of its own, so that a hang kills gdb and its inferior together.
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               env=dict(os.environ, **(environment or {})), start_new_session=True)
    try:
        output, _ = process.communicate(timeout=SESSION_SECONDS)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        raise AssertionError("timed out after %d s:\n%s" % (SESSION_SECONDS, output))
    return process.returncode, output


def gdb(program, commands, environment=None, auto_load=True, source=False, attach=None):
    # A batch session: the extension auto-loaded beside the library and/or sourced first.
    first = ["set debuginfod enabled off", "set pagination off", "set print thread-events off"]
    first += ["set may-call-functions off"] * (not CALLS) + ["add-auto-load-safe-path " + BUILD] * auto_load
    first += ["source " + os.path.join(SOURCE, "tools", "gdb", "load.py")] * source
    argv = [GDB, "-q", "-nx", "-batch"] + [word for line in first for word in ("-iex", line)]
    argv += [word for command in commands for word in ("-ex", command)]
    argv += ["-p", str(attach)] if attach is not None else ["--args"] + ([program] if isinstance(program, str) else program)
    return bounded(argv, environment)[1]


class SessionTest(unittest.TestCase):
    def assertLines(self, output, *patterns):
        # Each pattern matches a line of the output, in this order.
        lines = output.splitlines()
        position = 0
        for pattern in patterns:
            while position < len(lines) and not re.search(pattern, lines[position]):
                position += 1
            self.assertLess(position, len(lines), "no line matches %r after the earlier ones in:\n%s" % (pattern, output))
            position += 1
        return output

    def session(self, program, commands, *patterns, **options):
        # A gdb session whose output has lines matching the patterns, in this order.
        return self.assertLines(gdb(program, commands, **options), *patterns)


class Loading(SessionTest):
    def test_sourced_and_auto_loaded_registers_once_and_verbose_shows_the_load_and_unload_stops(self):
        # The program's output is flushed at exit, after the library has unloaded.
        output = self.session(example("fork_join"), ["set tavo verbose on", "run"], r"^tavo: library loaded$", r"^tavo: library unloaded$",
                              source=True)
        self.assertEqual(output.count("tavo: library loaded"), 1, output)
        self.assertIn("results: 10 20", output)
        self.assertNotIn("Error", output)

    def test_without_the_safe_path_nothing_is_loaded(self):
        # gdb names the file it would load: the extension is where it looks, beside the library.
        self.session(example("fork_join"), ["run", "tavo status"], re.escape('File "%s" auto-loading has been declined'
                     % os.path.join(BUILD, AUTO_LOAD)), 'Undefined command: "tavo"', auto_load=False)

    def test_attached_after_the_load_the_library_counts_as_loaded(self):
        waiting = subprocess.Popen([os.environ["TAVO_WAITING_PROGRAM"]], stdout=subprocess.PIPE, text=True, start_new_session=True)
        try:
            self.assertEqual(waiting.stdout.readline(), "waiting\n")
            output = gdb(None, ["tavo ping", "tavo enable tsm", "tavo status", "detach"], attach=waiting.pid)
        finally:
            waiting.kill()
            waiting.wait(timeout=SESSION_SECONDS)
        if CALLS:
            self.assertLines(output, r"^tavo: how are you\?$", r"^tavo: loaded$", r"flags: +0x1 \(tsm on, re off\)$")
        else:
            # The program sleeps: nothing reaches the library, and the status says what waits.
            self.assertLines(output, r"^tavo: ping: queued until the program next calls the library$", r"^tavo: loaded$",
                             r"flags: +0x1 \(tsm on, re off\)$", r"queued: +ping$", r"queued: +enable tsm$")


class Configuration(SessionTest):
    def test_flag_commands_change_the_flags_and_the_active_mask(self):
        # The child task that steps is live throughout, so the tasks count as concurrent and tsm
        # switches the mask. Each step passes a call of the library, which takes queued commands; no
        # other thread calls it meanwhile, which could take the poll and be stopped before it
        # recomputes the mask. Auto-loaded alone, the extension has seen the library's load stop,
        # which sets "loaded".
        step = line_of(os.path.join("..", "tests", "e2e", "waiting_program.c"), "/* the first step */")
        self.session([os.environ["TAVO_WAITING_PROGRAM"], "step"], [
            "break waiting_program.c:%d" % step, "run", "delete", "tavo enable tsm", "next", "print/x __TAVO_isGuardedCall",
            "tavo ignore reads on", "tavo ignore atomics on", "next", "print/x __TAVO_isGuardedCall", "tavo ignore atomics off",
            "tavo enable re", "tavo disable tsm", "next", "next", "print/x __TAVO_isGuardedCall", "tavo status",
            # Bad arguments are refused before the library sees them.
            "tavo enable everything", "tavo ignore reads maybe", "tavo filter add tsm code",
            "tavo filter add tsm code no_such_function_here", "tavo filter add tsm data stepped_child",
            "tavo filter add tsm code shared", "tavo filter add tsm code waiting_program.c:9999",
            "tavo filter add tsm data *(int *) 0", "tavo status"],
            r"= 0xfffffffb$", r"= 0xffffffe3$", r"= 0xffffffe5$", r"^tavo: loaded$",
            r"flags: +0x40000002 \(tsm off, re on, reads ignored\)$", r"active mask: 0xffffffe5$",
            r"usage: tavo enable tsm\|re", r"usage: tavo ignore", r"usage: tavo filter add tsm code\|data ARG",
            r"cannot tell what no_such_function_here names \(No symbol", r"stepped_child is a function", r"shared is a variable",
            r"^tavo: No line 9999 in file", r"^tavo: cannot tell what \*\(int \*\) 0 names \(Cannot access memory at address 0x0\)$",
            r"filters: +tsm: no filter$")

    def test_the_environment_can_forbid_calls(self):
        self.session(example("fork_join"), ["break main", "run", "show tavo inferior-calls", "tavo ping", "continue"],
                     r"^Letting commands call into the program is off\.$",
                     r"^tavo: ping: queued until the program next calls the library$", r"^tavo: how are you\?$",
                     r"^results: 10 20$", environment={"TAVO_GDB_CALLS": "off"})

    def test_commands_before_run_wait_for_the_load(self):
        self.session(example("fork_join"), [
            "tavo enable tsm", "tavo filter add tsm code child_task", "tavo filter remove tsm code main",
            "tavo status", "break main", "run", "tavo status", "print/x __tavo_config.flags"],
            r"at load: +enable tsm$", r"at load: +filter add tsm code child_task$",
            r"^tavo: filter operation failed \(record 1 of 1: remove tsm code main .*\) "
            r"\(at load: filter remove tsm code main\)$",
            r"^tavo: loaded$", r"flags: +0x1 \(tsm on, re off\)$", r"filters: +tsm: suppress$",
            r"code child_task \[0x[0-9a-f]{6,}, 0x[0-9a-f]+\]$", r"= 0x1$", auto_load=False, source=True)

    def test_ping_needs_the_library_and_ping_and_reset_are_answered_once_it_is_there(self):
        output = gdb(example("fork_join"), [
            "tavo ping", "break main", "run", "tavo ping", "tavo reset tsm", "tavo reset re",
            "print __tavo_config.request", "continue"], source=True)
        if CALLS:
            self.assertLines(output, r"no library to ping", r"^tavo: how are you\?$", r"= 0$", r"^results: 10 20$")
        else:
            self.assertEqual(output.count("tavo: gdb cannot call a function in this program"), 1, output)
            self.assertLines(output, r"no library to ping", r"^tavo: ping: queued", r"= 536870912$", r"^tavo: how are you\?$",
                             r"^tavo: reset tsm: done$", r"^tavo: reset re: done$", r"^results: 10 20$")
        self.assertNotIn("Error", output)


class Errors(SessionTest):
    def test_an_error_shows_its_text_and_call_site_and_the_program_goes_on(self):
        warned = line_of(os.path.join("..", "tests", "e2e", "waiting_program.c"), "/* the last call site */")
        self.session([os.environ["TAVO_WAITING_PROGRAM"], "warn", "-29993"], ["run"], r"^tavo: access too big \(-29993\), "
                     r"in main at waiting_program.c:%d$" % warned, r"^warned$", r"exited normally")

    def test_a_block_that_keeps_failing_stops_once_the_error_repeats(self):
        # A request bit that names no feature fails every poll until someone clears it.
        output = self.session(example("fork_join"), ["break main", "run", "set var __tavo_config.request = 0x4", "continue",
                                                     "set var __tavo_config.request = 0", "continue"],
                              r"keeps reporting this error", r"^results: 10 20$")
        self.assertEqual(output.count("tavo: unknown feature (-29999)"), 16, output)

    def test_stop_on_error_stops_at_the_first(self):
        self.session(example("fork_join"), [
            "break main", "run", "set tavo stop-on-error on", "set var __tavo_config.version = 2", "set var __tavo_config.request = 0x100",
            "continue", "print (int) __tavo_event_reason", "print __tavo_config.version", "continue"],
            r"^tavo: version mismatch \(-10000\)$", r"^\$1 = -10000$", r"^\$2 = 3$", r"^results: 10 20$")


class DataSharing(SessionTest):
    # Two tasks update one counter unordered. Detection is switched on from gdb at main.
    program = example("racy_counter")
    update = line_of("racy_counter.c", "_TAVO_updateMemory(&counter")
    start = ["break main", "run", "tavo enable tsm"]

    def test_filters_on_the_racing_code_or_the_counter_silence_it_and_a_rejected_batch_changes_nothing(self):
        # The rejected batch would focus on increment, which watches it; it fails at its add, so the
        # polarity before it must not change either and increment stays suppressed. Further
        # continues go on from detection stops (both tasks may report the other when they check at
        # once); without one they only complain.
        for commands, detections in [(["tavo filter add tsm code racy_counter.c:%d" % self.update], [0]),
                                     (["tavo filter add tsm data counter"], [0]), (["tavo filter add tsm code main"], [1, 2]),
                                     (["tavo filter add tsm code increment", "tavo filter focus tsm code increment"], [0])]:
            output = gdb(self.program, self.start + commands + ["continue", "continue", "continue"])
            self.assertIn("counter = 2", output)
            self.assertIn(output.count("tavo: data sharing detected"), detections, output)
            self.assertEqual("failed (record 2 of 2: add tsm code increment [" in output, len(commands) == 2, output)

    def test_reset_forgets_the_earlier_access(self):
        # The first task to reach the update stops before it; alone, it updates; then the other goes.
        # (A command lets the other threads run, as any call from gdb does, unless they are locked.)
        def session(*between):
            output = gdb(self.program, self.start + [
                "break racy_counter.c:%d" % self.update, "continue", "set scheduler-locking on", "delete", "next"] +
                list(between) + ["set scheduler-locking off", "continue", "continue"])
            self.assertIn("counter = 2", output)
            return output.count("tavo: data sharing detected")
        self.assertEqual(session(), 1)
        self.assertEqual(session("tavo reset tsm"), 0)

    def test_commands_at_the_detection_stop_keep_its_record(self):
        output = gdb(self.program, self.start + [
            "continue", "tavo reset tsm", "tavo filter add tsm code increment", "tavo ping", "print (int) __tavo_event_reason",
            "print/x __tavo_current_detection.sharing.offended_count",
            # The other task may already be waiting to report a check it made before the reset.
            "set tavo stop-on-detection off", "continue"])
        answers = [r"^tavo: tsm filter: suppress$", r"^tavo: how are you\?$"]
        record = [r"^\$1 = 256$", r"^\$2 = 0x1$"]
        # Without calls the library answers at the stops that follow the detection's.
        self.assertLines(output, r"^tavo: data sharing detected \(detection 1, thread \d+\)$", r"^  offending: 4 bytes updated at "
                         r"0x[0-9a-f]+ \(counter\) by native thread [12], in increment at racy_counter.c:%d$" % self.update, *(answers + record if CALLS else record + answers),
            r"^counter = 2$")


class Reentrancy(SessionTest):
    # The example enters one watched function from two tasks; it switches re on itself at load.
    program = example("reentrant_call")
    defined = line_of("reentrant_call.c", "static const char *describe(int task) {")
    entry = line_of("reentrant_call.c", "_TAVO_enterFunction((const void *)(uintptr_t)describe")
    second_call = line_of("reentrant_call.c", "describe(task);")

    def test_stops_with_257_naming_the_function_and_the_tasks_inside(self):
        self.session(self.program, ["run", "print (int) __tavo_event_reason", "frame", "continue"],
                     r"^tavo: reentrant call detected \(detection 1, thread \d+\)$",
                     r"^  function: describe at reentrant_call.c:%d \(0x[0-9a-f]+\)$" % self.defined,
                     r"^  entered by native thread 2, in describe at reentrant_call.c:%d$" % self.entry, r"^  inside: +native thread 1$",
                     r"^#\d+ +0x[0-9a-f]+ in describe \(task=.*reentrant_call.c:%d$" % self.entry, r"^\$1 = 257$",
                     r"^debugger: reentrant call of 0x[0-9a-f]+ from 0x[0-9a-f]+ by \(3.1\) \(3.2\)$", r"exited normally")

    def test_collecting_goes_on_and_lists_the_detections_afterwards(self):
        self.session(self.program, ["break main", "run", "set tavo stop-on-detection off", "continue", "tavo detections", "tavo status"],
                     r"^tavo: reentrant call detected \(detection 1, thread \d+\)$", r"exited normally",
                     r"^tavo: reentrant call detected \(detection 1, thread \d+\)$", r"^  inside: +native thread 1$",
                     r"detections: +1 \(0 data sharing, 1 reentrant call\)$")

    def test_reset_forgets_the_task_inside(self):
        # The first task is inside describe when the second is about to enter: forget it.
        output = gdb(self.program, ["break reentrant_call.c:%d if task == 2" % self.second_call, "run", "tavo reset re", "continue"])
        self.assertNotIn("tavo: reentrant call detected", output)
        self.assertIn("exited normally", output)


class Filters(SessionTest):
    # What each form of ARG selects, seen through re's code verdict on describe's address.
    program = example("reentrant_call")
    describe_lines = line_of("reentrant_call.c", "static const char *describe(int task) {"), line_of("reentrant_call.c", "return text;")
    run_task_lines = line_of("reentrant_call.c", "static void *run_task(void *argument) {"), line_of("reentrant_call.c", "return NULL;")

    def test_each_argument_form_and_change_selects_its_code(self):
        # A new re filter focuses: only what it lists is watched.
        for commands, detected in [
                (["tavo filter add re code reentrant_call.c:%d-%d" % self.describe_lines], True),
                (["tavo filter add re code reentrant_call.c:%d-%d" % self.run_task_lines], False),
                (["tavo filter add re code describe,+1"], True), (["tavo filter add re code &describe, &describe"], True),
                (["tavo filter add re code describe", "tavo filter clear re code"], False),
                (["tavo filter add re code describe", "tavo filter remove re code describe,+1"], False),
                (["tavo filter suppress re code run_task"], True), (["tavo filter suppress re code describe"], False),
                (["tavo filter suppress re code describe", "tavo filter focus re"], True)]:
            # A second continue goes on from the detection's stop; without one it only complains.
            output = gdb(self.program, ["break main", "run"] + commands + ["continue", "continue"])
            self.assertNotIn("tavo: filter operation failed", output)
            self.assertIn("exited normally", output)
            self.assertEqual("tavo: reentrant call detected" in output, detected, commands)


class Wrapper(SessionTest):
    def test_a_run_ends_with_the_programs_status_and_one_without_the_library_or_missing_is_no_success(self):
        waiting = os.environ["TAVO_WAITING_PROGRAM"]
        for argv, status, texts in [([example("fork_join")], 0, ["results: 10 20", "tavo: no detection"]),
                                    ([waiting, "exit", "3"], 3, []), ([waiting, "signal", "15"], 128 + 15, []),
                                    (["sh", "-c", "exit 0"], 69, ["tavo: the program never loaded the library: nothing was watched"]),
                                    ([os.path.join(BUILD, "no-such-program")], 127, [])]:
            found, output = bounded([os.path.join(BUILD, "tavo-gdb")] + argv)
            self.assertEqual(found, status, output)
            self.assertLines(output, *("^" + re.escape(text) + "$" for text in texts))


def gdb_can_call():
    output = gdb(os.environ["TAVO_WAITING_PROGRAM"], ["break main", "run", "print ((int (*)(void)) __zuk_api_version)()"],
                 auto_load=False)
    return re.search(r"^\$1 = 0$", output, re.MULTILINE) is not None


if __name__ == "__main__":
    if not os.path.isfile(os.path.join(BUILD, AUTO_LOAD)):
        sys.exit("TAVO_BUILD_DIR must name a build tree with the gdb extension")
    if CALLS and not gdb_can_call():
        print("gdb cannot call functions in a program here: every session runs without calls")
        CALLS = False
    unittest.main(verbosity=2)
