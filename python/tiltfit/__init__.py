"""tiltfit: calibrates an IMU from one CSV recording.

The functions and classes are those of the compiled extension ``tiltfit._core``, re-exported here
so that ``import tiltfit`` gives the whole API; ``help(tiltfit.calibrate)`` and the type stubs
beside this file describe each of them. Every entry that takes samples also takes a pandas
DataFrame, whose columns are chosen by the command line's header rules (accelerometer,
gyroscope, and a time column or the index for the time); pandas is imported only when a
DataFrame is passed or asked for.
"""

from . import _core
from ._core import *  # noqa: F401,F403  (every public name of the extension)
from ._core import __version__  # noqa: F401

__doc__ = _core.__doc__

# Classes report the package as their home, as the functions' users import them from it.
for _name in dir(_core):
    _value = getattr(_core, _name)
    if isinstance(_value, type) and getattr(_value, "__module__", None) == _core.__name__:
        try:
            _value.__module__ = __name__
        except (AttributeError, TypeError):
            pass
del _name, _value


def _is_frame(value):
    """A pandas DataFrame, judged without importing pandas."""
    return type(value).__name__ == "DataFrame" and hasattr(value, "columns") and hasattr(value, "iloc")


def _columns_of(frame):
    """The accelerometer's, gyroscope's and time's columns of a DataFrame, as --auto chooses them.

    Returns (accel N x 3, gyro N x 3 or None, time N or None, counter).
    """
    import numpy as np

    names = [str(c) for c in frame.columns]
    head = frame.head(400)
    # The header rules read text: the names, then the first rows as a CSV holds them.
    text = ",".join(n.replace(",", " ") for n in names) + "\n"
    text += head.to_csv(index=False, header=False, float_format="%.17g")
    layout = _core.detect_layout(text)
    take = lambda cols: np.ascontiguousarray(
        frame.iloc[:, [c - 1 for c in cols]].to_numpy(dtype=np.float64))
    accel = take(layout["columns"])
    gyro = take(layout["gyro_columns"]) if layout["gyro_columns"] else None
    time, counter = None, False
    if layout["time_column"]:
        time = frame.iloc[:, layout["time_column"] - 1].to_numpy(dtype=np.float64)
        counter = bool(layout["time_is_counter"])
    elif gyro is not None:
        index = frame.index
        if str(index.dtype).startswith("datetime64"):
            time = np.asarray((index - index[0]).total_seconds(), dtype=np.float64)
        elif index.dtype.kind in "if" and (index.name or "").lower() in ("t", "time", "timestamp"):
            time = index.to_numpy(dtype=np.float64)
    return accel, gyro, time, counter


def calibrate(samples, *args, **kwargs):
    if _is_frame(samples):
        samples = _columns_of(samples)[0]
    return _core.calibrate(samples, *args, **kwargs)


def calibrate_auto(samples, *args, **kwargs):
    if _is_frame(samples):
        accel, gyro, time, counter = _columns_of(samples)
        if gyro is not None and "gyro" not in kwargs:
            kwargs["gyro"] = gyro
            if time is not None and "time" not in kwargs:
                kwargs["time"] = time
                kwargs.setdefault("counter", counter)
            # A rate read_csv(as_frame=True) found in the file's header lines.
            rate = getattr(samples, "attrs", {}).get("rate")
            if rate and "rate" not in kwargs:
                kwargs["rate"] = rate
        samples = accel
    return _core.calibrate_auto(samples, *args, **kwargs)


def apply(calibration, samples):
    if _is_frame(samples):
        samples = _columns_of(samples)[0]
    return _core.apply(calibration, samples)


def read_csv(path, *args, as_frame=False, **kwargs):
    """As _core.read_csv; as_frame=True returns a pandas DataFrame of what --auto reads.

    Its columns are the file's names of the accelerometer's (and the gyroscope's and time's)
    columns, and its index the line of the file each row came from.
    """
    if not as_frame:
        return _core.read_csv(path, *args, **kwargs)
    import pandas as pd

    kwargs.setdefault("detect_layout", True)
    d = _core.read_csv(path, *args, imu=True, **kwargs)
    layout = d["layout"]
    columns = {}

    def name(names, k, default):
        return names[k] if names and names[k] else default

    for k, axis in enumerate("xyz"):
        columns[name(layout["column_names"], k, "a" + axis)] = d["accel"][:, k]
    if d["gyro"] is not None:
        for k, axis in enumerate("xyz"):
            columns[name(layout["gyro_names"], k, "g" + axis)] = d["gyro"][:, k]
    if d["time"] is not None:
        columns[layout["time_name"] or "time"] = d["time"]
    frame = pd.DataFrame(columns, index=pd.Index(d["lines"], name="line"))
    if layout["rate"]:
        frame.attrs["rate"] = layout["rate"]
    return frame


class LiveSession(_core.LiveSession):
    __doc__ = _core.LiveSession.__doc__

    def feed_samples(self, samples, now=None):
        if _is_frame(samples):
            samples = _columns_of(samples)[0]
        return super().feed_samples(samples, now)


LiveSession.__module__ = __name__
