"""capture.decode() into numpy: frames per second from Python, decoding included, on a
sigrok session file of dense UART (random 5-bit words back to back at 8 samples a bit, one
frame every 7 bits). Needs no device:

    KESTREL_LIB=build/src/libkestrel_api.so.1 PYTHONPATH=python python3 bench/python_decode.py
"""
import os
import tempfile
import time
import zipfile

import numpy as np

import kestrel


def best(fn, repeat=5):
    # Processor time of this process: the machine is shared, wall time counts the others.
    times = []
    for _ in range(repeat):
        t0 = time.process_time()
        out = fn()
        times.append(time.process_time() - t0)
    return min(times), out


def uart_file(path, frames, seed=1):
    # 5N1: start, five data bits, stop; 8 samples a bit.
    rng = np.random.default_rng(seed)
    data = rng.integers(0, 32, frames, dtype=np.uint8)
    bits = np.ones((frames, 7), dtype=np.uint8)
    bits[:, 0] = 0
    for k in range(5):
        bits[:, 1 + k] = (data >> k) & 1
    samples = np.concatenate([np.ones(80, np.uint8), np.repeat(bits.reshape(-1), 8),
                              np.ones(80, np.uint8)])
    meta = ("[global]\nsigrok version=0.5.2\n\n[device 1]\ncapturefile=logic-1\n"
            "total probes=1\nsamplerate=8 MHz\ntotal analog=0\nprobe1=rx\nunitsize=1\n")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        z.writestr("version", "2")
        z.writestr("metadata", meta)
        chunk = 4 << 20
        for k in range(0, len(samples), chunk):
            z.writestr(f"logic-1-{k // chunk + 1}", samples[k:k + chunk].tobytes())
    return data


def main():
    frames = 4_000_000
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "uart.sr")
        data = uart_file(path, frames)
        with kestrel.open_capture(path) as cap:
            t, out = best(lambda: cap.decode("uart", rx="rx", baud=1_000_000, bits=5))
            assert len(out) == frames and (out["value"] == data).all()
            print(f"decode into numpy: {len(out)} frames in {t * 1e3:.1f} ms of processor "
                  f"time: {len(out) / t / 1e6:.1f} M frames/s")


if __name__ == "__main__":
    print(os.popen("uptime").read().strip())
    main()
