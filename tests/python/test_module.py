"""The module's surface: names, signatures and argument errors."""
import asyncio
import inspect

import pytest

import quor

FUNCTIONS = ["schedule", "start", "astart", "shutdown", "ashutdown",
             "status", "astatus", "list", "alist"]


def test_all_lists_functions_then_classes_in_order():
    assert quor.__all__[:9] == FUNCTIONS
    assert quor.__all__[9:] in ([], ["Client", "Worker"])
    for name in quor.__all__:
        assert hasattr(quor, name)


@pytest.mark.parametrize("name, signature", [
    ("schedule", "(name, **kwargs)"),
    ("start", "(data_dir=None)"),
    ("astart", "(data_dir=None)"),
    ("shutdown", "(timeout=5.0)"),
    ("ashutdown", "(timeout=5.0)"),
    ("status", "(name)"),
    ("astatus", "(name)"),
    ("list", "()"),
    ("alist", "()"),
])
def test_text_signatures_without_help_text(name, signature):
    fn = getattr(quor, name)
    assert str(inspect.signature(fn)) == signature
    assert not fn.__doc__
    assert fn.__module__ == "quor"


def test_module_docstring_is_empty():
    assert quor.__name__ == "quor"
    assert quor.__doc__ == ""


@pytest.mark.parametrize("call, text", [
    (lambda: quor.status(), "status() missing 1 required positional argument: 'name'"),
    (lambda: quor.astatus(), "astatus() missing 1 required positional argument: 'name'"),
    (lambda: quor.schedule(), "schedule() missing 1 required positional argument: 'name'"),
    (lambda: quor.schedule(every="1s"),
     "schedule() missing 1 required positional argument: 'name'"),
    (lambda: quor.status("a", "b"), "status() takes 1 positional arguments but 2 were given"),
    (lambda: quor.schedule("a", "b"),
     "schedule() takes 1 positional arguments but 2 were given"),
    (lambda: quor.start("a", "b"),
     "start() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: quor.shutdown(1, 2, 3),
     "shutdown() takes from 0 to 1 positional arguments but 3 were given"),
    (lambda: quor.status(nme="a"), "status() got an unexpected keyword argument 'nme'"),
    (lambda: quor.start(dir="x"), "start() got an unexpected keyword argument 'dir'"),
    (lambda: quor.shutdown(timeout=1, force=True),
     "shutdown() got an unexpected keyword argument 'force'"),
    (lambda: quor.status("a", name="b"), "status() got multiple values for argument 'name'"),
    (lambda: quor.schedule("a", name="b"),
     "schedule() got multiple values for argument 'name'"),
    (lambda: quor.start(123), "argument 'data_dir': 'int' object cannot be converted to 'str'"),
    (lambda: quor.astart(123),
     "argument 'data_dir': 'int' object cannot be converted to 'str'"),
    (lambda: quor.start(b"/tmp"),
     "argument 'data_dir': 'bytes' object cannot be converted to 'str'"),
    (lambda: quor.status(None), "argument 'name': 'NoneType' object cannot be converted to 'str'"),
    (lambda: quor.astatus(1), "argument 'name': 'int' object cannot be converted to 'str'"),
    (lambda: quor.schedule(5, fn=print, every="1s"),
     "argument 'name': 'int' object cannot be converted to 'str'"),
    (lambda: quor.shutdown(None), "argument 'timeout': must be real number, not NoneType"),
    (lambda: quor.shutdown("5"), "argument 'timeout': must be real number, not str"),
    (lambda: quor.ashutdown("5"), "argument 'timeout': must be real number, not str"),
])
def test_argument_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


def test_path_like_data_dir_is_refused(tmp_path):
    with pytest.raises(TypeError, match="^argument 'data_dir': 'PosixPath' object"):
        quor.start(tmp_path)


def test_list_takes_no_arguments():
    with pytest.raises(TypeError):
        quor.list(1)
    with pytest.raises(TypeError):
        quor.alist(1)


def test_shutdown_without_engine_returns_none_and_ignores_timeout():
    assert quor.shutdown() is None
    assert quor.shutdown(-1) is None
    assert quor.shutdown(float("nan")) is None
    assert quor.shutdown(timeout=0) is None


def test_queries_without_engine():
    assert quor.status("anything") is None
    assert quor.list() == []


def test_async_twins_do_nothing_until_awaited(tmp_path):
    data_dir = tmp_path / "d"
    aw = quor.astart(str(data_dir))
    assert not data_dir.exists()
    aw.close()  # the coroutine never ran
    assert not data_dir.exists()
    assert quor.status("x") is None


def test_async_twins_look_up_the_module_functions_at_call_time(monkeypatch):
    seen = []

    def fake_shutdown(timeout):
        seen.append(timeout)

    monkeypatch.setattr(quor, "shutdown", fake_shutdown)
    asyncio.run(quor.ashutdown())
    asyncio.run(quor.ashutdown(2))
    assert seen == [5.0, 2.0]
    assert all(type(t) is float for t in seen)


def test_ashutdown_checks_the_value_only_when_run():
    aw = quor.ashutdown(-1)  # accepted at the call: only the type is checked
    asyncio.run(aw)  # nothing running, so -1 is not looked at


def test_astart_astatus_alist_ashutdown_on_an_event_loop(tmp_path):
    data_dir = tmp_path / "loop"

    async def main():
        await quor.astart(str(data_dir))
        quor.schedule("t", fn=lambda: None, every="1h")
        st = await quor.astatus("t")
        all_ = await quor.alist()
        missing = await quor.astatus("nope")
        await quor.ashutdown()
        return st, all_, missing

    st, all_, missing = asyncio.run(main())
    assert st["id"] == "t" and st["state"] == "scheduled"
    assert [s["id"] for s in all_] == ["t"]
    assert missing is None
    assert quor.status("t") is None  # stopped
    assert (data_dir / "quor.aof").exists()
