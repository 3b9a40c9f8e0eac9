"""A remote scheduling service and a quor Client and Worker driving it.

    python examples/remote_service.py            # the demo (a few seconds)
    python examples/remote_service.py --serve    # only the service

The service is a small in-memory reference: it stores timers, hands due
runs to polling workers under a lease with a fencing token, and accepts a
report only from the worker that holds the current lease with the current
token. It speaks the JSON-over-HTTP API that quor.Client and quor.Worker
use. The demo starts it as a child process (a Client call holds the
interpreter lock while it waits, so the service must not share the
process), schedules a few timers with a Client, and executes the runs
with a Worker.
"""

from __future__ import annotations

import argparse
import asyncio
import datetime as dt
import json
import re
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

TOKEN = "demo-token"
RETRY_DELAY = 0.5  # seconds between attempts of a failed run
LONG_POLL = 1.0  # seconds a poll waits for a due run before answering null

_UNITS = {"ms": 0.001, "s": 1, "m": 60, "h": 3600, "d": 86400}


def parse_duration(text: str) -> float:
    """'1500ms', '2s', '1m30s' -> seconds."""
    parts = re.findall(r"(\d+)(ms|s|m|h|d)", text)
    if not parts or "".join(n + u for n, u in parts) != text:
        raise ValueError(f"invalid duration {text!r}")
    return sum(int(n) * _UNITS[u] for n, u in parts)


def iso(ts: float | None) -> str | None:
    if ts is None:
        return None
    return dt.datetime.fromtimestamp(ts, dt.timezone.utc).isoformat(timespec="milliseconds")


class Service:
    """Timers, runs and leases, all in memory and behind one lock."""

    def __init__(self) -> None:
        self.cond = threading.Condition()
        self.timers: dict[str, dict] = {}
        self.history: dict[str, list[dict]] = {}
        self.workers: dict[str, dict] = {}
        self.leases: dict[str, dict] = {}  # run_id -> lease of a run in flight
        self.next_run = 1
        self.next_token = 1

    # -- timers ---------------------------------------------------------
    def create(self, body: dict) -> dict:
        name, task = body.get("name"), body.get("task")
        if not isinstance(name, str) or not name or not isinstance(task, str):
            raise HttpError(400, "name and task are required")
        kinds = [k for k in ("cron", "every", "after", "at") if body.get(k) is not None]
        if len(kinds) != 1:
            raise HttpError(400, "exactly one of cron, every, after, at is required")
        kind = kinds[0]
        now = time.time()
        if kind == "cron":
            raise HttpError(400, "this reference service does not evaluate cron schedules")
        if kind == "at":
            try:
                first = dt.datetime.fromisoformat(body["at"].replace("Z", "+00:00")).timestamp()
            except ValueError:
                raise HttpError(400, f"invalid at {body['at']!r}") from None
        else:
            try:
                first = now + parse_duration(body[kind])
            except ValueError as e:
                raise HttpError(400, str(e)) from None
        timer = {
            "name": name,
            "task": task,
            "payload": body.get("payload"),
            "schedule": {kind: body[kind]},
            "timezone": body.get("timezone", "UTC"),
            "max_attempts": body.get("max_attempts", 3),
            "state": "scheduled",
            "attempt": 0,
            "next_run_at": first,
            "last_error": None,
        }
        with self.cond:
            self.timers[name] = timer
            self.history.setdefault(name, [])
            self.cond.notify_all()
            return self.view(timer)

    def view(self, timer: dict) -> dict:
        out = {k: v for k, v in timer.items() if not k.startswith("_")}
        out["next_run_at"] = iso(timer["next_run_at"])
        return out

    def get(self, name: str) -> dict:
        with self.cond:
            if name not in self.timers:
                raise HttpError(404, f"timer {name} not found")
            return self.view(self.timers[name])

    def list(self) -> list[dict]:
        with self.cond:
            return [self.view(t) for t in self.timers.values()]

    def runs(self, name: str) -> list[dict]:
        with self.cond:
            if name not in self.timers:
                raise HttpError(404, f"timer {name} not found")
            return list(self.history[name])

    # -- workers and leases ---------------------------------------------
    def register(self, body: dict) -> dict:
        worker_id = body.get("worker_id")
        if not isinstance(worker_id, str):
            raise HttpError(400, "worker_id is required")
        with self.cond:
            self.workers[worker_id] = {
                "tasks": list(body.get("tasks") or []),
                "lease_seconds": float(body.get("lease_seconds") or 30),
                "seen": time.time(),
            }
            return {"worker_id": worker_id, "tasks": self.workers[worker_id]["tasks"]}

    def _expire_leases(self, now: float) -> None:
        # A lease that ran out puts its run back; the next poll hands it out
        # again under a new fencing token, so the old holder's report fails.
        for run_id, lease in list(self.leases.items()):
            if lease["expires"] <= now:
                del self.leases[run_id]
                timer = self.timers.get(lease["timer"])
                if timer is not None and timer["state"] == "running":
                    timer["state"] = "scheduled"
                    timer["next_run_at"] = now
                    timer["_requeued_run"] = run_id

    def poll(self, body: dict) -> dict | None:
        worker_id = body.get("worker_id")
        tasks = set(body.get("tasks") or [])
        deadline = time.time() + LONG_POLL
        with self.cond:
            worker = self.workers.get(worker_id)
            if worker is None:
                raise HttpError(409, f"worker {worker_id} is not registered")
            while True:
                now = time.time()
                self._expire_leases(now)
                due = [
                    t for t in self.timers.values()
                    if t["task"] in tasks and t["state"] == "scheduled"
                    and t["next_run_at"] is not None and t["next_run_at"] <= now
                ]
                if due:
                    timer = min(due, key=lambda t: t["next_run_at"])
                    return self._lease(timer, worker_id, worker["lease_seconds"], now)
                if now >= deadline:
                    return None
                upcoming = [t["next_run_at"] for t in self.timers.values()
                            if t["state"] == "scheduled" and t["next_run_at"] is not None]
                wake = min(upcoming + [deadline])
                self.cond.wait(max(0.0, min(wake, deadline) - now))

    def _lease(self, timer: dict, worker_id: str, lease_seconds: float, now: float) -> dict:
        run_id = timer.pop("_requeued_run", None)
        if run_id is None:
            run_id = f"run_{self.next_run}"
            self.next_run += 1
            timer["attempt"] += 1
        token = self.next_token
        self.next_token += 1
        timer["state"] = "running"
        self.leases[run_id] = {
            "timer": timer["name"], "worker_id": worker_id,
            "fencing_token": token, "expires": now + lease_seconds,
        }
        return {"run_id": run_id, "task": timer["task"], "payload": timer["payload"],
                "fencing_token": token, "attempt": timer["attempt"]}

    def report(self, run_id: str, body: dict, ok: bool) -> dict:
        with self.cond:
            lease = self.leases.get(run_id)
            if lease is None:
                raise HttpError(404, f"run {run_id} has no lease")
            if (body.get("worker_id") != lease["worker_id"]
                    or body.get("fencing_token") != lease["fencing_token"]):
                raise HttpError(409, "stale fencing token")
            del self.leases[run_id]
            timer = self.timers[lease["timer"]]
            now = time.time()
            self.history[timer["name"]].append({
                "run_id": run_id, "attempt": timer["attempt"],
                "outcome": "succeeded" if ok else "failed",
                "error": None if ok else body.get("error"), "finished_at": iso(now),
            })
            if not ok and timer["attempt"] < timer["max_attempts"]:
                timer.update(state="scheduled", next_run_at=now + RETRY_DELAY,
                             last_error=body.get("error"))
            else:
                timer["last_error"] = None if ok else body.get("error")
                timer["attempt"] = 0
                every = timer["schedule"].get("every")
                if ok or every is not None:
                    timer["state"] = "scheduled" if every is not None else "completed"
                else:
                    timer["state"] = "dead"
                timer["next_run_at"] = now + parse_duration(every) if every is not None else None
            self.cond.notify_all()
            return {"run_id": run_id, "state": timer["state"]}


class HttpError(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


def make_handler(service: Service, token: str):
    class Handler(BaseHTTPRequestHandler):
        def _answer(self, status: int, value) -> None:
            data = json.dumps(value).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)

        def _handle(self, method: str) -> None:
            try:
                if self.headers.get("Authorization") != f"Bearer {token}":
                    raise HttpError(401, "invalid bearer token")
                length = int(self.headers.get("Content-Length") or 0)
                raw = self.rfile.read(length) if length else b""
                body = json.loads(raw) if raw else None
                self._answer(200, self._route(method, self.path, body))
            except HttpError as e:
                self._answer(e.status, {"error": str(e)})
            except (ValueError, KeyError, TypeError) as e:
                self._answer(400, {"error": f"bad request: {e}"})

        def _route(self, method: str, path: str, body):
            parts = path.split("/")[1:]  # "", "v1", ...
            if parts[:1] != ["v1"]:
                raise HttpError(404, f"no route for {path}")
            rest = parts[1:]
            if method == "GET" and rest == ["timers"]:
                return service.list()
            if method == "GET" and len(rest) == 2 and rest[0] == "timers":
                return service.get(rest[1])
            if method == "GET" and len(rest) == 3 and rest[0] == "timers" and rest[2] == "history":
                return service.runs(rest[1])
            if method == "POST" and rest == ["timers"]:
                return service.create(body or {})
            if method == "POST" and rest == ["workers", "register"]:
                return service.register(body or {})
            if method == "POST" and rest == ["workers", "poll"]:
                return service.poll(body or {})
            if method == "POST" and len(rest) == 3 and rest[0] == "runs":
                if rest[2] in ("succeed", "fail"):
                    return service.report(rest[1], body or {}, rest[2] == "succeed")
            raise HttpError(404, f"no route for {method} {path}")

        def do_GET(self) -> None:  # noqa: N802 (http.server's naming)
            self._handle("GET")

        def do_POST(self) -> None:  # noqa: N802
            self._handle("POST")

        def log_message(self, fmt, *args) -> None:
            pass  # keep the demo's output readable

    return Handler


def serve(port: int, token: str, stop_on_eof: bool) -> None:
    server = ThreadingHTTPServer(("127.0.0.1", port), make_handler(Service(), token))
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    if stop_on_eof:  # the demo closes our stdin when it is done
        threading.Thread(target=lambda: (sys.stdin.read(), server.shutdown()), daemon=True).start()
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    server.server_close()


def demo(seconds: float) -> None:
    import quor

    child = subprocess.Popen([sys.executable, __file__, "--serve", "--port", "0", "--stop-on-eof"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        port = int(child.stdout.readline())
        address = f"http://127.0.0.1:{port}"
        print(f"service listening on {address}")

        client = quor.Client(address, TOKEN)
        client.schedule("heartbeat", task="beat", every="1s", payload={"n": 1})
        client.schedule("flaky-once", task="flaky", after="0s", max_attempts=3)
        client.schedule("async-report", task="report", after="1s", payload=["a", "b"])

        worker = quor.Worker(address, TOKEN, worker_id="demo-worker")
        calls = {"flaky": 0}

        @worker.task("beat")
        def beat(payload):
            print(f"  beat {payload}")

        @worker.task("flaky")
        def flaky(payload):
            calls["flaky"] += 1
            if calls["flaky"] < 2:
                print("  flaky raises on attempt", calls["flaky"])
                raise ConnectionError("upstream not ready")
            print("  flaky succeeded on attempt", calls["flaky"])

        @worker.task("report")
        async def report(payload):
            await asyncio.sleep(0.05)
            print(f"  async report of {payload}")

        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            worker.run_once(timeout=5.0)

        print(f"{'timer':<14} {'state':<10} runs  last error")
        for t in client.list():
            runs = client.history(t["name"])
            print(f"{t['name']:<14} {t['state']:<10} {len(runs):<5} {t['last_error'] or ''}")
        try:
            client.status("missing")
        except RuntimeError as e:
            print(f"status of an unknown timer: {e}")
    finally:
        child.stdin.close()
        child.wait(timeout=10)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serve", action="store_true", help="run only the service")
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--token", default=TOKEN)
    parser.add_argument("--stop-on-eof", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--seconds", type=float, default=4.0, help="how long the demo worker runs")
    args = parser.parse_args()
    if args.serve:
        serve(args.port, args.token, args.stop_on_eof)
    else:
        demo(args.seconds)


if __name__ == "__main__":
    main()
