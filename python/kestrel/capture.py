"""A taken capture: its transitions, levels and exports."""
import bisect
import ctypes
import os
import threading
import warnings

from .errors import check

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
        check(fn(h.h, channel, sample, ctypes.byref(level)), f"channel {channel}")
        return level.value

    def decode(self, protocol, **options):
        """Frames of a bus protocol in this capture: decode("uart", rx=8, baud=115200),
        ("spi", clk=0, mosi=1, cs=2), ("i2c", scl=3, sda=4), ("can", rx=5, bitrate=500000);
        channels by number or name, words such as invert=True. A numpy structured array
        (start, end, kind, value, flags; kestrel.FrameKind names the kinds) with numpy, else
        a list of tuples. A refused spec raises KestrelError (1006) naming the column."""
        from . import decode
        h = self._h()
        dec = decode.create(h.lib, "kestrelapi_decoder_create", h.h, protocol, options)
        return decode.read_all(h.lib, dec, self.samples)

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
