#!/usr/bin/env python3
"""Soak run of velmorad: many sessions created, used and closed by concurrent clients.

Phases (each against a fresh daemon in a temporary directory, shells are /bin/sh):
  churn     ROUNDS times, SESSIONS sessions by CLIENTS concurrent connections: attach, type,
            read the answer, resize, resume from a second connection, list, close, await
            "exited". After each round the daemon's descriptors and threads must be back where
            they started, no zombie and no shell may be left, and memory must stay level from
            one round to the next.
  idle      IDLE sessions that only print their prompt: resident memory per session.
  shutdown  SHUTDOWN live sessions, then "shutdown": time until the daemon process is gone.

Linux only (reads /proc). Usage: bench/soak.py [--daemon build/daemon/velmorad] [--sessions 200]
"""

import argparse
import base64
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time


def proc_status(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            fields[name] = value.strip()
    return fields


def measure(pid):
    status = proc_status(pid)
    return {
        "fds": len(os.listdir(f"/proc/{pid}/fd")),
        "threads": int(status["Threads"]),
        "rss_kib": int(status["VmRSS"].split()[0]),
    }


def children(pid):
    """(pid, state) of every process whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        rest = stat[stat.rfind(")") + 2:].split()
        if int(rest[1]) == pid:
            found.append((int(entry), rest[0]))
    return found


class Client:
    """One connection; output is collected per key, other events are queued."""

    def __init__(self, path, timeout=30.0):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.buffer = b""
        self.output = {}
        self.pending = []

    def close(self):
        self.sock.close()

    def send(self, message):
        self.sock.sendall(json.dumps(message).encode() + b"\n")

    def _read_event(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("daemon closed the connection")
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        event = json.loads(line)
        if event["type"] == "output":
            data = base64.b64decode(event["dataBase64"])
            self.output[event["key"]] = self.output.get(event["key"], b"") + data
        else:
            self.pending.append(event)

    def wait_event(self, predicate):
        while True:
            for i, event in enumerate(self.pending):
                if predicate(event):
                    return self.pending.pop(i)
            self._read_event()

    def wait_output(self, key, text):
        while text not in self.output.get(key, b""):
            self._read_event()

    def attach(self, key, cols=80, rows=24, env=None):
        self.send({"type": "attach", "key": key, "cwd": None, "cols": cols, "rows": rows,
                   "env": env or []})
        event = self.wait_event(lambda e: e["type"] in ("attached", "error"))
        if event["type"] == "error":
            raise RuntimeError(f"attach {key}: {event['message']}")
        if not event["resumed"]:
            # A new shell may discard what is typed before its prompt: wait for that first.
            while not self.output.get(key):
                self._read_event()
        return event

    def type(self, key, text):
        self.send({"type": "write", "key": key,
                   "dataBase64": base64.b64encode(text.encode()).decode()})

    def list(self):
        self.send({"type": "list"})
        return self.wait_event(lambda e: e["type"] == "sessions")["keys"]


class Daemon:
    def __init__(self, binary):
        self.dir = tempfile.mkdtemp(prefix="velmora-soak-")
        self.socket = os.path.join(self.dir, "d.sock")
        env = dict(os.environ, VELMORAD_SOCKET=self.socket, SHELL="/bin/sh", HOME=self.dir)
        env.pop("ENV", None)
        self.stderr = open(os.path.join(self.dir, "stderr"), "wb")
        self.process = subprocess.Popen([binary], env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=self.stderr)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                Client(self.socket).close()
                return
            except OSError:
                time.sleep(0.02)
        raise RuntimeError("daemon did not start listening")

    @property
    def pid(self):
        return self.process.pid

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


def use_session(path, key, counter):
    """One session's life: create, type, resize, resume elsewhere, list, close."""
    creator = Client(path)
    creator.attach(key)
    creator.type(key, f"echo {key}-o''k\r")
    creator.wait_output(key, f"{key}-ok".encode())
    creator.send({"type": "resize", "key": key, "cols": 100, "rows": 30})
    creator.list()  # the resize is done before the resume below sets its own size

    resumer = Client(path)
    resumed = resumer.attach(key, cols=120, rows=40)
    assert resumed["resumed"], resumed
    assert f"{key}-ok".encode() in base64.b64decode(resumed["replayBase64"])
    resumer.type(key, "stty size\r")
    resumer.wait_output(key, b"40 120")
    assert any(row["key"] == key for row in resumer.list())

    resumer.send({"type": "close", "key": key})
    resumer.wait_event(lambda e: e["type"] == "exited" and e["key"] == key)
    resumer.close()
    creator.close()
    counter.append(key)


def churn_round(daemon, sessions, clients, prefix):
    """SESSIONS sessions by CLIENTS concurrent clients; returns (done, errors, peak, seconds)."""
    done, errors = [], []
    per_client = (sessions + clients - 1) // clients

    def worker(index):
        try:
            for n in range(per_client):
                number = index * per_client + n
                if number < sessions:
                    use_session(daemon.socket, f"{prefix}{number}", done)
        except Exception as error:  # noqa: BLE001 - reported by the caller
            errors.append(f"client {index}: {error!r}")

    peak = measure(daemon.pid)
    start = time.monotonic()
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(clients)]
    for thread in threads:
        thread.start()
    while any(thread.is_alive() for thread in threads):
        now = measure(daemon.pid)
        peak = {name: max(peak[name], now[name]) for name in peak}
        time.sleep(0.05)
    for thread in threads:
        thread.join()
    return done, errors, peak, time.monotonic() - start


def churn(binary, sessions, clients, rounds):
    daemon = Daemon(binary)
    try:
        # Warm-up: threads that live as long as the daemon (the process reaper) start here.
        churn_round(daemon, clients, clients, "warm")
        wait_for(lambda: not children(daemon.pid), 10)
        time.sleep(0.3)
        before = measure(daemon.pid)
        print(f"churn: before (after a warm-up of {clients} sessions): {before}")
        ok = True
        afters = []
        for round_number in range(rounds):
            done, errors, peak, elapsed = churn_round(daemon, sessions, clients,
                                                      f"r{round_number}s")
            settled = wait_for(lambda: measure(daemon.pid)["threads"] <= before["threads"] and
                               measure(daemon.pid)["fds"] <= before["fds"], 10)
            time.sleep(0.3)
            after = measure(daemon.pid)
            afters.append(after)
            no_zombie = wait_for(lambda: not [c for c in children(daemon.pid) if c[1] == "Z"], 5)
            leftover = children(daemon.pid)
            print(f"  round {round_number + 1}: {len(done)}/{sessions} sessions by {clients} "
                  f"clients in {elapsed:.1f} s; peak {peak}; after {after}; "
                  f"settled: {settled}; no zombie: {no_zombie}; children left: {len(leftover)}")
            for error in errors:
                print(f"    error: {error}")
            ok = ok and not errors and len(done) == sessions and settled and no_zombie
            ok = ok and not leftover
        # Memory may rise once (allocator arenas of the threads that ran), then stays level.
        growth = afters[-1]["rss_kib"] - afters[0]["rss_kib"]
        print(f"  rss after round 1: {afters[0]['rss_kib']} KiB, after round {rounds}: "
              f"{afters[-1]['rss_kib']} KiB ({growth:+d} KiB)")
        return ok and (rounds < 2 or growth <= 512)
    finally:
        daemon.stop()


def open_sessions(path, count, connections=10):
    clients = [Client(path) for _ in range(connections)]
    for i in range(count):
        client = clients[i % connections]
        client.attach(f"idle{i}")
    return clients


def idle(binary, count):
    daemon = Daemon(binary)
    try:
        before = measure(daemon.pid)
        clients = open_sessions(daemon.socket, count)
        # Let every shell print its prompt, so each replay holds its first output.
        time.sleep(2)
        after = measure(daemon.pid)
        per = (after["rss_kib"] - before["rss_kib"]) / count
        print(f"idle: {count} sessions: rss {before['rss_kib']} -> {after['rss_kib']} KiB, "
              f"{per:.1f} KiB per session; threads {after['threads']}, fds {after['fds']}")
        for client in clients:
            client.close()
        return per < 100
    finally:
        daemon.stop()


def shutdown(binary, count):
    daemon = Daemon(binary)
    try:
        clients = open_sessions(daemon.socket, count)
        shells = [pid for pid, _ in children(daemon.pid)]
        start = time.monotonic()
        clients[0].send({"type": "shutdown"})
        daemon.process.wait(timeout=30)
        elapsed = time.monotonic() - start
        gone = wait_for(lambda: all(not os.path.exists(f"/proc/{p}") or
                                    open(f"/proc/{p}/stat").read().split(")")[-1].split()[0] == "Z"
                                    for p in shells), 5)
        print(f"shutdown: {count} sessions ({len(shells)} shells): daemon gone after "
              f"{elapsed * 1000:.0f} ms with status {daemon.process.returncode}; "
              f"every shell ended: {gone}")
        return elapsed < 1.0 and daemon.process.returncode == 0 and gone
    finally:
        daemon.stop()


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--daemon", default=os.path.join(root, "build", "daemon", "velmorad"))
    parser.add_argument("--sessions", type=int, default=200)
    parser.add_argument("--clients", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--idle", type=int, default=1000)
    parser.add_argument("--shutdown", type=int, default=500)
    parser.add_argument("--phases", default="churn,idle,shutdown")
    args = parser.parse_args()

    ok = True
    phases = args.phases.split(",")
    if "churn" in phases:
        ok = churn(args.daemon, args.sessions, args.clients, args.rounds) and ok
    if "idle" in phases:
        ok = idle(args.daemon, args.idle) and ok
    if "shutdown" in phases:
        ok = shutdown(args.daemon, args.shutdown) and ok
    print("soak: " + ("passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
