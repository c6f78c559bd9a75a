"""Errors of the library's calls: KestrelError with the code's name and the library's reason."""
from . import _lib


def error_name(code):
    """The name of an ohwapi_err_code_t value."""
    fn = _lib.library().late("kestrelapi_error_name")
    if fn is not None:
        name = fn(code)
        if name:
            return name.decode(errors="replace")
    if code in _lib.ERROR_NAMES:
        return _lib.ERROR_NAMES[code]
    if 1901 <= code < _lib.USB_ERRORS:
        return f"OHWAPI_USB_ERRORS{code - _lib.USB_ERRORS}"
    if _lib.USB3_ERRORS < code < _lib.USB3_ERRORS + 100:
        return f"OHWAPI_USB3_ERRORS+{code - _lib.USB3_ERRORS}"
    return f"error {code}"


class KestrelError(Exception):
    """A failing library call: code is the ohwapi_err_code_t value, name its name."""

    def __init__(self, code, what=None, reason=None):
        self.code = int(code)
        self.name = error_name(self.code)
        self.what = what
        self.reason = reason or None
        text = f"{what}: {self.name} ({self.code})" if what else f"{self.name} ({self.code})"
        if self.reason and self.reason != self.name:
            text += f": {self.reason}"
        super().__init__(text)


class CaptureTimeout(KestrelError, TimeoutError):
    """The capture did not finish in time; it was aborted."""


def check(code, what):
    """KestrelError unless the call succeeded."""
    if code != _lib.OK:
        raise KestrelError(code, what)
