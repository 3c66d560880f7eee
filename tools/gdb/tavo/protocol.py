"""Layouts and values of include/tavo/tavo.h and the library's own texts."""

import struct

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
# tavo exit's status when the program never loaded the library, so nothing was watched.
NOT_LOADED_EXIT_STATUS = 69

STOP_FUNCTION = "__tavo_switch_to_debugger"
# The compiler front end's report of the detection at hand (stacks, location, locks, threads),
# filled before the stop: the text's address, then its length.
REPORT_SYMBOL = "__tavo_frontend_report"
REPORT = struct.Struct("<QQ")
# Longer than this, the report is taken for garbage rather than read.
REPORT_LIMIT = 1 << 24
POLL_CALL = "((void (*)(void *, void *)) _TAVO_leaveFunction)(0, 0)"
# A call with no effect at all: whether gdb can call a function in the program.
PROBE_CALL = "((int (*)(void)) __zuk_api_version)()"
# What the configuration poll itself can fail with; other errors come from the program's calls.
POLL_ERRORS = (-10000, -9998, -30000, -29999, -29998, -29997)


def error_message(code):
    return ERROR_MESSAGES.get(code, "tavo: internal error %d" % code)


def task_name(task_type, task_id):
    return "%s %d" % (TASK_TYPE_NAMES.get(task_type, "?"), task_id)
