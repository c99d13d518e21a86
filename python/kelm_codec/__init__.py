"""kelm_codec: a lossless image codec built on the kelm_rans backend.

>>> data = kelm_codec.encode(image)            # uint8 (h, w), (h, w, 3) or (h, w, 4)
>>> kelm_codec.decode(data)                    # the same array back
>>> kelm_codec.decode(data, out=array)         # ... decoded into a caller's array
>>> kelm_codec.check(data)                     # True for a kelm file's magic bytes
>>> kelm_codec.encode(image, method="planes")  # context-modelled plane coder
>>> kelm_codec.encode(image, level=9)          # try more codings, keep the smallest

Importing the package registers the Pillow plugin (Image.open and save of .kelm
files). The zarr and numcodecs codecs (kelm_codec.zarr, kelm_codec.numcodecs)
are found through their entry points and are not imported here.

The container format is described in FORMAT.md next to this file.
"""
import kelm_rans as _kelm_rans

# The native kernels (_kernels) are installed into this package; a CMake build
# tree puts them in its own kelm_codec/ directory, found through sys.path.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from ._api import MAX_PIXELS, check, decode, encode, info  # noqa: E402
from ._levels import DEFAULT_LEVEL  # noqa: E402
from ._format import FormatError  # noqa: E402

__all__ = ["encode", "decode", "check", "info", "FormatError", "MAX_PIXELS", "DEFAULT_LEVEL"]
__version__: str = _kelm_rans.get_backend_info()[1]

try:
    from ._pillow import register as _register_pillow
except ImportError:  # pragma: no cover - Pillow is a dependency, but the codec does not need it
    pass
else:
    _register_pillow()
