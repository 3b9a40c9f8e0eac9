"""quor.Client and quor.Worker against a scripted HTTP server on loopback.

The server runs in a child process: a Client request holds the interpreter
lock while it waits, so a server thread in this process could not answer.
It records every raw request and answers each connection with the next
scripted action.
"""

import base64
import json
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import quor

SERVER_CODE = r'''
import base64, json, socket, sys, threading

lock = threading.Lock()
script = []      # actions, one per connection, in order
routes = {}      # path prefix -> actions, used before the script
requests = []    # raw request bytes, in arrival order
released = threading.Event()  # ends every "hang" action
FALLBACK = {"kind": "raw", "data": base64.b64encode(
    b'HTTP/1.1 599 Unscripted\r\n\r\n{"error":"no scripted response"}').decode()}

def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(65536)
        if not chunk:
            return data
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(rest) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        rest += chunk
    return head + b"\r\n\r\n" + rest

def serve(conn):
    with conn:
        raw = read_request(conn)
        path = raw.split(b" ")[1].decode() if raw.count(b" ") >= 2 else ""
        with lock:
            requests.append(raw)
            action = None
            for prefix, actions in routes.items():
                if path.startswith(prefix) and actions:
                    action = actions.pop(0)
                    break
            if action is None:
                action = script.pop(0) if script else FALLBACK
        try:
            if action["kind"] == "hang":
                # Hold the connection until the client gives up or the test
                # releases it; then answer with "then", if given.
                conn.settimeout(0.05)
                while not released.is_set():
                    try:
                        if not conn.recv(65536):
                            return
                    except socket.timeout:
                        pass
                conn.settimeout(None)
                action = action.get("then") or {"kind": "none"}
            if action["kind"] == "raw":
                conn.sendall(base64.b64decode(action["data"]))
            elif action["kind"] == "big":
                head = b"HTTP/1.1 200 OK\r\n\r\n"
                body = b'"' + b"a" * (action["size"] - len(head) - 2) + b'"'
                conn.sendall(head + body)
        except OSError:
            pass

def accept(listener):
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn,), daemon=True).start()

listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(64)
threading.Thread(target=accept, args=(listener,), daemon=True).start()
print(listener.getsockname()[1], flush=True)
for line in sys.stdin:
    cmd = json.loads(line)
    with lock:
        out = None
        if cmd["op"] == "script":
            script.extend(cmd["actions"])
        elif cmd["op"] == "route":
            routes.setdefault(cmd["prefix"], []).extend(cmd["actions"])
        elif cmd["op"] == "release":
            released.set()
        elif cmd["op"] == "peek":
            out = [base64.b64encode(r).decode() for r in requests]
        elif cmd["op"] == "reset":
            out = [base64.b64encode(r).decode() for r in requests]
            requests.clear()
            script.clear()
            routes.clear()
            released.clear()
    print(json.dumps(out), flush=True)
'''


def raw(data: bytes) -> dict:
    return {"kind": "raw", "data": base64.b64encode(data).decode()}


def reply(status: int, body, reason: str = "OK") -> dict:
    """A response with a JSON body (a str body is sent as it is)."""
    text = body if isinstance(body, str) else json.dumps(body)
    return raw(f"HTTP/1.1 {status} {reason}\r\nContent-Type: application/json\r\n\r\n"
               .encode() + text.encode())


OK_EMPTY = reply(200, {})


class ScriptedServer:
    def __init__(self) -> None:
        self.proc = subprocess.Popen([sys.executable, "-c", SERVER_CODE], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline())
        self.address = f"127.0.0.1:{self.port}"

    def _call(self, **cmd):
        self.proc.stdin.write(json.dumps(cmd) + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def script(self, *actions: dict) -> None:
        self._call(op="script", actions=list(actions))

    def route(self, prefix: str, *actions: dict) -> None:
        """Answers requests whose path starts with `prefix` from `actions`."""
        self._call(op="route", prefix=prefix, actions=list(actions))

    def release(self) -> None:
        """Ends every hanging connection, now and until the next take."""
        self._call(op="release")

    def peek(self) -> list[bytes]:
        return [base64.b64decode(r) for r in self._call(op="peek")]

    def wait_for(self, predicate, timeout: float = 60.0) -> list[bytes]:
        deadline = time.monotonic() + timeout
        while True:
            reqs = self.peek()
            if predicate(reqs):
                return reqs
            assert time.monotonic() < deadline, f"server never saw the expected requests: {reqs}"
            time.sleep(0.01)

    def take(self) -> list[bytes]:
        """The requests received since the last take; clears the script."""
        return [base64.b64decode(r) for r in self._call(op="reset")]

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.kill()
        self.proc.wait()


@pytest.fixture(scope="module")
def server_process():
    s = ScriptedServer()
    yield s
    s.close()


@pytest.fixture
def server(server_process):
    server_process.take()
    yield server_process
    server_process.take()


def request_bytes(host: str, method: str, path: str, body: bytes = b"",
                  token: str = "tok") -> bytes:
    return (f"{method} {path} HTTP/1.1\r\nHost: {host}\r\nAuthorization: Bearer {token}\r\n"
            f"Content-Type: application/json\r\nContent-Length: {len(body)}\r\n"
            f"Connection: close\r\n\r\n").encode() + body


def body_of(request: bytes) -> bytes:
    return request.partition(b"\r\n\r\n")[2]


def free_port() -> int:
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


# ---------------------------------------------------------------- module


def test_classes_follow_the_nine_functions_in_all():
    assert quor.__all__[-2:] == ["Client", "Worker"]
    assert quor.Client.__text_signature__ == "(server, token)"
    assert quor.Worker.__text_signature__ == "(server, token, worker_id=None)"


@pytest.mark.parametrize("method, signature", [
    (quor.Client.schedule, "($self, name, *, task, payload=None, cron=None, every=None, "
                           "after=None, at=None, timezone=None, max_attempts=3)"),
    (quor.Client.list, "($self)"),
    (quor.Client.status, "($self, name)"),
    (quor.Client.history, "($self, name)"),
    (quor.Worker.task, "($self, name)"),
    (quor.Worker.register, "($self)"),
    (quor.Worker.run_once, "($self, timeout=20.0)"),
    (quor.Worker.run, "($self)"),
])
def test_method_text_signatures(method, signature):
    assert method.__text_signature__ == signature
    assert not method.__doc__


# ---------------------------------------------------------------- transport


class TestRequestBytes:
    def test_get_requests_have_no_body(self, server):
        c = quor.Client(server.address, "tok")
        server.script(reply(200, []), reply(200, {}), reply(200, []))
        c.list()
        c.status("a b")
        c.history("x/y")
        assert server.take() == [
            request_bytes(server.address, "GET", "/v1/timers"),
            request_bytes(server.address, "GET", "/v1/timers/a b"),
            request_bytes(server.address, "GET", "/v1/timers/x/y/history"),
        ]

    @pytest.mark.parametrize("given", [
        "{addr}",
        "http://{addr}/",
        "  http://http://{addr}//  ",
        "\t\n{addr}\r\n",
        "\u00a0\u3000http://{addr}\u2003",
    ])
    def test_server_is_normalised_for_connect_and_host(self, server, given):
        server.script(OK_EMPTY)
        quor.Client(given.format(addr=server.address), "tok").list()
        assert server.take() == [request_bytes(server.address, "GET", "/v1/timers")]

    def test_hostname_resolves_through_the_system_resolver(self, server):
        server.script(OK_EMPTY)
        # /etc/hosts maps localhost; the first address must be 127.0.0.1 for
        # the scripted server to see it.
        infos = socket.getaddrinfo("localhost", server.port, type=socket.SOCK_STREAM)
        if infos[0][4][0] != "127.0.0.1":
            pytest.skip("localhost resolves to another address first")
        quor.Client(f"localhost:{server.port}", "tok").list()
        assert server.take() == [request_bytes(f"localhost:{server.port}", "GET", "/v1/timers")]

    def test_token_is_sent_verbatim(self, server):
        server.script(OK_EMPTY)
        quor.Client(server.address, "a b=c/é").list()
        assert server.take() == [request_bytes(server.address, "GET", "/v1/timers",
                                               token="a b=c/é")]

    def test_content_length_counts_bytes(self, server):
        server.script(OK_EMPTY)
        quor.Client(server.address, "tok").schedule("zé→", task="t")
        (req,) = server.take()
        body = body_of(req)
        assert f"Content-Length: {len(body)}\r\n".encode() in req
        assert json.loads(body)["name"] == "zé→"


@pytest.mark.parametrize("response, expected", [
    (reply(200, [1, "x", None, 2.5, {"a": True}]), [1, "x", None, 2.5, {"a": True}]),
    (reply(200, "null"), None),
    (reply(201, '  {"id": 7}\r\n '), {"id": 7}),
    (reply(299, "3"), 3),
    (raw(b"HTTP/1.1 +200 OK\r\n\r\n{}"), {}),
    (raw(b"HTTP/1.0 200\r\n\r\n[]"), []),
    (raw(b"HTTP/1.1 200 OK\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n[1, 2]"),
     [1, 2]),
    (raw(b"HTTP/1.1 200 OK\r\n\r\n\"a\\r\\n\\r\\nb\""), "a\r\n\r\nb"),
], ids=["list", "null", "whitespace", "299", "plus-sign", "no-reason", "headers-ignored",
        "blank-line-in-body"])
def test_successful_answers(server, response, expected):
    server.script(response)
    assert quor.Client(server.address, "tok").list() == expected


class TestErrors:
    @pytest.mark.parametrize("response, message", [
        (reply(404, {"error": "not found"}, "Not Found"), "HTTP 404 from {addr}: not found"),
        (reply(500, {"message": "boom"}), "HTTP 500 from {addr}: boom"),
        (reply(500, {"error": 42, "message": "boom"}), "HTTP 500 from {addr}: HTTP request failed"),
        (reply(500, {"error": None}), "HTTP 500 from {addr}: HTTP request failed"),
        (reply(500, {"message": 7}), "HTTP 500 from {addr}: HTTP request failed"),
        (reply(503, [1]), "HTTP 503 from {addr}: HTTP request failed"),
        (reply(199, {"error": "early"}), "HTTP 199 from {addr}: early"),
        (reply(300, {"error": "moved"}), "HTTP 300 from {addr}: moved"),
        (raw(b"HTTP/1.1 200 OK\n\n{}"), "invalid HTTP response"),
        (raw(b"HTTP/1.1 200 OK\r\n"), "invalid HTTP response"),
        (raw(b""), "invalid HTTP response"),
        (raw(b"HTTP/1.1\r\n\r\n{}"), "invalid HTTP status line"),
        (raw(b"HTTP/1.1 OK 200\r\n\r\n{}"), "invalid HTTP status line"),
        (raw(b"HTTP/1.1 70000 Big\r\n\r\n{}"), "invalid HTTP status line"),
        (raw(b"HTTP/1.1 -200 OK\r\n\r\n{}"), "invalid HTTP status line"),
        (raw(b"\r\nHTTP/1.1 200 OK\r\n\r\n{}"), "invalid HTTP status line"),
        (raw(b"HTTP/1.1 200 OK\r\n\r\n\xff"), "stream did not contain valid UTF-8"),
        (raw(b"HTTP/1.1 200 \xc3\r\n\r\n{}"), "stream did not contain valid UTF-8"),
    ])
    def test_response_errors(self, server, response, message):
        server.script(response)
        with pytest.raises(RuntimeError) as e:
            quor.Client(server.address, "tok").list()
        assert str(e.value) == message.format(addr=server.address)

    @pytest.mark.parametrize("response", [
        reply(204, ""),
        reply(200, "not json"),
        reply(200, "{} {}"),
        reply(500, "<html>oops</html>"),
    ], ids=["204-empty", "200-garbage", "two-values", "500-html"])
    def test_body_is_parsed_before_the_status(self, server, response):
        server.script(response)
        with pytest.raises(RuntimeError) as e:
            quor.Client(server.address, "tok").list()
        # The JSON reader's own message, which names the position.
        assert " at line 1 column " in str(e.value)
        assert not str(e.value).startswith("HTTP ")

    @pytest.mark.parametrize("given, message", [
        ("127.0.0.1", "invalid socket address"),
        ("localhost", "invalid socket address"),
        ("", "invalid socket address"),
        ("https://127.0.0.1", "invalid port value"),
        ("127.0.0.1:99999", "invalid port value"),
        ("127.0.0.1:", "invalid port value"),
        ("127.0.0.1:80/v1", "invalid port value"),
    ])
    def test_address_errors_come_before_any_connection(self, server, given, message):
        with pytest.raises(RuntimeError) as e:
            quor.Client(given, "tok").list()
        assert str(e.value) == message
        assert server.take() == []

    def test_connection_refused(self):
        with pytest.raises(RuntimeError, match="^Connection refused$"):
            quor.Client(f"127.0.0.1:{free_port()}", "tok").list()

    def test_response_over_64_mib_is_refused(self, server):
        limit = 64 << 20
        server.script({"kind": "big", "size": limit})
        assert len(quor.Client(server.address, "tok").list()) == limit - len(
            b"HTTP/1.1 200 OK\r\n\r\n") - 2
        server.script({"kind": "big", "size": limit + 1})
        with pytest.raises(RuntimeError, match="^HTTP response larger than 64 MiB$"):
            quor.Client(server.address, "tok").list()

    @pytest.mark.parametrize("name, token", [("a\r\nX-Evil: 1", "tok"), ("a\nb", "tok"),
                                             ("a", "tok\r\nX-Evil: 1")])
    def test_line_breaks_cannot_inject_headers(self, server, name, token):
        with pytest.raises(RuntimeError, match="must not contain a line break"):
            quor.Client(server.address, token).status(name)
        assert server.take() == []


# ---------------------------------------------------------------- client


class TestClient:
    def test_schedule_defaults(self, server):
        server.script(reply(200, {"name": "a"}))
        assert quor.Client(server.address, "tok").schedule("a", task="b", every="1h") == {
            "name": "a"}
        body = (b'{"after":null,"at":null,"cron":null,"every":"1h","max_attempts":3,'
                b'"name":"a","payload":null,"task":"b","timezone":"UTC"}')
        assert server.take() == [request_bytes(server.address, "POST", "/v1/timers", body)]

    def test_schedule_all_fields_and_sorted_payload(self, server):
        server.script(OK_EMPTY)
        quor.Client(server.address, "tok").schedule(
            name="n", task="t", payload={"b": 1, "a": [1, 2], "c": {"z": None, "y": "é"}},
            cron="*/5 * * * *", every="1m", after="2s", at="2030-01-01T00:00:00Z",
            timezone="Europe/Paris", max_attempts=4294967295)
        (req,) = server.take()
        assert body_of(req) == (
            b'{"after":"2s","at":"2030-01-01T00:00:00Z","cron":"*/5 * * * *","every":"1m",'
            b'"max_attempts":4294967295,"name":"n","payload":{"a":[1,2],"b":1,'
            b'"c":{"y":"\xc3\xa9","z":null}},"task":"t","timezone":"Europe/Paris"}')

    def test_schedule_without_any_schedule_field_is_still_sent(self, server):
        server.script(reply(400, {"error": "no schedule"}))
        with pytest.raises(RuntimeError, match=r"^HTTP 400 from .*: no schedule$"):
            quor.Client(server.address, "tok").schedule("a", task="b", max_attempts=0)
        (req,) = server.take()
        assert json.loads(body_of(req))["max_attempts"] == 0

    @pytest.mark.parametrize("payload, error, text", [
        (float("nan"), ValueError, " at line 1 column 1"),
        ({"x": float("inf")}, ValueError, " at line 1 column "),
        ({1, 2}, TypeError, "Object of type set is not JSON serializable"),
        (object(), TypeError, "Object of type object is not JSON serializable"),
    ])
    def test_bad_payload_raises_before_connecting(self, server, payload, error, text):
        with pytest.raises(error) as e:
            quor.Client(server.address, "tok").schedule("a", task="b", payload=payload)
        assert text in str(e.value)
        assert server.take() == []

    @pytest.mark.parametrize("call, error, text", [
        (lambda: quor.Client(1, "t"), TypeError,
         "argument 'server': 'int' object cannot be converted to 'str'"),
        (lambda: quor.Client("s", b"t"), TypeError,
         "argument 'token': 'bytes' object cannot be converted to 'str'"),
        (lambda: quor.Client("s"), TypeError,
         "Client() missing 1 required positional argument: 'token'"),
        (lambda: quor.Client("s", "t", "u"), TypeError,
         "Client() takes 2 positional arguments but 3 were given"),
        (lambda: quor.Client("s", "t").schedule("a"), TypeError,
         "schedule() missing 1 required keyword argument: 'task'"),
        (lambda: quor.Client("s", "t").schedule("a", "b"), TypeError,
         "schedule() takes 1 positional arguments but 2 were given"),
        (lambda: quor.Client("s", "t").schedule("a", task="b", name="c"), TypeError,
         "schedule() got multiple values for argument 'name'"),
        (lambda: quor.Client("s", "t").schedule("a", task="b", when="c"), TypeError,
         "schedule() got an unexpected keyword argument 'when'"),
        (lambda: quor.Client("s", "t").schedule(1, task="b"), TypeError,
         "argument 'name': 'int' object cannot be converted to 'str'"),
        (lambda: quor.Client("s", "t").schedule("a", task="b", every=5), TypeError,
         "argument 'every': 'int' object cannot be converted to 'str'"),
        (lambda: quor.Client("s", "t").schedule("a", task="b", at=__import__("datetime").datetime(
            2030, 1, 1)), TypeError,
         "argument 'at': 'datetime' object cannot be converted to 'str'"),
        (lambda: quor.Client("s", "t").schedule("a", task="b", max_attempts="3"), TypeError,
         "argument 'max_attempts': 'str' object cannot be interpreted as an integer"),
        (lambda: quor.Client("s", "t").schedule("a", task="b", max_attempts=1.0), TypeError,
         "argument 'max_attempts': 'float' object cannot be interpreted as an integer"),
        (lambda: quor.Client("s", "t").schedule("a", task="b", max_attempts=-1), OverflowError,
         "argument 'max_attempts': value must be an integer from 0 to 4294967295"),
        (lambda: quor.Client("s", "t").schedule("a", task="b", max_attempts=2**32), OverflowError,
         "argument 'max_attempts': value must be an integer from 0 to 4294967295"),
        (lambda: quor.Client("s", "t").status(), TypeError,
         "status() missing 1 required positional argument: 'name'"),
        (lambda: quor.Client("s", "t").history(None), TypeError,
         "argument 'name': 'NoneType' object cannot be converted to 'str'"),
        (lambda: quor.Client("s", "t").list(1), TypeError, None),
    ])
    def test_argument_errors(self, call, error, text):
        with pytest.raises(error) as e:
            call()
        if text is not None:
            assert str(e.value) == text

    def test_concurrent_calls_on_one_instance(self, server):
        c = quor.Client(server.address, "tok")
        threads, per_thread = 6, 15
        server.script(*[reply(200, {"n": i}) for i in range(threads * per_thread)])
        results, errors = [], []

        def work(k):
            try:
                for i in range(per_thread):
                    results.append(c.status(f"t{k}-{i}")["n"])
            except Exception as e:  # noqa: BLE001 - collected and asserted below
                errors.append(e)

        ts = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        assert errors == []
        assert sorted(results) == list(range(threads * per_thread))
        paths = sorted(r.split(b" ")[1] for r in server.take())
        assert paths == sorted(f"/v1/timers/t{k}-{i}".encode()
                               for k in range(threads) for i in range(per_thread))


# ---------------------------------------------------------------- worker


def register_bytes(host, tasks, worker_id="w1"):
    body = json.dumps({"lease_seconds": 30, "tasks": tasks, "worker_id": worker_id},
                      separators=(",", ":")).encode()
    return request_bytes(host, "POST", "/v1/workers/register", body)


def poll_bytes(host, tasks, worker_id="w1"):
    body = json.dumps({"tasks": tasks, "worker_id": worker_id}, separators=(",", ":")).encode()
    return request_bytes(host, "POST", "/v1/workers/poll", body)


class TestWorker:
    def test_constructor(self):
        w = quor.Worker("s", "t")
        assert isinstance(w, quor.Worker)
        with pytest.raises(TypeError, match="^argument 'worker_id': 'int' object cannot be "
                                            "converted to 'str'$"):
            quor.Worker("s", "t", worker_id=1)
        with pytest.raises(TypeError, match=r"^Worker\(\) takes from 2 to 3 positional "
                                            r"arguments but 4 were given$"):
            quor.Worker("s", "t", "w", "x")

    @pytest.mark.parametrize("worker_id, check", [
        (None, lambda wid: wid.startswith("worker_") and wid[7:].isdigit() and len(wid) > 20),
        ("", lambda wid: wid == ""),
        ("w é", lambda wid: wid == "w é"),
    ])
    def test_worker_id(self, server, worker_id, check):
        server.script(OK_EMPTY)
        quor.Worker(server.address, "tok", worker_id).register()
        (req,) = server.take()
        assert check(json.loads(body_of(req))["worker_id"])

    def test_register_body(self, server):
        w = quor.Worker(server.address, "tok", "w1")
        w.task("b")(len)
        w.task("a")(print)
        server.script(reply(200, "null"))
        assert w.register() is None
        (req,) = server.take()
        body = json.loads(body_of(req))
        assert list(body) == ["lease_seconds", "tasks", "worker_id"]
        assert body["lease_seconds"] == 30 and sorted(body["tasks"]) == ["a", "b"]
        assert req == register_bytes(server.address, body["tasks"])

    def test_register_failure_raises(self, server):
        server.script(reply(401, {"error": "bad token"}))
        with pytest.raises(RuntimeError, match="^HTTP 401 from .*: bad token$"):
            quor.Worker(server.address, "tok").register()

    def test_decorator_returns_its_argument_and_replaces(self, server):
        w = quor.Worker(server.address, "tok", "w1")
        seen = []

        def first(p):
            seen.append(("first", p))

        def second(p):
            seen.append(("second", p))

        dec = w.task("job")
        assert dec(first) is first
        assert w.task("job")(second) is second
        assert dec(42) == 42  # not callable: accepted, fails only when run
        with pytest.raises(TypeError, match=r"^__call__\(\) missing 1 required positional "
                                            r"argument: 'callable'$"):
            dec()
        with pytest.raises(TypeError):
            type(dec)()
        assert w.task("job")(second) is second
        server.script(OK_EMPTY, reply(200, {"task": "job", "run_id": "r1", "fencing_token": 1,
                                            "payload": 5}), OK_EMPTY)
        assert w.run_once() is True
        assert seen == [("second", 5)]

    def test_succeeding_run(self, server):
        w = quor.Worker(server.address, "tok", "w1")
        calls = []
        w.task("job")(calls.append)
        server.script(
            reply(200, {"ok": True}),
            reply(200, {"task": "job", "run_id": "run_1", "fencing_token": 12345678901234567890,
                        "payload": {"k": [1, 2.5, None]}, "extra": "ignored"}),
            reply(200, {"state": "done"}))
        assert w.run_once(timeout=5) is True
        assert calls == [{"k": [1, 2.5, None]}]
        reg, poll, report = server.take()
        assert reg == register_bytes(server.address, ["job"])
        assert poll == poll_bytes(server.address, ["job"])
        assert report == request_bytes(
            server.address, "POST", "/v1/runs/run_1/succeed",
            b'{"fencing_token":12345678901234567890,"worker_id":"w1"}')

    @pytest.mark.parametrize("answer, path, token, payload", [
        ({"task": "job"}, "/v1/runs//succeed", 0, None),
        ({"task": "job", "run_id": 5, "fencing_token": -3}, "/v1/runs//succeed", 0, None),
        ({"task": "job", "run_id": "r", "fencing_token": 1.5}, "/v1/runs/r/succeed", 0, None),
        ({"task": "job", "run_id": "r", "fencing_token": 2.0}, "/v1/runs/r/succeed", 0, None),
        ({"task": "job", "run_id": "r", "fencing_token": 2**64}, "/v1/runs/r/succeed", 0, None),
        ({"task": "job", "run_id": "r", "fencing_token": "7"}, "/v1/runs/r/succeed", 0, None),
        ({"task": "job", "run_id": "a b", "payload": None}, "/v1/runs/a b/succeed", 0, None),
        ({"task": "job", "run_id": "r", "payload": "x"}, "/v1/runs/r/succeed", 0, "x"),
    ])
    def test_missing_or_odd_fields(self, server, answer, path, token, payload):
        w = quor.Worker(server.address, "tok", "w1")
        calls = []
        w.task("job")(calls.append)
        server.script(OK_EMPTY, reply(200, answer), OK_EMPTY)
        assert w.run_once() is True
        assert calls == [payload]
        report = server.take()[2]
        assert report.split(b"\r\n")[0] == f"POST {path} HTTP/1.1".encode()
        assert json.loads(body_of(report)) == {"fencing_token": token, "worker_id": "w1"}

    def test_null_poll_runs_nothing(self, server):
        w = quor.Worker(server.address, "tok", "w1")
        calls = []
        w.task("job")(calls.append)
        server.script(OK_EMPTY, reply(200, "null"))
        assert w.run_once() is False
        assert calls == []
        assert len(server.take()) == 2

    @pytest.mark.parametrize("answer, name", [
        ({"task": "other", "run_id": "r"}, "other"),
        ({"run_id": "r"}, ""),
        ([1, 2], ""),
        ('"job"', ""),
    ])
    def test_unregistered_task_is_not_reported(self, server, answer, name):
        w = quor.Worker(server.address, "tok", "w1")
        w.task("job")(print)
        server.script(OK_EMPTY, reply(200, answer))
        with pytest.raises(RuntimeError) as e:
            w.run_once()
        assert str(e.value) == f"task {name} is not registered"
        assert len(server.take()) == 2

    class Outer:
        class Error(Exception):
            pass

    class BadStr(Exception):
        def __str__(self):
            raise RuntimeError("no")

    @pytest.mark.parametrize("exc, text", [
        (ValueError("bad input"), "ValueError: bad input"),
        (KeyError("k"), "KeyError: 'k'"),
        (RuntimeError(), "RuntimeError: "),
        (Outer.Error("deep"), "TestWorker.Outer.Error: deep"),
        (BadStr(), "TestWorker.BadStr: <exception str() failed>"),
        (KeyboardInterrupt("stop"), "KeyboardInterrupt: stop"),
        (SystemExit(3), "SystemExit: 3"),
    ])
    def test_failing_task_is_reported(self, server, exc, text):
        w = quor.Worker(server.address, "tok", "w1")

        @w.task("job")
        def job(payload):
            raise exc

        server.script(OK_EMPTY, reply(200, {"task": "job", "run_id": "r9", "fencing_token": 4}),
                      OK_EMPTY)
        assert w.run_once() is True
        report = server.take()[2]
        expected = json.dumps({"error": text, "fencing_token": 4, "worker_id": "w1"},
                              separators=(",", ":"), ensure_ascii=False).encode()
        assert report == request_bytes(server.address, "POST", "/v1/runs/r9/fail", expected)

    def test_non_callable_task_fails_with_type_error(self, server):
        w = quor.Worker(server.address, "tok", "w1")
        w.task("job")(42)
        server.script(OK_EMPTY, reply(200, {"task": "job", "run_id": "r"}), OK_EMPTY)
        assert w.run_once() is True
        body = json.loads(body_of(server.take()[2]))
        assert body["error"] == "TypeError: 'int' object is not callable"

    @pytest.mark.parametrize("returned", [(1, 2), [3], "s", 0])
    def test_return_value_is_ignored(self, server, returned):
        w = quor.Worker(server.address, "tok", "w1")
        w.task("job")(lambda p: returned)
        server.script(OK_EMPTY, reply(200, {"task": "job", "run_id": "r"}), OK_EMPTY)
        assert w.run_once() is True
        assert server.take()[2].startswith(b"POST /v1/runs/r/succeed ")

    def test_coroutine_task_is_run_to_completion(self, server):
        import asyncio
        w = quor.Worker(server.address, "tok", "w1")
        done = []

        @w.task("ok")
        async def ok(payload):
            await asyncio.sleep(0)
            done.append(payload)

        @w.task("bad")
        async def bad(payload):
            await asyncio.sleep(0)
            raise ValueError("async boom")

        server.script(OK_EMPTY, reply(200, {"task": "ok", "run_id": "r1", "payload": 1}), OK_EMPTY,
                      OK_EMPTY, reply(200, {"task": "bad", "run_id": "r2"}), OK_EMPTY)
        assert w.run_once() is True
        assert w.run_once() is True
        assert done == [1]
        reqs = server.take()
        assert reqs[2].startswith(b"POST /v1/runs/r1/succeed ")
        assert reqs[5].startswith(b"POST /v1/runs/r2/fail ")
        assert json.loads(body_of(reqs[5]))["error"] == "ValueError: async boom"

    def test_payload_goes_through_json_loads(self, server, monkeypatch):
        w = quor.Worker(server.address, "tok", "w1")
        calls = []
        w.task("job")(calls.append)
        real_loads = json.loads

        def loads(text, *args, **kwargs):
            if "poison" in text:
                raise ValueError("refused by loads")
            return ("via loads", real_loads(text, *args, **kwargs))

        server.script(OK_EMPTY, reply(200, {"task": "job", "run_id": "r", "payload": [1]}),
                      OK_EMPTY, OK_EMPTY, reply(200, {"task": "job", "payload": "poison"}))
        monkeypatch.setattr(json, "loads", loads)
        try:
            assert w.run_once() is True
            with pytest.raises(ValueError, match="^refused by loads$"):
                w.run_once()
        finally:
            monkeypatch.undo()
        assert calls == [("via loads", [1])]
        assert len(server.take()) == 5  # the poisoned run is not reported

    def test_failed_report_raises(self, server):
        w = quor.Worker(server.address, "tok", "w1")
        w.task("job")(print)
        server.script(OK_EMPTY, reply(200, {"task": "job", "run_id": "r", "fencing_token": 1}),
                      reply(409, {"error": "stale fencing token"}))
        with pytest.raises(RuntimeError, match="^HTTP 409 from .*: stale fencing token$"):
            w.run_once()

    @pytest.mark.parametrize("timeout", [-1, -0.5, float("nan"), float("inf"), float("-inf")])
    def test_invalid_timeout_contacts_nothing(self, server, timeout):
        with pytest.raises(ValueError, match="^timeout must be a non-negative number$"):
            quor.Worker(server.address, "tok").run_once(timeout)
        assert server.take() == []

    def test_timeout_type_errors(self):
        w = quor.Worker("127.0.0.1:1", "tok")
        with pytest.raises(TypeError, match="^argument 'timeout': must be real number, not str$"):
            w.run_once("1")
        with pytest.raises(TypeError, match="^argument 'timeout': must be real number, "
                                            "not NoneType$"):
            w.run_once(timeout=None)

    @pytest.mark.parametrize("timeout", [0, 0.0, -0.0, 1e-10])
    def test_zero_timeout_registers_then_fails_the_poll(self, server, timeout):
        w = quor.Worker(server.address, "tok", "w1")
        server.script(OK_EMPTY)
        with pytest.raises(RuntimeError, match="^cannot set a 0 duration timeout$"):
            w.run_once(timeout)
        assert server.take() == [register_bytes(server.address, [])]

    def test_poll_read_timeout(self, server):
        w = quor.Worker(server.address, "tok", "w1")
        server.script(OK_EMPTY, {"kind": "hang"})
        with pytest.raises(RuntimeError, match="^Resource temporarily unavailable$"):
            w.run_once(timeout=0.2)

    def test_huge_timeout_is_accepted(self, server):
        w = quor.Worker(server.address, "tok", "w1")
        server.script(OK_EMPTY, reply(200, "null"))
        assert w.run_once(1e30) is False

    def test_poll_releases_the_gil(self, server):
        w = quor.Worker(server.address, "tok", "w1")
        server.script(OK_EMPTY, {"kind": "hang", "then": reply(200, "null")})
        result = []
        t = threading.Thread(target=lambda: result.append(w.run_once(timeout=60)))
        t.start()
        # This thread runs Python and makes a request of its own while the
        # other one waits in its poll.
        server.wait_for(lambda reqs: any(b"/v1/workers/poll" in r for r in reqs))
        server.script(OK_EMPTY)
        quor.Worker(server.address, "tok", "w2").register()
        assert t.is_alive() and result == []
        server.release()
        t.join(timeout=60)
        assert result == [False]
        assert [r.split(b" ")[1] for r in server.take()] == [
            b"/v1/workers/register", b"/v1/workers/poll", b"/v1/workers/register"]

    def test_concurrent_run_once_on_one_worker(self, server):
        w = quor.Worker(server.address, "tok", "w1")
        lock = threading.Lock()
        got = []

        @w.task("job")
        def job(payload):
            with lock:
                got.append(payload)

        threads, per_thread = 4, 10
        runs = threads * per_thread
        server.route("/v1/workers/poll",
                     *[reply(200, {"task": "job", "run_id": f"r{i}", "payload": i})
                       for i in range(runs)])
        server.route("/v1/workers/register", *[OK_EMPTY] * runs)
        server.route("/v1/runs/", *[OK_EMPTY] * runs)
        errors = []

        def work():
            try:
                for _ in range(per_thread):
                    w.run_once(timeout=30)
            except Exception as e:  # noqa: BLE001 - asserted below
                errors.append(e)

        ts = [threading.Thread(target=work) for _ in range(threads)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()
        assert errors == []
        assert sorted(got) == list(range(runs))
        reqs = server.take()
        assert len(reqs) == 3 * runs
        reported = sorted(r.split(b" ")[1] for r in reqs if r.startswith(b"POST /v1/runs/"))
        assert reported == sorted(f"/v1/runs/r{i}/succeed".encode() for i in range(runs))

    def test_run_raises_the_first_error(self, server):
        w = quor.Worker(server.address, "tok", "w1")
        calls = []
        w.task("job")(calls.append)
        server.script(OK_EMPTY, reply(200, "null"),
                      OK_EMPTY, reply(200, {"task": "job", "run_id": "r", "payload": 1}), OK_EMPTY,
                      OK_EMPTY, reply(500, {"error": "service down"}))
        with pytest.raises(RuntimeError, match="^HTTP 500 from .*: service down$"):
            w.run()
        assert calls == [1]
        assert len(server.take()) == 7


RUN_UNTIL_INTERRUPTED = r'''
import sys
import quor

w = quor.Worker(sys.argv[1], "tok", "w1")
w.task("job")(lambda payload: None)
try:
    w.run()
except KeyboardInterrupt:
    print("interrupted", flush=True)
except BaseException as e:
    print("other:", type(e).__name__, e, flush=True)
'''


class TestStoppingRun:
    def test_ctrl_c_ends_a_waiting_poll(self, server):
        # The poll would wait 20 s; the signal must end it at once.
        server.script(OK_EMPTY, {"kind": "hang"})
        child = subprocess.Popen([sys.executable, "-c", RUN_UNTIL_INTERRUPTED, server.address],
                                 stdout=subprocess.PIPE, text=True)
        try:
            server.wait_for(lambda reqs: any(b"/v1/workers/poll" in r for r in reqs))
            child.send_signal(signal.SIGINT)
            out, _ = child.communicate(timeout=60)
        finally:
            child.kill()
        assert out.splitlines() == ["interrupted"]

    def test_task_keyboard_interrupt_is_reported_then_ends_run(self, server):
        w = quor.Worker(server.address, "tok", "w1")

        @w.task("job")
        def job(payload):
            raise KeyboardInterrupt

        server.script(OK_EMPTY, reply(200, {"task": "job", "run_id": "r", "fencing_token": 2}),
                      OK_EMPTY)
        with pytest.raises(KeyboardInterrupt):
            w.run()
        report = server.take()[2]
        assert report.startswith(b"POST /v1/runs/r/fail ")
        assert json.loads(body_of(report))["error"] == "KeyboardInterrupt: "
