"""Where images are kept: Pillow, numcodecs, zarr, Dask, and the command line's batch habits."""
import importlib.metadata
import os
import re
import sys
from pathlib import Path

import numpy as np
import pytest

from util import run_python

ROOT = Path(__file__).resolve().parent.parent
try:
    import kelm_codec
except ImportError:  # a development build: the package sits in python/
    sys.path.insert(0, str(ROOT / "python"))
    import kelm_codec

from kelm_codec import FormatError  # noqa: E402
from kelm_codec._io import load_image, sample_paths  # noqa: E402
from kelm_codec.cli import main  # noqa: E402

try:
    import zarr
    ZARR = int(zarr.__version__.split(".")[0])
except ImportError:
    ZARR = 0
needs_zarr3 = pytest.mark.skipif(ZARR < 3, reason="zarr 3 (Python 3.11 or later) is not installed")
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def entry_point(group):
    """Skips unless the installed package declares the kelm entry point of group (a build tree has none)."""
    if not any(e.name == "kelm" for e in importlib.metadata.entry_points(group=group)):
        pytest.skip(f"kelm_codec is not installed with its {group} entry point")


def photo(channels, h, w):
    img = load_image(next(p for p in sample_paths() if p.stem == "chelsea"))[:h, :w]
    if channels == 1:
        return np.ascontiguousarray(img[..., 1])
    if channels == 4:
        return np.dstack([img, img[..., 0] // 2 + 40])
    return np.ascontiguousarray(img)


# ---------------------------------------------------------------- check, decode(out=)

def test_check_is_a_magic_test():
    data = kelm_codec.encode(photo(3, 8, 8))
    assert kelm_codec.check(data) and kelm_codec.check(np.frombuffer(data, np.uint8)) and kelm_codec.check(data[:4])
    for other in (b"", b"KEL", b"\x89PNG\r\n\x1a\n", "KELM", None, data[1:]):
        assert not kelm_codec.check(other)


@pytest.mark.parametrize("image", [photo(3, 30, 41), np.zeros((20, 30), np.uint8),
                                   np.tile(np.arange(4, dtype=np.uint8) * 60, (17, 9))],  # palette: transformed
                         ids=["rgb", "constant", "palette"])
def test_decode_fills_the_callers_array(image):
    data = kelm_codec.encode(image, level=9)
    out = np.full(image.shape, 7, np.uint8)
    assert kelm_codec.decode(data, out=out) is out
    np.testing.assert_array_equal(out, image)
    strided = np.full((image.shape[1], image.shape[0]) + image.shape[2:], 7, np.uint8).swapaxes(0, 1)
    kelm_codec.decode(data, out=strided)
    np.testing.assert_array_equal(strided, image)


@pytest.mark.parametrize("out, error, message", [
    (np.zeros((5, 6, 3), np.uint8), ValueError, r"out has shape \(5, 6, 3\), the image has shape \(5, 6\)"),
    (np.zeros((5, 6), np.uint16), ValueError, "out must have dtype uint8, not uint16"),
    (np.zeros((5, 6), np.uint8).view(), ValueError, "out is read-only"),
    (bytearray(30), TypeError, "out must be a numpy array, not bytearray"),
])
def test_decode_refuses_an_array_that_cannot_take_the_image(out, error, message):
    if message == "out is read-only":
        out.flags.writeable = False
    with pytest.raises(error, match=message):
        kelm_codec.decode(kelm_codec.encode(np.ones((5, 6), np.uint8)), out=out)


# ---------------------------------------------------------------- Pillow

@pytest.mark.parametrize("mode, stored", [("L", "L"), ("RGB", "RGB"), ("RGBA", "RGBA"), ("P", "RGB"), ("LA", "RGBA"),
                                          ("1", "L")])
def test_pillow_opens_and_saves_kelm_files(tmp_path, mode, stored):
    from PIL import Image
    im = Image.fromarray(photo(4, 33, 45)).convert(mode)
    im.save(tmp_path / "x.kelm", level=4)
    assert kelm_codec.check((tmp_path / "x.kelm").read_bytes())
    with Image.open(tmp_path / "x.kelm") as back:
        assert (back.format, back.mode, back.size, back.get_format_mimetype()) == ("KELM", stored, im.size,
                                                                                   "image/x-kelm")
        np.testing.assert_array_equal(np.asarray(back), np.asarray(im.convert(stored)))
    assert Image.registered_extensions()[".kelm"] == "KELM"


def test_pillow_reports_damage_and_refuses_wide_samples(tmp_path):
    from PIL import Image
    data = kelm_codec.encode(photo(3, 20, 20))
    (tmp_path / "bad.kelm").write_bytes(data[:-5])
    with Image.open(tmp_path / "bad.kelm") as im, pytest.raises(OSError, match="kelm: truncated"):
        im.load()
    with pytest.raises(OSError, match="cannot write mode I;16 as KELM"):
        Image.new("I;16", (4, 4)).save(tmp_path / "wide.kelm")


# ---------------------------------------------------------------- numcodecs and zarr format 2

def test_numcodecs_codec(tmp_path):
    numcodecs = pytest.importorskip("numcodecs")
    import kelm_codec.numcodecs  # noqa: F401  (registers it; installed packages need no import, checked below)
    codec = numcodecs.get_codec({"id": "kelm", "level": 3, "method": "planes"})
    assert codec.get_config() == {"id": "kelm", "level": 3, "method": "planes"}
    for image in (photo(1, 20, 30), photo(3, 20, 30), photo(4, 20, 30)):
        data = codec.encode(image)
        assert kelm_codec.info(data)["method"] == "planes"
        np.testing.assert_array_equal(codec.decode(data), image)
        out = np.empty(image.size, np.uint8)  # a flat buffer as numcodecs' callers pass it
        codec.decode(data, out=out)
        np.testing.assert_array_equal(out, image.ravel())
    for bad in (np.zeros((4, 5), np.uint16), np.zeros((4, 5, 2), np.uint8), np.zeros(7, np.uint8),
                np.zeros((2, 4, 5), np.uint8).T):
        with pytest.raises(ValueError, match=re.escape("kelm codes uint8 arrays of shape (h, w), (h, w, 3) or "
                                                       "(h, w, 4), not")):
            codec.encode(bad)
    for config in ({"level": 10}, {"method": "zip"}):
        with pytest.raises(ValueError, match="kelm: (level|method) must be"):
            numcodecs.get_codec({"id": "kelm", **config})


def _zarr2_array(path, image, chunks, codec):
    if ZARR >= 3:
        z = zarr.create_array(str(path), shape=image.shape, chunks=chunks, dtype="uint8", zarr_format=2,
                              compressors=codec)
    else:
        z = zarr.open_array(str(path), mode="w", shape=image.shape, chunks=chunks, dtype="uint8", compressor=codec)
    z[...] = image
    return z


@pytest.mark.skipif(ZARR == 0, reason="zarr is not installed")
def test_zarr_format_2_round_trip(tmp_path):
    from kelm_codec.numcodecs import Kelm
    image = photo(3, 150, 200)
    _zarr2_array(tmp_path / "a.zarr", image, (64, 64, 3), Kelm(level=1))
    np.testing.assert_array_equal(zarr.open_array(str(tmp_path / "a.zarr"), mode="r")[...], image)
    with pytest.raises(ValueError, match="kelm codes uint8 arrays"):
        _zarr2_array(tmp_path / "b.zarr", image, (64, 64, 2), Kelm())
    entry_point("numcodecs.codecs")  # an installed package: a new process opens the array without any import
    out = run_python(f"""
        import sys, zarr, zlib
        a = zarr.open_array({str(tmp_path / "a.zarr")!r}, mode="r")[...]
        print(zlib.crc32(a.tobytes()), "kelm_codec.numcodecs" in sys.modules)
    """)
    assert out.split() == [str(__import__("zlib").crc32(image.tobytes())), "True"]


# ---------------------------------------------------------------- zarr format 3

@needs_zarr3
@pytest.mark.parametrize("shape, chunks", [((150, 200), (64, 64)), ((150, 200, 4), (100, 128, 4)),
                                           ((5, 40, 50, 3), (2, 32, 32, 3)), ((2, 3, 30, 40), (1, 2, 16, 40))],
                         ids=["gray", "rgba", "rgb-frames", "gray-frames"])
@pytest.mark.parametrize("form", ["object", "dict"])
def test_zarr_3_round_trip(tmp_path, shape, chunks, form):
    from kelm_codec.zarr import Kelm
    rng = np.random.default_rng(1)
    image = photo(shape[-1] if shape[-1] in (3, 4) else 1, 150, 200)
    data = np.resize(image, shape) + rng.integers(0, 3, shape, dtype=np.uint8)
    serializer = Kelm(level=3) if form == "object" else {"name": "kelm", "configuration": {"level": 3}}
    z = zarr.create_array(str(tmp_path / "a.zarr"), shape=shape, chunks=chunks, dtype="uint8",
                          serializer=serializer, compressors=None)
    z[...] = data
    back = zarr.open_array(str(tmp_path / "a.zarr"), mode="r")
    assert back.metadata.codecs[0].to_dict() == {"name": "kelm", "configuration": {"level": 3}}
    np.testing.assert_array_equal(back[...], data)
    one = next(p for p in (tmp_path / "a.zarr" / "c").rglob("*") if p.is_file())
    assert kelm_codec.check(one.read_bytes()) == (np.prod(chunks[:-3 if chunks[-1] in (3, 4) else -2]) == 1)


@needs_zarr3
def test_zarr_3_refuses_what_it_cannot_code_and_damaged_chunks(tmp_path):
    from kelm_codec.zarr import Kelm, decode_frames, encode_frames
    for dtype, chunks, message in (("uint16", (8, 8), "kelm codes uint8 arrays, not uint16"),
                                   ("uint8", (8,), r"kelm codes chunks of two axes or more")):
        with pytest.raises(ValueError, match=message):
            zarr.create_array(str(tmp_path / dtype), shape=(16,) * len(chunks), chunks=chunks, dtype=dtype,
                              serializer=Kelm(), compressors=None)
    frames = np.arange(3 * 4 * 5, dtype=np.uint8).reshape(3, 4, 5)
    data = encode_frames(frames)
    np.testing.assert_array_equal(decode_frames(data, (3, 4, 5)), frames)
    for bad, message in ((data[:-1], "frame sizes do not add up"), (data[:30], "frame sizes do not add up"),
                         (data[:20], "too short for its table of 3 frames")):
        with pytest.raises(FormatError, match=message):
            decode_frames(bad, (3, 4, 5))
    with pytest.raises(FormatError, match=r"frame 0 is not a \(4, 6\) image"):
        decode_frames(data, (3, 4, 6))


@needs_zarr3
def test_zarr_3_array_reopens_in_a_new_process_without_import(tmp_path):
    entry_point("zarr.codecs")
    image = photo(3, 100, 120)
    z = zarr.create_array(str(tmp_path / "a.zarr"), shape=image.shape, chunks=(64, 64, 3), dtype="uint8",
                          serializer={"name": "kelm"}, compressors=None)
    z[...] = image
    out = run_python(f"""
        import sys, zarr, zlib
        assert "kelm_codec" not in sys.modules
        a = zarr.open_array({str(tmp_path / "a.zarr")!r}, mode="r")[...]
        print(zlib.crc32(a.tobytes()), type(zarr.open_array({str(tmp_path / "a.zarr")!r}).metadata.codecs[0]))
    """)
    assert out.split()[0] == str(__import__("zlib").crc32(image.tobytes())) and "kelm_codec.zarr.Kelm" in out


# ---------------------------------------------------------------- Dask

def _readme_block(name):
    text = (ROOT / "README.md").read_text()
    return re.search(rf"<!-- example: {name} -->\n```python\n(.*?)```", text, re.S).group(1)


@needs_zarr3
@pytest.mark.skipif(SANITIZED, reason="worker processes under the sanitizers are too slow; nothing native is new here")
def test_readme_dask_mosaic_example(tmp_path, monkeypatch):
    pytest.importorskip("distributed")
    code = _readme_block("dask-mosaic")
    code, n = re.subn(r"^side = 16384", "side = 1100", code, flags=re.M)
    code, m = re.subn(r"^chunk = 2048", "chunk = 512", code, flags=re.M)
    assert n == m == 1, "the README example names side and chunk"
    monkeypatch.chdir(tmp_path)
    scope = {"__name__": "__main__"}
    exec(compile(code, "README.md", "exec"), scope)  # the example asserts the exact round trip itself
    stored = zarr.open_array(str(tmp_path / "mosaic.zarr"), mode="r")
    assert stored.shape == (1100, 1100, 3) and stored.chunks == (512, 512, 3) and stored.nchunks_initialized == 9
    assert kelm_codec.check((tmp_path / "mosaic.zarr" / "c" / "0" / "0" / "0").read_bytes())


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    if SANITIZED:
        pytest.skip("worker processes under the sanitizers are too slow; nothing native is new here")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as c:
        yield c


def _tree(folder):
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir())}


@pytest.mark.parametrize("where", ["local:2", "address"])
def test_cli_on_a_dask_cluster_matches_a_local_run(tmp_path, capsys, cluster, where):
    from PIL import Image
    (tmp_path / "in").mkdir()
    for i, channels in enumerate((1, 3, 4, 3)):
        Image.fromarray(photo(channels, 40 + i, 50)).save(tmp_path / "in" / f"p{i}.png")
    (tmp_path / "in" / "bad.png").write_bytes(b"not an image")
    dask = ["--dask", "local:2" if where == "local:2" else cluster.scheduler_address]
    assert main(["encode", str(tmp_path / "in"), "-o", str(tmp_path / "here"), "--level", "3", "-q"]) == 1
    code = main(["encode", str(tmp_path / "in"), "-o", str(tmp_path / "there"), "--level", "3", *dask])
    out, err = capsys.readouterr()
    assert code == 1 and err.count("bad.png: not an image file Pillow can read") == 2
    assert err.count("1 of 5 files failed") == 2 and out.count(" -> ") == 4
    assert _tree(tmp_path / "there") == _tree(tmp_path / "here") and len(_tree(tmp_path / "here")) == 4
    assert main(["decode", str(tmp_path / "there"), "-o", str(tmp_path / "png"), "-q", *dask]) == 0
    for i in range(4):
        np.testing.assert_array_equal(load_image(tmp_path / "png" / f"p{i}.png"),
                                      load_image(tmp_path / "in" / f"p{i}.png"))


def test_cli_refuses_a_dask_address_it_cannot_use(tmp_path, capsys):
    pytest.importorskip("distributed")
    from PIL import Image
    Image.fromarray(photo(1, 5, 5)).save(tmp_path / "a.png")
    assert main(["encode", str(tmp_path / "a.png"), "--dask", "local:0"]) == 1
    assert capsys.readouterr().err == "kelm: error: --dask local:0: the number of workers must be from 1 to 1024\n"


# ---------------------------------------------------------------- command-line habits

def test_cli_several_inputs_output_option_quiet_and_version(tmp_path, capsys):
    from PIL import Image
    for name, channels in (("a", 1), ("b", 3)):
        Image.fromarray(photo(channels, 12, 14)).save(tmp_path / f"{name}.png")
    a, b = tmp_path / "a.png", tmp_path / "b.png"
    assert main(["encode", str(a), str(b)]) == 0  # two inputs: each .kelm next to its input
    assert "a.png -> " in capsys.readouterr().out
    assert main(["encode", str(a), str(b)]) == 1  # never replaced without --force
    assert capsys.readouterr().err.count("already exists (use --force to replace it)") == 2
    assert main(["decode", str(tmp_path / "a.kelm"), str(tmp_path / "b.kelm"), "-o", str(tmp_path / "out"), "-q"]) == 0
    assert main(["decode", str(tmp_path / "b.kelm"), "-o", str(tmp_path / "one.bmp"), "-q"]) == 0
    assert main(["encode", str(a), str(tmp_path / "old-style.kelm"), "-q"]) == 0  # IN OUT, as before
    assert capsys.readouterr() == ("", "")
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.png", "b.png"]
    np.testing.assert_array_equal(load_image(tmp_path / "one.bmp"), load_image(b))
    assert (tmp_path / "old-style.kelm").read_bytes() == (tmp_path / "a.kelm").read_bytes()
    assert main(["decode", str(tmp_path / "a.kelm")]) == 1  # a.png exists: never replaced silently
    assert capsys.readouterr().err.endswith("a.png: already exists (use --force to replace it)\n")
    with pytest.raises(SystemExit) as info:
        main(["--version"])
    assert info.value.code == 0 and capsys.readouterr().out == f"kelm {kelm_codec.__version__}\n"


def test_import_stays_light():
    out = run_python("""
        import sys, kelm_codec
        from PIL import Image
        print(sorted(m for m in ("zarr", "dask", "numcodecs", "distributed") if m in sys.modules),
              Image.MIME["KELM"])
    """, PYTHONPATH=os.pathsep.join([str(Path(kelm_codec.__file__).parent.parent),
                                     str(Path(__import__("kelm_rans").__file__).parent)]))
    assert out.split() == ["[]", "image/x-kelm"]
