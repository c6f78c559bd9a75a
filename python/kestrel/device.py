"""Listing, opening and capturing: devices(), open() and Device."""
import ctypes
import os
import time

from . import _lib
from . import trigger as triggers
from ._handle import Handle
from .capture import Capture, channel_number
from .errors import CaptureTimeout, KestrelError, check
from .model import DeviceInfo, Model

MAX_RATE = 1_000_000_000
MIN_DEPTH, MAX_DEPTH = 2, 1_000_000_000_000


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


def _wait(cond, timeout, poll=0.005):
    end = time.monotonic() + timeout
    while True:
        if cond():
            return True
        if time.monotonic() >= end:
            return False
        time.sleep(poll)


def _list(handle):
    lib = handle.lib
    check(lib.create_device_list(handle.h), "list devices")
    try:
        count = ctypes.c_uint16()
        check(lib.get_devices_count(handle.h, ctypes.byref(count)), "count devices")
        out = []
        for i in range(count.value):
            d = _lib.DeviceDescriptor()
            check(lib.get_device_descriptor(handle.h, i, ctypes.byref(d)), "describe device")
            sn, desc = d.sn.decode(), d.desc.decode()
            lib.free_device_descriptor(ctypes.byref(d))
            out.append(DeviceInfo(sn, desc, Model.of_serial(sn)))
        return out
    finally:
        lib.free_device_list(handle.h)


def devices():
    """The KESTREL devices on the bus, as DeviceInfo(serial, description, model)."""
    handle = Handle(Model.ONE)
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


class Device:
    """An opened device. Closing it (or leaving the with block) frees its handle."""

    def __init__(self, model, serial, description="", timeout=30.0):
        self.model = Model.parse(model)
        self.serial = serial
        self.description = description
        self.channels = self.model.channels
        self._timeout = timeout
        self._generation = 0
        self._names = {}  # channel: name given with name_channel
        self._handle = Handle(self.model)
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
        # An exception inside the with block leaves no capture running: close aborts it
        # too, but the abort first makes the device ready at once.
        if exc[0] is not None and self._handle is not None:
            self._abort(self._handle)
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
            check(getattr(h.lib, "get_" + name)(h.h, ctypes.byref(v)), name)
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
        check(fn(h.h, channel, None if name is None else name.encode()),
              f"name channel {channel}")
        if name:
            self._names[channel] = name
        else:
            self._names.pop(channel, None)

    def channel_of(self, channel):
        """The channel number of a number, a name given with name_channel, or "chN"."""
        return channel_number(self._names, channel)

    def set_store_budget(self, memory_bytes, directory=None):
        """At most memory_bytes of the captured transitions stay in memory (0: no limit);
        the rest goes to a file without a name in directory (default KESTREL_STORE_DIR, else
        /var/tmp) that goes with the capture. A directory that cannot hold a file raises
        KestrelError with the reason."""
        h = self._h()
        fn = h.lib.late("kestrelapi_set_store_budget")
        if fn is None:
            raise NotImplementedError(f"{h.lib.path} has no kestrelapi_set_store_budget")
        folder = None if directory is None else os.fsencode(os.fspath(directory))
        h.check(fn(h.h, int(memory_bytes), folder), "store budget")

    def _set_programs(self, trigger, trigger_b):
        h = self._h()
        fn = h.lib.late("kestrelapi_set_trigger_program")
        if fn is None:
            raise NotImplementedError(f"{h.lib.path} has no kestrelapi_set_trigger_program")
        for engine, (name, description) in enumerate((("trigger", trigger),
                                                      ("trigger_b", trigger_b))):
            text = triggers.program(description)
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
        KestrelError with the reason. The last line is the order of the engines."""
        order_value = triggers.order(order)
        self._set_programs(trigger, trigger_b)
        h = self._h()
        fn = h.lib.late("kestrelapi_describe_trigger_program")
        out = []
        for engine in (0, 1):
            text = ctypes.create_string_buffer(65536)
            check(fn(h.h, engine, text, len(text)), "describe trigger")
            out.append(f"engine {'AB'[engine]}: " + text.value.decode(errors="replace"))
        out.append(f"order: {triggers.order_name(order_value)}\n")
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

        A pre_trigger of 0 keeps 10 % of the depth (the device's rule). The defaults differ
        from kestrel-capture's: a depth of 100 000 keeps an interactive capture quick, and
        timeout counts the whole capture, streaming included.

        A refused program raises KestrelError carrying the reason; a capture that is not
        done within timeout seconds is aborted (CaptureTimeout); a failed one raises
        KestrelError. Ctrl-C (KeyboardInterrupt) or any other exception while waiting
        aborts the capture before it propagates: the device is ready for the next one.
        """
        h = self._h()
        # Refused here, by name and range, before anything starts.
        rate = _in_range("rate", rate, 1, MAX_RATE, " Hz")
        depth = _in_range("depth", depth, MIN_DEPTH, MAX_DEPTH, " samples")
        threshold_mv = _in_range("threshold_mv", threshold_mv, 0, 3000, " mV")
        vcc_mv = _in_range("vcc_mv", vcc_mv, 1800, 3300, " mV", also=0)
        depth = int(depth)
        order_value = triggers.order(order)
        external = triggers.external(trigger) is not None or \
            triggers.external(trigger_b) is not None
        if external and pre_trigger is not None:
            raise ValueError("pre_trigger is fixed with the external trigger input")
        pre = triggers.pre_trigger(pre_trigger, depth) if depth > 0 else 0
        if external:
            trig_a, trig_b = triggers.simple(trigger), triggers.simple(trigger_b)
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
        s.ext_trig_out_polarity = triggers.external(trigger) is not False
        self._generation += 1
        if external:
            h.check(h.lib.launch_new_capture_simple_trigger(h.h, trig_a, trig_b, s), "capture")
        else:
            launch = h.lib.late("kestrelapi_launch_new_capture_programmed")
            h.check(launch(h.h, s), "capture")

        def finished():
            return h.flag("get_capture_done_flag") or (
                h.lib.get_last_error(h.h) != _lib.OK and h.flag("get_ready_flag"))

        try:
            done = _wait(finished, timeout)
        except BaseException:
            # Ctrl-C (KeyboardInterrupt) or any other exception while waiting: the capture
            # must not outlive it, or the next one finds the device still armed.
            self._abort(h)
            raise
        if not done:
            self._abort(h)
            raise CaptureTimeout(1008, f"capture not done within {timeout} s, aborted")
        if not h.flag("get_capture_done_flag"):
            raise KestrelError(h.lib.get_last_error(h.h), "capture")
        # The capture leaves the handle: it outlives the next capture and the close.
        total, post = ctypes.c_int64(), ctypes.c_int64()
        check(h.lib.get_available_samples(h.h, ctypes.byref(total), ctypes.byref(post)),
              "available samples")
        take = h.lib.late("kestrelapi_take_capture")
        if take is None:
            raise NotImplementedError(f"{h.lib.path} has no kestrelapi_take_capture")
        taken = ctypes.c_void_p()
        h.check(take(h.h, ctypes.byref(taken)), "take capture")
        return Capture(self, taken, int(rate), int(depth), post.value)

    def _abort(self, h):
        """Aborts a running capture and waits until the device is ready for the next."""
        if h.flag("get_ready_flag"):
            return
        h.lib.request_abort(h.h)
        _wait(lambda: h.flag("get_ready_flag"), 30.0)

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
