"""kelm_codec's container: decode and info on any bytes, through atheris
(coverage of the package's Python code and, in run.sh's build, of the native
modules under ASan and UBSan).

A finding is any exception other than FormatError, a sanitizer report, a
crash, a hang or memory beyond -rss_limit_mb. What decode accepts, info must
accept with the same shape, and decoding it twice gives the same pixels.

    python fuzz/targets/container.py [libFuzzer options] CORPUS...
"""
import sys

import atheris

with atheris.instrument_imports(include=["kelm_codec"]):
    import kelm_codec
    from kelm_codec import FormatError

MAX_PIXELS = 1 << 20  # keeps each run fast; the limit itself is tested in tests/


def test_one(data: bytes):
    try:
        meta = kelm_codec.info(data)
    except FormatError:
        meta = None
    try:
        img = kelm_codec.decode(data, threads=1, max_pixels=MAX_PIXELS)
    except FormatError:
        return
    if meta is None or (meta["height"], meta["width"]) != img.shape[:2]:
        raise AssertionError(f"decode gave {img.shape}, info {meta}")
    if not (kelm_codec.decode(data, threads=1, max_pixels=MAX_PIXELS) == img).all():
        raise AssertionError("two decodes of the same bytes differ")


def main():
    atheris.Setup(sys.argv, test_one)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
