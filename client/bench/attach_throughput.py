#!/usr/bin/env python3
"""Output throughput through an attached velmora, against the same output straight from a
pseudo-terminal.

usage: attach_throughput.py VELMORA VELMORAD [MEGABYTES]

Starts a daemon on a temporary socket, attaches velmora inside a pseudo-terminal of our own,
runs `head -c N /dev/zero | tr '\\0' x` in the session and reads the terminal until the end
marker arrives. The baseline runs the same command in a plain shell on a pseudo-terminal.
"""
import os
import pty
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MARK = b"DONE-" + b"42"


def drain_until(fd, marker, deadline):
    seen = b""
    total = 0
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.5)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 1 << 20)
        except OSError:
            return total, False
        if not chunk:
            return total, False
        total += len(chunk)
        seen = (seen + chunk)[-64:]
        if marker in seen:
            return total, True
    return total, False


def spawn_in_pty(argv, env):
    pid, fd = pty.fork()
    if pid == 0:
        os.execvpe(argv[0], argv, env)
    return pid, fd


def measure(fd, nbytes):
    os.write(fd, b"stty -echo; PS1='$ '\n")
    drain_until(fd, b"$ ", time.monotonic() + 10)
    time.sleep(0.3)
    drain_until(fd, b"\x00never", time.monotonic() + 0.2)
    command = "head -c %d /dev/zero | tr '\\0' x; echo; echo DONE-$((40+2))\n" % nbytes
    start = time.monotonic()
    os.write(fd, command.encode())
    total, ok = drain_until(fd, MARK, time.monotonic() + 300)
    elapsed = time.monotonic() - start
    return total, elapsed, ok


def main():
    velmora, velmorad = sys.argv[1], sys.argv[2]
    megabytes = int(sys.argv[3]) if len(sys.argv) > 3 else 200
    nbytes = megabytes * 1000 * 1000
    work = tempfile.mkdtemp(prefix="velmora-bench-")
    env = dict(os.environ, VELMORAD_SOCKET=os.path.join(work, "d.sock"), SHELL="/bin/sh",
               HOME=work, TERM="xterm", ENV="")
    daemon = subprocess.Popen([velmorad], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not os.path.exists(env["VELMORAD_SOCKET"]) and time.monotonic() < deadline:
            time.sleep(0.02)

        pid, fd = spawn_in_pty(["/bin/sh"], env)
        total, elapsed, ok = measure(fd, nbytes)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(fd)
        print("plain pty:       %7.1f MB in %6.2f s = %7.1f MB/s%s"
              % (total / 1e6, elapsed, total / 1e6 / elapsed, "" if ok else " (INCOMPLETE)"))

        pid, fd = spawn_in_pty([velmora, "attach", "bench"], env)
        total, elapsed, ok = measure(fd, nbytes)
        print("through velmora: %7.1f MB in %6.2f s = %7.1f MB/s%s"
              % (total / 1e6, elapsed, total / 1e6 / elapsed, "" if ok else " (INCOMPLETE)"))
        os.write(fd, b"exit\n")
        drain_until(fd, b"exited]", time.monotonic() + 10)
        _, _, usage = os.wait4(pid, 0)
        # ru_maxrss is in KiB on Linux and in bytes on macOS.
        rss = usage.ru_maxrss // 1024 if sys.platform == "darwin" else usage.ru_maxrss
        print("velmora client:  %.2f s CPU (%.1f%% of the elapsed time), %d KiB peak resident"
              % (usage.ru_utime + usage.ru_stime,
                 100 * (usage.ru_utime + usage.ru_stime) / elapsed, rss))
    finally:
        daemon.kill()
        daemon.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
