"""tiltfit: calibrates an IMU from one CSV recording.

The functions and classes are those of the compiled extension ``tiltfit._core``, re-exported here
so that ``import tiltfit`` gives the whole API; ``help(tiltfit.calibrate)`` and the type stubs
beside this file describe each of them.
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
