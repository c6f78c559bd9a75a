"""A taken capture: its transitions, levels and exports."""
import bisect
import ctypes
import errno
import os
import threading
import warnings

from . import _lib
from .errors import KestrelError, check

try:
    import numpy as _np
except ImportError:
    _np = None

TRANSITION_DTYPE = [("sample", "<u8"), ("level", "u1")]

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


class _Field:
    """An attribute with a docstring that help() shows; set and read like any other."""

    def __init__(self, doc):
        self.__doc__ = doc

    def __set_name__(self, owner, name):
        self._name = name

    def __get__(self, obj, owner=None):
        if obj is None:
            return self
        try:
            return obj.__dict__["_field_" + self._name]
        except KeyError:
            raise AttributeError(self._name) from None

    def __set__(self, obj, value):
        obj.__dict__["_field_" + self._name] = value


# The system's own texts of errno values, for the reason of a refused export.
_ERRNO_OF_TEXT = {os.strerror(n): n for n in sorted(errno.errorcode, reverse=True)}


def _os_error(reason, path):
    """OSError for a reason of the library that ends with the system's error text, else None."""
    if not reason:
        return None
    for text, n in _ERRNO_OF_TEXT.items():
        if reason.endswith(": " + text):
            return OSError(n, text, os.fspath(path))
    return None


class Capture:
    """The result of Device.capture. Its samples stay in the device's handle until the
    next capture or the close; transitions read before that stay available.

    Channels are numbers, or the names given with Device.name_channel."""

    device = _Field("The Device that took the capture.")
    rate = _Field("Sampling rate in Hz.")
    depth = _Field("Samples asked for.")
    channels = _Field("Channels of the device's model (18, 36 or 54).")
    samples = _Field("Samples taken: sample numbers run from 0 to samples - 1.")
    post_trigger = _Field("Samples taken from the trigger on.")
    trigger_position = _Field(
        "Sample of the trigger (without a trigger: where the free run's trigger was set).")

    def __init__(self, device, generation, rate, depth):
        self.device = device
        self._generation = generation
        self.rate = rate
        self.depth = depth
        self.channels = device.channels
        self._cache = {}
        h = self._h()
        total, post = ctypes.c_int64(), ctypes.c_int64()
        check(h.lib.get_available_samples(h.h, ctypes.byref(total), ctypes.byref(post)),
              "available samples")
        self.samples = total.value
        self.post_trigger = post.value
        pos = ctypes.c_uint64()
        check(h.lib.get_trigger_position(h.h, ctypes.byref(pos)), "trigger position")
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
        level) with numpy, else a list of tuples. channel is a number or a name."""
        channel = self.device.channel_of(channel)
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
            check(fn(h.h, channel, start, ps, pl, room, pcount), f"channel {channel}")
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

    def seconds(self, sample):
        """Seconds from the trigger to a sample number, or to each of an array of them
        (cap.seconds(cap.transitions(3)["sample"])): negative before the trigger."""
        if _np is not None and not isinstance(sample, (int, _np.integer)):
            return (_np.asarray(sample, dtype=_np.float64) - self.trigger_position) / self.rate
        if not isinstance(sample, int):
            return [(int(s) - self.trigger_position) / self.rate for s in sample]
        return (sample - self.trigger_position) / self.rate

    def level(self, channel, sample):
        """The channel's level (0 or 1) at a sample, found by binary search; for an array
        (or list) of samples, the levels at each, at once (a numpy array with numpy)."""
        channel = self.device.channel_of(channel)
        if not isinstance(sample, int) and not (_np is not None and
                                                isinstance(sample, _np.integer)):
            return self._levels(channel, sample)
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
        check(fn(h.h, channel, sample, ctypes.byref(level)), f"channel {channel}")
        return level.value

    def _levels(self, channel, samples):
        """Levels of the channel at many samples: one read of its transitions, then one
        search for all of them."""
        if _np is not None:
            s = _np.asarray(samples, dtype=_np.int64)
            if s.size and (s.min() < 0 or s.max() >= self.samples):
                raise IndexError(f"samples outside 0..{self.samples - 1}")
            tr = self.transitions(channel)
            k = _np.searchsorted(tr["sample"], s.astype(_np.uint64), side="right")
            return tr["level"][k - 1]
        samples = [int(x) for x in samples]
        if any(not 0 <= x < self.samples for x in samples):
            raise IndexError(f"samples outside 0..{self.samples - 1}")
        if channel not in self._cache:
            self.transitions(channel)
        starts, levels = self._cache[channel]
        return [int(levels[bisect.bisect_right(starts, x) - 1]) for x in samples]

    def export(self, path, channels=None, format=None, csv_layout="changes"):
        """Writes the capture to a file: VCD, sigrok session (.sr) or CSV, chosen by
        format or the file's suffix; channels selects some (numbers or names, default
        all). csv_layout "changes" is a row per level change (sample,time,channel,level),
        "columns" a column per channel and a row per change, as sigrok's CSV input reads
        it. A file the system refuses raises OSError with its errno."""
        fmt = (format or os.path.splitext(str(path))[1].lstrip(".")).lower()
        if fmt not in ("vcd", "sr", "csv"):
            raise ValueError(f"unknown export format {fmt!r}: vcd, sr or csv")
        if csv_layout not in ("changes", "columns"):
            raise ValueError(f"unknown csv_layout {csv_layout!r}: changes or columns")
        h = self._h()
        name = "csv_columns" if fmt == "csv" and csv_layout == "columns" else fmt
        fn = h.lib.late(f"kestrelapi_export_{name}")
        if fn is None:
            raise NotImplementedError(f"{h.lib.path} has no kestrelapi_export_{name}")
        channels = None if channels is None else [self.device.channel_of(c) for c in channels]
        if channels == []:
            raise ValueError("no channels to export")
        mask = 0
        for ch in channels or ():
            if not 0 <= ch < self.channels:
                raise ValueError(f"channel {ch} is outside 0..{self.channels - 1}")
            mask |= 1 << ch
        code = fn(h.h, os.fsencode(os.fspath(path)), mask & (2**64 - 1), mask >> 64)
        if code != _lib.OK:
            reason = h.reason()
            refused = _os_error(reason, path) if code == _lib.INVALID_ARGUMENT else None
            if refused is not None:
                raise refused
            raise KestrelError(code, f"export {path}", reason)
