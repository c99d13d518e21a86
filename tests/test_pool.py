"""Worker pool sizing and set_rayon_threads, each case in a fresh process."""
import os

import pytest

import kelm_rans as k

from util import run_python

THREADS_AFTER = """
    import os, kelm_rans
    {setup}
    kelm_rans.set_rayon_threads({n})
    print(len(os.listdir("/proc/self/task")) - 1)
"""
PIN_TO_ONE_CPU = "os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})"


def workers(n=0, setup="", **env):
    return int(run_python(THREADS_AFTER.format(n=n, setup=setup), **env))


@pytest.mark.parametrize("n", [1, 3, 4])
def test_explicit_size_overrides_environment(n):
    assert workers(n, RAYON_NUM_THREADS="2", RAYON_RS_NUM_CPUS="5") == n


@pytest.mark.parametrize("env, expected", [
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "+3"}, 3),
    ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": "-1", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "99999999999999999999999", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_RS_NUM_CPUS": "+4"}, 4),
    # 0 means the available parallelism at once: the second variable is not read.
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, 1),
    ({"RAYON_RS_NUM_CPUS": "0"}, 1),
    ({}, 1),
])
def test_default_size_from_environment(env, expected):
    # Pinned to one CPU, the available parallelism is 1.
    assert workers(0, setup=PIN_TO_ONE_CPU, **env) == expected


def test_available_parallelism_follows_affinity():
    out = run_python("""
        import os, kelm_rans
        cpus = len(os.sched_getaffinity(0))
        kelm_rans.set_rayon_threads(0)
        print(cpus, len(os.listdir("/proc/self/task")) - 1)
    """)
    cpus, threads = map(int, out.split())
    assert 1 <= threads <= cpus


def test_pool_is_created_once_and_never_resized():
    out = run_python("""
        import os, kelm_rans
        kelm_rans.set_rayon_threads(4)
        first = len(os.listdir("/proc/self/task"))
        print(kelm_rans.set_rayon_threads(8), first, len(os.listdir("/proc/self/task")))
    """)
    assert out.split() == ["None", "5", "5"]


def test_parallel_step_creates_default_pool_first():
    if not hasattr(k, "build_all_lookups"):
        pytest.skip("no parallel step registered")
    out = run_python("""
        import os, numpy as np, kelm_rans
        before = len(os.listdir("/proc/self/task"))  # NumPy may have threads of its own
        kelm_rans.build_all_lookups(np.zeros((1, 1, 257), np.uint64))
        kelm_rans.set_rayon_threads(2)
        print(len(os.listdir("/proc/self/task")) - before)
    """, RAYON_NUM_THREADS="3")
    assert int(out) == 3


@pytest.mark.parametrize("bad, error", [(-1, OverflowError), (1.5, TypeError), (None, TypeError)])
def test_set_rayon_threads_argument_errors(bad, error):
    with pytest.raises(error):
        k.set_rayon_threads(bad)


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizers reserve more address space")
def test_a_pool_that_cannot_start_releases_the_threads_it_started():
    # Room for a few thread stacks only: creating the pool fails part way.
    out = run_python("""
        import os, resource, numpy as np, kelm_rans
        before = len(os.listdir("/proc/self/task"))
        size = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), resource.RLIM_INFINITY))
        kelm_rans.set_rayon_threads(1000)
        left = len(os.listdir("/proc/self/task")) - before
        try:
            kelm_rans.build_all_lookups(np.zeros((1, 1, 257), np.uint64))
        except BaseException as e:
            print(left, str(e))
    """)
    left, message = out.split(" ", 1)
    assert left == "0" and message.startswith("The global thread pool has not been initialized.: ")
