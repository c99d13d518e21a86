"""Helpers shared by the test files."""
import os
import subprocess
import sys
import textwrap


def run_python(code, timeout=120, **env):
    """Runs code in a fresh interpreter with the given environment additions
    (the pool's environment variables removed first); returns its stdout."""
    full_env = dict(os.environ)
    full_env.pop("RAYON_NUM_THREADS", None)
    full_env.pop("RAYON_RS_NUM_CPUS", None)
    full_env.update(env)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=full_env, timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


def is_panic(exc):
    """True for the internal-error exception (a BaseException, not an Exception)."""
    t = type(exc)
    return (t.__module__, t.__qualname__) == ("pyo3_runtime", "PanicException") and not isinstance(exc, Exception)
