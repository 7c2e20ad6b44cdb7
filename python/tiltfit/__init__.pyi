# The package re-exports the extension: its stubs are _core.pyi.
from ._core import *
from ._core import __version__ as __version__
