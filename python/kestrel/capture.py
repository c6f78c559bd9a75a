"""A taken capture: its transitions, levels and exports."""
import bisect
import ctypes
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


_errno_libraries = {}
_errno_lock = threading.Lock()


def _with_errno(lib, name):
    """The library's function name from the library loaded once more with errno kept for
    ctypes.get_errno: the capture exports leave the system's error of a refused file there."""
    with _errno_lock:
        if lib.path not in _errno_libraries:
            _errno_libraries[lib.path] = ctypes.CDLL(lib.path, use_errno=True)
        fn = getattr(_errno_libraries[lib.path], name)
        fn.argtypes, fn.restype = _lib.LATE_PROTOTYPES[name]
        return fn


def channel_number(names, channel):
    """The channel number of a number, a name of names (channel -> name), or "chN"."""
    if isinstance(channel, str):
        named = [ch for ch, name in names.items() if name == channel]
        if named:
            return named[0]
        if channel.startswith("ch") and channel[2:].isdigit() and int(channel[2:]) not in names:
            return int(channel[2:])
        known = ", ".join(f"{name!r} ({ch})" for ch, name in sorted(names.items()))
        raise ValueError(f"no channel named {channel!r}" +
                         (f": named are {known}" if known else ""))
    return channel


class Capture:
    """The result of Device.capture: a capture taken out of the device, that holds every
    channel's transitions (in memory, and beyond the device's store budget on disk). It
    stays readable after later captures and after the device is closed; close(), the end
    of a with block or garbage collection frees it.

    Channels are numbers, or the names given with Device.name_channel before the capture."""

    device = _Field("The Device that took the capture (it may be closed since).")
    rate = _Field("Sampling rate in Hz.")
    depth = _Field("Samples asked for.")
    channels = _Field("Channels of the device's model (18, 36 or 54).")
    samples = _Field("Samples taken: sample numbers run from 0 to samples - 1.")
    post_trigger = _Field("Samples taken from the trigger on.")
    trigger_position = _Field(
        "Sample of the trigger (without a trigger: where the free run's trigger was set).")
    names = _Field("Channel names given before the capture: channel -> name.")

    def __init__(self, device, capture, rate, depth, post_trigger):
        self.device = device
        self._lib = device._h().lib
        self._own(capture)
        self.rate = rate
        self.depth = depth
        self.post_trigger = post_trigger
        self.names = dict(device._names)

    def _own(self, capture):
        """Takes the capture object (freed by close) and reads its samples, trigger position
        and channels; returns its rate."""
        self._c = capture
        samples, pos, hz = ctypes.c_uint64(), ctypes.c_uint64(), ctypes.c_uint64()
        channels = ctypes.c_uint8()
        check(self._lib.late("kestrelapi_capture_info")(
            capture, ctypes.byref(samples), ctypes.byref(pos), ctypes.byref(hz),
            ctypes.byref(channels)), "capture info")
        self.samples = samples.value
        self.trigger_position = pos.value
        self.channels = channels.value
        return hz.value

    def __repr__(self):
        closed = "" if self._c is not None else ", closed"
        return (f"<kestrel.Capture {self.samples} samples at {self.rate} Hz, "
                f"trigger at {self.trigger_position}{closed}>")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def close(self):
        """Frees the capture; reading it afterwards raises ValueError. A second close does
        nothing."""
        c, self._c = self.__dict__.get("_c"), None
        if c is not None:
            self._lib.late("kestrelapi_capture_free")(c)

    def _capture(self):
        if self._c is None:
            raise ValueError("the capture is closed")
        return self._c

    def channel_of(self, channel):
        """The channel number of a number, a name given before the capture, or "chN"."""
        channel = channel_number(self.names, channel)
        if not 0 <= channel < self.channels:
            raise ValueError(f"channel {channel} is outside 0..{self.channels - 1}")
        return channel

    def transitions(self, channel, start=None, stop=None):
        """The channel's level changes in sample order within [start, stop): (sample, level)
        pairs, level 1 high and 0 low from that sample on. The first pair is the level at
        start (default 0), so a channel that never changes gives one pair; without stop the
        read goes to the channel's end. Only the window is read, so a long capture is never
        loaded whole. A numpy structured array (fields sample and level) with numpy, else a
        list of tuples. channel is a number or a name."""
        channel = self.channel_of(channel)
        start = 0 if start is None else int(start)
        if start < 0 or (stop is not None and stop < start):
            raise ValueError(f"window {start}..{stop} is not within the capture")
        samples, levels, n = self._read(channel, start, stop)
        first = None
        if 0 < start < self.samples and (stop is None or start < stop) and \
                (n == 0 or int(samples[0]) != start):
            first = (start, self.level(channel, start))
        if _np is not None:
            out = _np.empty(n + (first is not None), dtype=TRANSITION_DTYPE)
            k = 0
            if first is not None:
                out[0] = first
                k = 1
            out["sample"][k:] = samples[:n]
            out["level"][k:] = levels[:n]
            return out
        _warn_no_numpy()
        pairs = list(zip(samples[:n], levels[:n]))
        return [first] + pairs if first is not None else pairs

    def _read(self, channel, start, stop):
        """The items at or after start and before stop through kestrelapi_capture_read:
        numpy arrays filled by the library itself, or ctypes arrays without numpy; and
        their count."""
        fn = self._lib.late("kestrelapi_capture_read")
        count = ctypes.c_uint32()
        pcount = ctypes.byref(count)
        size = 1 << 16
        if _np is not None:
            samples = _np.empty(size, dtype=_np.uint64)
            levels = _np.empty(size, dtype=_np.uint8)
        else:
            samples, levels = (ctypes.c_uint64 * size)(), (ctypes.c_uint8 * size)()
        n, at = 0, start
        while stop is None or at < stop:
            room = min(size - n, 0xFFFFFFFF)
            if _np is not None:
                ps, pl = samples[n:].ctypes.data, levels[n:].ctypes.data
            else:
                ps = ctypes.addressof(samples) + 8 * n
                pl = ctypes.addressof(levels) + n
            check(fn(self._capture(), channel, at, ps, pl, room, pcount), f"channel {channel}")
            got = count.value
            if got == 0:
                break
            n += got
            at = int(samples[n - 1]) + 1
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
        if stop is not None and n > 0 and int(samples[n - 1]) >= stop:
            # The last read may go past stop: what lies before it.
            if _np is not None:
                n = int(_np.searchsorted(samples[:n], stop, side="left"))
            else:
                n = bisect.bisect_left(samples[:n], stop)
        return samples, levels, n

    def seconds(self, sample):
        """Seconds from the trigger to a sample number, or to each of an array of them
        (cap.seconds(cap.transitions(3)["sample"])): negative before the trigger."""
        if _np is not None and not isinstance(sample, (int, _np.integer)):
            return (_np.asarray(sample, dtype=_np.float64) - self.trigger_position) / self.rate
        if not isinstance(sample, int):
            return [(int(s) - self.trigger_position) / self.rate for s in sample]
        return (sample - self.trigger_position) / self.rate

    def level(self, channel, sample):
        """The channel's level (0 or 1) at a sample, through the store's index; for an
        array (or list) of samples, the levels at each, at once (a numpy array with
        numpy)."""
        if not isinstance(sample, int) and not (_np is not None and
                                                isinstance(sample, _np.integer)):
            return self._levels(self.channel_of(channel), sample)
        # A channel beyond the model's count is the library's to refuse (KestrelError).
        channel = channel_number(self.names, channel)
        if not 0 <= channel <= 255:
            raise ValueError(f"channel {channel} out of range")
        if not 0 <= sample < self.samples:
            raise IndexError(f"sample {sample} outside 0..{self.samples - 1}")
        level = ctypes.c_uint8()
        check(self._lib.late("kestrelapi_capture_level_at")(self._capture(), channel,
                                                             int(sample), ctypes.byref(level)),
              f"channel {channel}")
        return level.value

    def decode(self, protocol, **options):
        """Frames of a bus protocol in this capture: decode("uart", rx=8, baud=115200),
        ("spi", clk=0, mosi=1, cs=2), ("i2c", scl=3, sda=4), ("can", rx=5, bitrate=500000);
        channels by number or name, words such as invert=True. A numpy structured array
        (start, end, kind, value, flags; kestrel.FrameKind names the kinds) with numpy, else
        a list of tuples. A refused description raises KestrelError (1006) naming the column."""
        from . import decode
        dec = decode.create(self._lib, "kestrelapi_capture_decoder_create", self._capture(),
                            protocol, options)
        return decode.read_all(self._lib, dec, self.samples)

    def _levels(self, channel, samples):
        """Levels of the channel at many samples: one read of the transitions they span,
        then one search for all of them."""
        if _np is not None:
            s = _np.asarray(samples, dtype=_np.int64)
            if s.size and (s.min() < 0 or s.max() >= self.samples):
                raise IndexError(f"samples outside 0..{self.samples - 1}")
            if not s.size:
                return _np.empty(0, dtype=_np.uint8)
            tr = self.transitions(channel, int(s.min()), int(s.max()) + 1)
            k = _np.searchsorted(tr["sample"], s.astype(_np.uint64), side="right")
            return tr["level"][k - 1]
        samples = [int(x) for x in samples]
        if any(not 0 <= x < self.samples for x in samples):
            raise IndexError(f"samples outside 0..{self.samples - 1}")
        if not samples:
            return []
        tr = self.transitions(channel, min(samples), max(samples) + 1)
        starts = [s for s, _ in tr]
        return [int(tr[bisect.bisect_right(starts, x) - 1][1]) for x in samples]

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
        channels = None if channels is None else [self.channel_of(c) for c in channels]
        if channels == []:
            raise ValueError("no channels to export")
        mask = 0
        for ch in channels or ():
            mask |= 1 << ch
        path = os.fspath(path)
        columns = fmt == "csv" and csv_layout == "columns"
        # The library chooses the format by the file's suffix: another suffix is written
        # under a name that has it, in the same directory, and renamed into place.
        suffix = os.path.splitext(path)[1].lstrip(".").lower()
        target = path if columns or suffix == fmt else path + ".kestrel-export." + fmt
        fn = _with_errno(self._lib, "kestrelapi_capture_export_csv_columns" if columns
                         else "kestrelapi_capture_export")
        ctypes.set_errno(0)
        code = fn(self._capture(), os.fsencode(target), mask & (2**64 - 1), mask >> 64)
        if code != _lib.OK:
            err = ctypes.get_errno()
            if code == _lib.INVALID_ARGUMENT and err:
                raise OSError(err, os.strerror(err), path)  # FileNotFoundError, ... by errno
            raise KestrelError(code, f"export {path}")
        if target != path:
            os.replace(target, path)
