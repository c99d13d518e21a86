"""Image files (through Pillow), the shipped samples and a progress bar."""
from __future__ import annotations

import os
import sys
from pathlib import Path

import numpy as np

SAMPLES_DIR = Path(__file__).resolve().parent / "samples"
IMAGE_SUFFIXES = {".png", ".ppm", ".pgm", ".pnm", ".bmp", ".tif", ".tiff", ".webp", ".jpg", ".jpeg", ".gif", ".tga"}


class UserError(Exception):
    """A problem with the user's input, reported as one line."""


def load_image(path, file=None) -> np.ndarray:
    """Reads an 8-bit image as uint8 (h, w), (h, w, 3) or (h, w, 4), from path
    or from the open binary file (path then names it in messages)."""
    from PIL import Image, UnidentifiedImageError

    try:
        with Image.open(path if file is None else file) as im:
            im.load()
            mode = im.mode
            if mode in ("L", "RGB", "RGBA"):
                pass
            elif mode == "1":
                im = im.convert("L")
            elif mode == "P":
                im = im.convert("RGBA" if "transparency" in im.info else "RGB")
            elif mode in ("LA", "PA", "RGBa", "La"):
                im = im.convert("RGBA")
            elif mode in ("CMYK", "YCbCr", "LAB", "HSV"):
                im = im.convert("RGB")
            else:
                raise UserError(f"{path}: images of mode {mode} (more than 8 bits per sample) are not supported")
            return np.asarray(im, dtype=np.uint8).copy()
    except UnidentifiedImageError:
        raise UserError(f"{path}: not an image file Pillow can read") from None
    except Image.DecompressionBombError as e:
        raise UserError(f"{path}: {e}") from None
    except OSError as e:
        raise UserError(f"{path}: {e.strerror or e}") from None


LOSSLESS_OUT = {".png", ".ppm", ".pgm", ".pnm", ".pam", ".bmp", ".tif", ".tiff", ".tga"}


def image_format(path) -> str:
    """Pillow's name of the lossless format that path's suffix asks for."""
    from PIL import Image

    suffix = Path(path).suffix.lower()
    if suffix not in LOSSLESS_OUT:
        raise UserError(f"{path}: write a lossless image format ({', '.join(sorted(LOSSLESS_OUT))})")
    fmt = Image.registered_extensions().get(suffix)
    if fmt is None:
        raise UserError(f"{path}: this Pillow cannot write {suffix} files")
    return fmt


def save_image(path, image: np.ndarray, file=None) -> None:
    """Writes image to path, or to the open binary file, in the format of path's suffix."""
    from PIL import Image

    fmt = image_format(path)
    if image.shape[0] == 0 or image.shape[1] == 0:
        raise UserError(f"{path}: an image with no pixels cannot be written as an image file")
    try:
        Image.fromarray(image).save(path if file is None else file, format=fmt)
    except (OSError, ValueError) as e:
        raise UserError(f"{path}: {e}") from None


def sample_paths() -> list[Path]:
    return sorted(SAMPLES_DIR.glob("*.png"))


def expand_inputs(paths) -> list[Path]:
    """Files as given, and the image files of directories (sorted)."""
    out = []
    for p in map(Path, paths):
        if p.is_dir():
            out.extend(sorted(q for q in p.iterdir() if q.is_file() and q.suffix.lower() in IMAGE_SUFFIXES))
        elif p.exists():
            out.append(p)
        else:
            raise UserError(f"{p}: no such file or directory")
    return out


class Progress:
    """A one-line progress bar on standard error (only drawn on a terminal)."""

    def __init__(self, total: int, label: str = ""):
        self.total = total
        self.done = 0
        self.label = label
        self.tty = sys.stderr.isatty() and total > 1

    def step(self, name: str = ""):
        self.done += 1
        if self.tty:
            width = 30
            filled = width * self.done // max(1, self.total)
            line = f"\r{self.label} [{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} {name}"
            cols = os.get_terminal_size(sys.stderr.fileno()).columns if sys.stderr.isatty() else 80
            sys.stderr.write(line[:cols - 1].ljust(cols - 1))
            sys.stderr.flush()

    def clear(self):
        """Ends the bar's line, so that a message can follow."""
        if self.tty and self.done:
            sys.stderr.write("\n")

    def close(self):
        if self.tty:
            sys.stderr.write("\n")
            sys.stderr.flush()
