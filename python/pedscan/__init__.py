"""pedscan: object detection over image pyramids (the compiled library in
pedscan._pedscan), and pedscan.batch, detection over many inputs on a Dask
cluster."""
from . import _pedscan
from ._pedscan import *  # noqa: F401,F403  (every public name of the library)

__doc__ = _pedscan.__doc__
__version__ = _pedscan.__version__

# The classes read as pedscan.X in reprs, help() and pickles, the names
# users import them by, rather than the extension's inner module.
for _name in dir(_pedscan):
    _value = getattr(_pedscan, _name)
    if not _name.startswith("_") and isinstance(_value, type):
        try:
            _value.__module__ = __name__
        except (AttributeError, TypeError):
            pass
del _name, _value
