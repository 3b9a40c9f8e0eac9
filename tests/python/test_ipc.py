"""The control endpoint seen from a local tool: a real client over the Unix
socket and over TCP against an engine started through the module."""
import json
import os
import re
import socket
import stat

import pytest

import quor
from conftest import wait_for

STAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z$")
GONE_DEADLINE = 5.0


def noop():
    pass


def token_of(data_dir):
    return (data_dir / "quor.token").read_text().strip()


def tcp_address(data_dir):
    """(family, host, port) from "quor.port", in either address form."""
    text = (data_dir / "quor.port").read_text()
    assert text.endswith("\n"), text
    m = re.fullmatch(r"\[(.+)\]:(\d+)\n", text)
    if m:
        return socket.AF_INET6, m.group(1), int(m.group(2))
    host, port = text[:-1].rsplit(":", 1)
    return socket.AF_INET, host, int(port)


def connect(data_dir, transport):
    if transport == "unix":
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        address = str(data_dir / "quor.sock")
    else:
        family, host, port = tcp_address(data_dir)
        sock = socket.socket(family, socket.SOCK_STREAM)
        address = (host, port)
    sock.settimeout(10.0)
    try:
        sock.connect(address)
    except OSError:
        sock.close()
        raise
    return sock


def round_trip(data_dir, transport, line):
    """Sends one raw request line and returns every byte up to the close."""
    with connect(data_dir, transport) as sock:
        sock.sendall(line)
        reply = b""
        while chunk := sock.recv(65536):
            reply += chunk
    return reply


def envelope(token, inner):
    return (json.dumps({"cmd": "auth", "token": token, "inner": inner}) + "\n").encode()


def request(data_dir, transport, inner, token=None):
    """Authenticated request; returns the raw reply and its parsed form."""
    if token is None:
        token = token_of(data_dir)
    raw = round_trip(data_dir, transport, envelope(token, inner))
    return raw, json.loads(raw)


def assert_compact_and_sorted(raw, parsed):
    """The reply is one compact line and every object inside "data" is sorted."""
    assert raw == (json.dumps(parsed, separators=(",", ":"), ensure_ascii=False)
                   + "\n").encode()

    def walk(value):
        if isinstance(value, dict):
            assert list(value) == sorted(value), list(value)
            for v in value.values():
                walk(v)
        elif isinstance(value, list):
            for v in value:
                walk(v)
    walk(parsed.get("data"))


def refuses_connection(family, target):
    """True once a connection to the old address fails."""
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.settimeout(1.0)
    try:
        sock.connect(target)
    except OSError:
        return True
    finally:
        sock.close()
    return False


def start_when_unlocked(data_dir):
    """Starts on data_dir, retrying while a previous holder's lock lingers."""
    def attempt():
        try:
            quor.start(str(data_dir))
        except RuntimeError as e:
            if "already locked" in str(e):
                return False
            raise
        return True
    wait_for(attempt, timeout=GONE_DEADLINE)


TRANSPORTS = ["unix", "tcp"]


@pytest.fixture(params=TRANSPORTS)
def transport(request):
    return request.param


@pytest.fixture
def timer(engine):
    quor.schedule("a", fn=noop, every="1h")
    return engine


def test_status_list_doctor_history(timer, transport):
    status_keys = ["fn_name", "id", "last_duration_ms", "last_run_at", "last_status",
                   "next_run_at", "retries_last_7d", "state"]

    raw, reply = request(timer, transport, {"cmd": "status", "name": "a"})
    assert_compact_and_sorted(raw, reply)
    assert list(reply) == ["status", "data"]
    st = reply["data"]
    assert list(st) == status_keys
    assert STAMP.match(st.pop("next_run_at")), raw
    assert st == {"fn_name": "noop", "id": "a", "last_duration_ms": None,
                  "last_run_at": None, "last_status": None, "retries_last_7d": 0,
                  "state": "Scheduled"}

    raw, reply = request(timer, transport, {"cmd": "list"})
    assert_compact_and_sorted(raw, reply)
    assert [s["id"] for s in reply["data"]] == ["a"]
    assert reply["data"][0]["state"] == "Scheduled"

    d = str(timer)
    expected = (f'{{"status":"ok","data":{{"data_dir":{json.dumps(d)},'
                f'"lock_path":{json.dumps(d + "/quor.lock")},'
                f'"socket_path":{json.dumps(d + "/quor.sock")},"timers":1}}}}\n').encode()
    for cmd in ("doctor", "runtime_status"):
        assert request(timer, transport, {"cmd": cmd})[0] == expected, cmd

    raw, reply = request(timer, transport, {"cmd": "history", "name": "a"})
    assert_compact_and_sorted(raw, reply)
    [entry] = reply["data"]
    assert list(entry) == ["event", "ts", "v"]
    assert entry["v"] == 1 and STAMP.match(entry["ts"])
    assert entry["event"]["type"] == "TIMER_CREATED"
    assert entry["event"]["spec"]["id"] == "a"

    # limit 0 and a name the log never mentions: empty, not an error.
    for inner in ({"cmd": "history", "name": "a", "limit": 0},
                  {"cmd": "history", "name": "nobody"}):
        assert request(timer, transport, inner)[0] == b'{"status":"ok","data":[]}\n', inner


@pytest.mark.parametrize("line, reply", [
    (lambda tok: envelope(tok, {"cmd": "status", "name": "nobody"}),
     b'{"status":"ok","data":null}\n'),
    (lambda tok: b'{"cmd":"list"}\n',
     b'{"status":"error","message":"missing IPC token"}\n'),
    (lambda tok: envelope(tok[:-1], {"cmd": "list"}),
     b'{"status":"error","message":"invalid IPC token"}\n'),
    (lambda tok: envelope(tok, {"cmd": "auth", "token": tok, "inner": {"cmd": "list"}}),
     b'{"status":"error","message":"IPC unavailable: nested auth request is invalid"}\n'),
], ids=["unknown-name", "no-envelope", "short-token", "nested-envelope"])
def test_exact_replies(timer, transport, line, reply):
    assert round_trip(timer, transport, line(token_of(timer))) == reply


def test_shutdown_request_stops_the_engine_but_not_the_endpoint(timer, transport):
    raw, _ = request(timer, transport, {"cmd": "shutdown"})
    assert raw == b'{"status":"ok","data":{"shutdown":"requested"}}\n'

    def refused():
        try:
            quor.schedule("b", fn=noop, every="1h")
        except RuntimeError as e:
            assert str(e) == "engine has already been shut down"
            return True
        return False
    wait_for(refused)

    # The endpoint keeps answering on both transports until the module's shutdown.
    for t in TRANSPORTS:
        raw, reply = request(timer, t, {"cmd": "status", "name": "a"})
        assert reply["status"] == "ok" and reply["data"]["id"] == "a", raw
    quor.shutdown()
    assert not (timer / "quor.port").exists()
    assert not (timer / "quor.sock").exists()


def test_shutdown_removes_discovery_files_and_closes_listeners(timer):
    family, host, port = tcp_address(timer)
    sock_path = str(timer / "quor.sock")
    for t in TRANSPORTS:
        assert request(timer, t, {"cmd": "list"})[1]["status"] == "ok"

    quor.shutdown()
    assert not (timer / "quor.port").exists()
    assert not (timer / "quor.sock").exists()
    assert (timer / "quor.token").exists()
    wait_for(lambda: refuses_connection(family, (host, port)), timeout=GONE_DEADLINE)
    wait_for(lambda: refuses_connection(socket.AF_UNIX, sock_path), timeout=GONE_DEADLINE)


def test_token_is_kept_across_restarts(tmp_path):
    data = tmp_path / "d"
    quor.start(str(data))
    first = token_of(data)
    assert re.fullmatch(r"[0-9a-f]{64}", first)
    assert (data / "quor.token").read_text() == first + "\n"
    assert stat.S_IMODE(os.stat(data / "quor.token").st_mode) == 0o600
    quor.shutdown()

    quor.start(str(data))
    assert token_of(data) == first
    # The reused token is the one the new endpoint checks.
    for t in TRANSPORTS:
        assert request(data, t, {"cmd": "list"}, token=first)[0] == b'{"status":"ok","data":[]}\n'


def test_non_loopback_host_is_refused_and_the_directory_stays_usable(tmp_path, monkeypatch):
    data = tmp_path / "d"
    monkeypatch.setenv("QUOR_IPC_HOST", "0.0.0.0")
    monkeypatch.delenv("QUOR_UNSAFE_ALLOW_REMOTE_IPC", raising=False)
    with pytest.raises(RuntimeError) as info:
        quor.start(str(data))
    assert str(info.value).startswith(
        "IPC unavailable: refusing to bind IPC to non-loopback host 0.0.0.0")
    assert not (data / "quor.port").exists()

    monkeypatch.delenv("QUOR_IPC_HOST")
    start_when_unlocked(data)
    for t in TRANSPORTS:
        assert request(data, t, {"cmd": "status", "name": "x"})[0] == \
            b'{"status":"ok","data":null}\n'


def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


@pytest.mark.skipif(not ipv6_loopback(), reason="no IPv6 on loopback")
def test_ipv6_loopback_port_file(tmp_path, monkeypatch):
    monkeypatch.setenv("QUOR_IPC_HOST", "::1")
    data = tmp_path / "d"
    quor.start(str(data))
    text = (data / "quor.port").read_text()
    m = re.fullmatch(r"\[::1\]:(\d+)\n", text)
    assert m and 0 < int(m.group(1)) < 65536, text
    assert request(data, "tcp", {"cmd": "status", "name": "x"})[0] == \
        b'{"status":"ok","data":null}\n'


def test_failed_unix_listener_undoes_the_tcp_side(tmp_path):
    # "quor.sock" under this directory does not fit in a Unix socket address,
    # so start fails after the TCP listener and "quor.port" are already up.
    data = tmp_path / ("x" * 120)

    def fails_without_lock():
        with pytest.raises(RuntimeError) as info:
            quor.start(str(data))
        message = str(info.value)
        if "already locked" in message:
            return False
        assert message.startswith("log I/O error: "), message
        return True
    wait_for(fails_without_lock, timeout=GONE_DEADLINE)
    assert not (data / "quor.port").exists()
    # The failed start let go of the directory: the next one fails the same way,
    # not on the lock.
    wait_for(fails_without_lock, timeout=GONE_DEADLINE)
