"""KESTREL logic analyzers from Python, over libkestrel_api.so.1.

    import kestrel
    print(kestrel.devices())
    with kestrel.open(model="one") as dev:
        cap = dev.capture(rate=250_000_000, depth=100_000, trigger="ch3 rise & ch5 high")
        print(cap.trigger_position, cap.transitions(3)[:4])
        cap.export("x.vcd")

Transitions come as numpy arrays when numpy is importable, as lists otherwise.
"""
import atexit
import bisect
import collections
import ctypes
import enum
import logging
import os
import threading
import time
import warnings
import weakref

from . import _lib

try:
    import numpy as _np
except ImportError:
    _np = None

__version__ = "1.0.0"

__all__ = ["KestrelError", "Model", "DeviceInfo", "Device", "Capture", "devices", "open",
           "library_path", "library_version", "has_export", "error_name", "__version__"]

# The library's diagnostic lines, with their levels. Unconfigured, logging shows warnings
# and errors only (on standard error); logging.getLogger("kestrel").setLevel(logging.DEBUG)
# with a handler shows everything.
log = logging.getLogger("kestrel")
_LOG_LEVELS = {0: logging.DEBUG, 1: logging.INFO, 2: logging.WARNING, 3: logging.ERROR}


@_lib.LOG_CALLBACK
def _log_line(user, level, line):
    try:
        log.log(_LOG_LEVELS.get(level, logging.DEBUG), "%s",
                line.decode(errors="replace") if line else "")
    except Exception:  # a log line never fails the library's work
        pass


# Handles whose lines go to logging: at the interpreter's exit they go back to standard
# output before the library frees what is left, when Python can no longer run _log_line.
_logging_handles = weakref.WeakSet()


@atexit.register
def _stop_logging():
    for h in list(_logging_handles):
        h.unhook_log()


_numpy_warned = False
_numpy_lock = threading.Lock()


def _warn_no_numpy():
    global _numpy_warned
    with _numpy_lock:
        if _numpy_warned:
            return
        _numpy_warned = True
    warnings.warn("numpy is not importable: Capture.transitions returns lists of "
                  "(sample, level) tuples instead of numpy arrays (install numpy, Debian: "
                  "python3-numpy)", RuntimeWarning, stacklevel=3)


def library_version():
    """The library's version as (major, minor, patch)."""
    fn = _lib.library().late("kestrelapi_get_library_version")
    if fn is None:
        raise NotImplementedError(f"{_lib.library().path} has no kestrelapi_get_library_version")
    v = [ctypes.c_uint32() for _ in range(3)]
    _check(fn(*[ctypes.byref(x) for x in v]), "library version")
    return tuple(x.value for x in v)


def _in_range(name, value, low, high, unit="", also=None):
    """value as an int, or ValueError naming the parameter and its allowed range."""
    try:
        v = int(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name}={value!r} is not a number") from None
    if (v < low or v > high) and v != also:
        extra = f" (or {also})" if also is not None else ""
        raise ValueError(f"{name}={value!r} is outside {low}..{high}{unit}{extra}")
    return v


MAX_RATE = 1_000_000_000
MIN_DEPTH, MAX_DEPTH = 2, 1_000_000_000_000

TRANSITION_DTYPE = [("sample", "<u8"), ("level", "u1")]


class Model(enum.IntEnum):
    ONE = 601    # 18 channels
    TWO = 602    # 36 channels
    THREE = 603  # 54 channels

    @property
    def channels(self):
        return 18 * (self - 600)

    @classmethod
    def of_serial(cls, serial):
        return {"7302101": cls.ONE, "7302102": cls.TWO, "7302103": cls.THREE}.get(
            serial[:7], cls.ONE)

    @classmethod
    def parse(cls, model):
        if isinstance(model, str):
            name = model.lower().removeprefix("kestrel_").removeprefix("kestrel ")
            try:
                return cls[name.upper()]
            except KeyError:
                raise ValueError(f"unknown model {model!r} (one, two or three)") from None
        return cls(model)


DeviceInfo = collections.namedtuple("DeviceInfo", "serial description model")


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


def _check(code, what):
    if code != _lib.OK:
        raise KestrelError(code, what)


def library_path():
    """Path of the loaded libkestrel_api.so.1 (KESTREL_LIB, the build tree, installed)."""
    return _lib.library().path


def has_export(fmt="vcd"):
    """Whether the library can write captures in this format (vcd, sr, csv)."""
    return _lib.library().late(f"kestrelapi_export_{fmt}") is not None


def _wait(cond, timeout, poll=0.005):
    end = time.monotonic() + timeout
    while True:
        if cond():
            return True
        if time.monotonic() >= end:
            return False
        time.sleep(poll)


class _Handle:
    def __init__(self, model):
        self.lib = _lib.library()
        self.model = model
        h = ctypes.c_void_p()
        _check(self.lib.create_new_handle(ctypes.byref(h), int(model)), "create handle")
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
        _check(getattr(self.lib, name)(self.h, ctypes.byref(f)), name)
        return f.value

    def free(self):
        if self.h:
            self.lib.free(self.h)
            self.h = None
        _logging_handles.discard(self)


def _list(handle):
    lib = handle.lib
    _check(lib.create_device_list(handle.h), "list devices")
    try:
        count = ctypes.c_uint16()
        _check(lib.get_devices_count(handle.h, ctypes.byref(count)), "count devices")
        out = []
        for i in range(count.value):
            d = _lib.DeviceDescriptor()
            _check(lib.get_device_descriptor(handle.h, i, ctypes.byref(d)), "describe device")
            sn, desc = d.sn.decode(), d.desc.decode()
            lib.free_device_descriptor(ctypes.byref(d))
            out.append(DeviceInfo(sn, desc, Model.of_serial(sn)))
        return out
    finally:
        lib.free_device_list(handle.h)


def devices():
    """The KESTREL devices on the bus, as DeviceInfo(serial, description, model)."""
    handle = _Handle(Model.ONE)
    try:
        return _list(handle)
    finally:
        handle.free()


def open(model=None, serial=None, timeout=30.0):
    """Opens a device: the one with this serial number, else the first of this model,
    else the first on the bus. Use it in a with statement, or call close()."""
    if model is not None:
        model = Model.parse(model)
    description = ""
    if serial is None:
        found = [d for d in devices() if model is None or d.model == model]
        if not found:
            what = f"no {model.name.lower()} device" if model else "no device"
            raise KestrelError(1003, f"open: {what}")
        serial, description = found[0].serial, found[0].description
    if model is None:
        model = Model.of_serial(serial)
    return Device(model, serial, description, timeout)


_TRIGGER_TYPES = {
    "falling": 0, "rising": 1, "change": 3, "ext_falling": 15, "ext_rising": 31, "none": 99,
}


def _trigger(description):
    """None, "none", "rising:3", "falling:5", "change" (any channel), "change:4",
    "ext_rising", "ext_falling", or a (kind, channel) pair."""
    if description is None:
        description = ("none", 0)
    elif isinstance(description, str):
        kind, _, ch = description.partition(":")
        description = (kind, ch)
    kind, ch = description
    kind = str(kind).strip().lower().replace("-", "_")
    if kind not in _TRIGGER_TYPES:
        raise ValueError(f"unknown trigger {kind!r}: one of {', '.join(_TRIGGER_TYPES)}")
    if ch in ("", None):
        if kind in ("rising", "falling"):
            raise ValueError(f"trigger {kind} needs a channel, e.g. '{kind}:3'")
        ch = -1 if kind == "change" else 0
    ch = int(ch)
    if not -128 <= ch <= 127:
        raise ValueError(f"trigger channel {ch} out of range")
    return _lib.TriggerDescription(_TRIGGER_TYPES[kind], ch)


_EXTERNAL = {"ext_rising": True, "ext_falling": False}
_ORDERS = {"a_or_b": 0, "a_then_b": 1, "b_then_a": 2, "a_and_b": 3}


def _external(description):
    """True (rising) or False (falling) for the external trigger input, None otherwise."""
    if isinstance(description, str):
        key = "".join(description.split()).lower().replace("-", "_").replace(":", "_")
        return _EXTERNAL.get(key)
    if isinstance(description, tuple):
        return _external(str(description[0]))
    return None


def _program(description):
    """The trigger program text: None is no trigger; a (kind, channel) pair is the older
    "kind:channel" form, which the library takes as an alias."""
    if description is None:
        return ""
    if isinstance(description, tuple):
        kind, ch = description
        return "" if str(kind).strip().lower() == "none" else f"{kind}:{ch}"
    if not isinstance(description, str):
        raise TypeError(f"a trigger is a program text, not {type(description).__name__}")
    return description


def _order(order):
    if isinstance(order, int) and not isinstance(order, bool) and 0 <= order <= 3:
        return order
    key = "_".join(str(order).lower().replace("-", " ").split())
    if key not in _ORDERS:
        raise ValueError(f"unknown order {order!r}: one of {', '.join(_ORDERS)}")
    return _ORDERS[key]


def _pre_trigger(pre_trigger, depth):
    """Samples before the trigger: a count, a ratio of the depth below 1, or None for the
    library's usual min(5 %, 10000 samples)."""
    if pre_trigger is None:
        return depth - max(int(0.95 * depth), depth - 10000)
    if isinstance(pre_trigger, float):
        if not 0 <= pre_trigger < 1:
            raise ValueError(f"pre_trigger ratio {pre_trigger} not within 0..1")
        return int(pre_trigger * depth)
    pre = int(pre_trigger)
    if not 0 <= pre < depth:
        raise ValueError(f"pre_trigger {pre} not within 0..{depth - 1} (below the depth)")
    return pre


class Device:
    """An opened device. Closing it (or leaving the with block) frees its handle."""

    def __init__(self, model, serial, description="", timeout=30.0):
        self.model = Model.parse(model)
        self.serial = serial
        self.description = description
        self.channels = self.model.channels
        self._timeout = timeout
        self._generation = 0
        self._handle = _Handle(self.model)
        desc = _lib.DeviceDescriptor(serial.encode(), description.encode())
        try:
            self._handle.check(self._handle.lib.device_open(self._handle.h, desc),
                               f"open {serial}")
        except BaseException:
            self._handle.free()
            self._handle = None
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        state = "open" if self._handle else "closed"
        return f"<kestrel.Device {self.model.name.lower()} {self.serial} {state}>"

    def _h(self):
        if self._handle is None:
            raise ValueError(f"device {self.serial} is closed")
        return self._handle

    def last_error(self):
        return self._h().lib.get_last_error(self._h().h)

    @property
    def versions(self):
        """{"mcu": (major, minor), "fpga": (major, minor)}"""
        h = self._h()
        out = []
        for name in ("mcu_version_major", "mcu_version_minor", "fpga_version_major",
                     "fpga_version_minor"):
            v = ctypes.c_uint8()
            _check(getattr(h.lib, "get_" + name)(h.h, ctypes.byref(v)), name)
            out.append(v.value)
        return {"mcu": (out[0], out[1]), "fpga": (out[2], out[3])}

    def name_channel(self, channel, name):
        """The channel's name in exported files; None restores the default chN."""
        h = self._h()
        fn = h.lib.late("kestrelapi_set_channel_name")
        if fn is None:
            raise NotImplementedError(f"{h.lib.path} has no kestrelapi_set_channel_name")
        if not 0 <= channel < self.channels:
            raise ValueError(f"channel {channel} is outside 0..{self.channels - 1}")
        _check(fn(h.h, channel, None if name is None else name.encode()),
               f"name channel {channel}")

    def _set_programs(self, trigger, trigger_b):
        h = self._h()
        fn = h.lib.late("kestrelapi_set_trigger_program")
        if fn is None:
            raise NotImplementedError(f"{h.lib.path} has no kestrelapi_set_trigger_program")
        for engine, (name, description) in enumerate((("trigger", trigger),
                                                      ("trigger_b", trigger_b))):
            text = _program(description)
            why = ctypes.create_string_buffer(512)
            code = fn(h.h, engine, text.encode(), why, len(why))
            if code != _lib.OK:
                reason = why.value.decode(errors="replace")
                err = KestrelError(code, f"{name} {text!r}: {reason}")
                err.reason = reason  # where and why the program was refused
                raise err

    def explain_trigger(self, trigger=None, trigger_b=None, order="a_or_b"):
        """What the trigger engines will run for these programs, as text: each engine's
        steps, its trigger clock and every time bound in ticks. A refused program raises
        KestrelError with the reason."""
        _order(order)
        self._set_programs(trigger, trigger_b)
        h = self._h()
        fn = h.lib.late("kestrelapi_describe_trigger_program")
        out = []
        for engine in (0, 1):
            text = ctypes.create_string_buffer(65536)
            _check(fn(h.h, engine, text, len(text)), "describe trigger")
            out.append(f"engine {'AB'[engine]}: " + text.value.decode(errors="replace"))
        return "".join(out)

    def capture(self, rate=250_000_000, depth=100_000, trigger=None, trigger_b=None,
                threshold_mv=1650, vcc_mv=3300, timeout=60.0, order="a_or_b",
                pre_trigger=None):
        """Captures depth samples at rate Hz and waits for the result.

        trigger and trigger_b are the programs of trigger engines A and B, in the trigger
        language: "ch3 rise", "ch3 rise & ch5 high", "ch2 pulse high 1us..5us",
        "ch3 rise; ch4 fall within 10us", ... (the older "rising:3", "falling:5",
        "change", "change:4" are aliases), None for no trigger; or "ext_rising" /
        "ext_falling" for the external input. order combines A and B: "a_or_b",
        "a_then_b", "b_then_a" or "a_and_b". pre_trigger is the count of samples kept
        before the trigger, or a ratio of the depth (default min(5 %, 10000)); the
        external input always keeps that default.

        A refused program raises KestrelError carrying the reason; a capture that is not
        done within timeout seconds is aborted (CaptureTimeout); a failed one raises
        KestrelError.
        """
        h = self._h()
        # Refused here, by name and range, before anything starts.
        rate = _in_range("rate", rate, 1, MAX_RATE, " Hz")
        depth = _in_range("depth", depth, MIN_DEPTH, MAX_DEPTH, " samples")
        threshold_mv = _in_range("threshold_mv", threshold_mv, 0, 3000, " mV")
        vcc_mv = _in_range("vcc_mv", vcc_mv, 1800, 3300, " mV", also=0)
        depth = int(depth)
        order_value = _order(order)
        external = _external(trigger) is not None or _external(trigger_b) is not None
        if external and pre_trigger is not None:
            raise ValueError("pre_trigger is fixed with the external trigger input")
        pre = _pre_trigger(pre_trigger, depth) if depth > 0 else 0
        if external:
            trig_a, trig_b = _trigger(trigger), _trigger(trigger_b)
        else:
            self._set_programs(trigger, trigger_b)
        s = _lib.Settings()
        s.sampling_depth = depth
        s.post_trig_depth = depth - pre
        s.trig_order = order_value
        s.s_clk = int(rate)
        s.t_clk[:] = [250_000_000, 250_000_000]
        s.thresh_capture_mv[:] = [threshold_mv] * 6
        s.vcc_gen_mv[:] = [vcc_mv] * 6
        s.state_clk_mode = 0   # SCLK_DISABLE
        s.state_clk_src = 0    # SCLK_CH9
        s.timebase_src = 3     # TIMEBASE_INTERNAL
        s.ext_in_threshold_mv = 1000
        # The trigger output follows an external trigger's edge; the library refuses
        # any other combination.
        s.ext_trig_out_polarity = _external(trigger) is not False
        self._generation += 1
        if external:
            h.check(h.lib.launch_new_capture_simple_trigger(h.h, trig_a, trig_b, s), "capture")
        else:
            launch = h.lib.late("kestrelapi_launch_new_capture_programmed")
            h.check(launch(h.h, s), "capture")

        def finished():
            return h.flag("get_capture_done_flag") or (
                h.lib.get_last_error(h.h) != _lib.OK and h.flag("get_ready_flag"))

        if not _wait(finished, timeout):
            h.lib.request_abort(h.h)
            _wait(lambda: h.flag("get_ready_flag"), 30.0)
            raise CaptureTimeout(1008, f"capture not done within {timeout} s, aborted")
        if not h.flag("get_capture_done_flag"):
            raise KestrelError(h.lib.get_last_error(h.h), "capture")
        return Capture(self, self._generation, int(rate), int(depth))

    def close(self):
        """Closes the device and frees its handle; waits for the close to finish."""
        h, self._handle = self._handle, None
        if h is None:
            return
        try:
            h.lib.device_close(h.h)
            # The handle must outlive the close thread.
            _wait(lambda: not h.flag("get_device_open_flag") and h.flag("get_ready_flag"),
                  self._timeout)
        finally:
            h.free()


class Capture:
    """The result of Device.capture. Its samples stay in the device's handle until the
    next capture or the close; transitions read before that stay available."""

    def __init__(self, device, generation, rate, depth):
        self.device = device
        self._generation = generation
        self.rate = rate
        self.depth = depth
        self.channels = device.channels
        self._cache = {}
        h = self._h()
        total, post = ctypes.c_int64(), ctypes.c_int64()
        _check(h.lib.get_available_samples(h.h, ctypes.byref(total), ctypes.byref(post)),
               "available samples")
        self.samples = total.value
        self.post_trigger = post.value
        pos = ctypes.c_uint64()
        _check(h.lib.get_trigger_position(h.h, ctypes.byref(pos)), "trigger position")
        self.trigger_position = pos.value

    def __repr__(self):
        return (f"<kestrel.Capture {self.samples} samples at {self.rate} Hz, "
                f"trigger at {self.trigger_position}>")

    def _h(self):
        h = self.device._h()
        if self.device._generation != self._generation:
            raise ValueError("a later capture replaced this one")
        return h

    def transitions(self, channel):
        """The channel's level changes in sample order: (sample, level) pairs, level 1 high
        and 0 low from that sample on. The first pair is the level at sample 0, so a channel
        that never changes gives one pair. A numpy structured array (fields sample and
        level) with numpy, else a list of tuples."""
        if channel not in self._cache:
            if not 0 <= channel < self.channels:
                raise ValueError(f"channel {channel} is outside 0..{self.channels - 1}")
            self._cache[channel] = self._read(channel)
        out = self._cache[channel]
        if _np is not None:
            return out.copy()
        _warn_no_numpy()
        return list(zip(*out))

    def _read(self, channel):
        """Every item of the channel through kestrelapi_trs_read: numpy arrays filled by
        the library itself, or with ctypes arrays (samples, levels) without numpy."""
        h = self._h()
        fn = h.lib.late("kestrelapi_trs_read")
        if fn is None:
            raise NotImplementedError(f"{h.lib.path} has no kestrelapi_trs_read")
        count = ctypes.c_uint32()
        pcount = ctypes.byref(count)
        size = 1 << 16
        if _np is not None:
            samples = _np.empty(size, dtype=_np.uint64)
            levels = _np.empty(size, dtype=_np.uint8)
        else:
            samples, levels = (ctypes.c_uint64 * size)(), (ctypes.c_uint8 * size)()
        n, start = 0, 0
        while True:
            room = min(size - n, 0xFFFFFFFF)
            if _np is not None:
                ps, pl = samples[n:].ctypes.data, levels[n:].ctypes.data
            else:
                ps = ctypes.addressof(samples) + 8 * n
                pl = ctypes.addressof(levels) + n
            _check(fn(h.h, channel, start, ps, pl, room, pcount), f"channel {channel}")
            got = count.value
            if got == 0:
                break
            n += got
            start = int(samples[n - 1]) + 1
            if n == size:
                size *= 4
                if _np is not None:
                    samples = _np.resize(samples, size)
                    levels = _np.resize(levels, size)
                else:
                    grown_s, grown_l = (ctypes.c_uint64 * size)(), (ctypes.c_uint8 * size)()
                    ctypes.memmove(grown_s, samples, 8 * n)
                    ctypes.memmove(grown_l, levels, n)
                    samples, levels = grown_s, grown_l
        if _np is not None:
            out = _np.empty(n, dtype=TRANSITION_DTYPE)
            out["sample"] = samples[:n]
            out["level"] = levels[:n]
            return out
        return samples[:n], levels[:n]

    def level(self, channel, sample):
        """The channel's level (0 or 1) at a sample, found by binary search."""
        if not 0 <= sample < self.samples:
            raise IndexError(f"sample {sample} outside 0..{self.samples - 1}")
        if not 0 <= channel <= 255:
            raise ValueError(f"channel {channel} out of range")
        if channel in self._cache:
            # Read already: also after a later capture replaced this one.
            out = self._cache[channel]
            if _np is not None:
                k = int(_np.searchsorted(out["sample"], sample, side="right"))
                return int(out["level"][k - 1])
            return int(out[1][bisect.bisect_right(out[0], sample) - 1])
        h = self._h()
        fn = h.lib.late("kestrelapi_trs_level_at")
        if fn is None:
            raise NotImplementedError(f"{h.lib.path} has no kestrelapi_trs_level_at")
        level = ctypes.c_uint8()
        _check(fn(h.h, channel, sample, ctypes.byref(level)), f"channel {channel}")
        return level.value

    def export(self, path, channels=None, format=None):
        """Writes the capture to a file: VCD, sigrok session (.sr) or CSV, chosen by
        format or the file's suffix; channels selects some (default all)."""
        fmt = (format or os.path.splitext(str(path))[1].lstrip(".")).lower()
        if fmt not in ("vcd", "sr", "csv"):
            raise ValueError(f"unknown export format {fmt!r}: vcd, sr or csv")
        h = self._h()
        fn = h.lib.late(f"kestrelapi_export_{fmt}")
        if fn is None:
            raise NotImplementedError(f"{h.lib.path} has no kestrelapi_export_{fmt}")
        channels = None if channels is None else list(channels)
        if channels == []:
            raise ValueError("no channels to export")
        mask = 0
        for ch in channels or ():
            if not 0 <= ch < self.channels:
                raise ValueError(f"channel {ch} is outside 0..{self.channels - 1}")
            mask |= 1 << ch
        h.check(fn(h.h, os.fsencode(os.fspath(path)), mask & (2**64 - 1), mask >> 64),
                f"export {path}")
