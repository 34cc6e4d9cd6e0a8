import gc
import os
import resource
import subprocess
import sys

import pytest

import _pellorin


def run_python(code: str, **env) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter of the same environment."""
    full_env = dict(os.environ, **env)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=full_env, timeout=300)


def rss_kib() -> int:
    """Current resident set size in KiB (Linux)."""
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * resource.getpagesize() // 1024


def overcommit_always() -> bool:
    """Whether the kernel grants every allocation (overcommit_memory = 1)."""
    try:
        with open("/proc/sys/vm/overcommit_memory") as f:
            return f.read().strip() == "1"
    except OSError:
        return False


@pytest.fixture(scope="session")
def panic_type():
    """The internal-error exception type. No checked input reaches it; it is
    created on the module's first import and is not a module attribute, so it
    is found among BaseException's direct subclasses."""
    found = [t for t in BaseException.__subclasses__() if t.__module__ == "corvane_runtime"]
    assert len(found) == 1, found
    return found[0]


@pytest.fixture
def no_leak():
    """Asserts that a block of repeated calls does not grow resident memory."""
    def check(fn, calls=2000, budget_kib=4096):
        for _ in range(50):
            fn()
        gc.collect()
        before = rss_kib()
        for _ in range(calls):
            fn()
        gc.collect()
        grown = rss_kib() - before
        assert grown < budget_kib, f"resident memory grew by {grown} KiB over {calls} calls"
    return check


SANITIZED = os.environ.get("PELLORIN_EXPECT_SANITIZED") == "1"
if SANITIZED:
    # The sanitizer run must exercise the instrumented build, not an installed wheel.
    assert "sanitize" in _pellorin.__file__, _pellorin.__file__
