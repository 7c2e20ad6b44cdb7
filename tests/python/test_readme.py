# The README's Python examples with pandas, run as they stand from the repository's root: what
# they compute is what the command line gives for the same file.
import json
import os
import re
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
pytest.importorskip("pandas")


def pandas_blocks():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return [b for b in re.findall(r"^```python\n(.*?)^```$", text, re.S | re.M) if "pandas" in b]


def test_the_readme_has_a_pandas_example():
    assert pandas_blocks()


@pytest.mark.parametrize("block", pandas_blocks())
def test_the_pandas_example_gives_the_command_lines_calibration(block, monkeypatch, capsys):
    exe = os.environ.get("TILTFIT_EXE")
    if not exe:
        pytest.skip("TILTFIT_EXE is not set")
    monkeypatch.chdir(ROOT)
    space = {}
    exec(compile(block, "README.md", "exec"), space)
    assert "gain matrix" in capsys.readouterr().out
    r = space["r"]
    report = json.loads(subprocess.run([exe, "--auto", "data/imucal_ferraris_imu.csv", "--rate",
                                        "102.4", "--json"], capture_output=True, text=True).stdout)
    assert r["calibration"]["gain_matrix"] == report["calibration"]["gain_matrix"]
    assert r["calibration"]["offset"] == report["calibration"]["offset"]
    assert r["gyro"]["gain_matrix"] == report["gyro"]["gain_matrix"]
    assert r["gyro"]["offset"] == report["gyro"]["offset"]
