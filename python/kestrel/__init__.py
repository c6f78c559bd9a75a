"""KESTREL logic analyzers from Python, over libkestrel_api.so.1.

    import kestrel
    print(kestrel.devices())
    with kestrel.open(model="one") as dev:
        cap = dev.capture(rate=250_000_000, depth=100_000, trigger="ch3 rise & ch5 high")
        print(cap.trigger_position, cap.transitions(3)[:4])
        cap.export("x.vcd")

Transitions come as numpy arrays when numpy is importable, as lists otherwise.

The package's modules, one per concept: errors (KestrelError and the codes' names), model
(the models, DeviceInfo), trigger (trigger requests), device (devices, open, Device),
capture (Capture), library (the loaded library); _lib is the ctypes binding and _handle a
library handle. This module only gathers their public names.
"""
from .capture import TRANSITION_DTYPE, Capture
from .device import MAX_DEPTH, MAX_RATE, MIN_DEPTH, Device, devices, open
from .errors import CaptureTimeout, KestrelError, error_name
from .library import has_export, library_path, library_version
from .model import DeviceInfo, Model

__version__ = "1.0.0"

__all__ = ["KestrelError", "CaptureTimeout", "Model", "DeviceInfo", "Device", "Capture",
           "devices", "open", "library_path", "library_version", "has_export", "error_name",
           "__version__"]
