"""ctypes binding of libkestrel_api.so.1: records, prototypes and the library lookup."""
import ctypes
import ctypes.util
import glob
import os
import sys
import threading

OK = 0
INVALID_ARGUMENT = 1006
HW_ERRORS = 1000
USB_ERRORS = 2000
USB3_ERRORS = 3000
UNKNOWN_ERROR = 1999

# Names of ohwapi_err_code_t, for libraries without kestrelapi_error_name.
ERROR_NAMES = {
    0: "OHWAPI_OK",
    1001: "OHWAPI_NOT_SUPPORTED",
    1002: "OHWAPI_DEVICE_NOT_OPEN",
    1003: "OHWAPI_DEVICE_NOT_FOUND",
    1004: "OHWAPI_INVALID_SERIAL",
    1005: "OHWAPI_INVALID_CONFIG",
    1006: "OHWAPI_INVALID_ARGUMENT",
    1007: "OHWAPI_BUSY",
    1008: "OHWAPI_ABORTED",
    1009: "OHWAPI_POWER_FAILURE",
    1010: "OHWAPI_PLL_FAILURE",
    1011: "OHWAPI_FLUSH_TIMEOUT",
    1012: "OHWAPI_NOT_RESPONDING",
    1013: "OHWAPI_NO_DATA",
    1014: "OHWAPI_FIRMWARE_ERROR",
    1015: "OHWAPI_FIRM_UPDT_FAILED",
    1016: "OHWAPI_DATA_NOT_ALIGNED",
    1017: "OHWAPI_DEVICE_FORGED",
    1019: "OHWAPI_STORE_FULL",
    1100: "OHWAPI_HARDWARE_FAULT",
    1999: "OHWAPI_UNKNOWN_ERROR",
    99998: "OHWAPI_NOT_IMPLEMENTED",
}

# The header packs every record to 4 bytes: int64 members sit at multiples of 4.
class Settings(ctypes.Structure):
    _pack_ = 4
    _fields_ = [
        ("sampling_depth", ctypes.c_int64),
        ("post_trig_depth", ctypes.c_int64),
        ("s_clk", ctypes.c_uint32),
        ("t_clk", ctypes.c_uint32 * 2),
        ("thresh_capture_mv", ctypes.c_uint16 * 6),
        ("vcc_gen_mv", ctypes.c_uint16 * 6),
        ("io_type", ctypes.c_int * 54),
        ("io_pull", ctypes.c_int * 54),
        ("state_clk_mode", ctypes.c_int),
        ("state_clk_src", ctypes.c_int),
        ("timebase_src", ctypes.c_int),
        ("ext_trig_50r", ctypes.c_bool),
        ("ext_in_threshold_mv", ctypes.c_uint16),
        ("ext_trig_out_polarity", ctypes.c_bool),
        ("trig_order", ctypes.c_uint8),
        ("oci_clk_out_enable", (ctypes.c_bool * 2) * 3),
        ("oci_clk_out_freq", (ctypes.c_uint64 * 2) * 3),
    ]


class TriggerDescription(ctypes.Structure):
    _pack_ = 4
    _fields_ = [("type", ctypes.c_int), ("channel", ctypes.c_int8)]


class Transition(ctypes.Structure):
    _pack_ = 4
    _fields_ = [("value", ctypes.c_uint8), ("sampple_index", ctypes.c_uint64)]


class DeviceDescriptor(ctypes.Structure):
    _pack_ = 4
    _fields_ = [("sn", ctypes.c_char_p), ("desc", ctypes.c_char_p)]


for _rec, _size in ((Settings, 556), (TriggerDescription, 8), (Transition, 12)):
    if ctypes.sizeof(_rec) != _size:
        raise ImportError(f"{_rec.__name__} is {ctypes.sizeof(_rec)} bytes, not {_size}")

_h = ctypes.c_void_p
_pb = ctypes.POINTER(ctypes.c_bool)
_pu8 = ctypes.POINTER(ctypes.c_uint8)
_pi64 = ctypes.POINTER(ctypes.c_int64)
_u8 = ctypes.c_uint8
_u64 = ctypes.c_uint64

# C-linkage functions every library has.
PROTOTYPES = {
    "kestrelapi_create_new_handle": [ctypes.POINTER(ctypes.c_void_p), ctypes.c_int],
    "kestrelapi_free": [_h],
    "kestrelapi_get_last_error": [_h],
    "kestrelapi_create_device_list": [_h],
    "kestrelapi_free_device_list": [_h],
    "kestrelapi_get_devices_count": [_h, ctypes.POINTER(ctypes.c_uint16)],
    "kestrelapi_get_device_descriptor": [_h, _u8, ctypes.POINTER(DeviceDescriptor)],
    "kestrelapi_free_device_descriptor": [ctypes.POINTER(DeviceDescriptor)],
    "kestrelapi_device_open": [_h, DeviceDescriptor],
    "kestrelapi_device_open_first": [_h],
    "kestrelapi_device_close": [_h],
    "kestrelapi_get_device_open_flag": [_h, _pb],
    "kestrelapi_get_mcu_version_major": [_h, _pu8],
    "kestrelapi_get_mcu_version_minor": [_h, _pu8],
    "kestrelapi_get_fpga_version_major": [_h, _pu8],
    "kestrelapi_get_fpga_version_minor": [_h, _pu8],
    "kestrelapi_launch_new_capture_simple_trigger":
        [_h, TriggerDescription, TriggerDescription, Settings],
    "kestrelapi_request_abort": [_h],
    "kestrelapi_get_ready_flag": [_h, _pb],
    "kestrelapi_get_config_done_flag": [_h, _pb],
    "kestrelapi_get_triggered_flag": [_h, _pb],
    "kestrelapi_get_capture_done_flag": [_h, _pb],
    "kestrelapi_get_available_samples": [_h, _pi64, _pi64],
    "kestrelapi_get_trigger_position": [_h, ctypes.POINTER(ctypes.c_uint64)],
    "kestrelapi_trs_reset": [_h, _u8],
    "kestrelapi_trs_before": [_h, _u8, _u64],
    "kestrelapi_trs_get_next": [_h, _u8, ctypes.POINTER(Transition)],
    "kestrelapi_trs_get_previous": [_h, _u8, ctypes.POINTER(Transition)],
    "kestrelapi_trs_is_not_last": [_h, _u8, _pb],
}

# Newer additions, looked up on first use so that older libraries still import.
LATE_PROTOTYPES = {
    "kestrelapi_export_vcd": ([_h, ctypes.c_char_p, _u64, _u64], ctypes.c_int),
    "kestrelapi_export_sr": ([_h, ctypes.c_char_p, _u64, _u64], ctypes.c_int),
    "kestrelapi_export_csv": ([_h, ctypes.c_char_p, _u64, _u64], ctypes.c_int),
    "kestrelapi_export_csv_columns": ([_h, ctypes.c_char_p, _u64, _u64], ctypes.c_int),
    "kestrelapi_error_name": ([ctypes.c_int], ctypes.c_char_p),
    "kestrelapi_set_channel_name": ([_h, _u8, ctypes.c_char_p], ctypes.c_int),
    "kestrelapi_set_log_callback": ([_h, ctypes.c_void_p, ctypes.c_void_p], ctypes.c_int),
    "kestrelapi_get_last_error_text": ([_h, ctypes.c_char_p, ctypes.c_uint32], ctypes.c_int),
    "kestrelapi_get_library_version":
        ([ctypes.POINTER(ctypes.c_uint32)] * 3, ctypes.c_int),
    "kestrelapi_trs_read": ([_h, _u8, _u64, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32,
                             ctypes.POINTER(ctypes.c_uint32)], ctypes.c_int),
    "kestrelapi_trs_level_at": ([_h, _u8, _u64, _pu8], ctypes.c_int),
    "kestrelapi_set_trigger_program":
        ([_h, _u8, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint32], ctypes.c_int),
    "kestrelapi_describe_trigger_program":
        ([_h, _u8, ctypes.c_char_p, ctypes.c_uint32], ctypes.c_int),
    "kestrelapi_launch_new_capture_programmed": ([_h, Settings], ctypes.c_int),
    "kestrelapi_decoder_create": ([_h, ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p),
                                   ctypes.c_char_p, ctypes.c_uint32], ctypes.c_int),
    "kestrelapi_decoder_read": ([ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32,
                                 ctypes.POINTER(ctypes.c_uint32), _pb], ctypes.c_int),
    "kestrelapi_decoder_free": ([ctypes.c_void_p], ctypes.c_int),
    "kestrelapi_capture_decoder_create":
        ([ctypes.c_void_p, ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p), ctypes.c_char_p,
          ctypes.c_uint32], ctypes.c_int),
    "kestrelapi_capture_open": ([ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p),
                                 ctypes.c_char_p, ctypes.c_uint32], ctypes.c_int),
    "kestrelapi_set_store_budget": ([_h, _u64, ctypes.c_char_p], ctypes.c_int),
    "kestrelapi_take_capture": ([_h, ctypes.POINTER(ctypes.c_void_p)], ctypes.c_int),
    "kestrelapi_capture_free": ([ctypes.c_void_p], ctypes.c_int),
    "kestrelapi_capture_info": ([ctypes.c_void_p] + [ctypes.POINTER(ctypes.c_uint64)] * 3 +
                                [_pu8], ctypes.c_int),
    "kestrelapi_capture_read": ([ctypes.c_void_p, _u8, _u64, ctypes.c_void_p, ctypes.c_void_p,
                                 ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)],
                                ctypes.c_int),
    "kestrelapi_capture_level_at": ([ctypes.c_void_p, _u8, _u64, _pu8], ctypes.c_int),
    "kestrelapi_capture_export": ([ctypes.c_void_p, ctypes.c_char_p, _u64, _u64], ctypes.c_int),
    "kestrelapi_capture_export_csv_columns":
        ([ctypes.c_void_p, ctypes.c_char_p, _u64, _u64], ctypes.c_int),
}

# void (*)(void* user, int level, const char* line)
LOG_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_char_p)

SONAME = "libkestrel_api.so.1"
_here = os.path.dirname(os.path.abspath(__file__))


def candidates():
    """Library paths in the order they are tried."""
    env = os.environ.get("KESTREL_LIB")
    if env:
        return [env]
    out = []
    # Source checkout: python/kestrel next to build/.
    out.append(os.path.join(_here, "..", "..", "build", "src", SONAME))
    # Installed: <prefix>/share/kestrel/python/kestrel, the library under <prefix>/lib*.
    prefix = os.path.normpath(os.path.join(_here, "..", "..", "..", ".."))
    # Installed by pip: the prefix of the interpreter, else the usual install prefixes (the
    # loader's cache may not list a library installed since ldconfig last ran).
    for p in dict.fromkeys([prefix, sys.prefix, "/usr/local"]):
        for pattern in ("lib*", os.path.join("lib*", "*-linux-gnu*")):
            out.extend(sorted(glob.glob(os.path.join(p, pattern, SONAME))))
    found = ctypes.util.find_library("kestrel_api")
    if found:
        out.append(found)
    out.append(SONAME)
    return out


class Library:
    def __init__(self, path, cdll):
        self.path = path
        self._cdll = cdll
        self._lock = threading.Lock()
        self._late = {}
        for name, args in PROTOTYPES.items():
            fn = getattr(cdll, name)
            fn.argtypes = args
            fn.restype = ctypes.c_int
            setattr(self, name[len("kestrelapi_"):], fn)

    def late(self, name):
        """The function, or None when this library does not export it."""
        with self._lock:
            if name not in self._late:
                try:
                    fn = getattr(self._cdll, name)
                except AttributeError:
                    fn = None
                else:
                    fn.argtypes, fn.restype = LATE_PROTOTYPES[name]
                self._late[name] = fn
            return self._late[name]


_library = None
_library_lock = threading.Lock()


def library():
    global _library
    with _library_lock:
        if _library is None:
            tried = []
            for path in candidates():
                # Bare names go through the loader's own search; paths must exist.
                if os.sep in path and not os.path.exists(path):
                    tried.append(path)
                    continue
                try:
                    cdll = ctypes.CDLL(path)
                except OSError as e:
                    tried.append(f"{path} ({e})")
                    continue
                _library = Library(os.path.realpath(path) if os.sep in path else path, cdll)
                break
            else:
                raise OSError(f"{SONAME} not found; tried: " + "; ".join(tried) +
                              " (set KESTREL_LIB to the library's path)")
        return _library
