"""Runs observed through status: outcomes, calling forms, failure texts."""
import asyncio
import threading

import pytest

import quor
from conftest import wait_for, wait_status


def ran_ok(st):
    return st["last_status"] == "OK"


def test_succeeding_task_with_context(engine):
    seen = []
    quor.schedule("ok", fn=lambda ctx: seen.append(ctx), every="1s")
    st = wait_status("ok", ran_ok)
    assert st["state"] == "scheduled"
    assert st["last_run_at"].endswith("+00:00")
    assert isinstance(st["last_duration_ms"], int)
    assert st["next_run_at"] is not None
    ctx = seen[0]
    assert list(ctx) == ["timer_id", "run_id"]
    assert ctx["timer_id"] == "ok"
    assert ctx["run_id"].startswith("run_") and len(ctx["run_id"]) == 30
    assert ctx["run_id"] == ctx["run_id"].lower()


class Outer:
    class Error(Exception):
        pass


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def raise_(exc):
    def task():
        raise exc
    return task


@pytest.mark.parametrize("fn, text", [
    (raise_(ValueError("boom")), "ValueError: boom"),
    (raise_(Outer.Error("inner")), "Outer.Error: inner"),
    (raise_(KeyError("k")), "KeyError: 'k'"),
    (raise_(RuntimeError()), "RuntimeError: "),
    (raise_(BadStr()), "BadStr: <exception str() failed>"),
    (raise_(SystemExit(3)), "SystemExit: 3"),
    (raise_(KeyboardInterrupt()), "KeyboardInterrupt: "),
    (lambda a, b: None, None),  # called with the context only: TypeError
    (lambda *, required: None, None),
])
def test_failing_task_with_one_attempt_goes_dead(engine, fn, text):
    quor.schedule("bad", fn=fn, after="1s", max_attempts=1)
    st = wait_status("bad", lambda s: s["state"] == "dead")
    assert st["last_status"] == "DEAD"
    assert st["last_duration_ms"] is None
    assert st["next_run_at"] is None
    aof = (engine / "quor.aof").read_text()
    if text is None:
        assert '"error":"TypeError: ' in aof
    else:
        assert '"error":"' + text.replace("'", "'") + '"' in aof


def test_failure_with_attempts_left_retries(engine):
    quor.schedule("retry", fn=raise_(ValueError("again")), after="1s", max_attempts=3)
    st = wait_status("retry", lambda s: s["state"] == "retrying")
    assert st["last_status"] == "FAILED: ValueError: again"
    assert st["retries_last_7d"] == 1
    assert st["next_run_at"] is None


def test_coroutine_task_is_run(engine):
    done = []

    async def task(ctx):
        await asyncio.sleep(0.01)
        done.append(ctx["timer_id"])

    quor.schedule("co", fn=task, after="1s")
    wait_status("co", ran_ok)
    assert done == ["co"]


def test_coroutine_failure_is_the_failure_text(engine):
    async def task():
        await asyncio.sleep(0)
        raise LookupError("async boom")

    quor.schedule("co", fn=task, after="1s", max_attempts=1)
    wait_status("co", lambda s: s["state"] == "dead")
    assert '"error":"LookupError: async boom"' in (engine / "quor.aof").read_text()


class Bound:
    def __init__(self):
        self.got = []

    def method(self, ctx):
        self.got.append(ctx)


@pytest.mark.parametrize("make, expect_ctx", [
    (lambda rec: (lambda: rec.append(None)), False),
    (lambda rec: (lambda ctx: rec.append(ctx)), True),
    (lambda rec: (lambda *args: rec.append(args[0])), True),
    (lambda rec: (lambda ctx, /: rec.append(ctx)), True),
    (lambda rec: (lambda ctx=None: rec.append(ctx)), True),
    (lambda rec: (lambda **kw: rec.append(None)), False),
    (lambda rec: (lambda *, opt=1: rec.append(None)), False),
])
def test_calling_form_follows_the_signature(engine, make, expect_ctx):
    rec = []
    quor.schedule("form", fn=make(rec), after="1s")
    wait_status("form", ran_ok)
    assert len(rec) == 1
    assert isinstance(rec[0], dict) == expect_ctx


def test_bound_method_and_uninspectable_builtin(engine):
    b = Bound()
    quor.schedule("m", fn=b.method, after="1s")
    quor.schedule("builtin", fn=threading.get_ident, after="1s")  # no signature for it?
    wait_status("m", ran_ok)
    wait_status("builtin", ran_ok)
    assert b.got[0]["timer_id"] == "m"


def test_rescheduling_binds_the_new_function(engine):
    calls = []
    quor.schedule("swap", fn=lambda: calls.append("old"), every="1h")
    quor.schedule("swap", fn=lambda: calls.append("new"), every="1s")
    wait_for(lambda: calls)
    assert set(calls) == {"new"}


def test_restart_orphans_timers_until_scheduled_again(tmp_path):
    data = str(tmp_path / "d")
    calls = []

    def task():
        calls.append(1)

    quor.start(data)
    quor.schedule("t", fn=task, every="1h")
    quor.schedule("gone", fn=task, every="1h")
    quor.shutdown()
    quor.start(data)
    for name in ("t", "gone"):
        st = quor.status(name)
        assert st["state"] == "orphaned"
        assert st["fn_name"] is None and st["next_run_at"] is None
    size = (tmp_path / "d" / "quor.aof").stat().st_size
    quor.schedule("t", fn=task, every="1h")
    st = quor.status("t")
    assert st["state"] == "scheduled" and st["fn_name"] == "task"
    assert st["next_run_at"] is not None
    assert (tmp_path / "d" / "quor.aof").stat().st_size == size  # unchanged definition
    assert quor.status("gone")["state"] == "orphaned"
