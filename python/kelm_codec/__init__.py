"""kelm_codec: a lossless image codec built on the kelm_rans backend.

>>> data = kelm_codec.encode(image)            # uint8 (h, w), (h, w, 3) or (h, w, 4)
>>> kelm_codec.decode(data)                    # the same array back
>>> kelm_codec.encode(image, method="planes")  # context-modelled plane coder
>>> kelm_codec.encode(image, level=9)          # try more codings, keep the smallest

The container format is described in FORMAT.md next to this file.
"""
import kelm_rans as _kelm_rans

# The native kernels (_kernels) are installed into this package; a CMake build
# tree puts them in its own kelm_codec/ directory, found through sys.path.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from ._api import MAX_PIXELS, decode, encode, info  # noqa: E402
from ._levels import DEFAULT_LEVEL  # noqa: E402
from ._format import FormatError

__all__ = ["encode", "decode", "info", "FormatError", "MAX_PIXELS", "DEFAULT_LEVEL"]
__version__ = _kelm_rans.get_backend_info()[1]
