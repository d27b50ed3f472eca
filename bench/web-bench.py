"""make bench item 8: the browser view under load.

   web-bench.py YARVO_SIM HOST REEL_FILE RESULTS [SECONDS]

Runs `yarvo-sim run --web` with eight boards around HOST (eight reels each
in endless skill spins), then measures yarvo-sim's own CPU time (every
thread of the process, from /proc) over SECONDS twice: with no viewer, and
with three clients reading the state stream as a browser does (30 updates a
second).  Writes "key value" lines to RESULTS: web.idle_percent,
web.percent (of one core, with the clients), web.bytes_per_s and
web.updates_per_s (per client, the mean of the three), web.seconds.
"""
import os
import re
import socket
import subprocess
import sys
import threading
import time

CLIENTS = 3
TYPE = "classic-20"


def cpu_seconds(pid):
    """User plus system time of the process (all its threads), in seconds."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Client(threading.Thread):
    """Reads the event stream like a browser; counts bytes and states."""

    def __init__(self, host, port, token):
        super().__init__(daemon=True)
        self.address, self.token = (host, port), token
        self.bytes = self.states = 0
        self.counting = False
        self.done = threading.Event()

    def run(self):
        with socket.create_connection(self.address, timeout=10) as s:
            s.sendall(("GET /events?token=%s HTTP/1.1\r\nHost: %s\r\nAccept: text/event-stream\r\n\r\n"
                       % (self.token, self.address[0])).encode())
            while not self.done.is_set():
                data = s.recv(65536)
                if not data:
                    break
                if self.counting:
                    self.bytes += len(data)
                    self.states += data.count(b"event: state")


def main():
    sim, host, reels, results = sys.argv[1:5]
    seconds = float(sys.argv[5]) if len(sys.argv) > 5 else 10.0
    command = [sim, "run", "--no-view", "--web", "--reel-file", reels, "--reel-types", ",".join([TYPE] * 8)]
    for address in range(8):
        command += ["--board", "%d:%d" % (address, address)]
    command += ["--", host, reels, TYPE, str(int(2 * seconds + 10))]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        url = None
        for line in process.stdout:
            print(line, end="")
            match = re.search(r"web view at http://([0-9.]+):(\d+)/\?token=([0-9a-f]+)", line)
            if match:
                url = match.groups()
            if line.strip() == "spinning":
                break
        if url is None:
            print("web-bench: yarvo-sim printed no URL")
            return 1
        threading.Thread(target=lambda: [None for _ in process.stdout], daemon=True).start()
        time.sleep(1)

        cpu0, t0 = cpu_seconds(process.pid), time.monotonic()
        time.sleep(seconds / 2)
        idle = (cpu_seconds(process.pid) - cpu0) / (time.monotonic() - t0) * 100

        clients = [Client(url[0], int(url[1]), url[2]) for _ in range(CLIENTS)]
        for c in clients:
            c.start()
        time.sleep(1)   # the streams are up
        for c in clients:
            c.counting = True
        cpu0, t0 = cpu_seconds(process.pid), time.monotonic()
        time.sleep(seconds)
        cpu1, t1 = cpu_seconds(process.pid), time.monotonic()
        for c in clients:
            c.counting = False
            c.done.set()
        wall = t1 - t0
        percent = (cpu1 - cpu0) / wall * 100
        per_client = sum(c.bytes for c in clients) / CLIENTS / wall
        updates = sum(c.states for c in clients) / CLIENTS / wall
        with open(results, "w") as out:
            out.write("web.seconds %.1f\nweb.cpu_ms %.0f\nweb.percent %.2f\nweb.idle_percent %.2f\n"
                      "web.bytes_per_s %.0f\nweb.updates_per_s %.1f\n"
                      % (wall, (cpu1 - cpu0) * 1000, percent, idle, per_client, updates))
        print("web-bench: %.2f %% of a core with %d clients (%.2f %% without), %.0f bytes/s and %.1f updates/s "
              "per client" % (percent, CLIENTS, idle, per_client, updates))
        return 0
    finally:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()


if __name__ == "__main__":
    sys.exit(main())
