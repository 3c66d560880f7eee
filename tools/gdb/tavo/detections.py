"""Detections, copied out of the record while its lists are valid."""

import struct

import gdb

from .naming import describe_code, describe_data
from .protocol import (ACCESS, ACCESS_TYPE_NAMES, EVENT_DATA_SHARING, LIST_LIMIT, OFFENSE, task_name)

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
