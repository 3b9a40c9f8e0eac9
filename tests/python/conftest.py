import os
import subprocess
import sys
import time

import pytest

import quor

DEADLINE = 20.0


def wait_for(predicate, timeout=DEADLINE, interval=0.02):
    """Polls predicate() until it returns a true value; fails after timeout."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"condition not met within {timeout} s")
        time.sleep(interval)


def wait_status(name, predicate, timeout=DEADLINE):
    """Polls quor.status(name) until predicate(status) holds; returns it."""
    holder = {}

    def check():
        st = quor.status(name)
        holder["last"] = st
        return st is not None and predicate(st)

    try:
        wait_for(check, timeout)
    except AssertionError:
        raise AssertionError(f"status of {name!r} never matched; last: {holder.get('last')}")
    return holder["last"]


@pytest.fixture
def engine(tmp_path):
    """A running engine on a fresh data directory; stopped afterwards."""
    data_dir = tmp_path / "data"
    quor.start(str(data_dir))
    try:
        yield data_dir
    finally:
        quor.shutdown(timeout=10.0)


@pytest.fixture(autouse=True)
def idle_module():
    """Every test starts and ends with no engine running."""
    quor.shutdown(timeout=10.0)
    yield
    quor.shutdown(timeout=10.0)


def module_env(**overrides):
    """Environment for a child interpreter that imports this same quor."""
    env = dict(os.environ)
    quor_dir = os.path.dirname(os.path.abspath(quor.__file__))
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in [quor_dir, env.get("PYTHONPATH", "")] if p)
    for key, value in overrides.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def run_python(args, timeout=60, cwd=None, **env):
    """Runs the interpreter with `args` (a list) and returns the result."""
    return subprocess.run([sys.executable, *args], env=module_env(**env), cwd=cwd,
                          capture_output=True, text=True, timeout=timeout)


def run_script(code, timeout=60, cwd=None, **env):
    """Runs `code` with python -c in a child interpreter."""
    return run_python(["-c", code], timeout=timeout, cwd=cwd, **env)
