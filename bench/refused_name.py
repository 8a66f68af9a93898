#!/usr/bin/env python3
"""A name the receiver refuses for a while, among files it does not refuse.

Runs qk_relay_srvsvc and qk_relay_clnsvc from a copy of the build's stage tree (plain TCP,
scan period 1000 ms). A producer drops a 4 KiB file every --interval seconds into the client
service's outgoing tree (written beside it, then renamed in), spread over a few
sub-directories. For --window seconds the receiver holds a directory under the name of one
of those files ("hot/held.dat"), so it refuses that file at its header at every scan; then
the directory goes and the file must follow.

Prints: files produced, delivered byte-identical, lost; the time from each rename to the
file's placement at the receiver (its ctime), before, during and after the window; how
often the held file was refused and reported at ERROR; how long it took to arrive once the
window ended; the services' resident memory at start and end.

    bench/refused_name.py [--stage build/stage] [--window 120] [--before 20] [--after 20]
                          [--interval 0.05] [--keep]
"""

import argparse
import datetime
import hashlib
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

HELD = os.path.join("hot", "held.dat")
SUB_DIRS = ("hot", "a", "b", "c")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else None


class Soak:
    def __init__(self, args):
        self.args = args
        root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        self.work = os.path.join(os.path.dirname(root), "qk_refused_name.%s" %
                                 datetime.datetime.now().strftime("%Y%m%d-%H%M%S"))
        self.tree = os.path.join(self.work, "tree")
        self.out = os.path.join(self.work, "out")
        self.stage = os.path.join(self.work, "stage")
        self.incoming = os.path.join(self.work, "in")
        self.produced = {}   # relative path -> (rename time, sha256)
        self.procs = {}

    def prepare(self):
        shutil.copytree(self.args.stage, self.tree, symlinks=True)
        shutil.rmtree(os.path.join(self.tree, "share/orvane/ca"), ignore_errors=True)
        for top, _, names in os.walk(self.tree):
            for name in names:
                path = os.path.join(top, name)
                if "/keys/" in path or "/var/log/" in path:
                    os.unlink(path)
        subprocess.run([os.path.join(self.tree, "bin/qk_relay_keys")], check=True,
                       capture_output=True)
        for path in (self.out, self.stage, self.incoming, os.path.join(self.work, "back_srv"),
                     os.path.join(self.work, "back_cln")):
            os.makedirs(path)
        port, ssl_port = free_port(), free_port()
        common = os.path.join(self.tree, "share/orvane/common")
        with open(os.path.join(common, "qk_relay_srvsvc.xml"), "w") as f:
            f.write("<config><control_code>1</control_code><in_dir>%s</in_dir><back_dir>%s"
                    "</back_dir><port>%d</port><ssl_port>%d</ssl_port><control_port>0"
                    "</control_port></config>\n" % (
                        self.incoming, os.path.join(self.work, "back_srv"), port, ssl_port))
        with open(os.path.join(common, "qk_relay_clnsvc.xml"), "w") as f:
            f.write("<config><control_code>1</control_code><op_code>1</op_code><out_dir>%s"
                    "</out_dir><back_dir>%s</back_dir><file></file><server_address>127.0.0.1"
                    "</server_address><server_port>%d</server_port><use_ssl>false</use_ssl>"
                    "<sub_dirs>true</sub_dirs><scan_time>1000</scan_time><min_age>0</min_age>"
                    "<control_port>0</control_port></config>\n" % (
                        self.out, os.path.join(self.work, "back_cln"), port))
        env = dict(os.environ, QK_RELAY_DIR_GRACE_MS="2000")
        for name in ("qk_relay_srvsvc", "qk_relay_clnsvc"):
            log = open(os.path.join(self.work, name + ".out"), "ab")
            self.procs[name] = subprocess.Popen([os.path.join(self.tree, "bin", name)],
                                                stdout=log, stderr=subprocess.STDOUT, env=env,
                                                start_new_session=True)
            time.sleep(1.5)
        self.rss_start = {n: rss_kib(p.pid) for n, p in self.procs.items()}

    def produce(self, number, relative=None):
        relative = relative or os.path.join(SUB_DIRS[number % len(SUB_DIRS)],
                                            "f%06d.dat" % number)
        content = (("%s %d " % (relative, number)) * 400).encode()[:4096]
        staged = os.path.join(self.stage, "%06d.tmp" % number)
        with open(staged, "wb") as f:
            f.write(content)
        target = os.path.join(self.out, relative)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        os.rename(staged, target)
        self.produced[relative] = (time.time(), hashlib.sha256(content).hexdigest())

    def run(self):
        args = self.args
        held_dir = os.path.join(self.incoming, HELD)
        number = 0
        start = time.time()
        phases = [("before", args.before), ("window", args.window), ("after", args.after)]
        self.bounds = {}
        for phase, seconds in phases:
            begin = time.time()
            if phase == "window":
                os.makedirs(held_dir)
                self.produce(number, HELD)
                number += 1
            if phase == "after":
                os.rmdir(held_dir)
                self.window_end = time.time()
            while time.time() - begin < seconds:
                self.produce(number)
                number += 1
                time.sleep(args.interval)
            self.bounds[phase] = (begin, time.time())
        deadline = time.time() + 60
        while self.files_left() and time.time() < deadline:
            time.sleep(0.1)
        self.duration = time.time() - start

    def files_left(self):
        return [os.path.join(top, n) for top, _, names in os.walk(self.out) for n in names]

    def stop(self):
        self.rss_end = {n: rss_kib(p.pid) for n, p in self.procs.items() if p.poll() is None}
        for proc in self.procs.values():
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGTERM)
                proc.wait(30)

    def report(self):
        delivered, lost, corrupted, latency = 0, [], [], {}
        for relative, (renamed, digest) in self.produced.items():
            path = os.path.join(self.incoming, relative)
            try:
                with open(path, "rb") as f:
                    ok = hashlib.sha256(f.read()).hexdigest() == digest
                placed = os.stat(path).st_ctime
            except FileNotFoundError:
                if not os.path.exists(os.path.join(self.out, relative)):
                    lost.append(relative)
                continue
            if not ok:
                corrupted.append(relative)
                continue
            delivered += 1
            if relative == HELD:
                self.held_after_window = placed - self.window_end
                continue
            phase = next((p for p, (b, e) in self.bounds.items() if b <= renamed <= e), "after")
            latency.setdefault(phase, []).append((placed - renamed) * 1000)
        log = self.client_log()
        print("Refused name among accepted ones: window %d s, a file every %d ms"
              % (self.args.window, self.args.interval * 1000))
        print("  produced %d, delivered byte-identical %d, still outgoing %d, lost %d, "
              "corrupted %d" % (len(self.produced), delivered, len(self.files_left()),
                               len(lost), len(corrupted)))
        for phase in ("before", "window", "after"):
            values = latency.get(phase, [])
            if values:
                print("  %-6s: %5d files, rename -> placed ms: p50 %.0f  p99 %.0f  max %.0f"
                      % (phase, len(values), statistics.median(values),
                         percentile(values, 0.99), max(values)))
        print("  held file: refused %d times, named in %d ERROR lines; placed %.1f s after the "
              "window ended" % (log.count("held.dat has been refused"),
                                sum(1 for line in log.splitlines()
                                    if "held.dat" in line and " ERROR " in line),
                                getattr(self, "held_after_window", float("nan"))))
        for name in self.procs:
            print("  %s RSS KiB: start %d, end %d" % (name, self.rss_start.get(name, 0),
                                                      self.rss_end.get(name, 0)))
        return 0 if not lost and not corrupted and hasattr(self, "held_after_window") else 1

    def client_log(self):
        text = []
        for top, _, names in os.walk(os.path.join(self.tree, "var/log")):
            for name in names:
                if "clnsvc" in top or "clnsvc" in name:
                    with open(os.path.join(top, name), errors="replace") as f:
                        text.append(f.read())
        return "\n".join(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--stage", default=os.path.join(top, "build/stage"))
    parser.add_argument("--window", type=float, default=120)
    parser.add_argument("--before", type=float, default=20)
    parser.add_argument("--after", type=float, default=20)
    parser.add_argument("--interval", type=float, default=0.05)
    parser.add_argument("--keep", action="store_true")
    soak = Soak(parser.parse_args())
    try:
        soak.prepare()
        soak.run()
    finally:
        soak.stop()
    status = soak.report()
    if soak.args.keep or status:
        print("  work directory kept: %s" % soak.work)
    else:
        shutil.rmtree(soak.work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
