"""Pillow plugin: Image.open("x.kelm") and image.save("x.kelm", level=...).

Registered when kelm_codec is imported (if Pillow is installed); programs that
read images through Pillow (imageio among them) then read .kelm files too.
"""
from __future__ import annotations

from typing import IO, Any

from PIL import Image, ImageFile

from . import _api
from ._format import HEADER, HEADER_SIZE, KIND_GRAY, KIND_RGB, KINDS, MAGIC, FormatError
from ._levels import DEFAULT_LEVEL

FORMAT = "KELM"
MIME = "image/x-kelm"
EXTENSION = ".kelm"
_MODES = {KIND_GRAY: "L", KIND_RGB: "RGB", 4: "RGBA"}


def _accept(prefix: bytes) -> bool:
    return prefix[:len(MAGIC)] == MAGIC


class KelmImageFile(ImageFile.ImageFile):
    format = FORMAT
    format_description = "kelm lossless image"

    def _open(self) -> None:
        head = self.fp.read(HEADER_SIZE)
        if len(head) < HEADER_SIZE or not _accept(head):
            raise SyntaxError("not a kelm file")
        _, _, kind, _, _, h, w, _, _ = HEADER.unpack(head)
        if kind not in KINDS:
            raise SyntaxError(f"damaged kelm header (image kind {kind})")
        self._mode = _MODES[kind]
        self._size = (w, h)
        self.tile = [ImageFile._Tile("kelm", (0, 0, w, h), 0, None)] if hasattr(ImageFile, "_Tile") else \
            [("kelm", (0, 0, w, h), 0, None)]


class KelmDecoder(ImageFile.PyDecoder):
    _pulls_fd = True

    def decode(self, buffer: bytes | Any) -> tuple[int, int]:
        assert self.fd is not None
        self.fd.seek(0)
        try:
            image = _api.decode(self.fd.read())
        except FormatError as e:
            raise OSError(f"kelm: {e}") from None
        self.set_as_raw(image.tobytes())
        return -1, 0


# Modes stored after a lossless conversion; L, RGB and RGBA are stored as they are.
_CONVERT = {"1": "L", "LA": "RGBA", "La": "RGBA", "PA": "RGBA", "RGBa": "RGBA"}


def _save(im: Image.Image, fp: IO[bytes], filename: str | bytes) -> None:
    import numpy as np

    info = im.encoderinfo
    mode = im.mode
    if mode == "P":
        im = im.convert("RGBA" if "transparency" in im.info else "RGB")
    elif mode in _CONVERT:
        im = im.convert(_CONVERT[mode])
    elif mode not in ("L", "RGB", "RGBA"):
        raise OSError(f"cannot write mode {mode} as KELM (8-bit L, RGB, RGBA, or 1, P, LA converted losslessly)")
    try:
        data = _api.encode(np.asarray(im), level=info.get("level", DEFAULT_LEVEL), method=info.get("method"),
                           threads=info.get("threads"))
    except ValueError as e:
        raise OSError(f"kelm: {e}") from None
    fp.write(data)


def register() -> None:
    Image.register_open(FORMAT, KelmImageFile, _accept)
    Image.register_decoder("kelm", KelmDecoder)
    Image.register_save(FORMAT, _save)
    Image.register_extension(FORMAT, EXTENSION)
    Image.register_mime(FORMAT, MIME)
