"""Protocol decoders over a capture: UART, SPI, I2C and CAN frames as numpy arrays.

    frames = cap.decode("uart", rx=8, baud=115200)
    data = frames[frames["kind"] == kestrel.FrameKind.DATA]["value"]

Each frame is a record (start, end, kind, value, flags): its first and last sample, its
kind (FrameKind), its value (word, address, identifier, length or CRC) and its flags
(FrameFlag). Without numpy, a list of tuples in that order.
"""
import ctypes
import enum
import os

from . import _lib
from .capture import Capture
from .errors import KestrelError, check

try:
    import numpy as _np
except ImportError:
    _np = None


class FrameKind(enum.IntEnum):
    DATA = 1
    DATA_MISO = 2
    START = 3
    REPEATED_START = 4
    STOP = 5
    ADDRESS = 6
    ACK = 7
    NACK = 8
    BREAK = 9
    CAN_ID = 10
    CAN_DLC = 11
    CAN_CRC = 12


class FrameFlag(enum.IntFlag):
    PARITY_ERROR = 1
    FRAMING_ERROR = 2
    READ = 4
    CRC_ERROR = 8
    STUFF_ERROR = 16
    EXTENDED = 32
    REMOTE = 64


KIND_NAMES = {k.value: k.name for k in FrameKind}


class Frame(ctypes.Structure):
    """kestrelapi_frame_t."""
    _fields_ = [("start_sample", ctypes.c_uint64), ("end_sample", ctypes.c_uint64),
                ("value", ctypes.c_uint64), ("kind", ctypes.c_uint16),
                ("flags", ctypes.c_uint16), ("reserved", ctypes.c_uint32)]


if ctypes.sizeof(Frame) != 32:
    raise ImportError(f"Frame is {ctypes.sizeof(Frame)} bytes, not 32")

# The records as the library writes them, and the fields handed out (a view: no copy).
if _np is not None:
    _RAW_DTYPE = _np.dtype([("start", "<u8"), ("end", "<u8"), ("value", "<u8"),
                            ("kind", "<u2"), ("flags", "<u2"), ("reserved", "<u4")])
    FRAME_DTYPE = _np.dtype({"names": ["start", "end", "kind", "value", "flags"],
                             "formats": ["<u8", "<u8", "<u2", "<u8", "<u2"],
                             "offsets": [0, 8, 24, 16, 26], "itemsize": 32})
else:
    FRAME_DTYPE = None


class CaptureFile(Capture):
    """A sigrok session file (.sr: ours, sigrok's own, other devices') opened as a capture:
    kestrel.open_capture(path). Its channels are the file's logic channels, channel k bit k
    of each sample, named as the file names them (decoder descriptions take those names). It reads
    as any Capture; close it (or use with) to free it."""

    def __init__(self, path):
        self._c = None
        self._lib = _lib.library()
        fn = _late(self._lib, "kestrelapi_capture_open")
        cap = ctypes.c_void_p()
        why = ctypes.create_string_buffer(512)
        code = fn(os.fsencode(os.fspath(path)), ctypes.byref(cap), why, len(why))
        if code != _lib.OK:
            raise KestrelError(code, f"open {path}", why.value.decode(errors="replace"))
        self.path = str(path)
        self.device = None
        self.rate = self._own(cap)
        self.depth = self.samples
        self.post_trigger = self.samples - self.trigger_position
        self.names = {}

    def __repr__(self):
        return f"<kestrel.CaptureFile {self.path}: {self.samples} samples at {self.rate} Hz>"


def open_capture(path):
    """A sigrok session file as a CaptureFile, whose decode() reads its buses."""
    return CaptureFile(path)


def description_text(protocol, options):
    """The decoder's description: "uart rx=8 baud=115200 invert" from ("uart", rx=8, baud=115200,
    invert=True); options that are False or None are left out."""
    words = [str(protocol)]
    for key, value in options.items():
        if value is None or value is False:
            continue
        words.append(key if value is True else f"{key}={value}")
    return " ".join(words)


def _late(lib, name):
    fn = lib.late(name)
    if fn is None:
        raise NotImplementedError(f"{lib.path} has no {name}")
    return fn


def create(lib, fn_name, target, protocol, options):
    """A decoder made by fn_name (kestrelapi_decoder_create or its capture form) on target;
    a refused description raises KestrelError with the reason, naming the column."""
    fn = _late(lib, fn_name)
    description = description_text(protocol, options)
    dec = ctypes.c_void_p()
    why = ctypes.create_string_buffer(512)
    code = fn(target, description.encode(), ctypes.byref(dec), why, len(why))
    if code != _lib.OK:
        raise KestrelError(code, f"decoder {description!r}", why.value.decode(errors="replace"))
    return dec


def read_all(lib, dec, hint=0):
    """Every frame of a decoder, read in bulk straight into the array, then the decoder is
    freed. `hint`: the capture's samples, which bound its frames: the first piece is that
    large (memory is only taken as frames are written into it), so that most decodes fill
    one piece and need no copy."""
    read = _late(lib, "kestrelapi_decoder_read")
    free = _late(lib, "kestrelapi_decoder_free")
    count, more = ctypes.c_uint32(), ctypes.c_bool(True)
    pcount, pmore = ctypes.byref(count), ctypes.byref(more)
    try:
        size = max(1 << 16, min(int(hint) + 1, 1 << 24))
        if _np is not None:
            # Pieces joined once at the end, when there is more than one.
            pieces = []
            while more.value:
                buf = _np.empty(size, dtype=_RAW_DTYPE)
                size = min(size * 4, 1 << 26)
                check(read(dec, buf.ctypes.data, size, pcount, pmore), "decoder read")
                if count.value:
                    pieces.append(buf[:count.value])
            out = (_np.concatenate(pieces) if len(pieces) > 1 else
                   pieces[0] if pieces else _np.empty(0, dtype=_RAW_DTYPE))
            return out.view(FRAME_DTYPE)
        out = []
        size = 1 << 16
        chunk = (Frame * size)()
        while more.value:
            check(read(dec, chunk, size, pcount, pmore), "decoder read")
            out.extend((f.start_sample, f.end_sample, f.kind, f.value, f.flags)
                       for f in chunk[:count.value])
        return out
    finally:
        free(dec)
