import os
import subprocess
import sys

import pytest


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter (for process-wide state such as the worker
    pool or the thread-count environment) and returns its stdout."""

    def run(code, env=None):
        full_env = dict(os.environ)
        for key in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
            full_env.pop(key, None)
        full_env.update(env or {})
        result = subprocess.run(
            [sys.executable, "-c", code], env=full_env, capture_output=True, text=True, timeout=600
        )
        assert result.returncode == 0, result.stderr
        return result.stdout

    return run
