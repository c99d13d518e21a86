"""The `kelm` command: encode, decode, info, bench."""
from __future__ import annotations

import argparse
import io
import os
import secrets
import stat
import sys
from pathlib import Path

from . import _api
from ._backend import NO_POOL, BackendPanic
from ._format import FormatError
from ._io import Progress, UserError, image_format, load_image, save_image
from ._levels import DEFAULT_LEVEL, LEVELS

EXIT_OK, EXIT_ERROR, EXIT_USAGE = 0, 1, 2


def _pairs(inputs: list[str], output: str | None, suffix: str, accept) -> tuple[list, Path | None]:
    """(input, output) pairs, and the output directory if there is one.

    Inputs are files, and directories whose matching files are taken. Without
    an output each file's output is written next to it; with one input file
    the output names a file (or a directory: an existing one, or a name ending
    in a slash); with several inputs or a directory it names a directory."""
    files, several = [], len(inputs) > 1
    for name in inputs:
        path = Path(name)
        if path.is_dir():
            found = [p for p in sorted(path.iterdir()) if p.is_file() and accept(p)]
            if not found:
                raise UserError(f"{name}: no input files in this directory")
            files += found
            several = True
        elif path.exists() or several:  # a missing file among several fails on its own
            files.append(path)
        else:
            raise UserError(f"{name}: no such file or directory")
    if output is None:
        return [(p, p.with_name(p.stem + suffix)) for p in files], None
    out = Path(output)
    if several or output.endswith(("/", os.sep)) or out.is_dir():
        if out.exists() and not out.is_dir():
            raise UserError(f"{output}: must be a directory when there are several inputs")
        return [(p, out / (p.stem + suffix)) for p in files], out
    return [(files[0], out)], None


def _split_output(args, output_suffix: str) -> tuple[list[str], str | None]:
    """The inputs and the output. Without -o, `IN OUT` keeps naming an output
    where it cannot mean two inputs: OUT ends in a slash or is a directory, IN
    is a directory, both name the same file, or OUT is not a file this command
    reads (encode a.png a.kelm; decode a.kelm a.png)."""
    from ._io import IMAGE_SUFFIXES

    inputs = args.inputs
    if args.output is not None or len(inputs) != 2:
        return inputs, args.output
    first, second = map(Path, inputs)
    reads = IMAGE_SUFFIXES if output_suffix == ".kelm" else {".kelm"}
    if (inputs[1].endswith(("/", os.sep)) or second.is_dir() or first.is_dir()
            or second.suffix.lower() not in reads or _file_id(first) in ({_file_id(second)} - {None})):
        return inputs[:1], inputs[1]
    return inputs, None


def _file_id(path: Path):
    """The file a path names (links followed), or None."""
    try:
        st = path.stat()
    except OSError:
        return None
    return st.st_dev, st.st_ino


def _check_outputs(pairs, force: bool):
    """Refuses, before anything is written, outputs that two inputs share, that
    are an input, or that exist (unless forced)."""
    inputs = {_file_id(src) for src, _ in pairs} - {None}
    seen, problems = {}, []
    for src, dst in pairs:
        where = os.path.join(os.path.realpath(dst.parent), dst.name)
        if where in seen:
            problems.append(f"{seen[where]} and {src} would both be written to {dst}")
            continue
        seen[where] = src
        if _file_id(dst) in inputs:
            problems.append(f"{dst}: is an input file; choose another output")
        elif os.path.lexists(dst):
            mode = os.lstat(dst).st_mode
            if not (stat.S_ISREG(mode) or stat.S_ISLNK(mode)):  # a device, a directory: never replaced
                problems.append(f"{dst}: is not a regular file")
            elif not force:
                problems.append(f"{dst}: already exists (use --force to replace it)")
    if problems:
        raise UserError("\n".join(problems))


def _read(path: Path) -> bytes:
    try:
        return path.read_bytes()
    except OSError as e:
        raise UserError(f"{path}: {e.strerror or e}") from None


def _write(path: Path, write, force: bool):
    """Calls write(file) on a new file next to path, then renames it to path:
    path is never left half written, and a link at path is replaced, not followed."""
    tmp = None
    try:
        while tmp is None:
            name = path.parent / f".{path.name}.{secrets.token_hex(4)}.tmp"
            try:
                fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
                tmp = name
            except FileExistsError:
                continue
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        if not force and os.path.lexists(path):
            raise UserError(f"{path}: already exists (use --force to replace it)")
        os.replace(tmp, path)
    except OSError as e:
        raise UserError(f"{path}: {e.strerror or e}") from None
    finally:
        if tmp is not None and os.path.lexists(tmp):
            os.unlink(tmp)


def _report(bar: Progress, message: str) -> None:
    bar.clear()
    print(f"kelm: error: {message}", file=sys.stderr)


def _run_batch(pairs, label: str, work, args) -> int:
    """Runs work(data, src, dst, options) -> (output bytes, summary) for every
    pair and writes each output; a file that fails is reported and the batch
    goes on. On a Dask cluster (--dask) the jobs run on its workers and the
    outputs are still written here. Returns the exit code."""
    bar = Progress(0 if args.quiet else len(pairs), label)
    # On a cluster the files are the unit of parallelism: one thread per job unless --threads says otherwise.
    options = {"method": getattr(args, "method", None), "level": getattr(args, "level", DEFAULT_LEVEL),
               "threads": args.threads or (1 if args.dask else None)}
    failed = 0

    def finish(src, dst, result):
        payload, summary = result
        _write(dst, lambda f: f.write(payload), args.force)
        if not bar.tty and not args.quiet:
            print(f"{src} -> {dst}: {summary}")

    if args.dask:
        failed = _run_on_dask(pairs, work, options, args.dask, bar, finish, options["threads"])
    else:
        for src, dst in pairs:
            try:
                finish(src, dst, work(_read(src), str(src), str(dst), options))
            except UserError as e:
                failed += 1
                _report(bar, str(e))
            bar.step(src.name)
    bar.close()
    if failed and len(pairs) > 1:
        print(f"kelm: {failed} of {len(pairs)} files failed", file=sys.stderr)
    return EXIT_ERROR if failed else EXIT_OK


def _dask_client(where: str, threads: int):
    """A client of a new local cluster (local or local:N worker processes, their
    native pools sized to threads) or of a running scheduler."""
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise UserError("--dask needs dask.distributed (pip install 'kelm_rans[dask]')") from None
    if where == "local" or where.startswith("local:"):
        n = where[len("local:"):] or None
        if n is not None and not (n.isdigit() and 1 <= int(n) <= 1024):
            raise UserError(f"--dask {where}: the number of workers must be from 1 to 1024")
        cluster = LocalCluster(n_workers=int(n) if n else None, threads_per_worker=1, processes=True,
                               dashboard_address=":0", env={"RAYON_NUM_THREADS": str(threads)})
        return Client(cluster), cluster
    try:
        return Client(where, timeout="20s"), None
    except (OSError, TimeoutError) as e:
        raise UserError(f"--dask {where}: cannot reach the scheduler ({e})") from None


def _guarded(work, *args):
    """Runs a job on a worker: (True, its result), or (False, the message of the user's error)."""
    try:
        return True, work(*args)
    except UserError as e:
        return False, str(e)


def _run_on_dask(pairs, work, options, where: str, bar: Progress, finish, threads: int) -> int:
    """Runs the jobs on a Dask cluster, a bounded number in flight; the
    progress bar follows the futures as they complete. Returns the failures."""
    from distributed import as_completed

    client, cluster = _dask_client(where, threads)
    failed = 0
    try:
        workers = max(1, len(client.scheduler_info().get("workers", {})))
        pending = iter(pairs)
        running = as_completed()
        owner = {}

        def submit_next() -> None:
            nonlocal failed
            for src, dst in pending:
                try:
                    data = _read(src)
                except UserError as e:
                    failed += 1
                    _report(bar, str(e))
                    bar.step(src.name)
                    continue
                fut = client.submit(_guarded, work, data, str(src), str(dst), options, pure=False)
                owner[fut.key] = (src, dst)
                running.add(fut)
                return

        for _ in range(2 * workers):
            submit_next()
        for fut in running:
            src, dst = owner.pop(fut.key)
            try:
                ok, result = fut.result()
                if not ok:
                    raise UserError(result)
                finish(src, dst, result)
            except UserError as e:
                failed += 1
                _report(bar, str(e))
            except Exception as e:  # the job's own fault, on a worker: this file fails, the batch goes on
                failed += 1
                _report(bar, f"{src}: failed on the cluster: {type(e).__name__}: {e}")
            fut.release()
            bar.step(src.name)
            submit_next()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return failed


def _prepare(args, suffix, accept, check=None):
    """The batch's pairs, checked before anything is written; creates the output directory."""
    inputs, output = _split_output(args, suffix)
    pairs, out_dir = _pairs(inputs, output, suffix, accept)
    for _, dst in pairs if check else ():
        check(dst)
    _check_outputs(pairs, args.force)
    if out_dir is not None:
        try:
            out_dir.mkdir(parents=True, exist_ok=True)
        except OSError as e:
            raise UserError(f"{out_dir}: {e.strerror or e}") from None
    return pairs


def encode_job(data: bytes, src: str, dst: str, options: dict) -> tuple[bytes, str]:
    """One file's encoding (here or on a Dask worker): (the .kelm bytes, a summary)."""
    img = load_image(src, io.BytesIO(data))
    try:
        out = _api.encode(img, method=options["method"], threads=options["threads"], level=options["level"])
    except ValueError as e:
        raise UserError(f"{src}: {e}") from None
    px = img.shape[0] * img.shape[1]
    return out, f"{len(out)} bytes, {8 * len(out) / px if px else 0.0:.3f} bpp"


def decode_job(data: bytes, src: str, dst: str, options: dict) -> tuple[bytes, str]:
    """One file's decoding (here or on a Dask worker): (the image file's bytes, a summary)."""
    try:
        img = _api.decode(data, threads=options["threads"])
    except FormatError as e:
        raise UserError(f"{src}: {e}") from None
    buf = io.BytesIO()
    save_image(Path(dst), img, buf)
    return buf.getvalue(), f"{img.shape[1]} x {img.shape[0]}"


def cmd_encode(args) -> int:
    from ._io import IMAGE_SUFFIXES
    pairs = _prepare(args, ".kelm", lambda p: p.suffix.lower() in IMAGE_SUFFIXES)
    return _run_batch(pairs, "encode", encode_job, args)


def cmd_decode(args) -> int:
    pairs = _prepare(args, ".png", lambda p: p.suffix.lower() == ".kelm", check=image_format)
    return _run_batch(pairs, "decode", decode_job, args)


def cmd_info(args) -> int:
    failed = 0
    for name in args.files:
        path = Path(name)
        try:
            meta = _api.info(_read(path))
        except (FormatError, UserError) as e:
            failed += 1
            print(f"kelm: error: {e if isinstance(e, UserError) else f'{path}: {e}'}", file=sys.stderr)
            continue
        print(f"{path}: {meta['width']} x {meta['height']} {meta['kind']}, method {meta['method']}, "
              f"table set {meta['table_set']}, version {meta['version']}"
              f"{''.join(', ' + t for t in meta['transforms'])}, "
              f"{meta['bands']} band(s) of {meta['band_height']} rows, "
              f"{meta['bytes']} bytes, {meta['bits_per_pixel']:.3f} bpp, crc32 {meta['crc32']}")
    return EXIT_ERROR if failed else EXIT_OK


def cmd_bench(args) -> int:
    from .bench import main_bench
    return main_bench(args)


def _level(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = -1
    if n not in LEVELS:
        raise argparse.ArgumentTypeError(f"must be an integer from 0 to 9, not {text!r}")
    return n


def build_parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="kelm", description="Lossless image codec on the kelm_rans backend.")
    from . import __version__
    ap.add_argument("--version", action="version", version=f"kelm {__version__}")
    sub = ap.add_subparsers(dest="command", required=True, metavar="COMMAND")

    threads = argparse.ArgumentParser(add_help=False)
    threads.add_argument("--threads", type=int, default=None, help="worker threads (default: the CPUs available)")

    batch = argparse.ArgumentParser(add_help=False)
    batch.add_argument("-o", "--output", default=None, metavar="OUTPUT",
                       help="output file for one input, or directory for several (default: next to each input)")
    batch.add_argument("-f", "--force", action="store_true", help="replace output files that exist")
    batch.add_argument("-q", "--quiet", action="store_true", help="print only errors")
    batch.add_argument("--dask", metavar="local[:N]|tcp://ADDRESS", default=None,
                       help="run the per-file jobs on a Dask cluster: a new local one with N worker processes "
                            "(default: one per CPU), or the scheduler at ADDRESS")

    e = sub.add_parser("encode", parents=[threads, batch], help="encode images (or directories of them) to .kelm",
                       description="kelm encode a.png b.png writes a.kelm and b.kelm; "
                                   "kelm encode in.png out.kelm and kelm encode DIR OUTDIR work too.")
    e.add_argument("inputs", nargs="+", metavar="INPUT",
                   help="image files (PNG or anything Pillow reads) or directories")
    e.add_argument("--method", choices=("shards", "planes", "deflate", "lzma"), default=None,
                   help="shards: context-sharded rANS; planes: context-modelled plane coder; deflate, lzma: "
                        "filtered samples (default: shards, or the smallest where the level tries several)")
    e.add_argument("--level", type=_level, default=DEFAULT_LEVEL, metavar="N",
                   help="effort 0 to 9: higher levels try more codings and keep the smallest "
                        f"(default {DEFAULT_LEVEL})")
    e.set_defaults(fn=cmd_encode)

    d = sub.add_parser("decode", parents=[threads, batch], help="decode .kelm files (or directories of them)",
                       description="kelm decode a.kelm b.kelm writes a.png and b.png; "
                                   "kelm decode in.kelm out.png (format from the suffix) works too.")
    d.add_argument("inputs", nargs="+", metavar="INPUT", help=".kelm files or directories")
    d.set_defaults(fn=cmd_decode)

    i = sub.add_parser("info", help="show the header of .kelm files")
    i.add_argument("files", nargs="+", metavar="FILE")
    i.set_defaults(fn=cmd_info)

    b = sub.add_parser("bench", parents=[threads], help="compare kelm_codec with PNG, QOI, JPEG-LS, WebP, JPEG XL")
    b.add_argument("paths", nargs="*", metavar="IMAGE_OR_DIR", help="images or directories (default: the samples)")
    b.add_argument("--plot", metavar="FILE.png", help="draw bits per pixel against decode speed")
    b.add_argument("--memory", action="store_true", help="peak memory of encoding and decoding an 8 MP photograph")
    b.add_argument("--level", type=_level, default=DEFAULT_LEVEL, metavar="N",
                   help=f"the effort level kelm_codec encodes with, 0 to 9 (default {DEFAULT_LEVEL})")
    b.add_argument("--repeat", type=int, default=3, help="runs per measurement, median taken (default 3)")
    g = b.add_mutually_exclusive_group()
    g.add_argument("--large", dest="large", action="store_true", default=None,
                   help="also time an 8-megapixel photograph (default when no paths are given)")
    g.add_argument("--no-large", dest="large", action="store_false", help="skip the 8-megapixel photograph")
    b.set_defaults(fn=cmd_bench)
    return ap


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    if getattr(args, "threads", None) is not None and not 1 <= args.threads <= _api.MAX_THREADS:
        print(f"kelm: error: --threads must be between 1 and {_api.MAX_THREADS}", file=sys.stderr)
        return EXIT_USAGE
    if getattr(args, "threads", None):
        import kelm_rans

        from . import _kernels
        kelm_rans.set_rayon_threads(args.threads)  # the native pools, if not created yet
        _kernels.set_threads(args.threads)
    try:
        return args.fn(args)
    except UserError as e:
        for line in str(e).splitlines():
            print(f"kelm: error: {line}", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        print("kelm: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return EXIT_ERROR
    except MemoryError:
        print("kelm: error: out of memory", file=sys.stderr)
        return EXIT_ERROR
    except (Exception, *BackendPanic) as e:  # a fault of the program itself: still one line unless asked for more
        if isinstance(e, BackendPanic) and str(e).startswith(NO_POOL):  # the environment's fault
            print(f"kelm: error: cannot start the worker threads ({str(e)[len(NO_POOL):]}); "
                  "check RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS", file=sys.stderr)
            return EXIT_ERROR
        if os.environ.get("KELM_DEBUG"):
            raise
        print(f"kelm: internal error: {type(e).__name__}: {e} (set KELM_DEBUG=1 for details)", file=sys.stderr)
        return 3
