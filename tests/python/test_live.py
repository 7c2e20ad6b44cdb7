# The guided capture from Python against tiltfit --live, and one number rule for every reader.
import json
import os
import re
import subprocess
from pathlib import Path

import numpy as np
import pytest

import tiltfit

DATA = Path(__file__).resolve().parents[2] / "data"
# A bench session in the order the tool asks for, rests held long enough at 10000 lines a second,
# then the device turning about (the generator's options, as tiltfit_gen takes them).
SESSION = ["--seed", "23", "--order", "zd,zu,xd,xu,yd,yu", "--rest", "7000", "--transition",
           "500", "--extra", "7", "--motion", "30000", "--motion-speed", "0.05",
           "--offset", "0.02,-0.03,0.04",
           "--gain", "1.015,0.003,-0.005,0.004,0.99,0.006,-0.004,0.003,1.008"]


def tools():
    names = ("TILTFIT_EXE", "TILTFIT_PACER", "TILTFIT_GEN")
    if not all(os.environ.get(n) for n in names):
        pytest.skip("the tiltfit, tiltfit_pace and tiltfit_gen executables are not given")
    return [os.environ[n] for n in names]


def by_kind(events, kind):
    out = [e for e in events if e.startswith(kind) and not e.endswith(" captured")]
    return sorted(e for e in events if e.endswith(" captured")) if kind == "captured" else out


def without_durations(text):
    return re.sub(r" \([0-9.]+ s\)", " (T s)", text)


def test_a_paced_session_gives_the_events_and_result_of_the_command_line(tmp_path):
    exe, pacer, gen = tools()
    session = tmp_path / "session.csv"
    subprocess.run([gen, *SESSION, "-o", str(session)], check=True)
    saved, stamps = tmp_path / "saved.csv", tmp_path / "stamps"
    command = f"'{pacer}' '{session}' 10000 --stamp '{stamps}' | '{exe}' --live - --json --save '{saved}'"
    cli = subprocess.run(["/bin/sh", "-c", command], capture_output=True, text=True)
    assert cli.returncode == 0, cli.stderr
    expected = []
    for line in cli.stderr.splitlines():
        if line.startswith("tiltfit: live: "):
            e = line[len("tiltfit: live: "):]
            if not e.startswith(("reading ", "capture ended: ")):
                expected.append(without_durations(e))

    lines = saved.read_text().splitlines()
    at = [float(t) for t in stamps.read_text().split()]
    s = tiltfit.LiveSession()
    got, k = [], 0
    while k < len(lines) and not s.stopped:
        t, burst = at[k], []
        while k < len(lines) and at[k] - t < 1e-3:
            burst.append(lines[k])
            k += 1
        got += [without_durations(e["text"]) for e in s.feed_lines(burst, now=t - at[0])
                if e["kind"] != "stop"]
    assert s.stopped and s.stop_reason.startswith("the held-out error is ")
    # Held orientations count when the reader sees them held: compared as a set, the rest in order.
    for kind in ("columns ", "next: ", "still stretch ", "captured"):
        assert by_kind(got, kind) == by_kind(expected, kind), kind
    result = s.result()
    report = json.loads(cli.stdout)
    assert result["calibration"]["gain_matrix"] == report["calibration"]["gain_matrix"]
    assert result["calibration"]["offset"] == report["calibration"]["offset"]


def test_events_come_back_from_every_feed(tmp_path):
    text = (DATA / "sample_recording.csv").read_text()
    s = tiltfit.LiveSession(replay=True)
    events = s.feed(text, now=0.0) + s.finish(now=0.0)
    kinds = [e["kind"] for e in events]
    assert kinds[0] == "layout" and kinds.count("stretch") == 6
    stretch = next(e for e in events if e["kind"] == "stretch")
    assert 0 <= stretch["first_sample"] < stretch["last_sample"] < s.samples
    samples = tiltfit.read_csv(DATA / "sample_recording.csv")
    arrays = tiltfit.LiveSession(replay=True)
    again = arrays.feed_samples(samples, now=0.0) + arrays.finish(now=0.0)
    spans = lambda ev: [(e["first_sample"], e["last_sample"]) for e in ev if e["kind"] == "stretch"]
    assert spans(again) == spans(events)
    assert s.result()["calibration"] == arrays.result()["calibration"]
    with pytest.raises(TypeError):
        s.feed(12)


def test_a_field_with_a_unit_reads_as_its_number(tmp_path):
    plain = (DATA / "sample_recording.csv").read_text()
    suffixed = re.sub(r"([0-9])(,|\n)", r"\1g\2", plain)
    (tmp_path / "g.csv").write_text(suffixed)
    np.testing.assert_array_equal(tiltfit.read_csv(tmp_path / "g.csv"),
                                  tiltfit.read_csv(DATA / "sample_recording.csv"))
