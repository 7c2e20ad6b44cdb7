# DataFrames: columns chosen by the command line's header rules, and the same calibration as the
# command line. pandas is optional: these tests skip without it.
import json
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

import tiltfit

pd = pytest.importorskip("pandas")
DATA = Path(__file__).resolve().parents[2] / "data"


def cli(*args):
    exe = os.environ.get("TILTFIT_EXE")
    if not exe:
        pytest.skip("TILTFIT_EXE is not set")
    return json.loads(subprocess.run([exe, *args, "--json"], capture_output=True, text=True).stdout)


def test_a_frame_read_by_pandas_calibrates_as_the_command_line_does():
    path = DATA / "imucal_ferraris_imu.csv"
    # round_trip: pandas then reads each number as the tool does, to the last bit.
    frame = pd.read_csv(path, float_precision="round_trip")
    r = tiltfit.calibrate_auto(frame, rate=102.4)
    report = cli("--auto", str(path), "--rate", "102.4")
    assert r["calibration"]["gain_matrix"] == report["calibration"]["gain_matrix"]
    assert r["gyro"]["method"] == "moves"
    assert r["gyro"]["gain_matrix"] == report["gyro"]["gain_matrix"]
    # The accelerometer's columns come by their names, wherever they stand.
    shuffled = frame[["acc_z", "gyr_x", "acc_x", "n_samples", "gyr_z", "acc_y", "gyr_y"]]
    assert tiltfit.calibrate_auto(shuffled, rate=102.4)["gyro"]["gain_matrix"] == r["gyro"]["gain_matrix"]


def test_read_csv_returns_a_frame_of_what_the_command_line_reads():
    frame = tiltfit.read_csv(DATA / "tomisuarez_mpu6050_imu.csv", as_frame=True)
    assert list(frame.columns) == ["ax", "ay", "az", "gx", "gy", "gz"]
    assert frame.index.name == "line" and frame.index[0] == 6  # after five header lines
    assert frame.attrs["rate"] == 100.0  # its "Fs,100" line
    r = tiltfit.calibrate_auto(frame)
    report = cli("--auto", str(DATA / "tomisuarez_mpu6050_imu.csv"))
    assert r["gyro"]["gain_matrix"] == report["gyro"]["gain_matrix"]
    np.testing.assert_array_equal(tiltfit.apply(r, frame), tiltfit.apply(r, frame.to_numpy()[:, :3]))


def test_a_time_index_times_the_gyroscope():
    frame = tiltfit.read_csv(DATA / "tomisuarez_mpu6050_imu.csv", as_frame=True)
    timed = frame.reset_index(drop=True)
    timed.index = pd.to_datetime(np.arange(len(timed)) * 10, unit="ms")
    r = tiltfit.calibrate_auto(timed)
    assert r["gyro"]["time"]["rate_hz"] == pytest.approx(100.0)
    assert r["gyro"]["method"] == "moves"
