# Type stubs of the compiled extension, for editors and type checkers. Every public name of the
# extension has an entry here (tests/python/test_stubs.py checks it against the built module).
import os
from typing import Any, Dict, List, Literal, Optional, Sequence, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

__version__: str

# Anything numpy turns into an N x 3 float64 array: x, y, z per row.
_Samples = npt.ArrayLike
# One 1-based line number per sample, as read_csv(..., with_lines=True) returns them.
_Lines = npt.ArrayLike
_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Units = Literal["g", "ms2", "counts", "auto"]
_OutputUnits = Optional[Literal["g", "ms2"]]
_Method = Literal["auto", "six-rest", "stretches"]
# A result: the dict of the command line's --json report (success, calibration, quality, ...).
_Result = Dict[str, Any]
# An event of a LiveSession: kind, text, orientation, and for a stretch its samples and error.
_Event = Dict[str, Any]

@overload
def read_csv(
    path: _Path,
    columns: Sequence[int] = (1, 2, 3),
    delimiter: str = ",",
    detect_layout: bool = False,
    every_line: bool = False,
    with_lines: Literal[False] = False,
) -> npt.NDArray[np.float64]: ...
@overload
def read_csv(
    path: _Path,
    columns: Sequence[int] = (1, 2, 3),
    delimiter: str = ",",
    detect_layout: bool = False,
    every_line: bool = False,
    *,
    with_lines: Literal[True],
    imu: Literal[False] = False,
) -> Tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]: ...
@overload
def read_csv(
    path: _Path,
    columns: Sequence[int] = (1, 2, 3),
    delimiter: str = ",",
    detect_layout: bool = False,
    every_line: bool = False,
    with_lines: bool = False,
    *,
    imu: Literal[True],
) -> Dict[str, Any]: ...
def calibrate(
    samples: _Samples,
    tolerance_pct: float,
    move_mean_window: float,
    diff_threshold: float,
    window_width: float,
    delta_threshold_window: float,
    units: _Units = "g",
    output_units: _OutputUnits = None,
    refine: bool = False,
    lines: Optional[_Lines] = None,
) -> _Result: ...
def calibrate_auto(
    samples: _Samples,
    units: _Units = "auto",
    output_units: _OutputUnits = None,
    refine: bool = True,
    method: _Method = "auto",
    lines: Optional[_Lines] = None,
    gyro: Optional[_Samples] = None,
    time: Optional[npt.ArrayLike] = None,
    rate: Optional[float] = None,
    counter: bool = False,
) -> _Result: ...
def noise(
    path: _Path, rate: Optional[float] = None, gyro_units: Optional[Union[str, float]] = None
) -> Dict[str, Any]: ...
def detect_layout(text: str) -> Dict[str, Any]: ...
def apply(calibration: Dict[str, Any], samples: _Samples) -> npt.NDArray[np.float64]: ...

class LiveSession:
    def __init__(
        self,
        columns: Sequence[int] = (1, 2, 3),
        delimiter: str = ",",
        detect_layout: bool = True,
        units: _Units = "auto",
        output_units: _OutputUnits = None,
        method: _Method = "auto",
        target_mg: float = 0.5,
        replay: bool = False,
    ) -> None: ...
    def feed(self, data: Union[bytes, str], now: Optional[float] = None) -> List[_Event]: ...
    def feed_lines(self, lines: Sequence[str], now: Optional[float] = None) -> List[_Event]: ...
    def feed_samples(self, samples: _Samples, now: Optional[float] = None) -> List[_Event]: ...
    def finish(self, now: Optional[float] = None) -> List[_Event]: ...
    def result(self) -> _Result: ...
    def status(self, now: Optional[float] = None) -> str: ...
    @property
    def stopped(self) -> bool: ...
    @property
    def stop_reason(self) -> str: ...
    @property
    def lines(self) -> int: ...
    @property
    def samples(self) -> int: ...
