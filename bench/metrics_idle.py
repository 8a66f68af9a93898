#!/usr/bin/env python3
"""How fast the metrics endpoint answers while idle peers hold connections to it.

Scrapes /health and /metrics once a second each (--scrapes times), first alone, then while
--idle connections are held open that send nothing (one that the endpoint closes at its
request time limit is opened again at once, so that the count holds); prints the answer
times (median and largest, in ms) of both rounds and how many idle connections were
reopened.

Against a running endpoint:

    bench/metrics_idle.py --port 5604 [--host 127.0.0.1] [--idle 100] [--scrapes 20]

Without --port it runs a service from a copy of the build's stage tree (qk_relay_srvsvc
with its plain and TLS listeners, or qk_relay_clnsvc; control and metrics ports on
127.0.0.1), measures the same, and then how long SIGTERM takes while the idle peers stay on
the metrics port and one more on each of its other ports (the control port's greeted, its
request never sent):

    bench/metrics_idle.py [--service qk_relay_srvsvc|qk_relay_clnsvc] [--stage build/stage]
                          [--idle 100] [--scrapes 20] [--keep]

The services hold single-instance locks: where others run them too, run it under
`flock /tmp/qk_services.lock`.
"""

import argparse
import datetime
import os
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

ANSWER_WAIT = 10.0  # seconds a scrape may take before it counts as unanswered


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ask(host, port, path):
    """(seconds, status) of one GET on a connection of its own; status 0: no answer."""
    begin = time.perf_counter()
    data = b""
    try:
        with socket.create_connection((host, port), timeout=ANSWER_WAIT) as s:
            s.sendall(b"GET " + path.encode() + b" HTTP/1.1\r\nHost: bench\r\n"
                      b"Connection: close\r\n\r\n")
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
    except OSError:
        pass
    elapsed = time.perf_counter() - begin
    status = 0
    if data.startswith(b"HTTP/1."):
        status = int(data.split(b" ", 2)[1])
    return elapsed, status


class IdlePeers:
    """count connections that send nothing; one closed by the endpoint is opened again."""

    def __init__(self, host, port, count):
        self.host, self.port = host, port
        self.sockets = [self.connect() for _ in range(count)]
        self.reopened = 0
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.hold, daemon=True)
        self.thread.start()

    def connect(self):
        s = socket.create_connection((self.host, self.port), timeout=5)
        s.setblocking(False)
        return s

    def hold(self):
        while not self.stopping.is_set():
            if not self.sockets:
                return
            readable, _, _ = select.select(self.sockets, [], [], 0.05)
            for s in readable:
                try:
                    if s.recv(4096):
                        continue  # the endpoint never writes to an idle peer
                except BlockingIOError:
                    continue
                except OSError:
                    pass
                s.close()
                self.sockets.remove(s)
                try:
                    self.sockets.append(self.connect())
                    self.reopened += 1
                except OSError:
                    pass  # the endpoint has gone: fewer peers are held

    def close(self):
        self.stopping.set()
        self.thread.join()
        for s in self.sockets:
            s.close()


def scrape(host, port, scrapes):
    times = {"/health": [], "/metrics": []}
    unanswered = 0
    for _ in range(scrapes):
        due = time.monotonic() + 1.0
        for path in times:
            elapsed, status = ask(host, port, path)
            if status == 0:
                unanswered += 1
            times[path].append(elapsed)
        time.sleep(max(0.0, due - time.monotonic()))
    return times, unanswered


def report(title, times, unanswered):
    parts = []
    for path, values in times.items():
        parts.append("%s median %.2f ms, max %.2f ms" % (
            path, statistics.median(values) * 1000, max(values) * 1000))
    print("%-26s %s; unanswered: %d" % (title, "; ".join(parts), unanswered), flush=True)


def measure(host, port, idle, scrapes):
    times, unanswered = scrape(host, port, scrapes)
    report("no idle peers:", times, unanswered)
    peers = IdlePeers(host, port, idle)
    try:
        times, unanswered = scrape(host, port, scrapes)
        report("%d idle peers held:" % idle, times, unanswered)
        print("idle connections the endpoint closed (reopened at once): %d" % peers.reopened)
    finally:
        peers.close()


class Service:
    """qk_relay_srvsvc or qk_relay_clnsvc in a copy of the stage tree."""

    def __init__(self, stage, name):
        self.name = name
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        self.work = os.path.join(os.path.dirname(root), "qk_metrics_idle.%s.%d" % (
            datetime.datetime.now().strftime("%Y%m%d-%H%M%S"), os.getpid()))
        self.tree = os.path.join(self.work, "tree")
        shutil.copytree(stage, self.tree, symlinks=True)
        shutil.rmtree(os.path.join(self.tree, "share/orvane/ca"), ignore_errors=True)
        for top, _, files in os.walk(self.tree):
            for file in files:
                path = os.path.join(top, file)
                if "/keys/" in path or "/var/log/" in path:
                    os.unlink(path)
        subprocess.run([os.path.join(self.tree, "bin/qk_relay_keys")], check=True,
                       capture_output=True)
        if name == "qk_relay_srvsvc":
            self.ports = {key: free_port() for key in ("port", "ssl_port", "control_port",
                                                       "metrics_port")}
            values = "<in_dir>%s</in_dir><back_dir></back_dir>" % os.path.join(self.work, "in")
        else:
            # Its receiver is a port nobody listens on: its scans fail, its health is 200.
            self.ports = {key: free_port() for key in ("server_port", "control_port",
                                                       "metrics_port")}
            values = ("<op_code>1</op_code><out_dir>%s</out_dir><back_dir></back_dir><file>"
                      "</file><server_address>127.0.0.1</server_address><use_ssl>false"
                      "</use_ssl><sub_dirs>true</sub_dirs><scan_time>1000</scan_time>" %
                      os.path.join(self.work, "out"))
        os.makedirs(os.path.join(self.work, "in" if name == "qk_relay_srvsvc" else "out"))
        keys = "".join("<%s>%d</%s>" % (k, v, k) for k, v in self.ports.items())
        with open(os.path.join(self.tree, "share/orvane/common", name + ".xml"), "w") as f:
            f.write("<config><control_code>1</control_code>%s%s<log_level>INFO</log_level>"
                    "</config>\n" % (values, keys))
        self.log = open(os.path.join(self.work, name + ".out"), "ab")
        self.proc = subprocess.Popen([os.path.join(self.tree, "bin", name)],
                                     stdout=self.log, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        deadline = time.monotonic() + 20
        while ask("127.0.0.1", self.ports["metrics_port"], "/health")[1] != 200:
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.kill()
                sys.exit("%s did not come up: see %s" % (name, self.work))
            time.sleep(0.2)

    def stop_held(self, idle):
        """Seconds from SIGTERM to the service's exit, with idle peers on all its ports."""
        peers = IdlePeers("127.0.0.1", self.ports["metrics_port"], idle)
        others = []
        for key in ("control_port", "port", "ssl_port"):
            if key in self.ports:
                others.append(socket.create_connection(("127.0.0.1", self.ports[key]),
                                                       timeout=5))
        control = others[0]
        control.settimeout(5)
        greeting = control.recv(1)  # the control port greets at once; no request follows
        time.sleep(0.5)
        begin = time.perf_counter()
        self.proc.send_signal(signal.SIGTERM)
        code = self.proc.wait(timeout=120)
        elapsed = time.perf_counter() - begin
        peers.close()
        for s in others:
            s.close()
        return elapsed, code, greeting

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, help="a running endpoint's port")
    parser.add_argument("--idle", type=int, default=100)
    parser.add_argument("--scrapes", type=int, default=20)
    parser.add_argument("--stage", default=os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build/stage"))
    parser.add_argument("--service", default="qk_relay_srvsvc",
                        choices=("qk_relay_srvsvc", "qk_relay_clnsvc"))
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    args = parser.parse_args()
    if args.port:
        measure(args.host, args.port, args.idle, args.scrapes)
        return
    service = Service(args.stage, args.service)
    try:
        print("%s, metrics on 127.0.0.1:%d" % (args.service, service.ports["metrics_port"]))
        measure("127.0.0.1", service.ports["metrics_port"], args.idle, args.scrapes)
        elapsed, code, greeting = service.stop_held(args.idle)
        print("SIGTERM with %d idle metrics peers and one idle peer on each of its other ports "
              "(the control port greeted: %s): exit %d after %.2f s" % (
                  args.idle, greeting.hex() or "no", code, elapsed))
    finally:
        service.kill()
        if not args.keep:
            shutil.rmtree(service.work, ignore_errors=True)
        else:
            print("kept: %s" % service.work)


if __name__ == "__main__":
    main()
