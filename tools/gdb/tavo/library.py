"""The library's exported data in the selected inferior."""

import struct

import gdb

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
