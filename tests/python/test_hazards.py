"""Lock hazards and interpreter exit, each in a child interpreter so that a
deadlock fails the test (by timeout) instead of hanging the suite."""
import subprocess

import pytest

from conftest import run_script

# A log of many records makes the open (and so the window in which start
# holds the module lock without the GIL) long.
STATUS_DURING_START = r'''
import os, threading, time, quor
d = {d!r}
os.makedirs(d, exist_ok=True)
spec = ('{{"v":1,"ts":"2026-03-01T08:00:00Z","event":{{"type":"TIMER_CREATED","spec":'
        '{{"id":"t","schedule":{{"kind":"every","seconds":300}},"retry":{{"max_attempts":3,'
        '"backoff":{{"kind":"fixed","seconds":10}}}},"timezone":"UTC",'
        '"created_at":"2026-03-01T08:00:00Z"}}}}}}\n')
due = ('{{"v":1,"ts":"2026-03-01T08:00:00Z","event":{{"type":"RUN_DUE","timer_id":"t",'
       '"run_id":"run_01h0000000000000000000000%d","scheduled_at":"2026-03-01T08:00:00Z"}}}}\n')
with open(os.path.join(d, "quor.aof"), "w") as f:
    f.write(spec)
    for i in range(300000):
        f.write(due % (i % 10))
stop = False
counts = [0, 0, 0, 0]
def poll(i):
    while not stop:
        quor.status("t")
        quor.list()
        counts[i] += 1
threads = [threading.Thread(target=poll, args=(i,)) for i in range(4)]
for t in threads: t.start()
t0 = time.monotonic()
quor.start(d)
opened = time.monotonic() - t0
stop = True
for t in threads: t.join()
assert quor.status("t")["state"] == "orphaned"
quor.shutdown()
print("open", round(opened, 3), "polls", counts)
'''


def test_status_threads_while_start_opens_a_large_directory(tmp_path):
    r = run_script(STATUS_DURING_START.format(d=str(tmp_path / "big")), timeout=120)
    assert r.returncode == 0, r.stderr
    assert "polls" in r.stdout


OVERLAPPING_RUNS = r'''
import threading, time, quor
quor.start({d!r})
spans = []
lock = threading.Lock()
def slow(ctx):
    start = time.monotonic()
    time.sleep(1.5)
    with lock:
        spans.append((ctx["run_id"], start, time.monotonic()))
quor.schedule("t", fn=slow, every="1s")
deadline = time.monotonic() + 30
while quor.status("t")["state"] != "running":
    assert time.monotonic() < deadline
    time.sleep(0.01)
# Scheduling again while a run is in progress arms a second run at once.
quor.schedule("t", fn=slow, every="1s")
while True:
    with lock:
        if len(spans) >= 3:
            break
    assert time.monotonic() < deadline, spans
    quor.status("t")  # the main thread keeps getting the GIL
    time.sleep(0.01)
quor.shutdown(30)
print("runs", len(spans))
'''


def test_two_overlapping_runs_of_one_sleeping_timer(tmp_path):
    r = run_script(OVERLAPPING_RUNS.format(d=str(tmp_path / "d")), timeout=90)
    assert r.returncode == 0, r.stderr


EXIT_WITHOUT_SHUTDOWN = r'''
import sys, threading, time, quor
quor.start({d!r})
started = threading.Event()
def busy(ctx):
    started.set()
    t = time.monotonic()
    while time.monotonic() - t < 5:
        time.sleep(0.001)
        sum(range(100))
def quick():
    pass
for i in range(4):
    quor.schedule("busy%d" % i, fn=busy, every="1s")
    quor.schedule("quick%d" % i, fn=quick, every="1s")
started.wait(20)
print("exiting")
sys.exit(7)
'''


@pytest.mark.parametrize("round_", range(20))
def test_exit_without_shutdown_while_runs_are_in_flight(tmp_path, round_):
    try:
        r = run_script(EXIT_WITHOUT_SHUTDOWN.format(d=str(tmp_path / "d")), timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("the interpreter hung at exit")
    assert r.returncode == 7, (r.returncode, r.stderr)
    assert r.stdout.strip() == "exiting"
    assert "Fatal" not in r.stderr and "terminate" not in r.stderr
