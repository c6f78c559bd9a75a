"""The Python package against the virtual device (one KESTREL ONE, 7302101000001, unless a
child process plugs others). Ground truth from the device's default signals: channels 0..7
of the first group are bits of a counter that steps every 32 ns."""
import bisect
import ctypes
import errno
import json
import logging
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import zipfile

import pytest

from conftest import REPO, SIMRT

import kestrel
from kestrel import _lib
from kestrel import capture as kcapture
from kestrel import trigger as ktrigger

RATE = 250_000_000
DEPTH = 100_000
TRIGGER_AT = DEPTH * 5 // 100  # without a flexible trigger 95 % follow the trigger


def child(code, devices=None, cwd=SIMRT, no_numpy=False, env=None, stderr_empty=False,
          with_stderr=False):
    """Runs code in a new process (a new virtual bus); the JSON it prints after RESULT
    (and its standard error with with_stderr). cwd=None runs it in a scratch directory
    that still finds the USB3 bridges."""
    env = dict(os.environ, **(env or {}))
    if devices is not None:
        env["KESTREL_SIM_DEVICES"] = devices
    env["PYTHONPATH"] = os.path.join(REPO, "python")
    prologue = "import sys\nsys.modules['numpy'] = None\n" if no_numpy else ""
    with tempfile.TemporaryDirectory() as scratch:
        if cwd is None:
            cwd = scratch
            os.symlink(os.path.join(SIMRT, "libftd3xx.so"), os.path.join(scratch, "libftd3xx.so"))
        p = subprocess.run([sys.executable, "-c", prologue + textwrap.dedent(code)], cwd=cwd,
                           env=env, capture_output=True, text=True, timeout=600)
    assert p.returncode == 0, p.stdout + p.stderr
    if stderr_empty:
        assert p.stderr == "", p.stderr
    lines = [l for l in p.stdout.splitlines() if l.startswith("RESULT ")]
    assert lines, p.stdout + p.stderr
    result = json.loads(lines[-1][len("RESULT "):])
    return (result, p.stderr) if with_stderr else result


def pairs(tr):
    return [(int(s), int(v)) for s, v in tr]


def check_signal(tr, samples):
    """Transitions in order, inside the capture, alternating levels."""
    assert len(tr) > 0
    s = [x for x, _ in tr]
    v = [x for _, x in tr]
    assert s == sorted(set(s))
    assert 0 <= s[0] and s[-1] <= samples
    assert all(a != b for a, b in zip(v, v[1:])), "levels do not alternate"
    assert set(v) <= {0, 1}


def check_counter(cap, first_channel=0):
    for bit in range(8):
        tr = pairs(cap.transitions(first_channel + bit))
        check_signal(tr, cap.samples)
        assert tr[0][0] == 0  # the level at sample 0 comes first
        gaps = {b - a for (a, _), (b, _) in zip(tr[1:], tr[2:])}
        assert gaps == {8 << bit}, f"channel {first_channel + bit}: gaps {sorted(gaps)[:5]}"


@pytest.fixture(scope="module")
def dev():
    with kestrel.open(model="one") as d:
        yield d


# Records and names ------------------------------------------------------------------

def test_records_match_the_header():
    header = open(os.path.join(REPO, "include", "kestrelapi.h")).read()
    assert ctypes.sizeof(_lib.Settings) == 556
    assert ctypes.sizeof(_lib.TriggerDescription) == 8
    assert ctypes.sizeof(_lib.Transition) == 12
    records = {"kestrelapi_settings_t": _lib.Settings,
               "kestrelapi_trigger_description_t": _lib.TriggerDescription,
               "kestrelapi_trs_t": _lib.Transition}
    checked = 0
    for rec, field, off in re.findall(r"offsetof\((\w+), (\w+)\) == (\d+)", header):
        assert getattr(records[rec], field).offset == int(off), f"{rec}.{field}"
        checked += 1
    assert checked >= 17
    for rec, size in re.findall(r"sizeof\((\w+)\) == (\d+)", header):
        assert ctypes.sizeof(records[rec]) == int(size)


def test_error_names_cover_the_header():
    header = open(os.path.join(REPO, "include", "kestrelapi.h")).read()
    body = header[header.index("OHWAPI_OK = 0"):header.index("} ohwapi_err_code_t")]
    values = {}
    for name, expr in re.findall(r"(OHWAPI_\w+) = ([^,]+),", body):
        values[name] = eval(expr.split("/*")[0], {}, dict(values))
    for name, value in values.items():
        if name.endswith("_ERRORS"):
            continue
        assert _lib.ERROR_NAMES[value] == name
        assert kestrel.error_name(value)
    if _lib.library().late("kestrelapi_error_name"):
        # The library names the control link's and the bridges' codes itself.
        assert kestrel.error_name(1993) == "LIBUSB_ERROR_TIMEOUT"
        assert kestrel.error_name(3002) == "FT_DEVICE_NOT_FOUND"
    e = kestrel.KestrelError(1007, "capture")
    assert (e.code, e.name) == (1007, kestrel.error_name(1007))
    assert "1007" in str(e) and "capture" in str(e)


def test_library_lookup_prefers_KESTREL_LIB(monkeypatch):
    monkeypatch.setenv("KESTREL_LIB", "/nowhere/libkestrel_api.so.1")
    assert _lib.candidates() == ["/nowhere/libkestrel_api.so.1"]
    monkeypatch.delenv("KESTREL_LIB")
    c = _lib.candidates()
    assert c[0] == os.path.join(REPO, "python", "kestrel", "..", "..", "build", "src",
                                "libkestrel_api.so.1")
    assert c[-1] == "libkestrel_api.so.1"


def test_trigger_specifications():
    t = ktrigger.simple("rising:3")
    assert (t.type, t.channel) == (1, 3)
    assert (ktrigger.simple("change").type, ktrigger.simple("change").channel) == (3, -1)
    assert ktrigger.simple(("falling", 17)).channel == 17
    assert ktrigger.simple("ext-rising").type == 31
    assert ktrigger.simple(None).type == 99
    for bad in ("rising", "sideways:2", "falling:300"):
        with pytest.raises(ValueError):
            ktrigger.simple(bad)


# Listing and opening ----------------------------------------------------------------

def test_devices_on_the_bus():
    assert kestrel.devices() == [kestrel.DeviceInfo("7302101000001", "KESTREL ONE",
                                                    kestrel.Model.ONE)]
    two = child("""
        import json, kestrel
        print("RESULT", json.dumps([(d.serial, d.model.name) for d in kestrel.devices()]))
    """, devices="7302101000001,7302103000007")
    assert sorted(map(tuple, two)) == [("7302101000001", "ONE"), ("7302103000007", "THREE")]
    assert child("""
        import json, kestrel
        print("RESULT", json.dumps(kestrel.devices()))
    """, devices="") == []


def test_open_and_refusals(dev):
    assert dev.serial == "7302101000001" and dev.channels == 18
    v = dev.versions
    assert v["mcu"] != (0, 0) and v["fpga"] != (0, 0)
    with pytest.raises(kestrel.KestrelError) as e:
        kestrel.open(model="three")
    assert e.value.code == 1003 and e.value.name == kestrel.error_name(1003)
    with pytest.raises(kestrel.KestrelError) as e:
        kestrel.open(serial="1234567")
    assert e.value.code == 1004
    with pytest.raises(ValueError):
        kestrel.open(model="four")


def test_closed_device_refuses_work():
    got = child("""
        import json, kestrel
        d = kestrel.open(serial="7302101000001")
        d.close()
        d.close()
        try:
            d.capture()
            refused = False
        except ValueError:
            refused = True
        with kestrel.open() as again:  # free again for the next one
            print("RESULT", json.dumps([refused, again.model.name, again.capture().samples]))
    """)
    assert got == [True, "ONE", 100_000]


# Captures ---------------------------------------------------------------------------

def test_capture_without_trigger(dev):
    cap = dev.capture(rate=RATE, depth=DEPTH)
    assert (cap.samples, cap.trigger_position) == (DEPTH, TRIGGER_AT)
    assert cap.post_trigger >= DEPTH - TRIGGER_AT
    check_counter(cap)
    for ch in range(8, 18):
        check_signal(pairs(cap.transitions(ch)), cap.samples)
    # Square waves of different periods on 9..16.
    counts = [len(cap.transitions(ch)) for ch in range(9, 17)]
    assert counts == sorted(counts, reverse=True) and counts[0] > counts[-1]
    tr = pairs(cap.transitions(4))
    s, v = tr[10]
    assert cap.level(4, s) == v and cap.level(4, s - 1) == 1 - v


@pytest.mark.parametrize("trigger, channel, after", [
    ("rising:3", 3, 1), ("falling:5", 5, 0), ("rising:6", 6, 1)])
def test_edge_triggers(dev, trigger, channel, after):
    cap = dev.capture(rate=RATE, depth=DEPTH, trigger=trigger)
    p = cap.trigger_position
    assert p == TRIGGER_AT
    assert (p, after) in pairs(cap.transitions(channel))
    assert cap.level(channel, p - 1) == 1 - after


def test_change_and_external_triggers(dev):
    cap = dev.capture(rate=RATE, depth=DEPTH, trigger="change")
    p = cap.trigger_position
    assert any(p in [s for s, _ in pairs(cap.transitions(ch))] for ch in range(18))
    cap = dev.capture(rate=RATE, depth=DEPTH, trigger="change:0", trigger_b="change:1")
    assert cap.samples == DEPTH
    for ext in ("ext_rising", "ext_falling"):
        cap = dev.capture(rate=RATE, depth=DEPTH, trigger=ext)
        assert (cap.samples, cap.trigger_position) == (DEPTH, TRIGGER_AT)
        check_counter(cap)


def test_trigger_programs(dev):
    # Default signals: 9..16 square waves of growing periods.
    cap = dev.capture(rate=RATE, depth=DEPTH, trigger="ch9 rise & ch10 high", pre_trigger=1000)
    p = cap.trigger_position
    assert p == 1000 and cap.samples == DEPTH
    assert (p, 1) in pairs(cap.transitions(9)) and cap.level(10, p) == 1
    cap = dev.capture(rate=RATE, depth=DEPTH, trigger="rising:9", trigger_b="ch11 fall",
                      order="a-then-b", pre_trigger=0.25)
    p = cap.trigger_position
    assert p == DEPTH // 4 and (p, 0) in pairs(cap.transitions(11))
    assert any(s < p for s, v in pairs(cap.transitions(9)) if v == 1)
    cap = dev.capture(rate=RATE, depth=DEPTH, trigger="ch10 pulse high >10ns")
    assert (cap.trigger_position, 0) in pairs(cap.transitions(10))

    text = dev.explain_trigger("ch3 rise; ch4 fall within 10us", trigger_b=None)
    assert "trigger clock: 125000000 Hz" in text and "within 1250 ticks (10 us)" in text
    assert "engine B: no trigger program" in text
    with pytest.raises(kestrel.KestrelError) as e:
        dev.capture(trigger="ch3 rise & ch4 fall")
    assert e.value.code == 1006
    assert "column 12 ('ch'): a step waits for one edge" in str(e.value)
    assert e.value.reason.startswith("column 12")
    for bad in (dict(order="sideways"), dict(pre_trigger=DEPTH), dict(pre_trigger=1.5),
                dict(trigger="ext_rising", pre_trigger=10)):
        with pytest.raises(ValueError):
            dev.capture(depth=DEPTH, **bad)


def test_refused_captures(dev):
    cases = [(dict(trigger="rising:18"), 1006), (dict(trigger="change:-2"), 1006),
             (dict(trigger="ext_rising", trigger_b="rising:1"), 1005)]
    for kw, code in cases:
        with pytest.raises(kestrel.KestrelError) as e:
            dev.capture(**kw)
        assert e.value.code == code, kw
    # Out of range: refused by the package before the library sees them.
    for kw in (dict(rate=0), dict(depth=0), dict(rate=1_500_000_000)):
        with pytest.raises(ValueError):
            dev.capture(**kw)
    # The device still captures afterwards.
    assert dev.capture(depth=10_000).samples == 10_000


def test_channels_and_superseded_captures(dev):
    cap = dev.capture(depth=20_000)
    with pytest.raises(ValueError):
        cap.transitions(18)
    with pytest.raises(ValueError):
        cap.transitions(300)
    kept = pairs(cap.transitions(2))
    later = dev.capture(depth=30_000)
    assert pairs(cap.transitions(2)) == kept
    assert len(cap.transitions(3)) > 1  # not read before the next capture, and still there
    assert later.samples == 30_000


def test_numpy_and_lists(dev):
    cap = dev.capture(depth=20_000)
    tr = cap.transitions(1)
    if kcapture._np is not None:
        assert tr.dtype.names == ("sample", "level")
        assert (tr["sample"][2:] - tr["sample"][1:-1] == 16).all()
    got = child("""
        import json, kestrel
        with kestrel.open() as dev:
            tr = dev.capture(depth=20_000).transitions(1)
            print("RESULT", json.dumps([type(tr).__name__, type(tr[0]).__name__,
                                        [b[0] - a[0] for a, b in zip(tr[1:], tr[2:])][:50]]))
    """, no_numpy=True)
    assert got[:2] == ["list", "tuple"] and set(got[2]) == {16}


def test_quiet_channels_and_levels(dev):
    cap = dev.capture(depth=2_000)
    # The slowest square waves do not change within 8 us: one pair, their level.
    quiet = [ch for ch in range(9, 18) if len(cap.transitions(ch)) == 1]
    assert quiet
    for ch in quiet:
        [(s, v)] = pairs(cap.transitions(ch))
        assert s == 0 and cap.level(ch, 0) == v == cap.level(ch, cap.samples - 1)
    # level() of a channel not read yet asks the library; it agrees with the pairs.
    fresh = dev.capture(depth=20_000)
    asked = [fresh.level(3, s) for s in range(0, 20_000, 97)]
    tr = pairs(fresh.transitions(3))
    starts = [s for s, _ in tr]
    assert asked == [tr[bisect.bisect_right(starts, s) - 1][1] for s in range(0, 20_000, 97)]
    with pytest.raises(kestrel.KestrelError) as e:
        fresh.level(18, 0)
    assert e.value.code == 1006
    with pytest.raises(IndexError):
        fresh.level(3, 20_000)


def test_three_groups():
    got = child("""
        import json, kestrel
        with kestrel.open(serial="7302103000007") as dev:
            cap = dev.capture(depth=50_000, trigger="rising:2")
            out = {"channels": dev.channels, "model": dev.model.name,
                   "trigger": cap.trigger_position,
                   "gaps": [sorted({int(b[0] - a[0]) for a, b in zip(t[1:], t[2:])})
                            for t in (cap.transitions(g * 18 + bit)
                                      for g in range(3) for bit in range(8))]}
            try:
                cap.transitions(54)
            except ValueError as e:
                out["beyond"] = str(e)
            print("RESULT", json.dumps(out))
    """, devices="7302103000007")
    assert (got["channels"], got["model"], got["trigger"]) == (54, "THREE", 2500)
    # Each group counts on its own: group g steps every (g + 1) * 32 ns.
    assert got["gaps"] == [[(8 * (g + 1)) << bit] for g in range(3) for bit in range(8)]
    assert got["beyond"] == "channel 54 is outside 0..53"


# Export -----------------------------------------------------------------------------

def needs_export():
    if not kestrel.has_export("vcd"):
        pytest.skip(f"{kestrel.library_path()} has no kestrelapi_export_vcd yet")


def test_export_formats(dev, tmp_path):
    needs_export()
    cap = dev.capture(depth=20_000, trigger="rising:3")
    tr = pairs(cap.transitions(3))
    inside = [(s, v) for s, v in tr if 0 < s < cap.samples]

    vcd = tmp_path / "all.vcd"
    cap.export(str(vcd))
    text = vcd.read_text()
    assert len(re.findall(r"^\$var wire 1 ", text, re.M)) == 18
    some = tmp_path / "some.vcd"
    cap.export(some, channels=[0, 3])
    text = some.read_text()
    wires = dict((name, ident) for ident, name in
                 re.findall(r"^\$var wire 1 (\S+) (\S+) \$end", text, re.M))
    assert sorted(wires) == ["ch0", "ch3"]
    # Value changes of channel 3 after the dump of the initial values, in samples.
    ns = 1e9 / cap.rate
    changes, t = [], 0
    for line in text[text.index("$end", text.index("$dumpvars")):].splitlines():
        if line.startswith("#"):
            t = int(line[1:])
        elif line[1:] == wires["ch3"] and line[0] in "01":
            changes.append((round(t / ns), int(line[0])))
    assert [c for c in changes if c[0] < cap.samples] == inside

    csv = tmp_path / "x.csv"
    cap.export(csv, channels=[3])
    rows = [l.split(",") for l in csv.read_text().splitlines()]
    assert rows[0] == ["sample", "time", "channel", "level"]
    ch3 = [(int(r[0]), int(r[3])) for r in rows[1:] if r[2] == "ch3"]
    assert ch3[0][0] == 0 and [c for c in ch3[1:] if c[0] < cap.samples] == inside
    assert [int(r[0]) for r in rows if r[2] == "trigger"] == [cap.trigger_position]

    sr = tmp_path / "x.sr"
    cap.export(sr, channels=[3])
    with zipfile.ZipFile(sr) as z:
        assert "metadata" in z.namelist()
        data = z.read("logic-1-1")
    assert len(data) == cap.samples  # one byte per sample for one channel
    for s, v in inside:
        assert (data[s] & 1, data[s - 1] & 1) == (v, 1 - v)

    dev.name_channel(3, "clock out")  # names go with the captures taken from then on
    dev.capture(depth=10_000).export(tmp_path / "named.vcd", channels=[3])
    assert re.search(r"^\$var wire 1 \S+ clock_out \$end", (tmp_path / "named.vcd").read_text(),
                     re.M)
    with pytest.raises(ValueError):
        dev.name_channel(18, "beyond")
    dev.name_channel(3, None)

    same = tmp_path / "x.data"
    cap.export(same, channels=[0, 3], format="vcd")
    strip = lambda x: re.sub(r"^\$date.*$", "", x, flags=re.M)
    assert strip(same.read_text()) == strip(text)


def test_export_refusals(dev, tmp_path):
    needs_export()
    cap = dev.capture(depth=10_000)
    with pytest.raises(FileNotFoundError) as e:
        cap.export(tmp_path / "missing" / "x.vcd")
    assert e.value.errno == errno.ENOENT and e.value.filename == str(tmp_path / "missing" / "x.vcd")
    with pytest.raises(ValueError):
        cap.export(tmp_path / "x.vcd", channels=[18])
    with pytest.raises(ValueError):
        cap.export(tmp_path / "x.wav")
    with pytest.raises(ValueError):
        cap.export(tmp_path / "x.vcd", channels=[])


# README -----------------------------------------------------------------------------

def test_readme_example(tmp_path):
    needs_export()
    readme = open(os.path.join(REPO, "README.md")).read()
    section = readme[readme.index("## Python"):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    # Run as written, in a directory of its own that still finds the USB3 bridges.
    os.symlink(os.path.join(SIMRT, "libftd3xx.so"), tmp_path / "libftd3xx.so")
    env = dict(os.environ, PYTHONPATH=os.path.join(REPO, "python"))
    p = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env,
                       capture_output=True, text=True, timeout=600)
    assert p.returncode == 0, p.stdout + p.stderr
    assert "$enddefinitions" in (tmp_path / "x.vcd").read_text()
    assert "trigger at 5000" in p.stdout


# Diagnostics, refusals, versions ----------------------------------------------------

def test_library_lines_go_to_the_kestrel_logger_not_to_standard_output(dev, caplog, capfd):
    if not _lib.library().late("kestrelapi_set_log_callback"):
        pytest.skip("library without kestrelapi_set_log_callback")
    capfd.readouterr()
    with caplog.at_level(logging.DEBUG, logger="kestrel"):
        dev.capture(depth=20_000)
    done = [r for r in caplog.records if r.getMessage().startswith("Capture done")]
    assert done and done[0].name == "kestrel" and done[0].levelno == logging.INFO
    assert any(r.levelno == logging.DEBUG for r in caplog.records)
    assert "Capture done" not in capfd.readouterr().out


def test_out_of_range_inputs_are_refused_by_name_and_range(dev):
    refused = [
        (dict(rate=5_000_000_000), "rate=5000000000 is outside 1..1000000000 Hz"),
        (dict(rate=0), "rate=0 is outside 1..1000000000 Hz"),
        (dict(depth=1), "depth=1 is outside 2..1000000000000 samples"),
        (dict(depth=10**13), "depth=10000000000000 is outside 2..1000000000000 samples"),
        (dict(threshold_mv=3500), "threshold_mv=3500 is outside 0..3000 mV"),
        (dict(vcc_mv=1000), "vcc_mv=1000 is outside 1800..3300 mV (or 0)"),
    ]
    for kwargs, text in refused:
        with pytest.raises(ValueError) as e:
            dev.capture(**kwargs)
        assert str(e.value) == text
    cap = dev.capture(depth=2)
    assert cap.samples == 2
    with pytest.raises(ValueError, match=r"channel 18 is outside 0\.\.17"):
        cap.transitions(18)
    with pytest.raises(ValueError, match=r"channel 18 is outside 0\.\.17"):
        dev.name_channel(18, "x")


def test_a_failed_export_says_why(dev, tmp_path):
    needs_export()
    cap = dev.capture(depth=20_000)
    (tmp_path / "d.vcd").mkdir()
    with pytest.raises(OSError) as e:
        cap.export(tmp_path / "d.vcd")
    assert e.value.errno == errno.EISDIR and not isinstance(e.value, kestrel.KestrelError)
    assert str(e.value) == f"[Errno {errno.EISDIR}] Is a directory: '{tmp_path / 'd.vcd'}'"
    with pytest.raises(OSError, match="No such file or directory"):
        cap.export(tmp_path / "missing" / "x.csv")


def test_a_full_disk_is_an_os_error_with_its_errno_and_nothing_on_standard_error():
    # A file size limit fails the writes as a full disk does (EFBIG instead of ENOSPC).
    got = child("""
        import json, os, resource, signal, kestrel
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        with kestrel.open() as dev:
            cap = dev.capture(depth=1_000_000)
            resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, resource.RLIM_INFINITY))
            try:
                cap.export("big.vcd")
                out = None
            except OSError as e:
                out = [type(e).__name__, e.errno, e.strerror, e.filename,
                       isinstance(e, kestrel.KestrelError)]
        print("RESULT", json.dumps(out))
    """, cwd=None, stderr_empty=True)
    assert got == ["OSError", errno.EFBIG, os.strerror(errno.EFBIG), "big.vcd", False]


def test_versions():
    assert re.fullmatch(r"\d+\.\d+\.\d+", kestrel.__version__)
    if _lib.library().late("kestrelapi_get_library_version"):
        assert ".".join(map(str, kestrel.library_version())) == kestrel.__version__
    pyproject = open(os.path.join(REPO, "python", "pyproject.toml")).read()
    assert 'version = {attr = "kestrel.__version__"}' in pyproject


def test_a_missing_numpy_is_a_warning():
    got = child("""
        import json, warnings, kestrel
        with warnings.catch_warnings(record=True) as w:
            warnings.simplefilter("always")
            with kestrel.open() as dev:
                cap = dev.capture(depth=20_000)
                cap.transitions(1)
                cap.transitions(2)
        print("RESULT", json.dumps([str(x.message) for x in w]))
    """, no_numpy=True)
    assert len(got) == 1 and "numpy is not importable" in got[0], got


def test_two_devices_are_refused_with_the_reason():
    got = child("""
        import json, kestrel
        try:
            kestrel.open(serial="7302103000007")
            out = None
        except kestrel.KestrelError as e:
            out = [e.code, e.reason]
        print("RESULT", json.dumps(out))
    """, devices="7302101000001,7302103000007")
    assert got[0] == 1001 and "USB3 bridges 730210100001 on the bus" in got[1], got


# Interrupts, names, arrays of samples, times ----------------------------------------

def test_ctrl_c_while_waiting_aborts_the_capture_and_the_device_is_ready():
    # Channel 0 held low: "ch0 rise" never comes. Ctrl-C arrives once the device waits.
    got = child("""
        import json, os, signal, threading, time, kestrel
        out = {}

        def interrupt_when_armed(dev):
            h = dev._h()
            end = time.monotonic() + 60
            while not h.flag("get_config_done_flag") and time.monotonic() < end:
                time.sleep(0.01)
            os.kill(os.getpid(), signal.SIGINT)

        dev = kestrel.open()
        threading.Thread(target=interrupt_when_armed, args=(dev,)).start()
        try:
            dev.capture(depth=20_000, trigger="ch0 rise", timeout=120)
        except KeyboardInterrupt:
            out["interrupted"] = True
            out["ready"] = dev._h().flag("get_ready_flag")
        # The next capture runs at once instead of finding the device armed.
        out["next"] = dev.capture(depth=20_000, timeout=30).samples
        dev.close()

        # The same inside a with block: leaving it by the exception leaves nothing running.
        try:
            with kestrel.open() as again:
                threading.Thread(target=interrupt_when_armed, args=(again,)).start()
                again.capture(depth=20_000, trigger="ch0 rise", timeout=120)
        except KeyboardInterrupt:
            out["with"] = True
        with kestrel.open() as third:
            out["after_with"] = third.capture(depth=20_000, timeout=30).samples
        print("RESULT", json.dumps(out))
    """, env={"KESTREL_SIM_SIGNALS": "0=0"})
    assert got == {"interrupted": True, "ready": True, "next": 20_000, "with": True,
                   "after_with": 20_000}


def test_channels_by_name_levels_of_many_samples_and_seconds(dev):
    dev.name_channel(3, "clk")
    try:
        cap = dev.capture(depth=20_000, trigger="ch3 rise", pre_trigger=1000)
        assert pairs(cap.transitions("clk")) == pairs(cap.transitions(3))
        assert pairs(cap.transitions("ch4")) == pairs(cap.transitions(4))
        with pytest.raises(ValueError, match="no channel named 'clock': named are 'clk' \\(3\\)"):
            cap.transitions("clock")
        with pytest.raises(ValueError):
            cap.transitions("ch3")  # renamed: "ch3" is no longer its name
        # Many samples at once agree with one at a time.
        samples = list(range(0, 20_000, 7))
        many = cap.level("clk", samples)
        assert [int(x) for x in many] == [cap.level(3, s) for s in samples]
        if kcapture._np is not None:
            assert (cap.level(3, kcapture._np.array(samples)) == many).all()
        with pytest.raises(IndexError):
            cap.level(3, [0, 20_000])
        # Seconds from the trigger, one or many.
        assert cap.seconds(1000) == 0 and cap.seconds(1250) == 250 / cap.rate
        tr = cap.transitions("clk")
        times = cap.seconds(tr["sample"] if kcapture._np is not None else [s for s, _ in tr])
        assert list(times)[:2] == [-1000 / cap.rate, (int(tr[1][0]) - 1000) / cap.rate]
    finally:
        dev.name_channel(3, None)


def test_the_package_documents_itself(dev):
    assert "CaptureTimeout" in kestrel.__all__ and issubclass(kestrel.CaptureTimeout, TimeoutError)
    for name in ("rate", "depth", "samples", "post_trigger", "trigger_position", "channels",
                 "device"):
        assert getattr(kestrel.Capture, name).__doc__, name
    import pydoc
    text = pydoc.render_doc(kestrel.Capture, renderer=pydoc.plaintext)
    assert re.search(r"trigger_position\n[ |]*Sample of the trigger", text)
    assert "CaptureTimeout" in pydoc.render_doc(kestrel, renderer=pydoc.plaintext)
    text = dev.explain_trigger("ch3 rise", trigger_b="ch4 fall", order="a_then_b")
    assert text.endswith("order: a-then-b\n")


def test_csv_in_columns_for_sigrok(dev, tmp_path):
    needs_export()
    dev.name_channel(5, "rx")
    try:
        cap = dev.capture(rate=10_000_000, depth=20_000)
        cap.export(tmp_path / "c.csv", channels=[0, "rx"], csv_layout="columns")
    finally:
        dev.name_channel(5, None)
    lines = (tmp_path / "c.csv").read_text().splitlines()
    assert lines[1] == "; samplerate=10000000" and lines[3] == "sample,time,ch0,rx"
    rows = [l.split(",") for l in lines[4:]]
    assert [int(r[0]) for r in rows] == sorted({0} | {int(s) for s, _ in pairs(cap.transitions(0))[1:]}
                                               | {int(s) for s, _ in pairs(cap.transitions(5))[1:]})
    for r in rows[::50]:
        assert (int(r[2]), int(r[3])) == (cap.level(0, int(r[0])), cap.level(5, int(r[0])))
    with pytest.raises(ValueError):
        cap.export(tmp_path / "x.csv", csv_layout="rows")


@pytest.mark.parametrize("signals, reason", [
    ("3=hihg", "kestrel_sim: KESTREL_SIM_SIGNALS: signal description, line 1, '3=hihg': "
               "unknown signal 'hihg' (clock, counter, uart, spi, i2c, can, 0, 1, low or high)"),
    ("40=1", "kestrel_sim: KESTREL_SIM_SIGNALS: channel 40: the plugged devices have "
             "channels 0..17")])
def test_a_mistake_in_the_virtual_devices_signals_is_an_exception_at_open(signals, reason):
    # The virtual device never ends the interpreter: the open fails, the reason is on
    # standard error, and the program goes on.
    got, err = child("""
        import json, kestrel
        out = []
        for _ in range(2):
            try:
                kestrel.open()
                out.append("opened")
            except kestrel.KestrelError as e:
                out.append(e.name)
        print("RESULT", json.dumps(out))
    """, env={"KESTREL_SIM_SIGNALS": signals}, with_stderr=True)
    assert got == ["LIBUSB_ERROR_INVALID_PARAM"] * 2
    assert err.splitlines() == [reason]


# Captures of their own -----------------------------------------------------------------

def test_a_capture_outlives_later_captures(dev, tmp_path):
    dev.name_channel(1, "clk")
    first = dev.capture(depth=50_000)
    dev.name_channel(1, None)
    whole = pairs(first.transitions(0))
    later = dev.capture(depth=30_000)
    assert later.samples == 30_000
    # Not read before the later capture, and still there; the name went with it.
    assert pairs(first.transitions(0)) == whole
    assert pairs(first.transitions("clk")) == pairs(first.transitions(1))
    assert first.level("clk", 100) in (0, 1)
    first.export(tmp_path / "first.csv", channels=["clk", 0])
    assert ",clk," in (tmp_path / "first.csv").read_text()
    with pytest.raises(ValueError):
        later.transitions("clk")  # named after `first` only
    with later:
        assert len(later.transitions(2)) >= 1
    with pytest.raises(ValueError):
        later.transitions(2)  # closed by the with block
    first.close()
    first.close()  # a second close does nothing
    with pytest.raises(ValueError):
        first.level(0, 0)


def test_a_capture_outlives_its_device():
    got = child("""
        import json, kestrel
        with kestrel.open() as d:
            cap = d.capture(depth=20_000)
            before = [[int(s), int(v)] for s, v in cap.transitions(0)]
        after = [[int(s), int(v)] for s, v in cap.transitions(0)]
        print("RESULT", json.dumps([before == after, len(after) > 10, cap.level(0, 19_999)]))
        cap.close()
    """)
    assert got[:2] == [True, True] and got[2] in (0, 1)


def test_windows_read_only_what_they_ask_for(dev):
    cap = dev.capture(depth=200_000)
    whole = pairs(cap.transitions(3))
    for start, stop in ((0, None), (0, 1000), (12_345, 50_000), (199_990, None),
                        (whole[5][0], whole[9][0]), (150_000, 150_000)):
        got = pairs(cap.transitions(3, start, stop))
        inside = [(s, v) for s, v in whole if start <= s and (stop is None or s < stop)]
        if 0 < start < cap.samples and (stop is None or start < stop) and \
                (not inside or inside[0][0] != start):
            inside.insert(0, (start, cap.level(3, start)))
        assert got == inside, (start, stop)
    with pytest.raises(ValueError):
        cap.transitions(3, 10, 5)


def test_a_capture_over_the_store_budget_reads_the_same(dev, tmp_path):
    plain = dev.capture(depth=300_000)
    dev.set_store_budget(64 << 10, tmp_path)
    try:
        spilled = dev.capture(depth=300_000)
        assert os.listdir(tmp_path) == []  # the store's file has no name
        for ch in (0, 5, 17):
            assert pairs(spilled.transitions(ch)) == pairs(plain.transitions(ch))
            assert pairs(spilled.transitions(ch, 123_456, 200_000)) == \
                pairs(plain.transitions(ch, 123_456, 200_000))
        with pytest.raises(kestrel.KestrelError) as e:
            dev.set_store_budget(1 << 20, tmp_path / "missing")
        assert "No such file or directory" in str(e.value)
    finally:
        dev.set_store_budget(0, tmp_path)
