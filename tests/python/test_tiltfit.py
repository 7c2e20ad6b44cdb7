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
# The sensor the sample recording was generated with (the tiltfit_gen command in README.md):
# raw = K u + o. The calibration that undoes it is calibrated = inv(K) raw - inv(K) o.
K = np.array([[1.012, 0.004, -0.006], [0.003, 0.991, 0.008], [-0.005, 0.002, 1.006]])
O = np.array([0.021, -0.014, 0.032])
TRUE_GAIN = np.linalg.inv(K)  # column form
TRUE_OFFSET = -TRUE_GAIN @ O
# 2 mg of noise over 1000-sample windows leaves every number within about 8e-5 of the truth.
TOLERANCE = 2.5e-4


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
    c = result["calibration"]
    assert c["method"] == "six rests"
    # The whole calibration is the true one: a transposed matrix would fail here.
    np.testing.assert_allclose(c["column_form"]["gain"], TRUE_GAIN, atol=TOLERANCE)
    np.testing.assert_allclose(c["offset"], TRUE_OFFSET, atol=TOLERANCE)
    # Each number's 1-sigma is of the size of its actual error, not orders away from it.
    sigma = np.array(c["uncertainty"]["gain_matrix"])
    error = np.abs(np.array(c["gain_matrix"]) - TRUE_GAIN.T)
    assert (error < 5 * sigma).all() and (sigma < 10 * TOLERANCE).all()
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
    # 1 g is the standard gravity unless told otherwise.
    assert r["input"]["units"] == "ms2" and r["input"]["units_per_g"] == pytest.approx(9.80665)
    assert r["calibration"]["gravity_ms2"] == pytest.approx(9.80665)
    assert r["calibration"]["units"] == "m/s^2" and r["calibration"]["method"] == "refined"
    assert r["parameters"]["chosen"] == "auto"
    assert all(o["found"] for o in r["orientations"])


def test_auto_calibration_reports_its_method_uncertainty_and_stretches(sample):
    auto = tiltfit.calibrate_auto(sample)
    assert auto["success"] and auto["calibration"]["method"] == "refined"
    np.testing.assert_allclose(auto["calibration"]["column_form"]["gain"], TRUE_GAIN,
                               atol=TOLERANCE)
    assert 0 < auto["quality"]["expected_error_mg"] < 0.3
    # Every rest of the sample is a still stretch, used by the fit in full.
    used = [s for s in auto["stretches"] if s["weight"] > 0.5]
    assert len(used) == 6 and all(s["in_quality"] for s in used)
    alone = tiltfit.calibrate_auto(sample, method="stretches")
    assert alone["calibration"]["method"] == "stretches" and alone["parameters"] is None
    # The stretches alone keep the sensor's axes: a symmetric matrix.
    g = np.array(alone["calibration"]["gain_matrix"])
    np.testing.assert_allclose(g, g.T, atol=1e-12)
    with pytest.raises(ValueError, match="method"):
        tiltfit.calibrate_auto(sample, method="best")


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


def test_noise_gives_the_command_lines_figures():
    path = DATA / "tomisuarez_mpu6050_static.csv"
    r = tiltfit.noise(path, gyro_units=131)
    assert r["success"]
    exe = os.environ.get("TILTFIT_EXE")
    if exe:
        report = json.loads(subprocess.run([exe, "--noise", str(path), "--gyro-units", "131",
                                            "--json"], capture_output=True, text=True).stdout)
        assert r["noise"]["accelerometer"] == report["noise"]["accelerometer"]
        assert r["noise"]["gyroscope"]["x"] == report["noise"]["gyroscope"]["x"]
    # 131 counts per deg/s against deg/s: the same figures, scaled by the unit.
    counts = tiltfit.noise(path)["noise"]["gyroscope"]["x"]["white_noise_density"]["value"]
    rad = r["noise"]["gyroscope"]["x"]["white_noise_density"]["value"]
    assert rad == pytest.approx(counts / 131 * np.pi / 180, rel=1e-9)
    with pytest.raises(ValueError):
        tiltfit.noise(path, gyro_units="furlongs")
    with pytest.raises(FileNotFoundError):
        tiltfit.noise(DATA / "no_such_file.csv")
