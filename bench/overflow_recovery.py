#!/usr/bin/env python3
"""overflow_recovery.py: every file of a burst is handled exactly once although the queue overflows.

Usage (as root): python3 bench/overflow_recovery.py VELLUMD FILES DIRECTORIES RUNS [QUEUE]

The kernel's queue limit (fs.inotify.max_queued_events) is lowered to QUEUE (default 256) only
while the daemon creates its inotify instance, which takes the limit then, and restored at once;
so every burst overflows, and no other inotify user is affected for longer than a start-up. Half
the directories exist at the start, the other half are created during the burst. Prints one line
per run: overflows seen in the log, files never handled, files handled more than once.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

QUEUE_LIMIT = "/proc/sys/fs/inotify/max_queued_events"


def watch_count(pid):
    count = 0
    for fd in os.listdir(f"/proc/{pid}/fdinfo"):
        try:
            with open(f"/proc/{pid}/fdinfo/{fd}") as info:
                count += sum(1 for line in info if line.startswith("inotify wd:"))
        except OSError:
            pass
    return count


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.01)
    return False


def one_run(daemon, files, directories, queue):
    work = tempfile.mkdtemp(prefix="vellumd-overflow-")
    tree, log, record = f"{work}/tree", f"{work}/log", f"{work}/handled"
    handler = f"{work}/handler"
    with open(handler, "w") as script:
        script.write(f"#!/bin/sh\nprintf '%s\\0' \"$1\" >> '{record}'\n")
    os.chmod(handler, 0o755)
    os.mkdir(tree)
    early = directories // 2
    for d in range(early):
        os.mkdir(f"{tree}/d{d}")
    with open(QUEUE_LIMIT) as limit:
        saved = limit.read()
    try:
        with open(QUEUE_LIMIT, "w") as limit:
            limit.write(str(queue))
        process = subprocess.Popen([daemon, "-f", "-t", tree, "-h", handler, "-L", log])
        ready = wait_until(lambda: watch_count(process.pid) == early + 1, 30)
    finally:
        with open(QUEUE_LIMIT, "w") as limit:
            limit.write(saved)
    if not ready:
        process.kill()
        raise RuntimeError("the daemon did not watch the tree")
    payload = b"x" * 1024
    for i in range(files):
        d = i % directories
        path = f"{tree}/d{d}"
        if d >= early and not os.path.isdir(path):
            os.mkdir(path)
        fd = os.open(f"{path}/f{i}", os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        os.write(fd, payload)
        os.close(fd)

    def handled():
        try:
            with open(record, "rb") as runs:
                return [p for p in runs.read().split(b"\0") if p]
        except FileNotFoundError:
            return []

    # Done once every file has run, or nothing has changed for ten seconds.
    last, since = -1, time.monotonic()
    while time.monotonic() - since < 10:
        count = len(handled())
        if count >= files:
            time.sleep(1)  # a duplicate, if any, would come right after
            break
        if count != last:
            last, since = count, time.monotonic()
        time.sleep(0.1)
    process.send_signal(signal.SIGTERM)
    process.wait(30)
    runs = {}
    for path in handled():
        runs[path] = runs.get(path, 0) + 1
    expected = {f"{tree}/d{i % directories}/f{i}".encode() for i in range(files)}
    with open(log, "rb") as text:
        overflows = text.read().count(b"IN_Q_OVERFLOW")
    missing = len(expected - runs.keys())
    repeated = sum(1 for path in expected if runs.get(path, 0) > 1)
    strays = len(runs.keys() - expected)
    shutil.rmtree(work)
    return overflows, missing, repeated, strays


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    daemon, files, directories, runs = sys.argv[1], *map(int, sys.argv[2:5])
    queue = int(sys.argv[5]) if len(sys.argv) > 5 else 256
    perfect = 0
    for run in range(1, runs + 1):
        overflows, missing, repeated, strays = one_run(daemon, files, directories, queue)
        perfect += overflows > 0 and missing == 0 and repeated == 0 and strays == 0
        print(f"run {run}: {files} files in {directories} directories, queue {queue}: "
              f"{overflows} overflows, {missing} never handled, {repeated} handled more than once, "
              f"{strays} other paths", flush=True)
    print(f"{perfect} of {runs} runs overflowed and handled every file exactly once")


if __name__ == "__main__":
    main()
