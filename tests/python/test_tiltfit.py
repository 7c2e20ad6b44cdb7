# Tests of the Python module. Run with the module on PYTHONPATH (the build's python/ folder or the
# installed one); TILTFIT_EXE, when set, names a tiltfit executable to compare results with.
import errno
import json
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

import tiltfit

DATA = Path(__file__).resolve().parents[2] / "data"
NUMBERS = (5, 50, 5e-4, 1000, 2e-3)
# tiltfit_gen --truth for the sample recording (README, "Layout").
TRUE_OFFSET = [-0.021005, 0.014397, -0.031894]


@pytest.fixture(scope="module")
def read():
    return tiltfit.read_csv(DATA / "sample_recording.csv", with_lines=True)


@pytest.fixture(scope="module")
def sample(read):
    return read[0]


@pytest.fixture(scope="module")
def result(read):
    samples, lines = read
    return tiltfit.calibrate(samples, *NUMBERS, lines=lines)


def test_the_header_line_is_left_out_and_the_lines_are_kept(read, sample):
    samples, lines = read
    assert samples.shape == (11100, 3) and samples.dtype == np.float64
    assert samples[0].tolist() == [0.613281, 0.552734, -0.547363]
    assert lines.tolist() == list(range(2, 11102))
    assert np.array_equal(tiltfit.read_csv(DATA / "sample_recording.csv"), samples)
    every = tiltfit.read_csv(DATA / "sample_recording.csv", every_line=True)
    assert every.shape == (11102, 3) and not every[0].any() and not every[-1].any()


def test_rows_are_sample_numbers_unless_lines_are_given(read, result):
    samples, lines = read
    plain = tiltfit.calibrate(samples, *NUMBERS)
    for a, b in zip(plain["orientations"], result["orientations"]):
        assert b["first_row"] == lines[a["first_row"] - 1]
        assert b["last_row"] == lines[a["last_row"] - 1]
    with pytest.raises(ValueError, match="increasing"):
        tiltfit.calibrate(samples, *NUMBERS, lines=lines[::-1].copy())
    with pytest.raises(ValueError, match="one line number per sample"):
        tiltfit.calibrate_auto(samples, lines=lines[:10])


def test_given_numbers_calibrate_the_sample_recording(sample, result):
    assert result["success"] and result["problems"] == []
    assert result["parameters"]["chosen"] == "given"
    assert result["calibration"]["method"] == "six rests"
    assert result["calibration"]["offset"] == pytest.approx(TRUE_OFFSET, abs=1e-5)
    calibrated = tiltfit.apply(result, sample)
    for o in result["orientations"]:
        # The rows are lines of the file; the samples start on line 2.
        rest = calibrated[o["first_row"] - 2 : o["last_row"] - 1]
        assert abs(np.linalg.norm(rest.mean(axis=0)) - 1) < 1e-3, o


def test_results_match_the_command_line_report(result):
    exe = os.environ.get("TILTFIT_EXE")
    if not exe:
        pytest.skip("TILTFIT_EXE is not set")
    args = [str(DATA / "sample_recording.csv"), *map(str, NUMBERS), "--json"]
    report = json.loads(subprocess.run([exe, *args], capture_output=True, check=True).stdout)
    # The same library on the same samples: the same numbers, to the last bit.
    for key in ("calibration", "parameters", "orientations", "quality", "warnings", "problems"):
        assert json.loads(json.dumps(result[key])) == report[key], key

def test_auto_calibration_detects_a_recording_in_metres_per_second_squared():
    r = tiltfit.calibrate_auto(tiltfit.read_csv(str(DATA / "imucal_ferraris.csv")))
    assert r["success"], r["problems"]
    assert r["input"]["units"] == "ms2" and r["input"]["units_per_g"] == pytest.approx(9.81)
    assert r["calibration"]["units"] == "m/s^2" and r["calibration"]["method"] == "refined"
    assert r["parameters"]["chosen"] == "auto"
    assert all(o["found"] for o in r["orientations"])


def test_a_failed_calibration_is_a_result_not_an_exception(sample):
    r = tiltfit.calibrate(sample[:3000], *NUMBERS)
    assert not r["success"] and r["problems"]
    assert r["calibration"] is None
    assert not all(o["found"] for o in r["orientations"])
    with pytest.raises(ValueError, match="did not succeed"):
        tiltfit.apply(r, sample)


@pytest.mark.parametrize("shape", [(30,), (10, 2), (10, 4), (2, 5, 3)])
def test_samples_must_be_n_by_3(shape, result):
    bad = np.zeros(shape)
    with pytest.raises(ValueError, match="N x 3"):
        tiltfit.calibrate(bad, *NUMBERS)
    with pytest.raises(ValueError, match="N x 3"):
        tiltfit.calibrate_auto(bad)
    with pytest.raises(ValueError, match="N x 3"):
        tiltfit.apply(result, bad)


def test_errors_of_the_library_become_python_exceptions(sample):
    with pytest.raises(FileNotFoundError) as missing:
        tiltfit.read_csv(DATA / "no such file.csv")
    assert missing.value.errno == errno.ENOENT
    with pytest.raises(ValueError, match="windowWidth"):
        tiltfit.calibrate(sample, 5, 50, 5e-4, 1, 2e-3)
    with pytest.raises(ValueError, match="units"):
        tiltfit.calibrate_auto(sample, units="mg")
    with pytest.raises(ValueError, match="output units"):
        tiltfit.calibrate(sample, *NUMBERS, output_units="mg")
    with pytest.raises(ValueError, match="offset"):
        tiltfit.apply({"offset": [0, 0], "gain_matrix": np.eye(3)}, sample)


def test_apply_is_the_row_form_and_the_column_form(result):
    rng = np.random.default_rng(7)
    raw = rng.normal(size=(1000, 3))
    c = result["calibration"]
    out = tiltfit.apply(result, raw)
    np.testing.assert_allclose(out, raw @ np.array(c["gain_matrix"]) + c["offset"], rtol=1e-14)
    column = c["column_form"]
    np.testing.assert_allclose(out, (np.array(column["gain"]) @ raw.T).T + column["offset"],
                               rtol=1e-14)
    # The calibration part alone, and anything numpy turns into an N x 3 float64 array.
    assert tiltfit.apply(c, raw[:2].tolist()).tolist() == out[:2].tolist()
    assert tiltfit.apply(c, raw.astype(np.float32)).shape == (1000, 3)
