#!/usr/bin/env python3
"""What /api/history costs a running host: its memory and its rounds.

A host polls its built-in simulator every 50 ms with a history at the default retention
(10,000 blocks, made as bench/history_writes.py makes them) and HTTP on. Each round's block is
read off its --json output as it comes, so that the longest gap between two rounds shows how
long anything held the loop. Then, in turn:
  - one client asks /api/history?device=1 (the newest 2,000 blocks) again and again;
  - 16 clients send that request and never read the answer, then go away.
Reported: the peak memory over the host's memory before (VmHWM, VmRSS), the memory after, the
rounds a minute and the longest gap between rounds in each phase.

usage: bench/history_requests.py BUILD_DIR [SECONDS]
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(__file__))
from history_writes import fill  # noqa: E402

INTERVAL = 0.05


def memory_kb(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


class Rounds:
    """The arrival time of every block line the host prints."""

    def __init__(self, out):
        self.times = []
        threading.Thread(target=self.read, args=(out,), daemon=True).start()

    def read(self, out):
        for line in out:
            if line.startswith(b'{"acData"'):
                self.times.append(time.monotonic())

    def between(self, start, end):
        times = [t for t in self.times if start <= t <= end]
        gaps = [b - a for a, b in zip(times, times[1:])]
        return len(times) * 60 / (end - start), max(gaps, default=0)


def ask(port, path, read=True):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
    if not read:
        return s
    total = 0
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        total += len(chunk)
    s.close()
    return total


def phase(name, rounds, pid, work, seconds):
    rss_before = memory_kb(pid, "VmRSS")
    start = time.monotonic()
    detail = work(seconds)
    end = time.monotonic()
    time.sleep(1)
    per_minute, longest = rounds.between(start, end)
    print(f"{name}: {detail}")
    print(f"  rounds a minute {per_minute:.0f} (asked: {60 / INTERVAL:.0f}), "
          f"longest gap between rounds {longest * 1000:.0f} ms")
    print(f"  memory: {rss_before / 1024:.1f} MB before, peak {memory_kb(pid, 'VmHWM') / 1024:.1f}"
          f" MB so far, {memory_kb(pid, 'VmRSS') / 1024:.1f} MB after")


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/host"
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10
    host = os.path.join(build, "host", "mpx23-host")
    with tempfile.TemporaryDirectory() as tmp:
        db = os.path.join(tmp, "full.db")
        fill(db, host)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        run = subprocess.Popen([host, "--port", "sim", "--interval", str(INTERVAL), "--json",
                                "--history", db, "--http", f"127.0.0.1:{port}",
                                "--socket", os.path.join(tmp, "s.sock")],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        rounds = Rounds(run.stdout)
        time.sleep(3)
        pid = run.pid
        phase("no request", rounds, pid, lambda t: time.sleep(t) or "", seconds)

        def one_client(t):
            end, answers, size = time.monotonic() + t, 0, 0
            while time.monotonic() < end:
                size = ask(port, "/api/history?device=1")
                answers += 1
            return f"{answers} answers of {size / 1e6:.1f} MB from one client in a loop"
        phase("one client in a loop", rounds, pid, one_client, seconds)

        def silent_clients(t):
            held = [ask(port, "/api/history?device=1", read=False) for _ in range(16)]
            time.sleep(t)
            for s in held:
                s.close()
            return "16 clients that send the request and never read"
        phase("16 silent clients", rounds, pid, silent_clients, seconds)
        run.terminate()
        run.wait()


if __name__ == "__main__":
    main()
