# The package re-exports the extension (its stubs are _core.pyi) and wraps the entries that take
# samples so that they take a pandas DataFrame as well.
from typing import Any, Dict, Literal, Optional, Sequence, Union, overload

import numpy as np
import numpy.typing as npt

from . import _core
from ._core import *
from ._core import __version__ as __version__

# A pandas DataFrame (pandas is optional, so it is not named here).
_Frame = Any
_Samples = Union[npt.ArrayLike, _Frame]

def calibrate(samples: _Samples, *args: Any, **kwargs: Any) -> Dict[str, Any]: ...
def calibrate_auto(samples: _Samples, *args: Any, **kwargs: Any) -> Dict[str, Any]: ...
def apply(calibration: Dict[str, Any], samples: _Samples) -> npt.NDArray[np.float64]: ...
@overload
def read_csv(path: Any, *args: Any, as_frame: Literal[False] = False, **kwargs: Any) -> Any: ...
@overload
def read_csv(path: Any, *args: Any, as_frame: Literal[True], **kwargs: Any) -> _Frame: ...

class LiveSession(_core.LiveSession):
    def feed_samples(self, samples: _Samples, now: Optional[float] = None) -> list: ...
