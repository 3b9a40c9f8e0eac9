"""quor quickstart: a few timers of each kind, a failing task, the status
table as it changes, and an orderly shutdown. Finishes on its own."""
import asyncio
import datetime
import os
import tempfile
import time

import quor

data_dir = os.path.join(tempfile.mkdtemp(prefix="quor-demo-"), "data")


def heartbeat():
    print("  heartbeat")


def report(ctx):
    print(f"  report for {ctx['timer_id']} (run {ctx['run_id']})")


def flaky():
    raise ConnectionError("upstream unavailable")


async def fetch(ctx):
    await asyncio.sleep(0.1)
    print(f"  fetched in {ctx['timer_id']}")


soon = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=3)

# Timers may be scheduled before start; they take effect when it runs.
quor.schedule("heartbeat", fn=heartbeat, every="2s")
quor.start(data_dir)
quor.schedule("report", fn=report, after="1s")
quor.schedule("fetch", fn=fetch, at=soon)
quor.schedule("flaky", fn=flaky, every="4s", max_attempts=2)
quor.schedule("nightly", fn=report, cron="0 3 * * *", timezone="Europe/Paris")


def table():
    rows = sorted(quor.list(), key=lambda s: s["id"])
    print(f"{'timer':<10} {'state':<10} {'last status':<44} next run")
    for s in rows:
        print(f"{s['id']:<10} {s['state']:<10} {str(s['last_status']):<44} {s['next_run_at']}")


last = None
end = time.monotonic() + 8
while time.monotonic() < end:
    snapshot = [(s["id"], s["state"], s["last_status"]) for s in quor.list()]
    snapshot.sort()
    if snapshot != last:
        table()
        print()
        last = snapshot
    time.sleep(0.2)

quor.shutdown(timeout=5.0)
print("shut down; data directory:", data_dir)
print("files:", ", ".join(sorted(os.listdir(data_dir))))
