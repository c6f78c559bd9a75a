"""Protocol decoders from Python: frames as numpy arrays, kind names, refusals."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import REPO, SIMRT

import kestrel

TEXT = b"KESTREL 0\r\n"  # the virtual device's UART on channel 8


@pytest.fixture(scope="module")
def cap():
    with kestrel.open(model="one") as d:
        d.name_channel(8, "rx")
        yield d.capture(rate=10_000_000, depth=1_000_000, trigger=None)


def repeats(values, payload):
    assert len(values) >= 2 * len(payload)
    off = payload.index(values[0])
    return all(v == payload[(off + i) % len(payload)] for i, v in enumerate(values))


def test_uart_frames_are_the_text_the_device_sent(cap):
    frames = cap.decode("uart", rx=8, baud=115200)
    assert frames.dtype.names == ("start", "end", "kind", "value", "flags")
    data = frames[frames["kind"] == kestrel.FrameKind.DATA]
    assert repeats([int(v) for v in data["value"]], list(TEXT))
    assert not data["flags"].any()
    assert (data["end"] > data["start"]).all()
    assert (data["start"][1:] > data["start"][:-1]).all()
    assert kestrel.KIND_NAMES[int(frames["kind"][0])] == "DATA"
    # By name, and the same frames again.
    again = cap.decode("uart", rx="rx", baud=115200, parity="none", invert=False)
    assert (again == frames).all()


def test_refused_specs_name_the_column(cap):
    with pytest.raises(kestrel.KestrelError) as e:
        cap.decode("uart", rx=40, baud=9600)
    assert e.value.code == 1006
    assert e.value.reason == "column 6 ('rx=40'): channel outside 0..17"
    with pytest.raises(kestrel.KestrelError) as e:
        cap.decode("usb", dp=1)
    assert "unknown protocol" in e.value.reason


def test_frame_fields_and_flags():
    assert kestrel.FRAME_DTYPE.itemsize == 32
    assert kestrel.FrameFlag.PARITY_ERROR | kestrel.FrameFlag.FRAMING_ERROR == 3
    assert kestrel.FrameKind.CAN_CRC == 12 and kestrel.FrameFlag.REMOTE == 64


def test_without_numpy_frames_are_tuples():
    env = dict(os.environ, PYTHONPATH=os.path.join(REPO, "python"))
    code = textwrap.dedent("""
        import sys, json
        sys.modules['numpy'] = None
        import kestrel
        with kestrel.open(model="one") as d:
            c = d.capture(rate=10_000_000, depth=300_000, trigger=None)
            f = c.decode("uart", rx=8, baud=115200)
        print("RESULT " + json.dumps([list(x) for x in f[:3]]))
    """)
    p = subprocess.run([sys.executable, "-c", code], cwd=SIMRT, env=env, capture_output=True,
                       text=True, timeout=600)
    assert p.returncode == 0, p.stdout + p.stderr
    line = [l for l in p.stdout.splitlines() if l.startswith("RESULT ")][-1]
    frames = json.loads(line[len("RESULT "):])
    assert len(frames) == 3
    assert all(len(x) == 5 and x[2] == kestrel.FrameKind.DATA for x in frames)


def test_a_session_file_decodes_as_its_capture(cap, tmp_path):
    path = tmp_path / "uart.sr"
    cap.export(path)
    want = cap.decode("uart", rx=8, baud=115200)
    with kestrel.open_capture(path) as f:
        assert (f.samples, f.rate, f.channels) == (cap.samples, cap.rate, 18)
        got = f.decode("uart", rx="rx", baud=115200)
        assert (got == want).all()
        assert [tuple(x) for x in f.transitions(8)[:5]] == \
            [tuple(x) for x in cap.transitions(8)[:5]]
    with pytest.raises(ValueError):
        f.decode("uart", rx=8, baud=115200)
    with pytest.raises(kestrel.KestrelError) as e:
        kestrel.open_capture(tmp_path / "none.sr")
    assert e.value.code == 1006 and "none.sr" in e.value.reason
