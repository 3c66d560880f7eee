# Loads tavo's gdb extension, the package "tavo". gdb auto-loads a copy of this file beside the
# library (as <library>-gdb.py); the package lies beside it in the source tree, under gdb/ in the
# build tree, and under share/tavo/gdb in an installed prefix (whose library folder may be nested).
import os
import sys

_here = os.path.dirname(os.path.realpath(__file__))
_up = [os.path.join(_here, *[".."] * count) for count in (1, 2, 3)]
for _place in [_here, os.path.join(_here, "gdb")] + [os.path.join(up, "share", "tavo", "gdb") for up in _up]:
    if os.path.isfile(os.path.join(_place, "tavo", "extension.py")):
        if _place not in sys.path:
            sys.path.insert(0, _place)
        break
else:
    raise ImportError("tavo: the gdb extension's package is not beside %s" % __file__)

import tavo  # noqa: E402

tavo.install()
