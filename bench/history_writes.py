#!/usr/bin/env python3
"""What the history costs the flash: bytes written and syncs per device-day.

Runs mpx23-host on its built-in simulator with a history, once on an empty file (the history
filling) and once on a file already at the default retention (10,000 blocks: every round also
trims), and reads the kernel's own count of what the process wrote (/proc/PID/io) over a
steady stretch of each run. Rounds come every 10 ms instead of every 5 s, and the commit
interval is shortened by the same factor (300 s -> 0.6 s), so that a commit carries the
60 rows it carries at the defaults: the bytes per row are those of a real day, 500 times
faster. Syncs are counted with strace.

usage: bench/history_writes.py BUILD_DIR [SECONDS [COMMIT_INTERVAL]]
"""
import os
import re
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

ROUNDS_PER_DAY = 86400 // 5  # the default interval
INTERVAL = 0.01
COMMIT = 0.6  # 300 s scaled as the interval is
RETENTION = 10000


def commit_option(host, seconds):
    """--history-commit, for a host that has it (an older one committed every block)."""
    helped = subprocess.run([host, "--help"], capture_output=True, text=True)
    return ["--history-commit", str(seconds)] if "--history-commit" in helped.stdout else []


def io_counters(pid):
    with open(f"/proc/{pid}/io") as f:
        return {k: int(v) for k, v in (line.split(": ") for line in f)}


def newest_row(db):
    with sqlite3.connect(f"file:{db}?mode=ro", uri=True, timeout=5) as c:
        return c.execute("SELECT COALESCE(MAX(id), 0) FROM blocks").fetchone()[0]


def kept_per_row(db):
    """What a row holds: the block, its stored time, its row number and device."""
    with sqlite3.connect(f"file:{db}?mode=ro", uri=True) as c:
        return c.execute("SELECT AVG(LENGTH(bytes) + LENGTH(time) + 8) FROM blocks").fetchone()[0]


def fill(db, host):
    """A history at the default retention, made of real blocks of the simulator."""
    subprocess.run([host, "--port", "sim", "--interval", "0.001", "--rounds", "64", "--quiet",
                    "--history", db] + commit_option(host, 0), check=True,
                   stderr=subprocess.DEVNULL)
    with sqlite3.connect(db) as c:
        while c.execute("SELECT COUNT(*) FROM blocks").fetchone()[0] < RETENTION:
            c.execute("INSERT INTO blocks (data_id, time, bytes) SELECT data_id, time, bytes "
                      "FROM blocks ORDER BY id LIMIT ?", (RETENTION,))
        c.execute("DELETE FROM blocks WHERE id <= (SELECT MAX(id) FROM blocks) - ?", (RETENTION,))
        if c.execute("SELECT 1 FROM sqlite_master WHERE name = 'block_spans'").fetchone():
            c.execute("DELETE FROM block_spans")
            c.execute("INSERT INTO block_spans SELECT data_id, MIN(id), MAX(id), MIN(time), "
                      "MAX(time) FROM blocks GROUP BY data_id, id / 64")
    with sqlite3.connect(db) as c:
        c.execute("VACUUM")


def history_writes(trace, db):
    """Bytes written to the history's files, and their syncs, as strace saw them."""
    written = syncs = 0
    with open(trace) as f:
        for line in f:
            if f"<{db}" not in line:
                continue
            m = re.search(r"write64\(|write\(", line) and re.search(r"= (\d+)$", line)
            if m:
                written += int(m.group(1))
            elif "sync(" in line:
                syncs += 1
    return written, syncs


def measure(host, db, seconds, commit):
    trace = db + ".strace"
    run = subprocess.Popen(
        ["strace", "-f", "--seccomp-bpf", "-qq", "-y", "-o", trace, "-e",
         "trace=write,pwrite64,fsync,fdatasync", host, "--port", "sim", "--interval",
         str(INTERVAL), "--quiet", "--history", db] + commit_option(host, commit),
        stderr=subprocess.DEVNULL)
    time.sleep(1.5)
    children = subprocess.run(["pgrep", "-P", str(run.pid)], capture_output=True, text=True)
    pid = int(children.stdout.split()[0])
    time.sleep(1.5)  # past the start: its check reads the file, its set-up writes a little
    first, rows_before = io_counters(pid), newest_row(db)
    written_before, syncs_before = history_writes(trace, db)
    time.sleep(seconds)
    last, rows_after = io_counters(pid), newest_row(db)
    written_after, syncs_after = history_writes(trace, db)
    os.kill(pid, signal.SIGTERM)
    run.wait()
    return {"rows": rows_after - rows_before, "syncs": syncs_after - syncs_before,
            "written": written_after - written_before,
            "write_bytes": last["write_bytes"] - first["write_bytes"]}


def report(name, m, row_bytes):
    kept = m["rows"] * row_bytes
    per_day = ROUNDS_PER_DAY / m["rows"]
    print(f"{name}: {m['rows']} rows of {row_bytes:.0f} bytes, "
          f"{kept * per_day / 1e6:.1f} MB kept a device-day")
    print(f"  written to the history's files: {m['written'] / kept:.2f} times what it keeps, "
          f"{m['written'] * per_day / 1e6:.1f} MB a device-day; "
          f"{m['syncs'] * per_day:.0f} syncs a device-day")
    print(f"  the kernel's count (write_bytes, whole pages of its cache): "
          f"{m['write_bytes'] / kept:.2f} times, {m['write_bytes'] * per_day / 1e6:.1f} MB")


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/host"
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20
    commit = float(sys.argv[3]) * INTERVAL / 5 if len(sys.argv) > 3 else COMMIT
    host = os.path.join(build, "host", "mpx23-host")
    with tempfile.TemporaryDirectory(dir=os.environ.get("TMPDIR", "/var/tmp")) as tmp:
        empty = os.path.join(tmp, "empty.db")
        report("filling", measure(host, empty, seconds, commit), kept_per_row(empty))
        full = os.path.join(tmp, "full.db")
        fill(full, host)
        report("at retention", measure(host, full, seconds, commit), kept_per_row(full))


if __name__ == "__main__":
    main()
