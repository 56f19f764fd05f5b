#!/usr/bin/env python3
"""run_e2e.py: runs the micro benchmarks and the end-to-end scenarios (scan, burst, spawn, memory)
of the real daemon beside inotifywait, incrond and the floors; prints one markdown table and
writes the results file.

Usage: run_e2e.py BUILD_DIR   (BENCH_QUICK=1 for a short run while developing)

Every process it starts is ended by its PID. Readiness is read from the kernel: the number of
"inotify wd:" lines in /proc/PID/fdinfo of the process's inotify descriptors. Each such read
walks every watch under the group's lock, and so slows the process being measured; it is done
only once the process is seen blocked in its wait for records (/proc/PID/syscall, a cheap read),
or every 50 ms where that file cannot be read.
"""

import ctypes
import datetime
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")

if QUICK:
    RUNS = 2
    BURST_RUNS = 3
    OPTION_RUNS = 2  # the bursts with -j, --settle and --metrics
    SCAN_SIZES = [1000, 5000]
    HEADLINE_SIZE = 5000
    TARGET_SIZES = [5000]  # the scan targets, and the catch-up scan
    BURST_FILES = 5000
    SPAWN_FILES = 400
    MICRO_MIN_TIME = "0.02"
else:
    RUNS = 5
    BURST_RUNS = 10
    OPTION_RUNS = 3
    SCAN_SIZES = [1000, 10000, 20000, 100000]
    HEADLINE_SIZE = 20000
    TARGET_SIZES = [20000, 100000]
    BURST_FILES = 20000
    SPAWN_FILES = 2000
    MICRO_MIN_TIME = "0.2"
JOBS = 4  # vellumd -j in the burst with a cap on handlers
SETTLE_MS = 100  # vellumd --settle in the burst with settling
FILES_PER_DIR = 10
PACE = 200  # files a second in the paced spawn runs
QUIET_SECONDS = 3.0  # no new completion for this long after the writer ended: the rest are lost
OUTCOME_DEADLINE = 300.0
READY_DEADLINE = 300.0
WATCH_LIMIT_WANTED = 524288

# x86-64 system calls a watcher sleeps in while it waits for records.
WAIT_SYSCALLS = {0, 7, 17, 23, 232, 270, 271, 281, 441}

PR_SET_CHILD_SUBREAPER = 36


LOAD_SEEN = []  # one-minute load averages sampled as the bench went


def log(message):
    LOAD_SEEN.append(float(read_text("/proc/loadavg").split()[0] or 0))
    print(f"[bench {time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Processes


class Processes:
    """Every process the bench started, by PID, so that each is ended by its PID."""

    def __init__(self):
        self.popen = {}  # pid -> Popen, for the ones started directly
        self.adopted = set()  # detached daemons, reparented to this process (subreaper)

    def start(self, argv, **kwargs):
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        process = subprocess.Popen(argv, close_fds=True, **kwargs)
        self.popen[process.pid] = process
        return process.pid

    def launch_detaching(self, argv, comm):
        """Runs a program that detaches with daemon(); returns the PID of the detached process."""
        subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, close_fds=True, check=False)
        me = os.getpid()
        for pid in list_pids():
            info = stat_fields(pid)
            if info and info[1] == me and read_text(f"/proc/{pid}/comm").strip() == comm:
                if read_bytes(f"/proc/{pid}/cmdline").split(b"\0")[:-1] == \
                        [a.encode() for a in argv]:
                    self.adopted.add(pid)
                    return pid
        raise RuntimeError(f"no detached {comm} found for {argv}")

    def stop(self, pid):
        """SIGTERM, then SIGKILL after 5 s; reaps it. Safe to call twice."""
        if pid in self.popen:
            process = self.popen.pop(pid)
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        elif pid in self.adopted:
            self.adopted.discard(pid)
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                return
            deadline = time.monotonic() + 5
            while True:
                done, _ = os.waitpid(pid, os.WNOHANG)
                if done == pid:
                    break
                if time.monotonic() > deadline:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    break
                time.sleep(0.01)
        self.reap_orphans()

    def reap_orphans(self):
        """Handlers still running when their daemon ended were reparented here: reap the ended."""
        me = os.getpid()
        for pid in list_pids():
            info = stat_fields(pid)
            if info and info[1] == me and info[0] == "Z" and pid not in self.popen:
                try:
                    os.waitpid(pid, os.WNOHANG)
                except ChildProcessError:
                    pass

    def stop_all(self):
        for pid in list(self.popen) + list(self.adopted):
            self.stop(pid)


def list_pids():
    return [int(name) for name in os.listdir("/proc") if name.isdigit()]


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return b""


def read_text(path):
    return read_bytes(path).decode(errors="replace")


def stat_fields(pid):
    """The fields of /proc/PID/stat after the command: [state, ppid, ...]; None when gone."""
    raw = read_text(f"/proc/{pid}/stat")
    if not raw:
        return None
    rest = raw[raw.rfind(")") + 2:].split()
    return [rest[0], int(rest[1])] + rest[2:]


def cpu_seconds(pid):
    info = stat_fields(pid)
    if not info:
        return float("nan")
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(info[11]) + int(info[12])) / ticks


def memory_kib(pid):
    values = {}
    for line in read_text(f"/proc/{pid}/status").splitlines():
        key, _, value = line.partition(":")
        if key in ("VmRSS", "VmHWM"):
            values[key] = int(value.split()[0])
    return values


def watch_count(pid):
    """The "inotify wd:" lines over all inotify descriptors of the process."""
    total = 0
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return -1
    for fd in fds:
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") != "anon_inode:inotify":
                continue
        except OSError:
            continue
        total += read_bytes(f"/proc/{pid}/fdinfo/{fd}").count(b"inotify wd:")
    return total


def waiting_for_records(pid):
    """True when blocked in a system call a watcher waits in; None when that cannot be read."""
    raw = read_text(f"/proc/{pid}/syscall").split()
    if not raw:
        return None
    return raw[0].isdigit() and int(raw[0]) in WAIT_SYSCALLS


def wait_ready(pid, expected, started):
    """Returns the seconds from `started` until `pid` was seen holding `expected` watches."""
    deadline = started + READY_DEADLINE
    last_full_read = time.monotonic()
    stuck_since = None  # first seen waiting for records with too few watches
    while True:
        now = time.monotonic()
        if (stat_fields(pid) or ["Z"])[0] == "Z":
            raise RuntimeError(f"process {pid} ended before watching {expected} directories")
        waiting = waiting_for_records(pid)
        if waiting or (waiting is None and now - last_full_read >= 0.05):
            last_full_read = time.monotonic()
            count = watch_count(pid)
            if count >= expected:
                return now - started
            if waiting:
                stuck_since = stuck_since or now
                if now - stuck_since > 3:
                    raise RuntimeError(f"process {pid} waits with {count} of {expected} watches")
            else:
                stuck_since = None
        if now > deadline:
            raise RuntimeError(f"process {pid} did not watch {expected} directories in time")
        time.sleep(0.001)


def wait_idle(pid, log_path=None):
    """Waits until `pid` sleeps in its wait for records and its log stops growing."""
    deadline = time.monotonic() + 30
    size = -1
    while time.monotonic() < deadline:
        now_size = os.path.getsize(log_path) if log_path and os.path.exists(log_path) else 0
        if waiting_for_records(pid) and now_size == size:
            return
        size = now_size
        time.sleep(0.1)


class LineCounter:
    """Counts the lines of a file that another process appends to, reading only what is new."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.count = 0

    def poll(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return self.count
        self.offset += len(data)
        self.count += data.count(b"\n")
        return self.count


def read_pairs(path):
    """Lines "NS PATH" -> list of (ns, path)."""
    pairs = []
    for line in read_text(path).splitlines():
        ns, _, name = line.partition(" ")
        if ns.isdigit():
            pairs.append((int(ns), name))
    return pairs


# ---------------------------------------------------------------------------------------------
# Statistics and formatting


def median_min_max(values):
    values = [v for v in values if v is not None and v == v]
    if not values:
        return None
    return (statistics.median(values), min(values), max(values))


def percentile(values, fraction):
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    index = min(len(ordered) - 1, max(0, int(round(fraction * (len(ordered) - 1)))))
    return ordered[index]


def fmt(stat, digits=0, scale=1.0):
    if stat is None:
        return "–"
    med, low, high = (v * scale for v in stat)
    if low == high:
        return f"{med:,.{digits}f}"
    return f"{med:,.{digits}f} ({low:,.{digits}f}–{high:,.{digits}f})"


def fmt_one(value, digits=2):
    if value is None or value != value:
        return "–"
    return f"{value:,.{digits}f}"


def verdict(ok):
    if ok is None:
        return "n/a"
    return "met" if ok else "**missed**"


# ---------------------------------------------------------------------------------------------
# The bench


def make_work_dir():
    """A directory under /tmp for the trees, on a tmpfs of its own when root can mount one.

    Creating a file on the disk of some machines costs a millisecond or more of system time; a
    writer that slow never fills the kernel's queue, and a tree of a million files would take
    most of the run to make. Returns (path, mounted)."""
    work = os.environ.get("BENCH_DIR")
    if work:
        os.makedirs(work, exist_ok=True)
        return tempfile.mkdtemp(prefix="vellumd-bench-", dir=work), False
    work = tempfile.mkdtemp(prefix="vellumd-bench-", dir="/tmp")
    if os.geteuid() == 0:
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8g,mode=0700",
                                  "vellumd-bench", work], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL).returncode == 0
        if mounted:
            return work, True
    return work, False


def remove_work_dir(work, mounted):
    if mounted:
        for _ in range(50):
            if subprocess.run(["umount", work], stderr=subprocess.DEVNULL).returncode == 0:
                mounted = False
                break
            time.sleep(0.1)  # a handler that outlived its daemon may still hold a file there
        if mounted:
            subprocess.run(["umount", "-l", work], stderr=subprocess.DEVNULL)
    shutil.rmtree(work, ignore_errors=True)


class Bench:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.bin = os.path.join(self.build, "bench")
        self.vellumd = os.path.join(self.build, "vellumd")
        self.work, self.mounted = make_work_dir()
        self.procs = Processes()
        self.rows = []  # (scenario, figure, vellumd, inotifywait, incrond, floor, target, met)
        self.notes = []
        self.peers = {}
        self.trees = {}
        self.watch_limit_set = None
        self.handler = os.path.join(self.work, "handler", "stamp_handler")
        os.makedirs(os.path.dirname(self.handler))
        shutil.copy(os.path.join(self.bin, "bench_stamp_handler"), self.handler)
        self.stamps = self.handler + ".stamps"
        # The burst's daemon log and inotifywait's output go to the disk the build is on.
        self.disk = tempfile.mkdtemp(prefix="burst-output-", dir=self.build)
        self.overflow_counter = os.path.join(self.bin, "bench_count_overflows.so")
        self.filesystem_type = self.filesystem(self.work)
        self.disk_filesystem_type = self.filesystem(self.disk)

    def tool(self, name):
        return os.path.join(self.bin, name)

    def row(self, scenario, figure, vellumd="–", inotifywait="–", incrond="–", floor="–",
            target="", met=""):
        self.rows.append((scenario, figure, vellumd, inotifywait, incrond, floor, target, met))

    # -- set-up ---------------------------------------------------------------------------------

    def ensure_peers(self):
        wanted = {"inotifywait": "inotify-tools", "incrond": "incron"}
        missing = [pkg for cmd, pkg in wanted.items() if shutil.which(cmd) is None]
        if missing and os.geteuid() == 0:
            log(f"installing {' '.join(missing)}")
            env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
            quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "env": env}
            if subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends"] +
                              missing, **quiet).returncode != 0:
                subprocess.run(["apt-get", "update", "-qq"], **quiet)
                subprocess.run(["apt-get", "install", "-y", "-qq", "--no-install-recommends"] +
                               missing, **quiet)
        for cmd in wanted:
            self.peers[cmd] = shutil.which(cmd)
        for cmd, path in self.peers.items():
            if path is None:
                self.notes.append(f"{cmd} is absent: it could not be installed, so its columns "
                                  "are empty.")

    def raise_watch_limit(self):
        path = "/proc/sys/fs/inotify/max_user_watches"
        current = int(read_text(path).strip() or 0)
        self.watch_limit_before = current
        if current >= WATCH_LIMIT_WANTED:
            return
        if os.geteuid() == 0:
            try:
                with open(path, "w") as f:
                    f.write(str(WATCH_LIMIT_WANTED))
                self.watch_limit_set = WATCH_LIMIT_WANTED
                log(f"fs.inotify.max_user_watches {current} -> {WATCH_LIMIT_WANTED}")
                return
            except OSError as error:
                log(f"cannot raise the watch limit: {error}")
        # Not root: leave room for other users of inotify and drop the trees that do not fit.
        fits = [size for size in SCAN_SIZES if size + 1 <= current // 2]
        dropped = [size for size in SCAN_SIZES if size not in fits]
        if dropped:
            self.notes.append(f"fs.inotify.max_user_watches is {current}: the trees of "
                              f"{', '.join(f'{d:,}' for d in dropped)} directories were skipped.")
        SCAN_SIZES[:] = fits

    def restore_watch_limit(self):
        path = "/proc/sys/fs/inotify/max_user_watches"
        # Restored only when nobody changed it meanwhile.
        if self.watch_limit_set and int(read_text(path).strip() or 0) == self.watch_limit_set:
            with open(path, "w") as f:
                f.write(str(self.watch_limit_before))
            log(f"fs.inotify.max_user_watches restored to {self.watch_limit_before}")

    def make_trees(self):
        for size in SCAN_SIZES:
            root = os.path.join(self.work, "trees", f"t{size}")
            os.makedirs(os.path.dirname(root), exist_ok=True)
            started = time.monotonic()
            subprocess.run([self.tool("bench_make_tree"), root, str(size), str(FILES_PER_DIR)],
                           check=True)
            self.trees[size] = root
            log(f"tree of {size:,} directories and {size * FILES_PER_DIR:,} files made in "
                f"{time.monotonic() - started:.1f} s")

    # -- micro ----------------------------------------------------------------------------------

    def micro(self):
        import json
        out = os.path.join(self.work, "micro.json")
        log("micro benchmarks")
        subprocess.run([self.tool("vellumd_micro"), f"--benchmark_min_time={MICRO_MIN_TIME}",
                        "--benchmark_format=console", f"--benchmark_out={out}",
                        "--benchmark_out_format=json"], check=True, stdout=sys.stderr,
                       env=dict(os.environ, TMPDIR=self.work))
        with open(out) as f:
            results = json.load(f)["benchmarks"]
        labels = {
            "BM_WalkReadBuffer": "walk one read buffer (128 records), per record",
            "BM_WalkAndDescribeReadBuffer": "walk + describeEvent, per record",
            "BM_PathOf/1": "pathOf, depth 1",
            "BM_PathOf/8": "pathOf, depth 8",
            "BM_PathOf/32": "pathOf, depth 32",
            "BM_BuildRegistry/1000": "build the registry, 1,000 dirs + 10,000 files",
            "BM_PendingLifecycle/0": "notePending ×2 + pendingMask + clearPending (0 others)",
            "BM_PendingLifecycle/1000": "the same, 1,000 other files pending",
            "BM_NotePendingAgain/1000": "notePending on a pending file (1,000 pending)",
            "BM_PendingMask/1000": "pendingMask (1,000 pending)",
            "BM_ClearPendingAbsent/1000": "clearPending of an absent name (1,000 pending)",
            "BM_RecordMoveFrom/matching:0": "recordMoveFrom, no match",
            "BM_RecordMoveFrom/matching:1": "recordMoveFrom, one match",
        }
        for result in results:
            name = result["name"]
            if name not in labels:
                continue
            unit = result.get("time_unit", "ns")
            cpu = result["cpu_time"]
            if "Walk" in name:
                per_record = 1e9 / result["items_per_second"]
                value = f"{per_record:,.1f} ns"
            else:
                value = f"{cpu:,.1f} {'µs' if unit == 'us' else unit}"
            if "RecordMoveFrom" in name:
                value += f" over {int(result.get('entries', 0)):,} entries"
            self.row("micro", labels[name], vellumd=value)

    # -- scan and memory ------------------------------------------------------------------------

    def start_vellumd(self, target, log_path, options=()):
        argv = [self.vellumd, "-t", target, "-h", self.handler]
        if log_path:
            argv += ["-L", log_path]
        argv += list(options)
        started = time.monotonic()
        pid = self.procs.launch_detaching(argv, "vellumd")
        return pid, started

    def scan_once(self, tool, tree, expected, state_path=None):
        """One start of `tool` on `tree`: (seconds until every directory is watched, memory)."""
        log_path = os.path.join(self.work, "scan.log")
        if tool == "vellumd":
            pid, started = self.start_vellumd(tree, log_path)
        elif tool == "catch-up":
            pid, started = self.start_vellumd(tree, log_path, ["-S", state_path])
        elif tool == "inotifywait":
            started = time.monotonic()
            pid = self.procs.start([self.peers["inotifywait"], "-m", "-r", "-q", tree])
        else:
            started = time.monotonic()
            pid = self.procs.start([self.tool("bench_scan_floor")] +
                                   (["-d"] if tool == "d_type" else []) + [tree])
        try:
            elapsed = wait_ready(pid, expected, started)
            memory = memory_kib(pid)
        finally:
            self.procs.stop(pid)
            if os.path.exists(log_path):
                os.unlink(log_path)
        return elapsed, memory

    def save_state(self, tree, expected):
        """A state file saved by a vellumd that watched `tree` and was stopped with SIGTERM."""
        state_path = os.path.join(self.work, "scan.state")
        for path in (state_path, self.stamps):
            if os.path.exists(path):
                os.unlink(path)
        self.scan_once("catch-up", tree, expected, state_path)
        if not os.path.exists(state_path):
            raise RuntimeError("vellumd -S saved no state file at its stop")
        return state_path

    def scan(self):
        tools = ["floor", "d_type", "vellumd"] + \
            (["inotifywait"] if self.peers["inotifywait"] else [])
        self.scan_results = {}
        self.catch_up_runs = {}  # size -> handler runs started by the catch-up starts
        for size in SCAN_SIZES:
            tree = self.trees[size]
            here = tools + (["catch-up"] if size in TARGET_SIZES else [])
            times = {tool: [] for tool in here}
            memory = {tool: [] for tool in here}
            try:
                state_path = self.save_state(tree, size + 1) if "catch-up" in here else None
                for run in range(RUNS):
                    # Rotated so that no tool always follows the same one.
                    for tool in here[run % len(here):] + here[:run % len(here)]:
                        elapsed, mem = self.scan_once(tool, tree, size + 1, state_path)
                        times[tool].append(elapsed)
                        memory[tool].append(mem)
            except RuntimeError as error:
                log(f"scan {size:,} failed: {error}")
                self.notes.append(f"The scan of {size:,} directories failed: {error}.")
                continue
            if state_path:
                self.catch_up_runs[size] = LineCounter(self.stamps).poll()
            self.scan_results[size] = (times, memory)
            log(f"scan {size:,}: " + ", ".join(
                f"{tool} {statistics.median(times[tool]) * 1000:.0f} ms" for tool in here))
        measured = [size for size in SCAN_SIZES if size in self.scan_results]
        self.scan_sizes = measured
        # The targets hold at the sizes named; where the watch limit left those out, at the
        # largest tree measured.
        targets = [size for size in TARGET_SIZES if size in measured] or measured[-1:]

        def median(size, tool):
            return statistics.median(self.scan_results[size][0][tool])

        for size in measured:
            times, _ = self.scan_results[size]
            stat = {tool: median_min_max(values) for tool, values in times.items()}
            scenario = f"scan {size:,} dirs + {size * FILES_PER_DIR:,} files"
            self.row(scenario, "launch → every directory watched, ms (floor: stat of every entry)",
                     vellumd=fmt(stat["vellumd"], 0, 1000),
                     inotifywait=fmt(stat.get("inotifywait"), 0, 1000),
                     floor=fmt(stat["floor"], 0, 1000))
            self.row(scenario, "launch → every directory watched, ms (floor: d_type, no stat of "
                     "regular files)", floor=fmt(stat["d_type"], 0, 1000))
        for size in measured:
            times, _ = self.scan_results[size]
            peer = "inotifywait" in times
            for floor, figure in (("floor", "time / stat floor time (medians)"),
                                  ("d_type", "time / d_type floor time (medians)")):
                ratio = median(size, "vellumd") / median(size, floor)
                target = floor == "d_type" and size in targets
                self.row(f"scan {size:,} dirs", figure, vellumd=fmt_one(ratio),
                         inotifywait=fmt_one(median(size, "inotifywait") / median(size, floor)
                                             if peer else None),
                         floor="1.00", target="≤ 1.15" if target else "",
                         met=verdict(ratio <= 1.15) if target else "")
        for size in measured:
            times, _ = self.scan_results[size]
            if "catch-up" not in times:
                continue
            scenario = f"catch-up scan {size:,} dirs + {size * FILES_PER_DIR:,} files (-S)"
            self.row(scenario, "launch → every directory watched and waiting for records, ms "
                     "(floor: stat of every entry)",
                     vellumd=fmt(median_min_max(times["catch-up"]), 0, 1000),
                     floor=fmt(median_min_max(times["floor"]), 0, 1000))
            ratio = median(size, "catch-up") / median(size, "floor")
            target = size in targets
            self.row(scenario, "time / stat floor time (medians)", vellumd=fmt_one(ratio),
                     floor="1.00", target="≤ 1.05" if target else "",
                     met=verdict(ratio <= 1.05) if target else "")
            self.row(scenario, "handler runs started (all runs; nothing changed)",
                     vellumd=str(self.catch_up_runs[size]))
        # Growth: the cost per entry (directories and files) should not rise with the tree.
        if len(measured) >= 2:
            def per_entry(size, tool):
                return median(size, tool) / (size * (FILES_PER_DIR + 1)) * 1e6
            base = measured[1] if len(measured) > 2 else measured[0]
            top = measured[-1]
            cells = {}
            for tool in tools:
                factor = per_entry(top, tool) / per_entry(base, tool)
                cells[tool] = " / ".join(f"{per_entry(size, tool):.2f}" for size in measured) \
                    + f" ({factor:.2f}×)"
            growth = per_entry(top, "vellumd") / per_entry(base, "vellumd")
            self.row("scan growth", "µs per entry at " +
                     " / ".join(f"{s // 1000:,}k" for s in measured) + " dirs (floor: stat)",
                     vellumd=cells["vellumd"], inotifywait=cells.get("inotifywait", "–"),
                     floor=cells["floor"],
                     target=f"linear: {top // 1000:,}k ≤ 1.25 × {base // 1000:,}k per entry",
                     met=verdict(growth <= 1.25) + f" ({growth:.2f}×)")

    # -- poll -----------------------------------------------------------------------------------

    def poll(self):
        """One poll scan of the headline tree against the floor, and the CPU of polling it."""
        size = HEADLINE_SIZE
        tree = self.trees[size]
        scenario = f"poll {size:,} dirs + {size * FILES_PER_DIR:,} files"
        floor_ms = []
        log_path = os.path.join(self.work, "poll.log")
        pid, _ = self.start_vellumd(tree, log_path, ["--poll", "1000"])
        scans = []
        try:
            found = re.compile(r"Poll found 1 changed files in \d+ directories \((\d+) ms\)")
            for run in range(RUNS):
                # A file touched is handed over by the second scan after: that scan's line
                # gives its time.
                os.utime(os.path.join(tree, "g0000", f"f{run}"))
                deadline = time.monotonic() + 60
                while len(found.findall(read_text(log_path))) <= run:
                    if time.monotonic() > deadline:
                        raise RuntimeError("no poll scan found the file touched")
                    time.sleep(0.05)
                scans.append(float(found.findall(read_text(log_path))[run]))
                # In the second the daemon now waits, with the same caches warm.
                floor = subprocess.run([self.tool("bench_poll_floor"), tree, "1"], check=True,
                                       capture_output=True, text=True).stdout
                floor_ms.append(float(floor))
            # The tree unchanged, scanned every second.
            before = cpu_seconds(pid)
            time.sleep(10)
            cpu = (cpu_seconds(pid) - before) / 10 * 100
        finally:
            self.procs.stop(pid)
        self.row(scenario, "one scan, ms (floor: getdents64 + stat of every regular file)",
                 vellumd=fmt(median_min_max(scans)), floor=fmt(median_min_max(floor_ms)))
        ratio = statistics.median(scans) / statistics.median(floor_ms)
        self.row(scenario, "scan time / floor time (medians)", vellumd=fmt_one(ratio),
                 floor="1.00", target="≤ 1.10", met=verdict(ratio <= 1.10))
        self.row(scenario, "CPU while polling the unchanged tree every second, % of one core "
                 "(10 s)", vellumd=f"{cpu:.0f}")
        log(f"poll {size:,}: scan {statistics.median(scans):.0f} ms, floor "
            f"{statistics.median(floor_ms):.0f} ms, {cpu:.0f} % CPU")

    def memory_rows(self):
        sizes = [s for s in self.scan_sizes if s >= HEADLINE_SIZE]
        if not sizes:
            return
        tools = ["vellumd"] + (["inotifywait"] if self.peers["inotifywait"] else [])
        for size in sizes:
            _, memory = self.scan_results[size]
            cells = {}
            for tool in tools:
                rss = median_min_max([m.get("VmRSS") for m in memory[tool]])
                hwm = median_min_max([m.get("VmHWM") for m in memory[tool]])
                cells[tool] = f"{fmt(rss, 1, 1 / 1024)} / {fmt(hwm, 1, 1 / 1024)}"
            self.row(f"memory {size:,} dirs", "VmRSS / VmHWM after the scan, MiB",
                     vellumd=cells["vellumd"], inotifywait=cells.get("inotifywait", "–"))
        low = sizes[0]
        high = sizes[-1] if len(sizes) > 1 else None
        if high is None:
            lower = [s for s in self.scan_sizes if s < low]
            if not lower:
                return
            low, high = lower[-1], low
        cells = {}
        for tool in tools:
            rss = [statistics.median([m["VmRSS"] for m in self.scan_results[s][1][tool]])
                   for s in (low, high)]
            cells[tool] = (rss[1] - rss[0]) * 1024 / (high - low)
        self.row("memory growth", f"VmRSS bytes per watched dir ({low // 1000}k → "
                 f"{high // 1000}k)", vellumd=fmt_one(cells["vellumd"], 0),
                 inotifywait=fmt_one(cells.get("inotifywait"), 0), target="≤ 100",
                 met=verdict(cells["vellumd"] <= 100))

    # -- burst ----------------------------------------------------------------------------------

    def burst_once(self, tool, spread, options=()):
        """One burst; `options` are vellumd's beyond -t, -h and -L."""
        target = os.path.join(self.work, "burst")
        shutil.rmtree(target, ignore_errors=True)
        os.makedirs(target)
        for d in range(spread):
            os.mkdir(os.path.join(target, f"d{d:02d}"))
        expected_watches = 1 + spread
        times_path = os.path.join(self.work, "burst.times")
        log_path = os.path.join(self.disk, "burst.log")
        out_path = os.path.join(self.disk, "burst.out")
        stats_path = os.path.join(self.work, "burst.stats")
        overflow_path = os.path.join(self.work, "burst.overflows")
        for path in (self.stamps, log_path, out_path, stats_path, overflow_path):
            if os.path.exists(path):
                os.unlink(path)
        if tool == "vellumd":
            pid, started = self.start_vellumd(target, log_path, options)
            counter = LineCounter(self.stamps)
            count = counter.poll
        elif tool == "inotifywait":
            # It reads IN_Q_OVERFLOW records and prints nothing of them: a preloaded library
            # counts them on their way out of read().
            env = dict(os.environ, LD_PRELOAD=self.overflow_counter,
                       BENCH_OVERFLOW_LOG=overflow_path)
            started = time.monotonic()
            pid = self.procs.start([self.peers["inotifywait"], "-m", "-r", "-q", "-e",
                                    "close_write", "--format", "%w%f", "-o", out_path, target],
                                   env=env)
            counter = LineCounter(out_path)
            count = counter.poll
        else:
            started = time.monotonic()
            pid = self.procs.start([self.tool("bench_burst_floor"), target, stats_path])

            def count():
                raw = read_bytes(stats_path)
                return int.from_bytes(raw[0:8], "little") if len(raw) >= 32 else 0
        try:
            wait_ready(pid, expected_watches, started)
            writer = subprocess.run([self.tool("bench_file_writer"), target, str(BURST_FILES),
                                     str(spread), "0", times_path], check=True,
                                    capture_output=True, text=True)
            write_start, write_end = (int(v) for v in writer.stdout.split())
            seen, last_change_ns = self.wait_outcome(count, BURST_FILES)
            cpu = cpu_seconds(pid)
        finally:
            self.procs.stop(pid)
        result = {"cpu": cpu, "write": (write_end - write_start) / 1e9}
        if tool == "vellumd":
            stamps = read_pairs(self.stamps)
            handled = {path for _, path in stamps}
            written = {path for _, path in read_pairs(times_path)}
            result["lost"] = len(written - handled)
            result["extra"] = len(stamps) - len(handled & written)
            result["last"] = (max(ns for ns, _ in stamps) - write_start) / 1e9 if stamps else None
            result["overflows"] = read_bytes(log_path).count(b"IN_Q_OVERFLOW")
        elif tool == "inotifywait":
            lines = read_text(out_path).splitlines()
            result["lost"] = BURST_FILES - len(set(lines))
            result["extra"] = len(lines) - len(set(lines))
            # Its output carries no time: the moment the bench saw the last line (20 ms polls).
            result["last"] = (last_change_ns - write_start) / 1e9 if lines else None
            result["overflows"] = len(read_bytes(overflow_path))
        else:
            raw = read_bytes(stats_path)
            closes, overflows, last_ns = (int.from_bytes(raw[i:i + 8], "little")
                                          for i in (0, 8, 16))
            result["lost"] = BURST_FILES - closes
            result["extra"] = 0
            result["last"] = (last_ns - write_start) / 1e9 if closes else None
            result["overflows"] = overflows
        shutil.rmtree(target, ignore_errors=True)
        return result

    def wait_outcome(self, count, wanted):
        """Polls `count` until it reaches `wanted` or stops growing for QUIET_SECONDS."""
        deadline = time.monotonic() + OUTCOME_DEADLINE
        last = -1
        last_change = time.monotonic()
        last_change_ns = time.time_ns()
        while time.monotonic() < deadline:
            seen = count()
            if seen != last:
                last = seen
                last_change = time.monotonic()
                last_change_ns = time.time_ns()
            if seen >= wanted:
                break
            if time.monotonic() - last_change > QUIET_SECONDS:
                break
            time.sleep(0.02)
        return last, last_change_ns

    def burst(self):
        tools = ["vellumd", "floor"] + (["inotifywait"] if self.peers["inotifywait"] else [])
        # The metrics file goes to the disk, beside the log, as a collector's directory would be.
        metrics = os.path.join(self.disk, "vellumd.prom")
        variants = ((f"vellumd -j {JOBS}", ["-j", str(JOBS)]),
                    (f"vellumd --settle {SETTLE_MS}", ["--settle", str(SETTLE_MS)]),
                    ("vellumd --metrics", ["--metrics", metrics]))
        for spread, layout in ((0, "one dir"), (100, "100 dirs")):
            results = {tool: [] for tool in tools}
            for run in range(BURST_RUNS):
                for tool in tools[run % len(tools):] + tools[:run % len(tools)]:
                    results[tool].append(self.burst_once(tool, spread))
            log(f"burst {layout}: " + ", ".join(
                f"{tool} lost {[r['lost'] for r in results[tool]]} overflows "
                f"{[r['overflows'] for r in results[tool]]}" for tool in tools))
            self.burst_rows(f"burst {BURST_FILES:,} × 1 KiB, {layout}", results, main=True)
            for name, options in variants:
                results = {"vellumd": [self.burst_once("vellumd", spread, options)
                                       for _ in range(OPTION_RUNS)]}
                log(f"burst {layout}, {name}: lost {[r['lost'] for r in results['vellumd']]}")
                self.burst_rows(f"burst {BURST_FILES:,} × 1 KiB, {layout}, {name}", results,
                                main=False)

    def burst_rows(self, scenario, results, main):
        """The rows of one burst scenario; the targets and the writer's time only for `main`."""
        def cell(tool, key, digits=0):
            if tool not in results:
                return "–"
            return fmt(median_min_max([r[key] for r in results[tool]]), digits)

        def overflowed(tool):
            if tool not in results:
                return "–"
            return f"{sum(1 for r in results[tool] if r['overflows']):,} of {len(results[tool])}"

        def per_run(tool):
            if tool not in results:
                return "–"
            counts = [r["overflows"] for r in results[tool]]
            return f"{statistics.median(counts):g} ({' '.join(str(c) for c in counts)})"

        runs = len(results["vellumd"])
        lost = [r["lost"] for r in results["vellumd"]]
        overflow_runs = sum(1 for r in results["vellumd"] if r["overflows"])
        extra = sum(r["extra"] for r in results["vellumd"])
        def target(text, ok):
            return {"target": text, "met": verdict(ok)} if main else {}

        self.row(scenario, "completions lost", vellumd=cell("vellumd", "lost"),
                 inotifywait=cell("inotifywait", "lost"), floor=cell("floor", "lost"),
                 **target("0 in every run", max(lost) == 0))
        self.row(scenario, "runs with an IN_Q_OVERFLOW", vellumd=overflowed("vellumd"),
                 inotifywait=overflowed("inotifywait"), floor=overflowed("floor"),
                 **target(f"0 in {runs} of {runs} runs", overflow_runs == 0))
        self.row(scenario, "IN_Q_OVERFLOW records read per run: median (each run)",
                 vellumd=per_run("vellumd"), inotifywait=per_run("inotifywait"),
                 floor=per_run("floor"))
        self.row(scenario, "handler runs beyond one per file (all runs)", vellumd=str(extra),
                 inotifywait=str(sum(r["extra"] for r in results["inotifywait"]))
                 if "inotifywait" in results else "–",
                 **target("0", extra == 0))
        self.row(scenario, "writer start → last handler started (last record read), s",
                 vellumd=cell("vellumd", "last", 2), inotifywait=cell("inotifywait", "last", 2),
                 floor=cell("floor", "last", 2))
        self.row(scenario, "watcher CPU time (utime + stime), s",
                 vellumd=cell("vellumd", "cpu", 2), inotifywait=cell("inotifywait", "cpu", 2),
                 floor=cell("floor", "cpu", 2))
        if main:
            self.row(scenario, "writer's own time for the burst, s",
                     vellumd=cell("vellumd", "write", 2),
                     inotifywait=cell("inotifywait", "write", 2), floor=cell("floor", "write", 2))

    # -- spawn ----------------------------------------------------------------------------------

    def start_incrond(self, directory):
        base = os.path.join(self.work, "incron")
        shutil.rmtree(base, ignore_errors=True)
        for sub in ("tables", "users"):
            os.makedirs(os.path.join(base, sub))
        with open(os.path.join(base, "incron.conf"), "w") as f:
            f.write(f"system_table_dir = {base}/tables\nuser_table_dir = {base}/users\n"
                    f"lockfile_dir = {base}\nlockfile_name = incrond\n")
        with open(os.path.join(base, "tables", "bench"), "w") as f:
            f.write(f"{directory} IN_CLOSE_WRITE {self.handler} $@/$#\n")
        started = time.monotonic()
        pid = self.procs.start([self.peers["incrond"], "-n", "-f",
                                os.path.join(base, "incron.conf")])
        # Its two table directories and the watched one.
        return pid, started, 3

    def spawn_once(self, tool, rate, directory=None, daemon=None):
        """One run of SPAWN_FILES files; `daemon` is a vellumd already watching `directory`."""
        own_dir = directory is None
        if own_dir:
            directory = os.path.join(self.work, "spawn")
            shutil.rmtree(directory, ignore_errors=True)
            os.makedirs(directory)
        times_path = os.path.join(self.work, "spawn.times")
        log_path = os.path.join(self.work, "spawn.log")
        for path in (self.stamps, log_path):
            if os.path.exists(path):
                os.unlink(path)
        pid = daemon
        if daemon is None:
            if tool == "vellumd":
                pid, started = self.start_vellumd(directory, log_path)
                expected = 1
            elif tool == "incrond":
                pid, started, expected = self.start_incrond(directory)
            else:
                started = time.monotonic()
                pid = self.procs.start([self.tool("bench_spawn_floor"), directory, self.handler])
                expected = 1
        try:
            if daemon is None:
                wait_ready(pid, expected, started)
            subprocess.run([self.tool("bench_file_writer"), directory, str(SPAWN_FILES), "0",
                            str(rate), times_path], check=True, capture_output=True)
            counter = LineCounter(self.stamps)
            self.wait_outcome(counter.poll, SPAWN_FILES)
        finally:
            if daemon is None:
                self.procs.stop(pid)
        closes = dict((path, ns) for ns, path in read_pairs(times_path))
        starts = read_pairs(self.stamps)
        latencies = [(ns - closes[path]) / 1e6 for ns, path in starts if path in closes]
        first = min(ns for ns, _ in starts) if starts else 0
        last = max(ns for ns, _ in starts) if starts else 0
        result = {
            "handled": len({path for _, path in starts} & set(closes)),
            "rate": (len(starts) - 1) / ((last - first) / 1e9) if last > first else None,
            "p50": percentile(latencies, 0.50) if latencies else None,
            "p99": percentile(latencies, 0.99) if latencies else None,
        }
        if own_dir:
            shutil.rmtree(directory, ignore_errors=True)
        return result

    def spawn(self):
        tools = ["vellumd", "floor"] + (["incrond"] if self.peers["incrond"] else [])
        self.spawn_results = {}
        for rate, mode in ((0, "burst"), (PACE, f"paced {PACE}/s")):
            results = {tool: [] for tool in tools}
            for run in range(RUNS):
                for tool in tools[run % len(tools):] + tools[:run % len(tools)]:
                    results[tool].append(self.spawn_once(tool, rate))
            self.spawn_results[mode] = results
            log(f"spawn {mode}: " + ", ".join(
                f"{tool} {statistics.median([r['rate'] or 0 for r in results[tool]]):.0f}/s "
                f"p99 {statistics.median([r['p99'] or 0 for r in results[tool]]):.2f} ms"
                for tool in tools))

            def cell(tool, key, digits):
                if tool not in results:
                    return "–"
                return fmt(median_min_max([r[key] for r in results[tool]]), digits)
            scenario = f"spawn {SPAWN_FILES:,} files, {mode}"
            missing = [SPAWN_FILES - r["handled"] for r in results["vellumd"]]
            self.row(scenario, "files not handled", vellumd=fmt(median_min_max(missing)),
                     incrond=fmt(median_min_max([SPAWN_FILES - r["handled"] for r in
                                                 results.get("incrond", [])])),
                     floor=fmt(median_min_max([SPAWN_FILES - r["handled"] for r in
                                               results["floor"]])))
            if rate == 0:
                self.row(scenario, "handler starts per second", vellumd=cell("vellumd", "rate", 0),
                         incrond=cell("incrond", "rate", 0), floor=cell("floor", "rate", 0))
                med = {tool: statistics.median([r["rate"] or 0 for r in results[tool]])
                       for tool in tools}
                to_floor = med["vellumd"] / med["floor"] if med["floor"] else None
                to_incron = med["vellumd"] / med["incrond"] if med.get("incrond") else None
                self.row(scenario, "vellumd rate / floor rate", vellumd=fmt_one(to_floor),
                         target="≥ 0.9", met=verdict(to_floor >= 0.9 if to_floor else None))
                self.row(scenario, "vellumd rate / incrond rate", vellumd=fmt_one(to_incron),
                         target="≥ 2.5", met=verdict(to_incron >= 2.5 if to_incron else None))
            self.row(scenario, "close → handler start p50, ms", vellumd=cell("vellumd", "p50", 2),
                     incrond=cell("incrond", "p50", 2), floor=cell("floor", "p50", 2))
            self.row(scenario, "close → handler start p99, ms", vellumd=cell("vellumd", "p99", 2),
                     incrond=cell("incrond", "p99", 2), floor=cell("floor", "p99", 2))
            if rate != 0:
                gap = statistics.median([r["p99"] for r in results["vellumd"]]) - \
                    statistics.median([r["p99"] for r in results["floor"]])
                self.row(scenario, "vellumd p99 − floor p99, ms", vellumd=fmt_one(gap),
                         target="≤ 1 ms", met=verdict(gap <= 1.0))

    def spawn_growth(self):
        rates = {}
        # 1,000 directories against the largest tree the watch limit allowed.
        sizes = sorted(self.trees)
        for size in sorted({sizes[0], sizes[-1]}) if sizes else []:
            tree = self.trees[size]
            spawn_root = os.path.join(tree, "spawn")
            os.makedirs(spawn_root)
            for run in range(RUNS):
                os.mkdir(os.path.join(spawn_root, f"r{run}"))
            log_path = os.path.join(self.work, "growth.log")
            pid, started = self.start_vellumd(tree, log_path)
            results = []
            try:
                wait_ready(pid, size + 2 + RUNS, started)
                rss = memory_kib(pid).get("VmRSS", 0)
                for run in range(RUNS):
                    results.append(self.spawn_once("vellumd", 0, os.path.join(spawn_root,
                                                                              f"r{run}"), pid))
                    wait_idle(pid, log_path)
            finally:
                self.procs.stop(pid)
                shutil.rmtree(spawn_root, ignore_errors=True)
                if os.path.exists(log_path):
                    os.unlink(log_path)
            rates[size] = [r["rate"] for r in results]
            self.row(f"spawn while watching {size:,} dirs",
                     f"handler starts per second, burst of {SPAWN_FILES:,} "
                     f"(daemon VmRSS {rss / 1024:.0f} MiB)",
                     vellumd=fmt(median_min_max(rates[size])))
        if len(rates) == 2:
            low, high = sorted(rates)
            ratio = statistics.median(rates[high]) / statistics.median(rates[low])
            self.row("spawn growth", f"rate at {high:,} dirs / rate at {low:,} dirs",
                     vellumd=fmt_one(ratio), target="≥ 0.8", met=verdict(ratio >= 0.8))

    # -- report ---------------------------------------------------------------------------------

    def table(self):
        head = ["Scenario", "Figure", "vellumd", "inotifywait", "incrond", "floor", "Target",
                "Met"]
        lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        for row in self.rows:
            lines.append("| " + " | ".join(str(c) for c in row) + " |")
        return "\n".join(lines)

    def machine(self):
        cpu = "unknown"
        for line in read_text("/proc/cpuinfo").splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
        mem = "unknown"
        for line in read_text("/proc/meminfo").splitlines():
            if line.startswith("MemTotal"):
                mem = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
        limits = {name: read_text(f"/proc/sys/fs/inotify/{name}").strip()
                  for name in ("max_queued_events", "max_user_instances")}
        return (f"- CPU: {cpu}, {os.cpu_count()} cores (nproc)\n"
                f"- Memory: {mem}\n"
                f"- Kernel: {platform.release()} ({platform.machine()})\n"
                f"- Filesystem of the trees: {self.filesystem_type}"
                + (" (a tmpfs mounted by the bench under /tmp for the run)" if self.mounted else "")
                + "\n"
                f"- Filesystem of the burst's daemon log and inotifywait output: "
                f"{self.disk_filesystem_type} (a directory under the build directory)\n"
                f"- inotify: max_queued_events {limits['max_queued_events']} (the kernel's "
                f"default), max_user_instances {limits['max_user_instances']}, max_user_watches "
                f"{self.watch_limit_before}"
                + (f" (raised to {self.watch_limit_set} for the run, restored after)"
                   if self.watch_limit_set else "") + "\n")

    @staticmethod
    def filesystem(path):
        best = ("", "unknown")
        for line in read_text("/proc/mounts").splitlines():
            fields = line.split()
            if len(fields) > 2 and path.startswith(fields[1]) and \
                    len(fields[1]) >= len(best[0]):
                best = (fields[1], fields[2])
        return best[1]

    def versions(self):
        out = []
        for cmd, flag in (("inotifywait", "--help"), ("incrond", "--version")):
            path = self.peers.get(cmd)
            if not path:
                out.append(f"{cmd}: absent")
                continue
            text = subprocess.run([path, flag], capture_output=True, text=True).stdout + \
                subprocess.run([path, flag], capture_output=True, text=True).stderr
            out.append(text.splitlines()[0] if text else cmd)
        return "; ".join(out)


def source_revision():
    """The last commit that changed the daemon's sources, and whether they have local changes."""
    here = os.path.dirname(os.path.abspath(__file__))
    paths = ["--", "../src", "../CMakeLists.txt"]
    head = subprocess.run(["git", "-C", here, "log", "-1", "--format=%h %s"] + paths,
                          capture_output=True, text=True).stdout.strip()
    if not head:
        return "unknown (not a git checkout)"
    changed = subprocess.run(["git", "-C", here, "status", "--porcelain"] + paths,
                             capture_output=True, text=True).stdout.strip()
    return f"sources as of commit {head}" + (", with local changes not yet committed"
                                              if changed else "")


def main():
    if len(sys.argv) != 2:
        print("usage: run_e2e.py BUILD_DIR", file=sys.stderr)
        return 2
    if platform.machine() != "x86_64":
        print("run_e2e.py reads x86-64 system call numbers from /proc", file=sys.stderr)
        return 2
    libc = ctypes.CDLL(None, use_errno=True)
    # Detached daemons are reparented here, so that they can be waited for by PID.
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    revision = source_revision()  # before the run: the sources may change while it goes
    bench = Bench(sys.argv[1])
    load_before = read_text("/proc/loadavg").split()[:3]
    started = time.monotonic()
    date = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    try:
        bench.ensure_peers()
        bench.raise_watch_limit()
        # A scenario that fails is reported and the others still run.
        for step in (bench.micro, bench.make_trees, bench.scan, bench.memory_rows, bench.poll,
                     bench.burst,
                     bench.spawn, bench.spawn_growth):
            try:
                step()
            except Exception as error:  # noqa: BLE001 - reported in the results, not hidden
                log(f"{step.__name__} failed: {error!r}")
                bench.notes.append(f"The {step.__name__.replace('_', ' ')} step failed: "
                                   f"{error!r}; its rows are missing.")
                bench.procs.stop_all()
    finally:
        bench.procs.stop_all()
        bench.restore_watch_limit()
        remove_work_dir(bench.work, bench.mounted)
        shutil.rmtree(bench.disk, ignore_errors=True)
    load_after = read_text("/proc/loadavg").split()[:3]
    minutes = (time.monotonic() - started) / 60

    table = bench.table()
    print(table)
    busiest = max([float(v) for v in load_before + load_after] + LOAD_SEEN)
    busy = busiest > 1.5
    results = os.environ.get("BENCH_RESULTS") or (
        os.path.join(bench.build, "RESULTS-quick.md") if QUICK else
        os.path.join(os.path.dirname(os.path.abspath(__file__)), "RESULTS.md"))
    with open(results, "w") as f:
        f.write("# Benchmark results\n\n")
        f.write(f"{'Quick run' if QUICK else 'Full run'}: `sh bench/run {sys.argv[1]}` (the last "
                f"step of `make bench`), {date}, {minutes:.1f} minutes.\n\n")
        f.write(f"Daemon measured: {revision}.\n\n")
        f.write("## Machine\n\n" + bench.machine())
        f.write(f"- Peers: {bench.versions()}\n")
        f.write(f"- Load average (1, 5, 15 min) before: {' '.join(load_before)}; after: "
                f"{' '.join(load_after)}; highest one-minute figure seen during the run: "
                f"{busiest:.2f}\n")
        if busy:
            f.write("\n**The machine was busy during this run** (load average above 1.5 on 2 "
                    "cores: other work was running beside the bench). The end-to-end figures "
                    "carry that noise; ratios taken within one run suffer less than absolute "
                    "times.\n")
        f.write(f"\n## Figures\n\nMedian of {RUNS} runs ({BURST_RUNS} for the bursts, "
                f"{OPTION_RUNS} for the bursts with -j, --settle and --metrics), (min–max) beside "
                "it. Micro figures are CPU time per operation (Google Benchmark).\n\n")
        f.write(table + "\n")
        f.write(METHOD)
        for note in bench.notes:
            f.write(f"- {note}\n")
    log(f"results written to {results}")
    return 0


METHOD = """
## How it was measured

- **scan**: the tree is made once per size (groups of 100 directories, 10 empty files in each).
  Each tool is started on it in turn, in rotated order; the time runs from just before the
  launch until the process is seen holding one watch per directory (the "inotify wd:" lines of
  /proc/PID/fdinfo of its inotify descriptors). Since each fdinfo read walks every watch under
  the kernel's lock, the bench reads it only once the process is seen sleeping in its wait for
  records (/proc/PID/syscall, polled every millisecond; every 50 ms where that cannot be read).
  vellumd runs with a log file (`-L`), inotifywait as `inotifywait -m -r -q TREE`. Two floors,
  both bench/scan_floor.c, with the daemon's mask and nothing else: the stat floor does readdir,
  one fstatat per entry and one inotify_add_watch per directory; the d_type floor
  (`scan_floor -d`) takes each entry's type from readdir's d_type and calls fstatat only for
  DT_UNKNOWN and DT_LNK entries, so it stats no regular file. The ratios are of medians; the
  d_type target holds at the sizes the target row names.
- **catch-up scan**: vellumd with a state file (`-S FILE`) saved by an earlier vellumd on the
  same tree (started with `-S FILE`, waited for until it watched every directory, stopped with
  SIGTERM, which saves the file). The measured starts use that file, in the same rotation as
  the scan; nothing in the tree changed since, so no handler should run (the row of handler
  runs counts the stamping handler's lines over all those starts). The time runs until the
  daemon holds one watch per directory and sleeps in its wait for records (the fdinfo count is
  read only then), so it covers the catch-up's stat of every regular file; it is set against
  the stat floor.
- **poll**: the headline tree, read by vellumd with `--poll 1000` and by bench/poll_floor.c
  (getdents64 of every directory, fstatat of every regular file, nothing remembered): for each
  run one file is touched, the `Poll found 1 changed files in D directories (T ms)` line of the
  scan that hands it over gives T, and the floor reads the tree once right after, in the second
  the daemon waits. Then the tree is left unchanged for 10 s and the daemon's utime + stime over them is
  the CPU figure.
- **memory**: VmRSS and VmHWM of /proc/PID/status at the moment of the scan's end. Bytes per
  watched directory: the difference of the median VmRSS over the difference of the directories.
  The kernel's own memory per watch is not counted.
- **burst**: a fresh target on the tmpfs (with 100 sub-directories made before the watcher
  starts, for the spread layout); once the watcher holds its watches, bench/file_writer.c writes
  the files (open, 1 KiB write, close) as fast as it can. vellumd runs the stamping handler
  (bench/stamp_handler.c, static) for every file: lost = files written that no handler run
  received. inotifywait: `inotifywait -m -r -q -e close_write --format %w%f -o FILE`, lost =
  files written missing from FILE. vellumd's log (`-L`) and inotifywait's FILE are on the disk
  file system (a directory under the build directory, see Machine); the trees, the handler's
  stamps and the floor's counters stay on the tmpfs. The floor reader (bench/burst_floor.c)
  watches with the daemon's mask, reads with the daemon's 4113-byte buffer and counts
  IN_CLOSE_WRITE and IN_Q_OVERFLOW records, nothing else. Overflows: vellumd's are the
  IN_Q_OVERFLOW lines of its log; inotifywait reads such records and prints nothing of them,
  neither in FILE nor on its standard error, so a preloaded library (bench/count_overflows.c)
  counts the IN_Q_OVERFLOW records its read() calls return on its inotify descriptor (one pass
  over the headers of each read). A run "with an IN_Q_OVERFLOW" read at least one. The bursts
  with `-j 4` (at most 4 handlers at once) and `--settle 100` (a run only once the name was
  quiet for 100 ms) and `--metrics FILE` (the metrics file rewritten every second while the burst
  lasts, on the disk beside the log) are vellumd alone, otherwise the same. The outcome is awaited until every
  file is accounted for or nothing new came for 3 s after the writer ended. "Last": the latest handler start (vellumd), the read holding the
  last close (floor), or the moment the bench saw the last line of FILE (inotifywait, 20 ms
  polls), each from the writer's start. CPU time: utime + stime of /proc/PID/stat just before the
  watcher is stopped (children's time not included).
- **spawn**: one directory, 2,000 files (a burst, or paced at 200 a second); each handler start
  is stamped by the handler itself (CLOCK_REALTIME at the top of main), each file's close by
  the writer just before close(). Rate: handler starts over the span from the first to the last
  start. incrond runs in the foreground (`incrond -n -f CONF`) with its own configuration and
  the system table line `DIR IN_CLOSE_WRITE HANDLER $@/$#`. The floor (bench/spawn_floor.c)
  reads records and does one fork() and one execv() per IN_CLOSE_WRITE, never waiting.
- **spawn while watching**: vellumd is started once on the 1,000-directory tree and once on the
  largest tree; each of the runs writes its burst into a fresh directory inside the tree.
- Every process the bench starts is ended by its PID; the trees live under /tmp, the burst's
  log and output files under the build directory, and both are removed at the end.
"""


if __name__ == "__main__":
    sys.exit(main())
