"""A library handle, whose diagnostic lines go to the logger "kestrel"."""
import atexit
import ctypes
import logging
import weakref

from . import _lib
from .errors import KestrelError, check

# The library's diagnostic lines, with their levels. Unconfigured, logging shows warnings
# and errors only (on standard error); logging.getLogger("kestrel").setLevel(logging.DEBUG)
# with a handler shows everything.
log = logging.getLogger("kestrel")
_LOG_LEVELS = {0: logging.DEBUG, 1: logging.INFO, 2: logging.WARNING, 3: logging.ERROR}


# Failures whose reason the call's exception carries: logged at debug level, so that an
# unconfigured logging does not print them a second time on standard error.
_RAISED_STARTS = ("Export failed: ",)


@_lib.LOG_CALLBACK
def _log_line(user, level, line):
    try:
        text = line.decode(errors="replace") if line else ""
        if text.startswith(_RAISED_STARTS):
            level = 0
        log.log(_LOG_LEVELS.get(level, logging.DEBUG), "%s", text)
    except Exception:  # a log line never fails the library's work
        pass


# Handles whose lines go to logging: at the interpreter's exit they go back to standard
# output before the library frees what is left, when Python can no longer run _log_line.
_logging_handles = weakref.WeakSet()


@atexit.register
def _stop_logging():
    for h in list(_logging_handles):
        h.unhook_log()


class Handle:
    def __init__(self, model):
        self.lib = _lib.library()
        self.model = model
        h = ctypes.c_void_p()
        check(self.lib.create_new_handle(ctypes.byref(h), int(model)), "create handle")
        self.h = h
        hook = self.lib.late("kestrelapi_set_log_callback")
        if hook is not None and hook(self.h, ctypes.cast(_log_line, ctypes.c_void_p),
                                     None) == _lib.OK:
            _logging_handles.add(self)

    def unhook_log(self):
        hook = self.lib.late("kestrelapi_set_log_callback")
        if self.h and hook is not None:
            hook(self.h, None, None)
        _logging_handles.discard(self)

    def reason(self):
        """The library's reason for the last failed launch, export or open."""
        fn = self.lib.late("kestrelapi_get_last_error_text")
        if fn is None or not self.h:
            return None
        buf = ctypes.create_string_buffer(512)
        if fn(self.h, buf, len(buf)) != _lib.OK:
            return None
        return buf.value.decode(errors="replace") or None

    def check(self, code, what):
        if code != _lib.OK:
            raise KestrelError(code, what, self.reason())

    def flag(self, name):
        f = ctypes.c_bool(False)
        check(getattr(self.lib, name)(self.h, ctypes.byref(f)), name)
        return f.value

    def free(self):
        if self.h:
            self.lib.free(self.h)
            self.h = None
        _logging_handles.discard(self)
