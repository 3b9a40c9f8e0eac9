"""start/shutdown: data directory, discovery files, locking, timeouts."""
import os
import threading

import pytest

import quor
from conftest import run_python, run_script, wait_status

# Starts on the resolved directory and prints where "quor.lock" appeared.
PROBE = """
import os, sys, quor
before = set()
quor.start()
quor.shutdown()
"""


def probe_dir(tmp_path, argv, **env):
    r = run_python(argv, cwd=str(tmp_path), **env)
    assert r.returncode == 0, r.stderr
    return r


def test_data_dir_resolution(tmp_path):
    script_dir = tmp_path / "app"
    script_dir.mkdir()
    script = script_dir / "run.py"
    script.write_text(PROBE)
    home = tmp_path / "home"
    home.mkdir()
    qhome = tmp_path / "qhome"

    probe_dir(tmp_path, [str(script)], QUOR_HOME=str(qhome), HOME=str(home))
    assert (qhome / "quor.lock").exists()

    probe_dir(tmp_path, [str(script)], QUOR_HOME=None, HOME=str(home))
    assert (script_dir / ".quor" / "quor.lock").exists()

    probe_dir(script_dir, ["run.py"], QUOR_HOME=None, HOME=str(home))
    assert (home / ".quor" / "quor.lock").exists()

    probe_dir(script_dir, ["run.py"], QUOR_HOME=None, HOME=None)
    assert (script_dir / ".quor" / "quor.lock").exists()
    (script_dir / ".quor" / "quor.lock").unlink()
    probe_dir(tmp_path, ["-c", PROBE], QUOR_HOME=None, HOME=None)
    assert (tmp_path / ".quor" / "quor.lock").exists()


def test_relative_data_dir_is_taken_from_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    quor.start("rel")
    assert (tmp_path / "rel" / "quor.aof").exists()


def test_discovery_files_exist_while_running_and_go_at_shutdown(engine):
    assert (engine / "quor.port").exists() and (engine / "quor.sock").exists()
    assert oct(engine.stat().st_mode & 0o777) == "0o700"
    quor.shutdown()
    assert not (engine / "quor.port").exists()
    assert not (engine / "quor.sock").exists()
    assert (engine / "quor.token").exists()


def test_second_start_is_refused(engine):
    with pytest.raises(RuntimeError, match="^engine already started$"):
        quor.start(str(engine))


def test_start_shutdown_start_on_one_directory(tmp_path):
    data = str(tmp_path / "d")
    for _ in range(3):
        quor.start(data)
        quor.shutdown()


def test_locked_directory_in_a_second_process(engine):
    r = run_script(f"import quor\nquor.start({str(engine)!r})\n")
    assert r.returncode != 0
    last = r.stderr.strip().splitlines()[-1]
    assert last == (f"RuntimeError: data directory is already locked: {engine}/quor.lock"
                    f"; another writer may be active; socket: {engine}/quor.sock")


def test_refused_control_host_fails_start_and_keeps_the_queue(tmp_path, monkeypatch):
    monkeypatch.setenv("QUOR_IPC_HOST", "0.0.0.0")
    monkeypatch.delenv("QUOR_UNSAFE_ALLOW_REMOTE_IPC", raising=False)
    with pytest.raises(RuntimeError, match="^IPC unavailable: refusing to bind IPC to "
                                           "non-loopback host 0.0.0.0"):
        quor.start(str(tmp_path / "d"))
    monkeypatch.delenv("QUOR_IPC_HOST")
    # The failed start released the directory.
    quor.start(str(tmp_path / "d"))


@pytest.mark.parametrize("bad", [-1, -0.001, float("nan"), float("inf")])
def test_bad_timeout_leaves_the_engine_running(engine, bad):
    quor.schedule("t", fn=lambda: None, every="1h")
    with pytest.raises(ValueError, match="^timeout must be a non-negative number$"):
        quor.shutdown(bad)
    assert quor.status("t")["state"] == "scheduled"
    quor.shutdown(-0.0)
    assert quor.status("t") is None


def test_shutdown_timeout_puts_the_engine_back(engine):
    release = threading.Event()
    quor.schedule("slow", fn=lambda: release.wait(30), after="1s")
    wait_status("slow", lambda s: s["state"] == "running")
    with pytest.raises(RuntimeError, match=r"^shutdown timed out after 250ms$"):
        quor.shutdown(0.25)
    assert quor.status("slow")["state"] == "running"
    assert (engine / "quor.port").exists()
    release.set()
    quor.shutdown(20)
    assert not (engine / "quor.port").exists()
