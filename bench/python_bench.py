"""Benchmarks of the Python module, each beside a baseline from the same run.

    python bench/python_bench.py [timers]

Figures: schedule() of new timers against the storage's sync rate (append a
line and fsync, in the same directory); status() of one timer against a
Python function call; list() of N timers (default 10,000); the delay from a
due instant to the task's first line against two syncs."""
import datetime
import os
import statistics
import sys
import tempfile
import threading
import time

import quor


def sync_rate(directory, n=200):
    path = os.path.join(directory, "sync-probe")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
    try:
        line = b'{"v":1,"ts":"2026-03-01T08:00:00Z","event":{}}\n' * 4
        t = time.perf_counter()
        for _ in range(n):
            os.write(fd, line)
            os.fsync(fd)
        return n / (time.perf_counter() - t)
    finally:
        os.close(fd)
        os.unlink(path)


def noop():
    pass


def main():
    timers = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    root = tempfile.mkdtemp(prefix="quor-bench-")
    data = os.path.join(root, "data")
    quor.start(data)

    base = sync_rate(data)
    n = 500
    t = time.perf_counter()
    for i in range(n):
        quor.schedule(f"s{i}", fn=noop, every="1h")
    rate = n / (time.perf_counter() - t)
    print(f"schedule (new timers): {rate:10.0f}/s   baseline fsync appends: {base:10.0f}/s"
          f"   ratio {rate / base:.2f} (goal >= 0.90)")

    def call(name):
        return name

    reps = 200_000
    t = time.perf_counter()
    for _ in range(reps):
        quor.status("s1")
    status_us = (time.perf_counter() - t) / reps * 1e6
    t = time.perf_counter()
    for _ in range(reps):
        call("s1")
    call_us = (time.perf_counter() - t) / reps * 1e6
    print(f"status of one timer:   {status_us:10.2f} us   baseline Python call: {call_us:8.2f} us"
          f"   ratio {status_us / call_us:.1f} (goal < 5 us)")

    for i in range(n, timers):
        quor.schedule(f"s{i}", fn=noop, every="1h")
    samples = []
    for _ in range(10):
        t = time.perf_counter()
        got = quor.list()
        samples.append(time.perf_counter() - t)
    assert len(got) == timers
    list_ms = statistics.median(samples) * 1e3
    t = time.perf_counter()
    copy = [dict(d) for d in got]
    copy_ms = (time.perf_counter() - t) * 1e3
    print(f"list of {timers} timers: {list_ms:8.2f} ms   baseline copying the dicts: "
          f"{copy_ms:8.2f} ms   (goal < 20 ms)")

    delays = []
    for i in range(10):
        seen = threading.Event()
        box = {}

        def task(*, box=box, seen=seen):
            box["at"] = time.time()
            seen.set()

        due = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=0.3)
        quor.schedule(f"lat{i}", fn=task, at=due)
        seen.wait(10)
        delays.append((box["at"] - due.timestamp()) * 1e3)
    two_syncs_ms = 2e3 / base
    med = statistics.median(delays)
    print(f"due -> first line:     {med:10.2f} ms   baseline two syncs: {two_syncs_ms:8.2f} ms"
          f"   beyond syncs {med - two_syncs_ms:.2f} ms (goal < 1 ms)")
    quor.shutdown()


if __name__ == "__main__":
    main()
