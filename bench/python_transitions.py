"""Capture.transitions() and Capture.level() against the virtual device, next to reading one
item a call, as the walk with kestrelapi_trs_get_next did. Run through the virtual bus with Debian's Python:

    KESTREL_LIB=build/src/libkestrel_api.so.1 PYTHONPATH=python \
        sim/run build /usr/bin/python3 bench/python_transitions.py
"""
import ctypes
import time

import kestrel


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
        n = len(cap.transitions(0))
        t = best(lambda: cap.transitions(0))
        print(f"transitions(0): {n} items in {t * 1e3:.1f} ms: {n / t / 1e6:.1f} M items/s "
              f"({'numpy' if kestrel._np is not None else 'lists'})")

        read = cap._lib.late("kestrelapi_capture_read")
        s, lv, count = ctypes.c_uint64(), ctypes.c_uint8(), ctypes.c_uint32()

        def one_by_one(items=100_000):
            at = 0
            for _ in range(items):
                read(cap._capture(), 0, at, ctypes.byref(s), ctypes.byref(lv), 1,
                     ctypes.byref(count))
                at = s.value + 1
        t_walk = best(one_by_one, 3)
        print(f"one item a call: {100_000 / t_walk / 1e6:.2f} M items/s")

        samples = list(range(0, 10_000_000, 9973))
        t_level = best(lambda: [cap.level(0, s) for s in samples], 3)
        print(f"level() through kestrelapi_capture_level_at: {t_level / len(samples) * 1e6:.1f} "
              "us a call")


if __name__ == "__main__":
    main()
