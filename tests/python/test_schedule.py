"""schedule(): the keyword checks, every schedule kind, and what status shows."""
import datetime
import functools
import zoneinfo

import pytest

import quor
from conftest import wait_status

UTC = datetime.timezone.utc


def noop():
    pass


@pytest.mark.parametrize("kwargs, exc, text", [
    ({}, ValueError, "schedule() requires keyword args"),
    ({"every": "1s"}, ValueError, "schedule() requires fn=<callable>"),
    ({"fn": 42, "every": "1s"}, ValueError, "fn must be callable"),
    ({"fn": noop}, ValueError, "schedule() requires exactly one of cron, every, after, at"),
    ({"fn": noop, "cron": "* * * * *", "every": "1s"}, ValueError,
     "schedule() requires exactly one of cron, every, after, at"),
    ({"fn": noop, "after": "1s", "at": "2030-01-01T00:00:00Z"}, ValueError,
     "schedule() requires exactly one of cron, every, after, at"),
    ({"fn": noop, "every": 30}, TypeError, "'int' object cannot be converted to 'str'"),
    ({"fn": noop, "after": 1.5}, TypeError, "'float' object cannot be converted to 'str'"),
    ({"fn": noop, "cron": None}, TypeError, "'NoneType' object cannot be converted to 'str'"),
    ({"fn": noop, "every": "1s", "timezone": None}, TypeError,
     "'NoneType' object cannot be converted to 'str'"),
    ({"fn": noop, "at": None}, ValueError,
     "at must be timezone-aware datetime or RFC3339 string, got NoneType"),
    ({"fn": noop, "at": 1700000000}, ValueError,
     "at must be timezone-aware datetime or RFC3339 string, got int"),
    ({"fn": noop, "at": datetime.date(2030, 1, 1)}, ValueError,
     "at must be timezone-aware datetime or RFC3339 string, got date"),
    ({"fn": noop, "at": datetime.datetime(2030, 1, 1, 12)}, ValueError,
     "at must be timezone-aware datetime or RFC3339 string, got datetime"),
    ({"fn": noop, "at": "2030-01-01"}, ValueError, "invalid at datetime: premature end of input"),
    ({"fn": noop, "at": ""}, ValueError, "invalid at datetime: premature end of input"),
    ({"fn": noop, "at": "2030-01-01T12:00:00Zjunk"}, ValueError,
     "invalid at datetime: trailing input"),
    ({"fn": noop, "at": "next tuesday"}, ValueError,
     "invalid at datetime: input contains invalid characters"),
    ({"fn": noop, "max_attempts": 2.5, "every": "1s"}, TypeError, None),
    ({"fn": noop, "max_attempts": "3", "every": "1s"}, TypeError, None),
    ({"fn": noop, "max_attempts": -1, "every": "1s"}, OverflowError, None),
    ({"fn": noop, "max_attempts": 2**32, "every": "1s"}, OverflowError, None),
])
def test_refusals_before_and_after_start(tmp_path, kwargs, exc, text):
    # The checks run without an engine and with one, and queue nothing.
    for running in (False, True):
        if running:
            quor.start(str(tmp_path / "d"))
        with pytest.raises(exc) as info:
            quor.schedule("t", **kwargs)
        if text is not None:
            assert str(info.value) == text
    assert quor.list() == []


@pytest.mark.parametrize("value", ["10x", "", "s", "-5s", "5 s", "5S"])
def test_bad_durations_are_value_errors_before_start(value):
    for key in ("every", "after"):
        with pytest.raises(ValueError, match="^invalid cron expression: "):
            quor.schedule("t", fn=noop, **{key: value})


def test_a_scheduled_timer_shows_in_status_and_list(engine):
    def f():
        pass

    assert quor.schedule("a", fn=f, every="30s") is None
    st = quor.status("a")
    assert list(st) == ["id", "state", "fn_name", "last_run_at", "last_duration_ms",
                        "last_status", "next_run_at", "retries_last_7d"]
    assert st["id"] == "a"
    assert st["state"] == "scheduled"
    assert st["fn_name"] == "f"
    assert st["last_run_at"] is None
    assert st["last_duration_ms"] is None
    assert st["last_status"] is None
    assert st["retries_last_7d"] == 0
    next_run = datetime.datetime.fromisoformat(st["next_run_at"])
    assert st["next_run_at"].endswith("+00:00")
    delay = (next_run - datetime.datetime.now(UTC)).total_seconds()
    assert 20 < delay <= 30
    assert quor.list() == [st]
    assert quor.status("unknown") is None


def test_every_schedule_kind_arms_a_fire(engine):
    quor.schedule("cron", fn=noop, cron="0 12 * * *", timezone="Europe/Paris")
    quor.schedule("every", fn=noop, every="5m")
    quor.schedule("after", fn=noop, after="2h")
    quor.schedule("at", fn=noop, at="2030-01-01T12:00:00Z")
    now = datetime.datetime.now(UTC)
    runs = {s["id"]: datetime.datetime.fromisoformat(s["next_run_at"]) for s in quor.list()}
    assert set(runs) == {"cron", "every", "after", "at"}
    assert runs["cron"].astimezone(zoneinfo.ZoneInfo("Europe/Paris")).hour == 12
    assert 0 < (runs["cron"] - now).total_seconds() <= 86400 + 3600
    assert 250 < (runs["every"] - now).total_seconds() <= 300
    assert 7100 < (runs["after"] - now).total_seconds() <= 7200
    assert runs["at"] == datetime.datetime(2030, 1, 1, 12, tzinfo=UTC)


@pytest.mark.parametrize("at, expected", [
    (datetime.datetime(2030, 1, 1, 12, tzinfo=UTC), "2030-01-01T12:00:00+00:00"),
    (datetime.datetime(2030, 1, 1, 12, tzinfo=datetime.timezone(datetime.timedelta(hours=2))),
     "2030-01-01T10:00:00+00:00"),
    (datetime.datetime(2030, 1, 1, 12, tzinfo=datetime.timezone(-datetime.timedelta(hours=5,
                                                                                      minutes=30))),
     "2030-01-01T17:30:00+00:00"),
    (datetime.datetime(2030, 7, 1, 12, tzinfo=zoneinfo.ZoneInfo("Europe/Berlin")),
     "2030-07-01T10:00:00+00:00"),
    (datetime.datetime(2030, 1, 1, 12, 0, 0, 250000, tzinfo=UTC),
     "2030-01-01T12:00:00.250+00:00"),
    (datetime.datetime(2030, 1, 1, 12, 0, 0, 250001, tzinfo=UTC),
     "2030-01-01T12:00:00.250001+00:00"),
    ("2030-01-01T12:00:00+02:00", "2030-01-01T10:00:00+00:00"),
    ("2030-01-01T12:00:00Z", "2030-01-01T12:00:00+00:00"),
    ("2030-01-01T12:00:00.000000007Z", "2030-01-01T12:00:00.000000007+00:00"),
    ("2030-01-01T00:30:00-01:00", "2030-01-01T01:30:00+00:00"),
])
def test_at_conversion(engine, at, expected):
    quor.schedule("at", fn=noop, at=at)
    assert quor.status("at")["next_run_at"] == expected


def test_at_accepts_datetime_subclasses(engine):
    class Stamp(datetime.datetime):
        pass

    quor.schedule("at", fn=noop, at=Stamp(2030, 1, 1, 12, tzinfo=UTC))
    assert quor.status("at")["next_run_at"] == "2030-01-01T12:00:00+00:00"

    class Naive(datetime.datetime):
        pass

    with pytest.raises(ValueError, match="got Naive$"):
        quor.schedule("at2", fn=noop, at=Naive(2030, 1, 1))


def test_at_with_a_tzinfo_that_raises_is_refused(engine):
    class Broken(datetime.tzinfo):
        def utcoffset(self, dt):
            raise RuntimeError("no offset")

    with pytest.raises(ValueError, match="^at must be timezone-aware datetime or RFC3339 "
                                         "string, got datetime$"):
        quor.schedule("at", fn=noop, at=datetime.datetime(2030, 1, 1, tzinfo=Broken()))


def test_at_in_the_past_is_recorded_but_never_armed(engine):
    quor.schedule("past", fn=noop, at="2001-01-01T00:00:00Z")
    st = quor.status("past")
    assert st["state"] == "scheduled" and st["next_run_at"] is None


@pytest.mark.parametrize("kwargs", [
    {"cron": "not a cron"},
    {"cron": "61 * * * *"},
    {"cron": "* * * * *", "timezone": "Mars/Olympus"},
])
def test_unevaluable_cron_or_zone_is_accepted_without_a_next_fire(tmp_path, kwargs):
    quor.schedule("queued", fn=noop, **kwargs)  # before start: queued
    quor.start(str(tmp_path / "d"))
    quor.schedule("live", fn=noop, **kwargs)
    for name in ("queued", "live"):
        st = quor.status(name)
        assert st["state"] == "scheduled"
        assert st["fn_name"] == "noop"
        assert st["next_run_at"] is None


def test_fn_name_falls_back_to_repr(engine):
    part = functools.partial(noop)
    quor.schedule("p", fn=part, every="1h")
    assert quor.status("p")["fn_name"] == repr(part)

    class NoName:
        def __call__(self):
            pass

        def __repr__(self):
            return "<NoName>"

    quor.schedule("n", fn=NoName(), every="1h")
    assert quor.status("n")["fn_name"] == "<NoName>"

    class Hopeless:
        __name__ = 7  # not a str

        def __call__(self):
            pass

        def __repr__(self):
            raise RuntimeError("no repr")

    quor.schedule("h", fn=Hopeless(), every="1h")
    assert quor.status("h")["fn_name"] == "<callable>"
    assert quor.status("n")["fn_name"] == "<NoName>"


def test_unknown_keywords_are_ignored_and_zero_attempts_accepted(engine):
    quor.schedule("t", fn=noop, every="1h", payload=1, max_attempts=0)
    assert quor.status("t")["state"] == "scheduled"
    quor.schedule("u", fn=noop, every="1h", max_attempts=2**32 - 1)
    quor.schedule("v", fn=noop, every="1h", max_attempts=True)


def test_requests_before_start_apply_at_start_in_call_order(tmp_path):
    def first():
        pass

    def second():
        pass

    quor.schedule("a", fn=first, every="1h")
    quor.schedule("b", fn=noop, after="10m")
    quor.schedule("a", fn=second, every="2h")  # same name: the later call wins
    assert quor.status("a") is None and quor.list() == []
    quor.start(str(tmp_path / "d"))
    a = quor.status("a")
    assert a["fn_name"] == "second"
    delay = (datetime.datetime.fromisoformat(a["next_run_at"]) -
             datetime.datetime.now(UTC)).total_seconds()
    assert 3600 < delay <= 7200
    assert {s["id"] for s in quor.list()} == {"a", "b"}
    # Two records for "a" (created, then updated), one for "b".
    lines = (tmp_path / "d" / "quor.aof").read_text().splitlines()
    kinds = [(l.split('"type":"')[1].split('"')[0], l.split('"id":"')[1].split('"')[0])
             for l in lines]
    assert kinds == [("TIMER_CREATED", "a"), ("TIMER_CREATED", "b"), ("TIMER_UPDATED", "a")]


def test_after_queued_before_start_is_anchored_at_the_call(tmp_path):
    quor.schedule("late", fn=noop, after="1s")
    called = datetime.datetime.now(UTC)
    # The anchor is the schedule call: after start the fire may already be due.
    quor.start(str(tmp_path / "d"))
    st = quor.status("late")
    if st["next_run_at"] is not None:
        due = datetime.datetime.fromisoformat(st["next_run_at"])
        assert due <= called + datetime.timedelta(seconds=1.5)


def test_start_failing_at_open_keeps_the_queue(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a directory")
    quor.schedule("kept", fn=noop, every="1h")
    with pytest.raises(RuntimeError, match="^log I/O error: "):
        quor.start(str(blocker))
    quor.start(str(tmp_path / "d"))
    assert quor.status("kept")["fn_name"] == "noop"


def test_schedule_after_control_shutdown_is_refused_and_start_says_started(engine):
    # An engine whose shutdown timed out refuses new timers.
    import threading
    release = threading.Event()
    quor.schedule("slow", fn=lambda: release.wait(30), after="1s")
    wait_status("slow", lambda s: s["state"] == "running")
    with pytest.raises(RuntimeError, match=r"^shutdown timed out after 0ms$"):
        quor.shutdown(timeout=0)
    with pytest.raises(RuntimeError, match="^engine has already been shut down$"):
        quor.schedule("new", fn=noop, every="1h")
    with pytest.raises(RuntimeError, match="^engine already started$"):
        quor.start()
    assert quor.status("slow")["state"] == "running"
    release.set()
    quor.shutdown(timeout=20)
    assert quor.status("slow") is None
    # The refused request was not queued: a later start does not see it.
    quor.start(str(engine))
    assert quor.status("new") is None
