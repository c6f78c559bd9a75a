"""Capture.transitions() and Capture.level() against the virtual device, next to the walk
with kestrelapi_trs_get_next they replace. Run through the virtual bus with Debian's Python:

    KESTREL_LIB=build/src/libkestrel_api.so.1 PYTHONPATH=python \
        sim/run build /usr/bin/python3 bench/python_transitions.py
"""
import ctypes
import time

import kestrel
from kestrel import _lib


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    with kestrel.open(model="one") as dev:
        # Channel 0 is a counter bit toggling every 8 samples: 1.25 M items in 10^7 samples.
        cap = dev.capture(rate=250_000_000, depth=10_000_000)
        n = len(cap._read(0)[0] if kestrel._np is None else cap._read(0))
        t = best(lambda: cap._read(0))
        print(f"transitions(0): {n} items in {t * 1e3:.1f} ms: {n / t / 1e6:.1f} M items/s "
              f"({'numpy' if kestrel._np is not None else 'lists'})")

        h = cap._h()
        tr = _lib.Transition()
        more = ctypes.c_bool()

        def walk(count=100_000):
            h.lib.trs_reset(h.h, 0)
            for _ in range(count):
                h.lib.trs_get_next(h.h, 0, ctypes.byref(tr))
                h.lib.trs_is_not_last(h.h, 0, ctypes.byref(more))
        t_walk = best(walk, 3)
        print(f"walk with trs_get_next: {100_000 / t_walk / 1e6:.2f} M items/s")

        samples = list(range(0, 10_000_000, 9973))
        fresh = kestrel.Capture(dev, dev._generation, cap.rate, cap.depth)  # nothing cached
        t_level = best(lambda: [fresh.level(0, s) for s in samples], 3)
        print(f"level() through kestrelapi_trs_level_at: {t_level / len(samples) * 1e6:.1f} us a call")


if __name__ == "__main__":
    main()
