#!/usr/bin/env python3
"""Loopback transfer benchmark: qk_relay_cln -> qk_relay_srv next to socat and rsync.

Started by bench/run.sh, which installs the tools and builds the programs first. Every
measured run starts from fresh data on the work disk, after a sync; our case and its peer
take turns (A B A B ...), and the figures are the medians of one invocation. A run counts
only after its check: the received tree is byte-identical to what was sent and the
outgoing side holds no file any more.
"""

import argparse
import contextlib
import datetime
import hashlib
import os
import platform
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

GNU_TIME = "/usr/bin/time"
TLS_CIPHER = "ECDHE-ECDSA-AES256-GCM-SHA384"
SERVER_CERT_NAME = "Orvane.Zorvex.Server"
RSYNC_MODULE = "qkbench"
MIB = 1 << 20
CHUNK = 4 * MIB
HERE = os.path.dirname(os.path.abspath(__file__))
DELAY_PROXY = os.path.join(HERE, "delay_proxy.py")
DISK_SERIAL_RATE = os.path.join(HERE, "disk_serial_rate.py")
RESUME_RTT = 50     # ms, the round trip of --only resume
KEEP_RTT = 50       # ms, the round trip of --only keep
# The cases of the big part that move the --big-mib file, for their CPU per GiB.
BIG_CASES = ("qk_big_plain", "qk_big_tls", "socat_plain", "socat_tls", "socat64_plain",
             "socat64_tls", "local_copy", "disk_direct")


class CaseFailed(Exception):
    """A run whose result did not pass its check; the whole series is dropped."""


def say(text=""):
    print(text, flush=True)


# ---------------------------------------------------------------- small helpers


def listening(port):
    """True when something listens on the TCP port. Read from /proc: a probe connection
    would count as a client for the servers."""
    hex_port = "%04X" % port
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                for line in f:
                    fields = line.split()
                    if fields[3] == "0A" and fields[1].endswith(":" + hex_port):
                        return True
        except FileNotFoundError:
            pass
    return False


def free_port(taken=()):
    for _ in range(100):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port not in taken and not listening(port):
            return port
    raise RuntimeError("no free TCP port found")


def wait_listening(ports, proc, timeout=15.0):
    deadline = time.monotonic() + timeout
    while not all(listening(p) for p in ports):
        if proc.poll() is not None:
            return False
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def parse_gnu_time(path):
    """Peak RSS (KiB), user+sys CPU seconds and exit status from `time -v` output."""
    out = {"rss_kib": None, "cpu_s": None, "status": None, "signal": None}
    user = sys_ = None
    try:
        with open(path) as f:
            for line in f:
                line = line.strip()
                if line.startswith("Maximum resident set size (kbytes):"):
                    out["rss_kib"] = int(line.rsplit(":", 1)[1])
                elif line.startswith("User time (seconds):"):
                    user = float(line.rsplit(":", 1)[1])
                elif line.startswith("System time (seconds):"):
                    sys_ = float(line.rsplit(":", 1)[1])
                elif line.startswith("Exit status:"):
                    out["status"] = int(line.rsplit(":", 1)[1])
                elif line.startswith("Command terminated by signal"):
                    out["signal"] = int(line.rsplit(" ", 1)[1])
    except FileNotFoundError:
        pass
    if user is not None and sys_ is not None:
        out["cpu_s"] = user + sys_
    return out


def busy_cpu_seconds():
    """CPU time the whole machine spent busy since boot (all cores; idle and I/O wait
    excluded)."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    busy = sum(fields[:8]) - fields[3] - fields[4]    # minus idle and iowait
    return busy / os.sysconf("SC_CLK_TCK")


def proc_cpu_seconds(pid):
    """utime+stime of a whole process (all its threads, living and ended)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_hwm_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return None


def reset_hwm(pid):
    """Lowers the peak RSS of a process to its current RSS (Linux clear_refs 5)."""
    try:
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def child_pids(pid):
    kids = []
    try:
        for tid in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, tid)) as f:
                kids += [int(x) for x in f.read().split()]
    except (FileNotFoundError, ProcessLookupError):
        pass
    return kids


def fs_type(path):
    """Type of the file system holding `path`, from the longest matching mount point."""
    path = os.path.realpath(path)
    best, kind = "", "unknown"
    with open("/proc/self/mounts") as f:
        for line in f:
            fields = line.split()
            mnt = fields[1].replace("\\040", " ")
            inside = path == mnt or path.startswith(mnt.rstrip("/") + "/")
            if inside and len(mnt) >= len(best):
                best, kind = mnt, fields[2]
    return kind


def fsync_path(path, directory=False):
    fd = os.open(path, (os.O_RDONLY | os.O_DIRECTORY) if directory else os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def files_below(root):
    found = []
    for dirpath, _dirs, files in os.walk(root):
        found += [os.path.join(dirpath, f) for f in files]
    return found


def tree_digest(root):
    """(number of files, sha256 over the sorted relative paths and file contents)."""
    entries = []
    for path in files_below(root):
        h = hashlib.sha256()
        with open(path, "rb") as f:
            while True:
                block = f.read(CHUNK)
                if not block:
                    break
                h.update(block)
        entries.append((os.path.relpath(path, root), h.hexdigest()))
    entries.sort()
    total = hashlib.sha256()
    for rel, digest in entries:
        total.update(("%s\0%s\n" % (rel, digest)).encode())
    return len(entries), total.hexdigest()


def digest_of(listing):
    total = hashlib.sha256()
    for rel, digest in sorted(listing):
        total.update(("%s\0%s\n" % (rel, digest)).encode())
    return len(listing), total.hexdigest()


def make_big(root, size):
    """One file of `size` fresh pseudo-random bytes; returns the digest of the tree."""
    os.makedirs(root)
    rng = random.Random(os.urandom(16))
    h = hashlib.sha256()
    with open(os.path.join(root, "big.bin"), "wb") as f:
        left = size
        while left:
            block = rng.randbytes(min(CHUNK, left))
            h.update(block)
            f.write(block)
            left -= len(block)
    return digest_of([("big.bin", h.hexdigest())])


def make_small(root, count, dirs, size):
    """`count` files of `size` fresh bytes spread over `dirs` sub-directories."""
    rng = random.Random(os.urandom(16))
    listing = []
    per_dir = -(-count // dirs)
    n = 0
    for d in range(dirs):
        sub = "d%02d" % d
        os.makedirs(os.path.join(root, sub))
        for _ in range(min(per_dir, count - n)):
            rel = "%s/f%05d.bin" % (sub, n)
            data = rng.randbytes(size)
            with open(os.path.join(root, rel), "wb") as f:
                f.write(data)
            listing.append((rel, hashlib.sha256(data).hexdigest()))
            n += 1
    return digest_of(listing)


def fmt_mib(kib):
    return "-" if kib is None else "%.1f MiB" % (kib / 1024)


def fmt_cpu(sec):
    return "-" if sec is None else "%.2f s" % sec


def median_or_none(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


# ---------------------------------------------------------------- the benchmark


class Series:
    """The runs of one program pair member for one workload."""

    def __init__(self, key, label, unit, procs, work=None):
        self.key = key
        self.label = label
        self.unit = unit            # "MiB/s" or "files/s"
        self.procs = procs          # names of the measured processes, e.g. ("srv", "cln")
        self.work = work            # MiB or files of one run, when not the --big-mib/--files
        self.runs = []              # dicts: seconds, speed, rss_<proc>, cpu_<proc>
        self.failed = None

    def median(self, field):
        return median_or_none([r.get(field) for r in self.runs])

    def resources(self):
        rss = ", ".join("%s %s" % (p, fmt_mib(self.median("rss_" + p))) for p in self.procs)
        cpu = ", ".join("%s %s" % (p, fmt_cpu(self.median("cpu_" + p))) for p in self.procs)
        return rss, cpu

    def spread_text(self):
        """Median and spread of the run times ("median 2.52 s, spread 2.34–2.94 s, 1.26x"),
        or "" for fewer than two runs."""
        secs = [r["seconds"] for r in self.runs]
        if len(secs) < 2:
            return ""
        lo, hi = min(secs), max(secs)
        ratio = "%.2fx" % (hi / lo) if lo > 0 else "-"
        return "median %.2f s, spread %.2f–%.2f s, %s" % (statistics.median(secs), lo, hi, ratio)

    def speed_text(self):
        if self.failed:
            return "FAILED"
        if not self.runs:
            return "-"
        speed = self.median("speed")
        fmt = "%.0f %s (%.2f s)" if speed >= 100 else "%.1f %s (%.2f s)"
        return fmt % (speed, self.unit, self.median("seconds"))


class Bench:
    def __init__(self, args):
        self.args = args
        self.stage = os.path.abspath(args.stage)
        self.big_size = args.big_mib * MIB
        self.procs = []             # every child process this script started
        self.server = None
        self.work = None
        self.notes = []
        self.failures = []
        self.keep = args.keep
        self.noisy = 0
        self.services_noted = False
        self.latency = {}           # mode -> milliseconds from rename to placement
        self.kept = {}              # keep_alive mode -> latencies, handshakes (--only keep)

    # ------------------------------------------------------------ set-up

    def prepare(self):
        root = os.path.abspath(self.args.work_root)
        kind = fs_type(root)
        if kind in ("tmpfs", "ramfs"):
            raise SystemExit("bench: %s is on %s; pass --work-root on the work disk" % (root, kind))
        os.makedirs(root, exist_ok=True)
        self.work = os.path.join(root, "qk_relay_bench.%s.%d" % (
            datetime.datetime.now().strftime("%Y%m%d-%H%M%S"), os.getpid()))
        os.makedirs(self.work)
        self.fs_kind = kind
        self.place_sides()
        say("Work directory: %s (file system %s)" % (self.work, kind))

        self.tree = os.path.join(self.work, "tree")
        shutil.copytree(self.stage, self.tree, symlinks=True)
        # Keys and logs that runs from the build's own tree may have left there.
        shutil.rmtree(os.path.join(self.tree, "share/orvane/ca"), ignore_errors=True)
        for path in files_below(os.path.join(self.tree, "share/orvane")):
            if "/keys/" in path:
                os.unlink(path)
        for path in files_below(os.path.join(self.tree, "var/log")):
            os.unlink(path)
        keys = subprocess.run([os.path.join(self.tree, "bin/qk_relay_keys")],
                              capture_output=True, text=True)
        if keys.returncode != 0:
            raise SystemExit("bench: qk_relay_keys failed:\n" + keys.stdout + keys.stderr)
        share = os.path.join(self.tree, "share/orvane")
        self.srv_cert = os.path.join(share, "qk_relay_srv/keys/srv.zx.orvane.cert")
        self.srv_key = os.path.join(share, "qk_relay_srv/keys/srv.zx.orvane.key")
        self.cln_cert = os.path.join(share, "qk_relay_cln/keys/cln.zx.orvane.cert")
        self.cln_key = os.path.join(share, "qk_relay_cln/keys/cln.zx.orvane.key")
        self.ca = os.path.join(share, "common/keys/ca.zx.orvane.pem")
        self.bin = os.path.join(self.tree, "bin")
        self.logs = os.path.join(self.work, "logs")
        os.makedirs(self.logs)
        self.failed_dir = os.path.join(self.work, "failed")

    def place_sides(self):
        """The sending and the receiving directories go into different inode groups, as
        on two machines. On ext4 without a journal a new inode skips every inode of its
        group freed within the last minute; a receiver beside a sender that deletes as it
        goes would pay for the sender's deletions on each file it creates."""
        subprocess.run(["chattr", "+T", self.work], capture_output=True)
        ipg = inodes_per_group(self.work)

        # Inodes are placed per flex group (16 block groups, the mke2fs default).
        def flex_group(path):
            return None if not ipg else (os.stat(path).st_ino - 1) // ipg // 16

        # Everything of the sending side (outgoing directories and the senders' backups) lies
        # below one directory, so in one inode group (a directory below the top is placed
        # beside its parent), away from the receiving side.
        self.send = os.path.join(self.work, "send")
        self.out = os.path.join(self.send, "out")
        os.makedirs(self.out)
        used = {flex_group(self.out)}
        spare = []
        # in_disk: where the disk's serial rate of durable small files is measured.
        for name in ("in_qk", "in_peer", "in_disk"):
            path = os.path.join(self.work, name)
            for attempt in range(12):
                os.makedirs(path)
                group = flex_group(path)
                if group is None or group not in used:
                    used.add(group)
                    break
                moved = os.path.join(self.work, "spare%d_%s" % (attempt, name))
                os.rename(path, moved)
                spare.append(moved)
            setattr(self, name, path)
        for path in spare:
            os.rmdir(path)
        self.flex_group = flex_group
        if ipg:
            self.layout = "inode flex groups: out %s, in_qk %s, in_peer %s, in_disk %s" % (
                flex_group(self.out), flex_group(self.in_qk), flex_group(self.in_peer),
                flex_group(self.in_disk))
        else:
            self.layout = "inode groups unknown"

    def start_server(self, options=(), quiet=False):
        """options: more command-line options; a server that does not start with them is a
        failed case (CaseFailed), not the end of the benchmark. quiet: no line when it
        runs (a restart within a measured case)."""
        deadline = time.monotonic() + self.args.lock_wait
        while True:
            port = free_port()
            ssl_port = free_port({port})
            out = open(os.path.join(self.logs, "server.out"), "ab")
            proc = subprocess.Popen(
                [os.path.join(self.bin, "qk_relay_srv"), "--start_server",
                 "--in_dir=" + self.in_qk, "--port=%d" % port, "--ssl_port=%d" % ssl_port]
                + list(options), stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
            out.close()
            self.procs.append(proc)
            if wait_listening((port, ssl_port), proc):
                self.server, self.port, self.ssl_port = proc, port, ssl_port
                if not quiet:
                    say("qk_relay_srv running (pid %d): plain port %d, TLS port %d"
                        % (proc.pid, port, ssl_port))
                return
            self.stop(proc, signal.SIGINT)
            with open(os.path.join(self.logs, "server.out"), errors="replace") as f:
                text = f.read()
            if "launched already" in text and time.monotonic() < deadline:
                say("Another qk_relay_srv holds the machine-wide lock; waiting for it...")
                with open(os.path.join(self.logs, "server.out"), "w"):
                    pass
                time.sleep(10)
                continue
            if options:
                raise CaseFailed("qk_relay_srv did not start with %s: %s" % (
                    " ".join(options), (text.strip().splitlines() or ["no output"])[-1]))
            raise SystemExit("bench: qk_relay_srv did not start; its output:\n" + text[-3000:])

    def restart_server(self, options=()):
        """The server stopped and started again with `options` (on new ports)."""
        if self.server is not None:
            self.stop(self.server, signal.SIGINT)
            self.server = None
        self.start_server(options, quiet=True)

    def stop(self, proc, sig=signal.SIGTERM, timeout=15):
        """Stops a child of this script and what it started (each child leads its own
        process group)."""
        if proc.poll() is None:
            try:
                os.killpg(proc.pid, sig)
                proc.wait(timeout)
            except ProcessLookupError:
                proc.wait()
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        if proc in self.procs:
            self.procs.remove(proc)
        return proc.returncode

    def cleanup(self):
        for proc in list(self.procs):
            self.stop(proc, signal.SIGINT if proc is self.server else signal.SIGTERM)
        self.server = None
        if self.work and os.path.isdir(self.work):
            if self.keep or self.failures:
                say("Everything of this run stays in %s" % self.work)
            else:
                shutil.rmtree(self.work, ignore_errors=True)

    # ------------------------------------------------------------ TLS set-up checks

    def socat_tls_opts(self, listen):
        common = ["cipher=" + TLS_CIPHER, "openssl-min-proto-version=TLS1.2",
                  "openssl-max-proto-version=TLS1.2", "cafile=" + self.ca]
        if listen:
            return ["cert=" + self.srv_cert, "key=" + self.srv_key, "verify=1"] + common
        return ["cert=" + self.cln_cert, "key=" + self.cln_key,
                "commonname=" + SERVER_CERT_NAME] + common

    def check_tls_setups(self):
        """Shows that the socat listener refuses a client without certificate, what the
        two socat ends negotiate, and what our server negotiates with our client's keys."""
        say("\nTLS set-up checks")
        probe = os.path.join(self.work, "tls_probe")
        os.makedirs(probe)
        payload = os.path.join(probe, "payload")
        with open(payload, "wb") as f:
            f.write(os.urandom(65536))
        ok = True
        for with_cert in (False, True):
            port = free_port()
            target = os.path.join(probe, "received_%s" % ("cert" if with_cert else "nocert"))
            listen = ["socat", "-d", "-d", "-u", ",".join(
                ["OPENSSL-LISTEN:%d" % port, "reuseaddr", "bind=127.0.0.1"]
                + self.socat_tls_opts(True)), "OPEN:%s,creat,trunc" % target]
            opts = self.socat_tls_opts(False)
            if not with_cert:
                opts = [o for o in opts if not o.startswith(("cert=", "key="))]
            client = ["socat", "-d", "-d", "-u", "OPEN:" + payload,
                      ",".join(["OPENSSL:127.0.0.1:%d" % port] + opts)]
            lproc = subprocess.Popen(listen, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     text=True, start_new_session=True)
            self.procs.append(lproc)
            if not wait_listening((port,), lproc):
                raise SystemExit("bench: the socat TLS listener did not start")
            c = subprocess.run(client, capture_output=True, text=True, timeout=30)
            try:
                lerr = lproc.communicate(timeout=30)[1]
            except subprocess.TimeoutExpired:
                self.stop(lproc)
                lerr = ""
            if lproc in self.procs:
                self.procs.remove(lproc)
            got = os.path.getsize(target) if os.path.exists(target) else 0
            errors = [l.split(" E ", 1)[1] for l in (lerr + c.stderr).splitlines() if " E " in l]
            if not with_cert:
                refused = c.returncode != 0 and got == 0
                say("  socat client without certificate: %s (client exit %d; %s)" % (
                    "refused" if refused else "ACCEPTED", c.returncode,
                    "; ".join(errors) or "no error text"))
                self.notes.append("socat TLS listener (verify=1) refuses a client without "
                                  "certificate: " + ("; ".join(errors) or "yes"))
                if not refused:
                    ok = False
            else:
                same = c.returncode == 0 and got == 65536
                neg = [l.split(" N ", 1)[1] for l in c.stderr.splitlines()
                       if " N SSL proto version" in l or " N SSL connection using" in l]
                say("  socat client with certificate: %s (%s)" % (
                    "accepted" if same else "FAILED", ", ".join(neg)))
                self.notes.append("socat ends negotiate: " + ", ".join(neg))
                if not same:
                    ok = False
        s = subprocess.run(["openssl", "s_client", "-brief", "-connect",
                            "127.0.0.1:%d" % self.ssl_port, "-cert", self.cln_cert,
                            "-key", self.cln_key, "-CAfile", self.ca, "-verify_return_error"],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
        info = [l.strip() for l in (s.stdout + s.stderr).splitlines()
                if l.startswith(("Protocol version", "Ciphersuite", "Server Temp Key"))]
        say("  qk_relay_srv with the client's keys: %s" % (", ".join(info) or "no handshake"))
        self.notes.append("qk_relay_srv negotiates (seen with openssl s_client and the client "
                          "keys): " + ", ".join(info))
        shutil.rmtree(probe, ignore_errors=True)
        return ok

    # ------------------------------------------------------------ one measured run

    @contextlib.contextmanager
    def proxy(self, rtt, target, run, options=()):
        """A delay proxy (bench/delay_proxy.py) in front of the local port `target`, holding
        every chunk rtt/2 ms in each direction, for the time of the block; started and
        stopped outside the timed part. Yields .port to connect to and, after the block,
        .usage: the proxy's CPU time (from when it listened) and peak RSS. rtt None: no
        proxy, .port is `target`. options: more options of the proxy (with --verbose, its
        lines about each connection are read by proxy_connections(run))."""
        use = argparse.Namespace(port=target, usage={})
        if rtt is None:
            yield use
            return
        err = open(os.path.join(self.logs, run + ".proxy.err"), "wb")
        proc = subprocess.Popen(
            [sys.executable, DELAY_PROXY, "--listen", "0", "--target", "127.0.0.1:%d" % target,
             "--delay-ms", "%g" % (rtt / 2.0), "--window-bytes", str(self.args.wan_window_bytes)]
            + list(options), stdout=subprocess.PIPE, stderr=err, text=True, start_new_session=True)
        err.close()
        self.procs.append(proc)
        try:
            line = proc.stdout.readline()
            found = re.search(r"listening on 127\.0\.0\.1:(\d+) ", line)
            if not found:
                raise CaseFailed("the delay proxy did not start (see %s.proxy.err)" % run)
            use.port = int(found.group(1))
            cpu0 = proc_cpu_seconds(proc.pid)
            yield use
            if proc.poll() is not None:
                raise CaseFailed("the delay proxy ended during the run")
            use.usage = {"cpu_proxy": proc_cpu_seconds(proc.pid) - cpu0,
                         "rss_proxy": proc_hwm_kib(proc.pid)}
        finally:
            self.stop(proc)
            proc.stdout.close()

    def proxy_connections(self, run, settle=0.0):
        """The connections a --verbose delay proxy of the run has accepted, from its log:
        {number: {"up": bytes from the client, "down": bytes to it (both None while
        open), "cut": whether the proxy cut it}}. settle: seconds to wait at most for every
        accepted connection to have closed (the proxy logs a connection when it ends)."""
        deadline = time.monotonic() + settle
        while True:
            conns = {}
            with open(os.path.join(self.logs, run + ".proxy.err"), errors="replace") as f:
                for line in f:
                    found = re.match(r"delay_proxy: #(\d+) (from|cut|closed: (\d+) bytes up, "
                                     r"(\d+) bytes down)", line)
                    if not found:
                        continue
                    conn = conns.setdefault(int(found.group(1)),
                                            {"up": None, "down": None, "cut": False})
                    if found.group(2) == "cut":
                        conn["cut"] = True
                    elif found.group(3) is not None:
                        conn["up"], conn["down"] = int(found.group(3)), int(found.group(4))
            if all(c["up"] is not None for c in conns.values()) or time.monotonic() > deadline:
                return conns
            time.sleep(0.05)

    def fresh(self, run, small, make=None):
        """Fresh data for a run in the outgoing directory: `make(root)` when given (it
        returns the digest), else the --files small files or the --big-mib file."""
        src = os.path.join(self.out, run)
        if make is not None:
            digest = make(src)
        elif small:
            digest = make_small(src, self.args.files, self.args.dirs, 1024)
        else:
            digest = make_big(src, self.big_size)
        os.sync()
        self.wait_quiet()
        return src, digest

    def wait_quiet(self):
        """Waits (at most --quiet-wait seconds) until other work on the machine, such as a
        build, leaves the cores nearly idle: a run shares its two cores with nobody."""
        deadline = time.monotonic() + self.args.quiet_wait
        told = False
        while True:
            b0, t0 = busy_cpu_seconds(), time.monotonic()
            time.sleep(0.5)
            load = (busy_cpu_seconds() - b0) / (time.monotonic() - t0) / os.cpu_count()
            if load < 0.15:
                return
            if time.monotonic() > deadline:
                self.noisy += 1
                print("[machine %d%% busy, measuring anyway] " % (100 * load), end="", flush=True)
                return
            if not told:
                print("[waiting: machine %d%% busy] " % (100 * load), end="", flush=True)
                told = True

    def check(self, run, dest, digest, series):
        """The received tree must equal what was sent; the outgoing side must hold no file
        (empty directories are accepted)."""
        problems = []
        if not os.path.isdir(dest):
            problems.append("nothing arrived in %s" % dest)
        else:
            got = tree_digest(dest)
            if got != digest:
                problems.append("received tree differs from what was sent (%d files, "
                                "expected %d, or contents differ)" % (got[0], digest[0]))
        left = files_below(self.out)
        if left:
            problems.append("%d file(s) left on the outgoing side, e.g. %s"
                            % (len(left), left[0]))
        if problems:
            os.makedirs(self.failed_dir, exist_ok=True)
            for path, tag in ((os.path.join(self.out, run), "out"), (dest, "in")):
                if os.path.exists(path):
                    os.rename(path, os.path.join(self.failed_dir, "%s.%s" % (run, tag)))
            raise CaseFailed("; ".join(problems))
        # Empty directories left by the sender (rsync leaves them).
        shutil.rmtree(os.path.join(self.out, run), ignore_errors=True)

    def drop_received_big(self, dest):
        shutil.rmtree(dest, ignore_errors=True)
        os.sync()

    def run_qk(self, series, run, small, tls, backups=False, rtt=None, make=None):
        """rtt: through a delay proxy with that round-trip time (ms) in front of the server;
        make: the run's data instead of the --files or --big-mib set (see fresh())."""
        src, digest = self.fresh(run, small, make)
        with self.proxy(rtt, self.ssl_port if tls else self.port, run) as proxy:
            sample = self.send_qk(run, tls, backups, proxy.port)
        sample.update(proxy.usage)
        self.check(run, os.path.join(self.in_qk, run), digest, series)
        if not small:
            self.drop_received_big(os.path.join(self.in_qk, run))
        return sample

    def send_qk(self, run, tls, backups, port, options=(), again=False):
        """options: more command-line options of the client; again: a client that exits
        with an error is run once more (its attempts may all have met a cut link), the time
        and machine CPU counting both runs, and the sample's client_runs says how many ran."""
        tfile = os.path.join(self.logs, run + ".time")
        log = os.path.join(self.logs, run + ".client.out")
        cmd = [GNU_TIME, "-v", "-o", tfile, os.path.join(self.bin, "qk_relay_cln"),
               "--send_files", "--out_dir=" + self.out, "--sub_dirs",
               "--server_address=127.0.0.1", "--server_port=%d" % port]
        if tls:
            cmd.append("--use_ssl")
        if backups:
            # As the client service, which always backs up (into its default directory).
            cmd.append("--back_dir=" + os.path.join(self.send, "back_cln", run))
        cmd += list(options)
        deadline = time.monotonic() + self.args.lock_wait
        runs, spent, spent_busy = 0, 0.0, 0.0
        pid = self.server.pid
        hwm_reset = reset_hwm(pid)
        cpu0 = proc_cpu_seconds(pid)
        while True:
            runs += 1
            with open(log, "ab" if runs > 1 else "wb") as out:
                t0, b0 = time.perf_counter(), busy_cpu_seconds()
                rc = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT).returncode
                seconds = spent + time.perf_counter() - t0
                busy = spent_busy + busy_cpu_seconds() - b0
            cpu1 = proc_cpu_seconds(pid)
            hwm = proc_hwm_kib(pid)
            if rc != 0:
                with open(log, errors="replace") as f:
                    text = f.read()
                if "launched already" in text and time.monotonic() < deadline:
                    say("    another qk_relay_cln holds the machine-wide lock; waiting...")
                    runs -= 1
                    time.sleep(5)
                    continue
                if again and runs == 1:
                    print("[client exited with %d; once more] " % rc, end="", flush=True)
                    spent, spent_busy = seconds, busy
                    continue
                raise CaseFailed("qk_relay_cln exited with %d (output: %s)" % (rc, log))
            break
        if self.server.poll() is not None:
            raise CaseFailed("qk_relay_srv ended during the run")
        t = parse_gnu_time(tfile)
        return {"seconds": seconds, "busy": busy, "rss_srv": hwm if hwm_reset else None,
                "cpu_srv": cpu1 - cpu0, "rss_cln": t["rss_kib"], "cpu_cln": t["cpu_s"],
                "client_runs": runs}

    def run_limit(self, series, run):
        """One fresh file of --limit-mib sent with --bwlimit=--limit-rate through a delay
        proxy of --limit-rtt ms (plain TCP). The time is the client's, from its start to its
        exit; meanwhile the bytes that have reached the receiving file are sampled every
        second (self.limit_samples), for the rate of the steady part without the start
        (connection, the first burst) and the end (the last acknowledgement)."""
        size = self.args.limit_mib * MIB
        src, digest = self.fresh(run, False, lambda root: make_big(root, size))
        dest = os.path.join(self.in_qk, run)
        stop, samples = threading.Event(), []
        sampler = threading.Thread(target=self.sample_received, args=(dest, stop, samples))
        with self.proxy(self.args.limit_rtt, self.port, run) as proxy:
            sampler.start()
            try:
                sample = self.send_qk(run, False, False, proxy.port,
                                      ["--bwlimit=" + self.args.limit_rate])
            finally:
                stop.set()
                sampler.join()
        sample.update(proxy.usage)
        self.check(run, dest, digest, series)
        self.drop_received_big(dest)
        self.limit_samples = samples
        return sample

    def run_resume(self, series, run, resume):
        """One fresh file of --resume-mib sent by the console client (plain TCP) through a
        delay proxy of RESUME_RTT ms that resets the first connection once half the file's
        bytes have reached the receiver; the client's next attempt, or one more run of it
        when all its attempts failed, goes through whole. What counts is what the
        connections after the cut carried up: with resume, about the half left, without,
        the whole file again. The server runs for this run with --resume_plain (resume
        over the plain port is off by default), or with resume False with
        --resume_min_size=off, and is started again as before after it."""
        size = self.args.resume_mib * MIB
        src, digest = self.fresh(run, False, lambda root: make_big(root, size))
        dest = os.path.join(self.in_qk, run)
        try:
            self.restart_server(["--resume_plain"] if resume else ["--resume_min_size=off"])
            with self.proxy(RESUME_RTT, self.port, run,
                            ["--verbose", "--cut-after-bytes", str(size // 2),
                             "--cut-connections", "1"]) as proxy:
                sample = self.send_qk(run, False, False, proxy.port, again=True)
                conns = self.proxy_connections(run, settle=10)
        finally:
            self.restart_server()
        sample.update(proxy.usage)
        self.check(run, dest, digest, series)
        self.drop_received_big(dest)
        if not conns.get(1, {}).get("cut"):
            raise CaseFailed("the proxy did not cut the first connection (see %s.proxy.err)"
                             % run)
        later = [c for n, c in sorted(conns.items()) if n > 1]
        if not later or any(c["up"] is None for c in later):
            raise CaseFailed("no connection after the cut, or one still open (see %s.proxy.err)"
                             % run)
        sample["before_cut"] = conns[1]["up"]
        sample["after_cut"] = sum(c["up"] for c in later)
        sample["after_cut_conns"] = len(later)
        return sample

    def resume_lines(self):
        """The figures of --only resume per row, for the console and the Markdown."""
        size = self.args.resume_mib * MIB
        lines = []
        for key, label in (("resume_on", "resume on (--resume_plain)"),
                           ("resume_off", "resume off (--resume_min_size=off)")):
            s = self.series.get(key)
            if s is None or (not s.runs and not s.failed):
                continue
            if s.failed:
                lines.append("%s: FAILED: %s" % (label, s.failed))
                continue
            r = s.runs[-1]
            share = 100.0 * r["after_cut"] / size
            lines.append("%s: %.1f %% of the file sent up again after the cut (%.1f MiB over %d "
                         "connection(s) after the first, which carried %.1f MiB up to its cut); "
                         "client run %s; %.2f s in all%s" % (
                             label, share, r["after_cut"] / MIB, r["after_cut_conns"],
                             r["before_cut"] / MIB,
                             "once" if r["client_runs"] == 1 else "twice (all attempts of the "
                             "first failed)", r["seconds"],
                             "; target at most 55 %%: %s" % ("met" if share <= 55 else "NOT met")
                             if key == "resume_on" else "; expected about 100 %"))
        return lines

    def sample_received(self, dest, stop, samples):
        """Every second until `stop`: (time, bytes received below `dest`). The receiver
        writes a file's content into an unnamed file (O_TMPFILE) in the target directory and
        links it under its name at the end, so the bytes are those of the files the server
        holds open there (seen through /proc/<pid>/fd) and of the files placed there, each
        file counted once."""
        pid = self.server.pid
        fd_dir = "/proc/%d/fd" % pid
        prefix = dest.rstrip("/") + "/"
        tick = time.perf_counter()
        while True:
            seen, total = set(), 0
            try:
                fds = os.listdir(fd_dir)
            except OSError:
                fds = []
            for fd in fds:
                path = os.path.join(fd_dir, fd)
                try:
                    if not os.readlink(path).startswith(prefix):
                        continue
                    st = os.stat(path)
                except OSError:
                    continue
                if (st.st_dev, st.st_ino) not in seen:
                    seen.add((st.st_dev, st.st_ino))
                    total += st.st_size
            for path in files_below(dest):
                try:
                    st = os.stat(path)
                except OSError:
                    continue
                if (st.st_dev, st.st_ino) not in seen:
                    seen.add((st.st_dev, st.st_ino))
                    total += st.st_size
            samples.append((time.perf_counter(), total))
            tick += 1.0
            if stop.wait(max(0.0, tick - time.perf_counter())):
                return

    def limit_figures(self):
        """What the rate-limit run achieved, or None when it did not run or failed:
        the rate from the client's start to its exit, and the steady part's rate from the
        receiver's samples (2 s cut from each end of the span in which bytes came in)."""
        s = self.series.get("limit")
        if s is None or s.failed or not s.runs:
            return None
        limit = self.limit_rate / MIB
        size = self.args.limit_mib * MIB
        run = s.runs[-1]
        fig = {"limit": limit, "client": run["speed"], "seconds": run["seconds"],
               "steady": None}
        samples = getattr(self, "limit_samples", [])
        moving = [i for i, (_t, b) in enumerate(samples) if 0 < b]
        if moving:
            first = moving[0]
            done = next((i for i, (_t, b) in enumerate(samples) if b >= size), len(samples) - 1)
            lo, hi = first + 2, done - 2
            if hi - lo >= 2:
                (t0, b0), (t1, b1) = samples[lo], samples[hi]
                per_second = [(samples[i + 1][1] - samples[i][1]) / MIB
                              / (samples[i + 1][0] - samples[i][0]) for i in range(lo, hi)]
                fig["steady"] = (b1 - b0) / MIB / (t1 - t0)
                fig["steady_span"] = (samples[lo][0] - samples[first][0],
                                      samples[hi][0] - samples[first][0])
                fig["steady_min"], fig["steady_max"] = min(per_second), max(per_second)
                fig["samples"] = len(samples)
        return fig

    def limit_target(self, rate, limit):
        dev = (rate / limit - 1) * 100
        return "within 5 %%: %+.2f %% (%s)" % (dev, "met" if abs(dev) <= 5 else "NOT met")

    def limit_lines(self):
        """The rate-limit row's details, for the console and the Markdown."""
        fig = self.limit_figures()
        if fig is None:
            return []
        limit = fig["limit"]
        lines = ["--bwlimit=%s (%.4g MiB/s), one file of %d MiB, plain TCP, through the delay "
                 "proxy at %g ms round trip; one round only, whatever --rounds says (%d here)"
                 % (self.args.limit_rate, limit, self.args.limit_mib, self.args.limit_rtt,
                    self.args.rounds),
                 "client, start to exit: %.2f MiB/s over %.2f s, %s"
                 % (fig["client"], fig["seconds"], self.limit_target(fig["client"], limit))]
        if fig["steady"] is None:
            lines.append("receiver, steady part: too few samples for it")
        else:
            lines.append("receiver, steady part (%.0f s to %.0f s after the first bytes arrived, "
                         "sampled every second): %.3f MiB/s, single seconds %.3f to %.3f MiB/s, %s"
                         % (fig["steady_span"][0], fig["steady_span"][1], fig["steady"],
                            fig["steady_min"], fig["steady_max"],
                            self.limit_target(fig["steady"], limit)))
        lines.append(self.proxy_cap_text())
        return lines

    def proxy_cap_text(self):
        """The delay proxy holds at most --wan-window-bytes per direction for rtt/2, which
        caps a stream near window / (rtt/2): far above the limit, or the row measures the
        proxy."""
        hold = self.args.limit_rtt / 2000.0
        limit = self.limit_rate / MIB
        window = self.args.wan_window_bytes / MIB
        if hold <= 0:
            return "the proxy holds nothing (0 ms): its window caps no rate"
        cap = window / hold
        return ("the proxy's own cap, window / hold = %g MiB / %g ms = %.0f MiB/s, is %.0f times "
                "the limit%s" % (window, hold * 1000, cap, cap / limit,
                                 "" if cap >= 2 * limit else ": TOO CLOSE, the proxy may be what "
                                 "limits the rate"))

    def run_socat(self, series, run, tls, block=None):
        src, digest = self.fresh(run, False)
        dest = os.path.join(self.in_peer, run)
        os.makedirs(dest)
        target = os.path.join(dest, "big.bin")
        source = os.path.join(src, "big.bin")
        port = free_port()
        if tls:
            listen_addr = ",".join(["OPENSSL-LISTEN:%d" % port, "reuseaddr", "bind=127.0.0.1"]
                                   + self.socat_tls_opts(True))
            connect_addr = ",".join(["OPENSSL:127.0.0.1:%d" % port] + self.socat_tls_opts(False))
        else:
            listen_addr = "TCP-LISTEN:%d,reuseaddr,bind=127.0.0.1" % port
            connect_addr = "TCP:127.0.0.1:%d" % port
        rtime = os.path.join(self.logs, run + ".recv.time")
        stime = os.path.join(self.logs, run + ".send.time")
        socat = ["socat"] + (["-b", str(block)] if block else []) + ["-u"]
        rlog = open(os.path.join(self.logs, run + ".recv.out"), "wb")
        recv = subprocess.Popen([GNU_TIME, "-v", "-o", rtime] + socat + [
                                 listen_addr, "OPEN:%s,creat,trunc" % target],
                                stdout=rlog, stderr=subprocess.STDOUT, start_new_session=True)
        rlog.close()
        self.procs.append(recv)
        if not wait_listening((port,), recv):
            self.stop(recv)
            raise CaseFailed("the socat receiver did not start listening")
        with open(os.path.join(self.logs, run + ".send.out"), "wb") as slog:
            t0, b0 = time.perf_counter(), busy_cpu_seconds()
            src_rc = subprocess.run([GNU_TIME, "-v", "-o", stime] + socat + [
                                     "OPEN:" + source, connect_addr],
                                    stdout=slog, stderr=subprocess.STDOUT).returncode
            try:
                recv_rc = recv.wait(timeout=120)
            except subprocess.TimeoutExpired:
                recv_rc = self.stop(recv)
            if src_rc == 0 and recv_rc == 0:
                fsync_path(target)
                fsync_path(dest, directory=True)
                os.unlink(source)
            seconds, busy = time.perf_counter() - t0, busy_cpu_seconds() - b0
        if recv in self.procs:
            self.procs.remove(recv)
        if src_rc != 0 or recv_rc != 0:
            raise CaseFailed("socat sender exited with %d, receiver with %d (see %s)"
                             % (src_rc, recv_rc, self.logs))
        self.check(run, dest, digest, series)
        self.drop_received_big(dest)
        r, s = parse_gnu_time(rtime), parse_gnu_time(stime)
        return {"seconds": seconds, "busy": busy, "rss_recv": r["rss_kib"], "cpu_recv": r["cpu_s"],
                "rss_send": s["rss_kib"], "cpu_send": s["cpu_s"]}

    def run_local_copy(self, series, run):
        """The same physical job without a network: dd copies the file on the same disk in
        64 KiB pieces (as the other programs write it), syncs it, and the source goes."""
        return self.run_dd(series, run, self.in_peer, ["bs=64K", "conv=fdatasync"], True)

    def run_disk_direct(self, series, run):
        """The floor of writing the big file: the disk's own sequential write of the same
        fresh file with O_DIRECT in 1 MiB blocks and an fsync (dd), into in_disk on the
        receiving side, and the directory's fsync. The source stays during the timed part:
        removing it is a cost of the whole job, measured apart (run_big_removal)."""
        return self.run_dd(series, run, self.in_disk, ["bs=1M", "oflag=direct", "conv=fsync"],
                           False)

    def run_dd(self, series, run, root, dd_args, remove_in_time):
        """dd of the fresh big file into a directory of root, then the directory's fsync;
        remove_in_time: the source's removal is part of the time, else it follows it."""
        src, digest = self.fresh(run, False)
        dest = os.path.join(root, run)
        os.makedirs(dest)
        target = os.path.join(dest, "big.bin")
        source = os.path.join(src, "big.bin")
        ctime = os.path.join(self.logs, run + ".time")
        with open(os.path.join(self.logs, run + ".out"), "wb") as out:
            t0, b0 = time.perf_counter(), busy_cpu_seconds()
            rc = subprocess.run([GNU_TIME, "-v", "-o", ctime, "dd", "if=" + source,
                                 "of=" + target] + dd_args,
                                stdout=out, stderr=subprocess.STDOUT).returncode
            if rc == 0:
                fsync_path(dest, directory=True)
                if remove_in_time:
                    os.unlink(source)
            seconds, busy = time.perf_counter() - t0, busy_cpu_seconds() - b0
        if rc != 0:
            raise CaseFailed("dd %s exited with %d" % (" ".join(dd_args), rc))
        if not remove_in_time:
            os.unlink(source)
        self.check(run, dest, digest, series)
        self.drop_received_big(dest)
        c = parse_gnu_time(ctime)
        return {"seconds": seconds, "busy": busy, "rss_dd": c["rss_kib"], "cpu_dd": c["cpu_s"]}

    def run_big_removal(self, series, run):
        """What removing the sent big file costs on this disk (freeing its blocks, which a
        file system mounted with discard also trims): a fresh file, synced, then unlink and
        the fsync of its directory, timed alone. Our client's time includes this removal."""
        src, _digest = self.fresh(run, False)
        source = os.path.join(src, "big.bin")
        t0, b0 = time.perf_counter(), busy_cpu_seconds()
        os.unlink(source)
        fsync_path(src, directory=True)
        seconds, busy = time.perf_counter() - t0, busy_cpu_seconds() - b0
        os.rmdir(src)
        return {"seconds": seconds, "busy": busy}

    def run_rsync(self, series, run, fsync, rtt=None, make=None, big=False):
        """rtt and make as for run_qk(), the proxy in front of the daemon; big: the received
        tree is dropped after its check, as for the big file of our client."""
        src, digest = self.fresh(run, True, make)
        port = free_port()
        conf = os.path.join(self.work, "rsyncd.conf")
        with open(conf, "w") as f:
            f.write("use chroot = false\nreverse lookup = no\nlog file = %s\n\n"
                    "[%s]\n    path = %s\n    read only = false\n    uid = root\n"
                    "    gid = root\n" % (os.path.join(self.logs, "rsyncd.log"),
                                          RSYNC_MODULE, self.in_peer))
        dtime = os.path.join(self.logs, run + ".daemon.time")
        dlog = open(os.path.join(self.logs, run + ".daemon.out"), "wb")
        daemon = subprocess.Popen([GNU_TIME, "-v", "-o", dtime, "rsync", "--daemon",
                                   "--no-detach", "--config=" + conf, "--port=%d" % port],
                                  stdout=dlog, stderr=subprocess.STDOUT, start_new_session=True)
        dlog.close()
        self.procs.append(daemon)
        try:
            if not wait_listening((port,), daemon):
                raise CaseFailed("the rsync daemon did not start listening")
            ctime = os.path.join(self.logs, run + ".client.time")
            with self.proxy(rtt, port, run) as proxy:
                cmd = [GNU_TIME, "-v", "-o", ctime, "rsync", "-a", "--whole-file",
                       "--remove-source-files"]
                if fsync:
                    cmd.append("--fsync")
                cmd += [self.out + "/", "rsync://127.0.0.1:%d/%s/" % (proxy.port, RSYNC_MODULE)]
                with open(os.path.join(self.logs, run + ".client.out"), "wb") as out:
                    t0, b0 = time.perf_counter(), busy_cpu_seconds()
                    rc = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT).returncode
                    seconds, busy = time.perf_counter() - t0, busy_cpu_seconds() - b0
            # The daemon's connection child must be reaped before the daemon stops, so
            # that its usage counts in the daemon's figures.
            deadline = time.monotonic() + 10
            rsyncd = child_pids(daemon.pid)
            while rsyncd and child_pids(rsyncd[0]) and time.monotonic() < deadline:
                time.sleep(0.05)
        finally:
            # The daemon itself is stopped, not GNU time: time writes its figures when the
            # daemon has ended.
            for pid in child_pids(daemon.pid):
                try:
                    os.kill(pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
            try:
                daemon.wait(15)
            except subprocess.TimeoutExpired:
                pass
            self.stop(daemon)
        if rc != 0:
            raise CaseFailed("rsync client exited with %d" % rc)
        self.check(run, os.path.join(self.in_peer, run), digest, series)
        if big:
            self.drop_received_big(os.path.join(self.in_peer, run))
        d, c = parse_gnu_time(dtime), parse_gnu_time(ctime)
        sample = {"seconds": seconds, "busy": busy, "rss_daemon": d["rss_kib"],
                  "cpu_daemon": d["cpu_s"], "rss_client": c["rss_kib"], "cpu_client": c["cpu_s"]}
        sample.update(proxy.usage)
        return sample

    def run_disk_rate(self, series, run):
        """The disk's serial rate of durable small files (bench/disk_serial_rate.py: create,
        write, fsync the file, fsync the directory, one file after another), --files files
        of 1 KiB in a fresh directory below in_disk, on the same disk as the receivers. Its
        files stay until the end, as the received trees do. The time is the tool's own
        (its loop only, without its start)."""
        os.sync()
        self.wait_quiet()
        tfile = os.path.join(self.logs, run + ".time")
        log = os.path.join(self.logs, run + ".out")
        cmd = [GNU_TIME, "-v", "-o", tfile, sys.executable, DISK_SERIAL_RATE, "--dir",
               self.in_disk, "--files", str(self.args.files), "--size", "1024", "--keep"]
        with open(log, "w") as out:
            b0 = busy_cpu_seconds()
            rc = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT).returncode
            busy = busy_cpu_seconds() - b0
        with open(log, errors="replace") as f:
            text = f.read()
        found = re.search(r"^([0-9.]+) s, ", text, re.M)
        if rc != 0 or not found:
            raise CaseFailed("disk_serial_rate.py exited with %d (output: %s)" % (rc, log))
        t = parse_gnu_time(tfile)
        return {"seconds": float(found.group(1)), "busy": busy, "rss_tool": t["rss_kib"],
                "cpu_tool": t["cpu_s"]}

    # ------------------------------------------------------------ the services

    def start_services(self, tls=False, env=None, in_dir=None, metrics=False, ports=None,
                       cln_port=None, cln_xml=""):
        """qk_relay_srvsvc and qk_relay_clnsvc from the benchmark's tree, plain TCP (or TLS),
        the scanner at its shortest period. For the throughput runs they run for all of
        them; start-up is not timed. Their single-instance locks are their own, apart from
        qk_relay_srv's. They log from INFO up, as the package's files set it (the console
        programs have no level: they log everything). env: added to their environment.
        metrics: with their metrics endpoints (self.metrics_ports), else without. ports:
        the receiver's (plain, TLS) ports, else free ones; cln_port: where the client service
        connects (a proxy in front of the receiver), else the receiver's port; cln_xml: more
        keys of the client service's file."""
        common = os.path.join(self.tree, "share/orvane/common")
        self.svc_out = os.path.join(self.send, "out_svc")
        os.makedirs(self.svc_out, exist_ok=True)
        self.svc_stage = os.path.join(self.send, "stage_svc")   # beside out_svc
        os.makedirs(self.svc_stage, exist_ok=True)
        in_dir = in_dir or self.in_qk
        for name in ("back_clnsvc", "back_cln"):
            os.makedirs(os.path.join(self.send, name), exist_ok=True)
        port, ssl_port = ports or (free_port(), free_port())
        taken = {port, ssl_port}
        self.metrics_ports = [free_port(taken), None] if metrics else []
        if metrics:
            self.metrics_ports[1] = free_port(taken | {self.metrics_ports[0]})
        metrics_xml = ["<metrics_port>%d</metrics_port>" % p for p in self.metrics_ports] or \
            ["", ""]
        self.services_metrics = metrics
        with open(os.path.join(common, "qk_relay_srvsvc.xml"), "w") as f:
            f.write("<config><control_code>1</control_code><in_dir>%s</in_dir><back_dir>%s"
                    "</back_dir><port>%d</port><ssl_port>%d</ssl_port><control_port>0"
                    "</control_port>%s<log_level>INFO</log_level></config>\n" % (
                        in_dir, os.path.join(self.work, "back_srvsvc"), port, ssl_port,
                        metrics_xml[0]))
        with open(os.path.join(common, "qk_relay_clnsvc.xml"), "w") as f:
            f.write("<config><control_code>1</control_code><op_code>1</op_code><out_dir>%s"
                    "</out_dir><back_dir>%s</back_dir><file></file><server_address>127.0.0.1"
                    "</server_address><server_port>%d</server_port><use_ssl>%s</use_ssl>"
                    "<sub_dirs>true</sub_dirs><scan_time>1000</scan_time><min_age>0</min_age>"
                    "<control_port>0</control_port>%s<log_level>INFO</log_level>%s</config>\n" % (
                        self.svc_out, os.path.join(self.send, "back_clnsvc"),
                        cln_port or (ssl_port if tls else port), "true" if tls else "false",
                        metrics_xml[1], cln_xml))
        os.makedirs(os.path.join(self.work, "back_srvsvc"), exist_ok=True)
        if self.flex_group(self.in_qk) is not None and not self.services_noted:
            self.services_noted = True
            self.notes.append("services: inode flex groups: out_svc %s, back_clnsvc %s, "
                              "back_cln %s" % tuple(self.flex_group(os.path.join(self.send, n))
                                                    for n in ("out_svc", "back_clnsvc",
                                                              "back_cln")))
        self.services = {}
        for name in ("qk_relay_srvsvc", "qk_relay_clnsvc"):
            out = open(os.path.join(self.logs, name + ".out"), "ab")
            proc = subprocess.Popen([os.path.join(self.bin, name)], stdout=out,
                                    stderr=subprocess.STDOUT, start_new_session=True,
                                    env=dict(os.environ, **(env or {})))
            out.close()
            self.procs.append(proc)
            self.services[name] = proc
            if name == "qk_relay_srvsvc" and not wait_listening((port,), proc, 30):
                raise CaseFailed("qk_relay_srvsvc did not start listening")
        if metrics and not all(wait_listening((p,), proc, 30) for p in self.metrics_ports):
            raise CaseFailed("a metrics endpoint did not start listening")
        time.sleep(2)   # the scanner's first pass
        for name, proc in self.services.items():
            if proc.poll() is not None:
                raise CaseFailed("%s ended at start (exit code %s, see %s)"
                                 % (name, proc.returncode, self.logs))

    def stop_services(self):
        for proc in getattr(self, "services", {}).values():
            self.stop(proc, signal.SIGTERM, 30)
        self.services = {}

    def scrape(self, stop, counts):
        """What a monitoring system does, harder: both endpoints read every second."""
        import urllib.request
        while not stop.wait(1.0):
            for port in self.metrics_ports:
                with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5) as r:
                    r.read()
                    counts[r.status] = counts.get(r.status, 0) + 1

    def run_services(self, series, run, metrics=False):
        """10,000 files dropped at once (one rename of their tree) into the client service's
        outgoing directory; timed until the last one has been removed there. metrics: the
        services serve their metrics and both are scraped every second during the run; the
        services are started again when that differs from the last run (not timed)."""
        if self.services and self.services_metrics != metrics:
            self.stop_services()
            self.start_services(metrics=metrics)
        if not self.services:
            raise CaseFailed("the services are not running")
        staged = os.path.join(self.svc_stage, run)
        digest = make_small(staged, self.args.files, self.args.dirs, 1024)
        os.sync()
        self.wait_quiet()
        pids = {name: p.pid for name, p in self.services.items()}
        cpu0 = {name: proc_cpu_seconds(pid) for name, pid in pids.items()}
        hwm_reset = all(reset_hwm(pid) for pid in pids.values())
        stop, scrapes = threading.Event(), {}
        scraper = threading.Thread(target=self.scrape, args=(stop, scrapes)) if metrics else None
        t0, b0 = time.perf_counter(), busy_cpu_seconds()
        os.rename(staged, os.path.join(self.svc_out, run))
        if scraper:
            scraper.start()
        deadline = t0 + 300
        try:
            while files_below(self.svc_out):
                if time.perf_counter() > deadline:
                    raise CaseFailed("files still in the outgoing directory after 300 s")
                if any(p.poll() is not None for p in self.services.values()):
                    raise CaseFailed("a service ended during the run")
                time.sleep(0.05)
        finally:
            stop.set()
            if scraper:
                scraper.join()
        seconds, busy = time.perf_counter() - t0, busy_cpu_seconds() - b0
        if metrics and scrapes.get(200, 0) < 2 * int(seconds):
            raise CaseFailed("the metrics endpoints answered %s" % scrapes)
        sample = {"seconds": seconds, "busy": busy}
        for name, pid in pids.items():
            short = "srvsvc" if "srv" in name else "clnsvc"
            sample["cpu_" + short] = proc_cpu_seconds(pid) - cpu0[name]
            sample["rss_" + short] = proc_hwm_kib(pid) if hwm_reset else None
        # The service removes emptied sub-directories at a later scan; they are not waited for.
        self.check_received(run, os.path.join(self.in_qk, run), digest, self.svc_out)
        shutil.rmtree(os.path.join(self.svc_out, run), ignore_errors=True)
        return sample

    # ------------------------------------------------------------ pick-up latency

    def run_latency(self, mode):
        """A producer drops one 4 KiB file every 20 ms for --latency-seconds into
        qk_relay_clnsvc's outgoing directory (written beside it, then renamed in); each
        file's time from its rename to its placement under its name at qk_relay_srvsvc (the
        ctime of the placed file), over TLS. mode "watch": as shipped; "scan": scans only
        (QK_RELAY_SCAN_ONLY=1), one every 1000 ms. The services are started for the run."""
        dest = os.path.join(self.work, "in_latency_" + mode)
        shutil.rmtree(dest, ignore_errors=True)
        os.makedirs(dest)
        env = {"QK_RELAY_SCAN_ONLY": "1"} if mode == "scan" else {}
        self.start_services(tls=True, env=env, in_dir=dest)
        try:
            renamed = self.produce(mode, 0.020, self.args.latency_seconds, dest)
        finally:
            self.stop_services()
        samples = self.placement_ms(renamed, dest)
        self.latency.setdefault(mode, []).extend(samples)
        shutil.rmtree(dest, ignore_errors=True)
        q = statistics.quantiles(samples, n=100)
        say("  %-40s %5d files: p50 %6.1f ms  p99 %7.1f ms  max %7.1f ms" % (
            "latency, " + ("inotify" if mode == "watch" else "scans only") + ", TLS",
            len(samples), q[49], q[98], max(samples)))

    def produce(self, prefix, period, seconds, dest):
        """A producer for the running client service: a 4 KiB file written beside its
        outgoing directory and renamed in, every `period` s for `seconds`; then waits (at
        most 30 s) until as many files are in `dest`. Returns {name: time of its rename}."""
        renamed = {}
        content = bytes(random.getrandbits(8) for _ in range(4096))
        end = time.monotonic() + seconds
        n = 0
        while time.monotonic() < end:
            name = "%s_%06d.dat" % (prefix, n)
            staged = os.path.join(self.svc_stage, name + ".tmp")
            with open(staged, "wb") as f:
                f.write(content)
            os.rename(staged, os.path.join(self.svc_out, name))
            renamed[name] = time.time()
            n += 1
            time.sleep(max(0.0, period - (time.time() - renamed[name])))
        deadline = time.monotonic() + 30
        while len(os.listdir(dest)) < len(renamed) and time.monotonic() < deadline:
            time.sleep(0.1)
        return renamed

    def placement_ms(self, renamed, dest):
        """Each file's time (ms) from its rename to its placement under its name in `dest`
        (the ctime of the placed file); every file must have arrived whole."""
        samples = []
        for name, at in renamed.items():
            try:
                placed = os.stat(os.path.join(dest, name))
            except FileNotFoundError:
                raise CaseFailed("%s did not arrive within 30 s" % name)
            if placed.st_size != 4096:
                raise CaseFailed("%s arrived with %d bytes" % (name, placed.st_size))
            samples.append(max(0.0, (placed.st_ctime - at) * 1000))
        return samples

    def run_keep(self, keep_alive):
        """The client service's kept connection: qk_relay_clnsvc sends to qk_relay_srvsvc
        over TLS through a delay proxy of KEEP_RTT ms while a 4 KiB file is renamed into its
        outgoing directory every 2 s for --keep-seconds. keep_alive None: the client file
        leaves the key out (its default), else sets it. Records the pick-up latency of each
        file and the TLS handshakes of the run: the connections the proxy accepted from the
        first rename until the last file was placed (each connection to the TLS port is
        one handshake; the start-up's own connections are counted apart)."""
        mode = "default" if keep_alive is None else str(keep_alive)
        run = "keep_" + mode
        dest = os.path.join(self.work, "in_keep_" + mode)
        shutil.rmtree(dest, ignore_errors=True)
        os.makedirs(dest)
        port = free_port()
        ssl_port = free_port({port})
        with self.proxy(KEEP_RTT, ssl_port, run, ["--verbose"]) as proxy:
            self.start_services(tls=True, in_dir=dest, ports=(port, ssl_port), cln_port=proxy.port,
                                cln_xml="" if keep_alive is None
                                else "<keep_alive>%d</keep_alive>" % keep_alive)
            try:
                startup = len(self.proxy_connections(run))
                renamed = self.produce("keep" + mode, 2.0, self.args.keep_seconds, dest)
                during = len(self.proxy_connections(run)) - startup
            finally:
                self.stop_services()
        samples = self.placement_ms(renamed, dest)
        shutil.rmtree(dest, ignore_errors=True)
        self.kept[mode] = {"samples": samples, "handshakes": during, "startup": startup}
        # Some 30 files: percentiles between the measured values, not beyond them.
        q = statistics.quantiles(samples, n=100, method="inclusive")
        say("  %-40s %5d files: p50 %6.1f ms  p99 %7.1f ms  max %7.1f ms  TLS handshakes %d "
            "(start-up %d)" % ("keep_alive %s, TLS, %g ms" % (
                "default" if keep_alive is None else keep_alive, KEEP_RTT),
                len(samples), q[49], q[98], max(samples), during, startup))

    def measure_keep(self):
        """keep_alive default, then 0; the throughput services are stopped meanwhile."""
        self.stop_services()
        for keep_alive in (None, 0):
            try:
                self.run_keep(keep_alive)
            except CaseFailed as e:
                self.failures.append("keep, keep_alive %s: %s" % (
                    "default" if keep_alive is None else keep_alive, e))
                say("  keep, keep_alive %s: FAILED: %s" % (
                    "default" if keep_alive is None else keep_alive, e))

    def keep_rows(self):
        rows = []
        budget = 2 * KEEP_RTT + 50
        for mode, label in (("default", "keep_alive default (60 s)"),
                            ("0", "keep_alive 0: a connection per scan")):
            fig = self.kept.get(mode)
            if not fig:
                continue
            values = fig["samples"]
            q = statistics.quantiles(values, n=100, method="inclusive")
            target = "-"
            if mode == "default":
                target = "p99 < %g ms: %s; one handshake: %s" % (
                    budget, "met" if q[98] < budget else "NOT met",
                    "met" if fig["handshakes"] == 1 else "NOT met")
            rows.append([label, len(values), "%.1f" % q[49], "%.1f" % q[98],
                         "%.1f" % max(values), fig["handshakes"], fig["startup"], target])
        return rows

    def latency_rows(self):
        rows = []
        for mode, label in (("watch", "as shipped (inotify, scan_time 1000)"),
                            ("scan", "scans only (scan_time 1000): the earlier service")):
            values = self.latency.get(mode)
            if not values:
                continue
            q = statistics.quantiles(values, n=100)
            target = "-"
            if mode == "watch":
                target = "p99 < 50 ms: %s" % ("met" if q[98] < 50 else "NOT met")
            rows.append([label, len(values), "%.1f" % q[49], "%.1f" % q[98],
                         "%.1f" % max(values), target])
        return rows

    # ------------------------------------------------------------ many clients at once

    def prepare_load_clients(self):
        """Each console client of the load case runs as a user id of its own (the
        single-instance lock is one per program and user) from a tree of its own (its own
        log), the program hard-linked from the benchmark's tree."""
        self.load_root = os.path.join(self.work, "load")
        self.load_clients = []
        for k in range(self.args.load_clients):
            uid = 61000 + k
            tree = os.path.join(self.load_root, "tree%02d" % k)
            os.makedirs(os.path.join(tree, "bin"))
            os.link(os.path.join(self.bin, "qk_relay_cln"), os.path.join(tree, "bin/qk_relay_cln"))
            shutil.copytree(os.path.join(self.tree, "share"), os.path.join(tree, "share"))
            os.makedirs(os.path.join(tree, "var/log/orvane/qk_relay_cln"))
            out = os.path.join(self.send, "out_load", "load%02d" % k)
            os.makedirs(out)
            for path in (tree, out):
                for dirpath, dirs, files in os.walk(path):
                    for entry in [dirpath] + [os.path.join(dirpath, n) for n in dirs + files]:
                        os.lchown(entry, uid, uid)
            self.load_clients.append((uid, tree, out))
        for path in (self.work, self.send, os.path.join(self.send, "out_load"), self.load_root):
            os.chmod(path, 0o755)

    def run_load(self, series, run):
        """N console clients at once, M files each, into the one server; every file must
        arrive once (counted in the server's console lines) and leave its client."""
        count, per = self.args.load_clients, self.args.load_files
        listing = []
        for k, (uid, _tree, out) in enumerate(self.load_clients):
            sub = os.path.join(out, "%s_c%02d" % (run, k))
            got = make_small(sub, per, 5, 1024)
            listing.append(got)
            for dirpath, dirs, files in os.walk(sub):
                for entry in [dirpath] + [os.path.join(dirpath, n) for n in dirs + files]:
                    os.lchown(entry, uid, uid)
        os.sync()
        self.wait_quiet()
        server_out = os.path.join(self.logs, "server.out")
        seen_before = os.path.getsize(server_out)
        pid = self.server.pid
        hwm_reset = reset_hwm(pid)
        cpu0 = proc_cpu_seconds(pid)
        t0, b0 = time.perf_counter(), busy_cpu_seconds()
        procs = []
        for k, (uid, tree, out) in enumerate(self.load_clients):
            log = open(os.path.join(self.logs, "%s_c%02d.client.out" % (run, k)), "wb")
            procs.append(subprocess.Popen(
                ["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups",
                 os.path.join(tree, "bin/qk_relay_cln"), "--send_files", "--out_dir=" + out,
                 "--sub_dirs", "--server_address=127.0.0.1", "--server_port=%d" % self.port],
                stdout=log, stderr=subprocess.STDOUT))
            log.close()
        codes = [p.wait() for p in procs]
        seconds, busy = time.perf_counter() - t0, busy_cpu_seconds() - b0
        cpu = proc_cpu_seconds(pid) - cpu0
        hwm = proc_hwm_kib(pid) if hwm_reset else None
        if any(codes):
            raise CaseFailed("client exit codes %s (see %s)" % (codes, self.logs))
        with open(server_out, "rb") as f:
            f.seek(seen_before)
            lines = f.read().decode(errors="replace").splitlines()
        received = [l for l in lines if l.startswith("Start Receiving file: ")
                    and (" to sub directory: %s_c" % run) in l]
        for k, (_uid, _tree, out) in enumerate(self.load_clients):
            name = "%s_c%02d" % (run, k)
            self.check_received(name, os.path.join(self.in_qk, name), listing[k], out)
        if len(received) != count * per:
            raise CaseFailed("%d files received for %d sent: some came twice"
                             % (len(received), count * per))
        return {"seconds": seconds, "busy": busy, "rss_srv": hwm, "cpu_srv": cpu}

    def check_received(self, run, dest, digest, out):
        """check() for a run whose outgoing side is `out`."""
        problems = []
        if not os.path.isdir(dest) or tree_digest(dest) != digest:
            problems.append("received tree %s differs from what was sent" % dest)
        left = files_below(out)
        if left:
            problems.append("%d file(s) left on the outgoing side, e.g. %s" % (len(left), left[0]))
        if problems:
            raise CaseFailed("; ".join(problems))

    # ------------------------------------------------------------ the schedule

    def wants(self, part):
        return self.args.only is None or part in self.args.only.split(",")

    def measure(self, series, run, fn):
        if series.failed:
            return
        print("  %-40s" % series.label, end="", flush=True)
        try:
            sample = fn()
        except CaseFailed as e:
            series.failed = str(e)
            self.failures.append("%s: %s" % (series.label, e))
            say("FAILED: %s -- this case is dropped" % e)
            shutil.rmtree(os.path.join(self.out, run), ignore_errors=True)
            return
        work = self.big_size / MIB if series.unit == "MiB/s" else self.args.files
        if series.work is not None:
            work = series.work
        if series.key == "load":
            work = self.load_files_total
        sample["speed"] = work / sample["seconds"]
        # Busy CPU of the machine that none of the measured processes used: other work,
        # kernel threads (writeback, I/O completion), this script.
        own = sum(v for k, v in sample.items() if k.startswith("cpu_") and v is not None)
        sample["other_cpu"] = max(0.0, sample.pop("busy") - own)
        series.runs.append(sample)
        say("%8.2f s %10.1f %s   (other CPU %.2f s)" % (sample["seconds"], sample["speed"],
                                                     series.unit, sample["other_cpu"]))

    def measure_latency(self):
        """Both modes, one after the other; the throughput services are stopped meanwhile."""
        self.stop_services()
        for mode in ("watch", "scan"):
            try:
                self.run_latency(mode)
            except CaseFailed as e:
                self.failures.append("latency, %s: %s" % (mode, e))
                say("  latency, %s: FAILED: %s" % (mode, e))

    def run(self):
        rounds = self.args.rounds
        gib = "%g GiB" % (self.big_size / (1 << 30)) if self.big_size >= (1 << 30) \
            else "%d MiB" % self.args.big_mib
        nfiles = "{:,}".format(self.args.files)
        self.gib = gib
        S = Series
        sr = self.series = {}

        def add(key, label, unit, procs):
            sr[key] = S(key, label, unit, procs)

        add("qk_big_plain", "qk_relay, %s, plain" % gib, "MiB/s", ("srv", "cln"))
        add("disk_direct", "disk O_DIRECT write, %s" % gib, "MiB/s", ("dd",))
        add("big_removal", "removal of a %s file (rm, after sync)" % gib, "MiB/s", ())
        add("socat_plain", "socat, %s, TCP" % gib, "MiB/s", ("recv", "send"))
        add("qk_big_tls", "qk_relay, %s, TLS" % gib, "MiB/s", ("srv", "cln"))
        add("socat_tls", "socat, %s, TLS 1.2" % gib, "MiB/s", ("recv", "send"))
        add("socat64_plain", "socat -b 65536, %s, TCP" % gib, "MiB/s", ("recv", "send"))
        add("socat64_tls", "socat -b 65536, %s, TLS 1.2" % gib, "MiB/s", ("recv", "send"))
        add("local_copy", "dd bs=64K (local copy), %s" % gib, "MiB/s", ("dd",))
        add("qk_small_plain", "qk_relay, %s files, plain" % nfiles, "files/s", ("srv", "cln"))
        add("rsync_fsync", "rsync --fsync, %s files" % nfiles, "files/s", ("daemon", "client"))
        add("qk_small_tls", "qk_relay, %s files, TLS" % nfiles, "files/s", ("srv", "cln"))
        add("rsync_nofsync", "rsync, %s files" % nfiles, "files/s", ("daemon", "client"))
        add("qk_small_back", "qk_relay, %s files, plain, backups" % nfiles, "files/s",
            ("srv", "cln"))
        add("svc_small", "qk_relay services, %s files, plain" % nfiles, "files/s",
            ("srvsvc", "clnsvc"))
        add("svc_small_metrics", "qk_relay services, metrics, %s files" % nfiles, "files/s",
            ("srvsvc", "clnsvc"))
        nload = self.args.load_clients * self.args.load_files
        add("load", "qk_relay, %d clients x %d files" % (self.args.load_clients,
                                                          self.args.load_files),
            "files/s", ("srv",))
        self.load_files_total = nload

        # Over a delayed link: every case through a delay proxy (rtt/2 ms each way, also at
        # 0 ms), ours plain and TLS against an rsync daemon behind a proxy of its own.
        wfiles, wmib = self.args.wan_files, self.args.wan_big_mib
        self.wan_rtts = [float(x) for x in self.args.wan_rtts.split(",") if x.strip()]
        wan_plan = []
        for rtt in self.wan_rtts:
            ms = "%g ms" % rtt
            k = "wan%g_" % rtt
            add(k + "small_plain", "qk_relay, %s, %d files, plain" % (ms, wfiles), "files/s",
                ("srv", "cln", "proxy"))
            add(k + "small_rsync", "rsync --fsync, %s, %d files" % (ms, wfiles), "files/s",
                ("daemon", "client", "proxy"))
            add(k + "small_tls", "qk_relay, %s, %d files, TLS" % (ms, wfiles), "files/s",
                ("srv", "cln", "proxy"))
            add(k + "big_plain", "qk_relay, %s, %d MiB, plain" % (ms, wmib), "MiB/s",
                ("srv", "cln", "proxy"))
            add(k + "big_rsync", "rsync --fsync, %s, %d MiB" % (ms, wmib), "MiB/s",
                ("daemon", "client", "proxy"))
            add(k + "big_tls", "qk_relay, %s, %d MiB, TLS" % (ms, wmib), "MiB/s",
                ("srv", "cln", "proxy"))
            for key in ("small_plain", "small_rsync", "small_tls"):
                sr[k + key].work = wfiles
            for key in ("big_plain", "big_rsync", "big_tls"):
                sr[k + key].work = wmib

            def small(root):
                return make_small(root, wfiles, self.args.dirs, 4096)

            def big(root):
                return make_big(root, wmib * MIB)

            def wan_rounds(k, rtt, small, big):
                return (
                    [(k + "small_plain", lambda run: self.run_qk(
                        sr[k + "small_plain"], run, True, False, rtt=rtt, make=small)),
                     (k + "small_rsync", lambda run: self.run_rsync(
                         sr[k + "small_rsync"], run, True, rtt=rtt, make=small)),
                     (k + "small_tls", lambda run: self.run_qk(
                         sr[k + "small_tls"], run, True, True, rtt=rtt, make=small))],
                    [(k + "big_plain", lambda run: self.run_qk(
                        sr[k + "big_plain"], run, False, False, rtt=rtt, make=big)),
                     (k + "big_rsync", lambda run: self.run_rsync(
                         sr[k + "big_rsync"], run, True, rtt=rtt, make=big, big=True)),
                     (k + "big_tls", lambda run: self.run_qk(
                         sr[k + "big_tls"], run, False, True, rtt=rtt, make=big))])

            small_wan, big_wan = wan_rounds(k, rtt, small, big)
            wan_plan.append(("wan, %s round trip through the delay proxy: %s files of 4 KiB "
                             "in %d directories" % (ms, "{:,}".format(wfiles), self.args.dirs),
                             small_wan))
            wan_plan.append(("wan, %s round trip through the delay proxy: one %d MiB file"
                             % (ms, wmib), big_wan))
        # The client's rate limit through the delay proxy: one round, whatever --rounds says.
        add("limit", "qk_relay --bwlimit=%s, %g ms, %d MiB" % (
            self.args.limit_rate, self.args.limit_rtt, self.args.limit_mib), "MiB/s",
            ("srv", "cln", "proxy"))
        sr["limit"].work = self.args.limit_mib
        limit_round = [("limit", lambda run: self.run_limit(sr["limit"], run))]
        # A transfer cut at half its bytes and sent again, with the receiver's resume and
        # without: one round, whatever --rounds says.
        for key, how in (("resume_on", "resume on"), ("resume_off", "resume off")):
            add(key, "qk_relay, cut at half, %d MiB, %s" % (self.args.resume_mib, how), "MiB/s",
                ("srv", "cln", "proxy"))
            sr[key].work = self.args.resume_mib
        resume_round = [
            ("resume_on", lambda run: self.run_resume(sr["resume_on"], run, True)),
            ("resume_off", lambda run: self.run_resume(sr["resume_off"], run, False))]
        add("loop_plain", "qk_relay, loopback, %s files, plain" % nfiles, "files/s",
            ("srv", "cln"))
        add("disk_serial", "disk serial rate, %s files" % nfiles, "files/s", ("tool",))
        wan_plan.append((
            "loopback without proxy: %s files of 1 KiB against the disk's serial rate"
            % nfiles,
            [("loop_plain", lambda run: self.run_qk(sr["loop_plain"], run, True, False)),
             ("disk_serial", lambda run: self.run_disk_rate(sr["disk_serial"], run))]))

        big_round = [
            ("qk_big_plain", lambda run: self.run_qk(sr["qk_big_plain"], run, False, False)),
            ("disk_direct", lambda run: self.run_disk_direct(sr["disk_direct"], run)),
            ("socat_plain", lambda run: self.run_socat(sr["socat_plain"], run, False)),
            ("qk_big_tls", lambda run: self.run_qk(sr["qk_big_tls"], run, False, True)),
            ("socat_tls", lambda run: self.run_socat(sr["socat_tls"], run, True)),
            ("big_removal", lambda run: self.run_big_removal(sr["big_removal"], run)),
        ]
        if self.args.extra:
            big_round += [
                ("socat64_plain", lambda run: self.run_socat(sr["socat64_plain"], run, False, 65536)),
                ("socat64_tls", lambda run: self.run_socat(sr["socat64_tls"], run, True, 65536)),
                ("local_copy", lambda run: self.run_local_copy(sr["local_copy"], run)),
            ]
        small_round = [
            ("qk_small_plain", lambda run: self.run_qk(sr["qk_small_plain"], run, True, False)),
            ("rsync_fsync", lambda run: self.run_rsync(sr["rsync_fsync"], run, True)),
            ("qk_small_tls", lambda run: self.run_qk(sr["qk_small_tls"], run, True, True)),
            ("rsync_nofsync", lambda run: self.run_rsync(sr["rsync_nofsync"], run, False)),
        ]

        services_round = [
            ("qk_small_back", lambda run: self.run_qk(sr["qk_small_back"], run, True, False, True)),
            ("svc_small", lambda run: self.run_services(sr["svc_small"], run)),
            ("svc_small_metrics",
             lambda run: self.run_services(sr["svc_small_metrics"], run, metrics=True)),
        ]
        load_round = [("load", lambda run: self.run_load(sr["load"], run))]

        self.start_server()
        if not self.check_tls_setups():
            for key in ("socat_tls", "socat64_tls"):
                sr[key].failed = "the socat TLS set-up check failed"
            self.failures.append("socat TLS: the set-up check failed")
        self.started = time.monotonic()
        plan = []
        if self.wants("big"):
            plan.append(("one %s file" % gib, big_round))
        if self.wants("small"):
            plan.append(("%s files of 1 KiB in %d directories" % (nfiles, self.args.dirs),
                         small_round))
        if self.wants("services"):
            try:
                self.start_services()
            except CaseFailed as e:
                for key in ("svc_small", "svc_small_metrics"):
                    sr[key].failed = str(e)
                self.failures.append("services: %s" % e)
            plan.append(("services: %s files of 1 KiB dropped into qk_relay_clnsvc's outgoing "
                         "directory, against the console client with backups" % nfiles,
                         services_round))
        if self.wants("latency"):
            plan.append(("latency: a 4 KiB file renamed into qk_relay_clnsvc's outgoing "
                         "directory every 20 ms for %g s, TLS" % self.args.latency_seconds,
                         self.measure_latency))
        if self.wants("load"):
            self.prepare_load_clients()
            plan.append(("load: %d console clients at once, %d files of 1 KiB each"
                         % (self.args.load_clients, self.args.load_files), load_round))
        if self.wants("wan"):
            plan += wan_plan
        if self.wants("limit"):
            say("Rate limit: " + self.proxy_cap_text())
            plan.append(("limit: one %d MiB file at --bwlimit=%s through the delay proxy "
                         "(%g ms round trip), plain; one round only" % (
                             self.args.limit_mib, self.args.limit_rate, self.args.limit_rtt),
                         limit_round, 1))
        if self.wants("resume"):
            plan.append(("resume: one %d MiB file, plain, through the delay proxy (%g ms round "
                         "trip) that resets the first connection at half the file, with the "
                         "receiver's resume and without; one round only"
                         % (self.args.resume_mib, RESUME_RTT), resume_round, 1))
        if self.wants("keep"):
            plan.append(("keep: a 4 KiB file renamed into qk_relay_clnsvc's outgoing directory "
                         "every 2 s for %g s, TLS through the delay proxy (%g ms round trip), "
                         "keep_alive default and 0; one round only"
                         % (self.args.keep_seconds, KEEP_RTT), self.measure_keep, 1))
        for title, schedule, *once in plan:
            for r in range(1, (once[0] if once else rounds) + 1):
                say("\nRound %d/%d: %s" % (r, once[0] if once else rounds, title))
                if callable(schedule):
                    schedule()
                    continue
                for key, fn in schedule:
                    run = "r%d_%s" % (r, key)
                    self.measure(sr[key], run, lambda: fn(run))
        self.elapsed = time.monotonic() - self.started
        self.stop_services()
        rc = self.stop(self.server, signal.SIGINT)
        self.server = None
        if rc != 0:
            self.notes.append("qk_relay_srv ended with exit code %s when stopped" % rc)

    # ------------------------------------------------------------ the report

    def rows(self):
        sr = self.series
        gib = self.gib
        nfiles = "{:,}".format(self.args.files)
        # Targets: the least ratio ours/peer; None for rows kept for comparison.
        pairs = [
            ("%s, plain TCP: qk_relay vs the disk's O_DIRECT write (dd bs=1M oflag=direct, "
             "fsync)" % gib, "qk_big_plain", "disk_direct"),
            ("%s, TLS: qk_relay vs the disk's O_DIRECT write (dd bs=1M oflag=direct, fsync)"
             % gib, "qk_big_tls", "disk_direct"),
            ("%s, plain TCP: qk_relay vs socat" % gib, "qk_big_plain", "socat_plain"),
            ("%s, TLS: qk_relay vs socat (TLS 1.2)" % gib, "qk_big_tls", "socat_tls"),
            ("%s, plain TCP: qk_relay vs socat -b 65536" % gib, "qk_big_plain", "socat64_plain"),
            ("%s, TLS: qk_relay vs socat -b 65536 (TLS 1.2)" % gib, "qk_big_tls", "socat64_tls"),
            ("%s, plain TCP: qk_relay vs a local copy (dd bs=64K, no network)" % gib, "qk_big_plain",
             "local_copy"),
            ("%s × 1 KiB, plain: qk_relay vs rsync --fsync" % nfiles, "qk_small_plain", "rsync_fsync"),
            ("%s × 1 KiB, TLS: qk_relay vs rsync --fsync" % nfiles, "qk_small_tls", "rsync_fsync"),
            ("%s × 1 KiB, plain: qk_relay vs rsync (no --fsync)" % nfiles, "qk_small_plain",
             "rsync_nofsync"),
            ("%s, TLS: qk_relay vs a local copy (dd bs=64K, no network)" % gib, "qk_big_tls",
             "local_copy"),
            ("%s × 1 KiB, plain: services (clnsvc → srvsvc) vs console client, both backing up"
             % nfiles, "svc_small", "qk_small_back"),
            ("%s × 1 KiB, plain: services with metrics (both scraped every second) vs without"
             % nfiles, "svc_small_metrics", "svc_small"),
            ("%d clients × %d files at once: aggregate vs one client (%s files)"
             % (self.args.load_clients, self.args.load_files, nfiles), "load", "qk_small_plain"),
        ]
        targets = {"disk_direct": {"qk_big_plain": 0.9, "qk_big_tls": 0.75},
                   "local_copy": {"qk_big_plain": 0.8, "qk_big_tls": 0.65},
                   "rsync_fsync": {"qk_small_plain": 1.3, "qk_small_tls": 1.15},
                   "qk_small_back": {"svc_small": 1.0},
                   "svc_small": {"svc_small_metrics": 0.98},
                   "disk_serial": {"loop_plain": 1.0},
                   "wan50_small_rsync": {"wan50_small_plain": 1.5, "wan50_small_tls": 1.5},
                   "wan50_big_rsync": {"wan50_big_plain": 1.0, "wan50_big_tls": 1.0}}
        wfiles = "{:,}".format(self.args.wan_files)
        for rtt in self.wan_rtts:
            k = "wan%g_" % rtt
            for link in ("plain", "tls"):
                pairs.append(("%g ms RTT (proxy), %s × 4 KiB, %s: qk_relay vs rsync --fsync"
                              % (rtt, wfiles, "TLS" if link == "tls" else link),
                              k + "small_" + link, k + "small_rsync"))
            for link in ("plain", "tls"):
                pairs.append(("%g ms RTT (proxy), %d MiB, %s: qk_relay vs rsync --fsync"
                              % (rtt, self.args.wan_big_mib, "TLS" if link == "tls" else link),
                              k + "big_" + link, k + "big_rsync"))
        pairs.append(("%s × 1 KiB, loopback, plain: qk_relay vs the disk's serial rate "
                      "(create, write, fsync file, fsync dir)" % nfiles, "loop_plain",
                      "disk_serial"))
        rows = []
        limit = self.limit_figures()
        if limit is not None or sr["limit"].failed:
            ours = sr["limit"]
            o_rss, o_cpu = ours.resources()
            rows_limit = [[
                "--bwlimit=%s, %g ms RTT (proxy), %d MiB, plain: achieved rate vs the limit, "
                "client start to exit (one round)" % (self.args.limit_rate, self.args.limit_rtt,
                                                      self.args.limit_mib),
                ours.speed_text(), "%.4g MiB/s (the limit)" % (self.limit_rate / MIB),
                "%.3f" % (limit["client"] / limit["limit"]) if limit else "-",
                self.limit_target(limit["client"], limit["limit"]) if limit
                else "within 5 %: -", "%s; %s" % (o_rss, o_cpu), "-"]]
        else:
            rows_limit = []
        on, off = sr["resume_on"], sr["resume_off"]
        if on.runs or off.runs or on.failed or off.failed:
            size = self.args.resume_mib * MIB

            def share(series):
                if series.failed:
                    return "FAILED"
                if not series.runs:
                    return "-"
                return "%.1f %% of the file" % (100.0 * series.runs[-1]["after_cut"] / size)

            ratio = "-"
            if on.runs and off.runs and not on.failed and not off.failed:
                ratio = "%.2f" % (on.runs[-1]["after_cut"] / off.runs[-1]["after_cut"])
            target = "at most 55 %: -"
            if on.runs and not on.failed:
                got = 100.0 * on.runs[-1]["after_cut"] / size
                target = "at most 55 %%: %.1f %% (%s)" % (got, "met" if got <= 55 else "NOT met")
            o_rss, o_cpu = on.resources()
            p_rss, p_cpu = off.resources()
            rows_limit.append([
                "cut at half, %g ms RTT (proxy), %d MiB, plain: bytes sent up again after the "
                "cut, resume on vs off (one round)" % (RESUME_RTT, self.args.resume_mib),
                share(on), share(off), ratio, target, "%s; %s" % (o_rss, o_cpu),
                "%s; %s" % (p_rss, p_cpu)])
        for title, ours_key, peer_key in pairs:
            ours, peer = sr[ours_key], sr[peer_key]
            if not ours.runs and not peer.runs and not ours.failed and not peer.failed:
                continue
            ratio = "-"
            if ours.runs and peer.runs and not ours.failed and not peer.failed:
                ratio = "%.2f" % (ours.median("speed") / peer.median("speed"))
            o_rss, o_cpu = ours.resources()
            p_rss, p_cpu = peer.resources()
            rows.append([title, ours.speed_text(), peer.speed_text(), ratio,
                         self.target_text(ours_key, peer_key, ratio, targets),
                         "%s; %s" % (o_rss, o_cpu), "%s; %s" % (p_rss, p_cpu)])
        return rows + rows_limit

    def target_text(self, ours_key, peer_key, ratio, targets):
        """The row's target and how far the run got: ratio/target (met at 1.00 or more)."""
        if ours_key == "load":
            rss = self.series["load"].median("rss_srv")
            if rss is None or self.series["load"].failed:
                return "no loss, srv RSS < 50 MB: -"
            mb = rss * 1024 / 1e6
            return "no loss, srv RSS < 50 MB: %.1f MB, %.2f of it (%s)" % (
                mb, mb / 50, "met" if mb < 50 else "NOT met")
        target = targets.get(peer_key, {}).get(ours_key)
        if target is None:
            return "-"
        if ratio == "-":
            return "≥ %.2f: -" % target
        got = float(ratio) / target
        return "≥ %.2f: %.2f of it (%s)" % (target, got, "met" if got >= 1 else "NOT met")

    def run_lines(self):
        lines = []
        for s in self.series.values():
            if s.failed:
                lines.append((s.label, "FAILED: " + s.failed))
            elif s.runs:
                spread = s.spread_text()
                lines.append((s.label, ", ".join("%.2f s" % r["seconds"] for r in s.runs)
                              + ("  [%s]" % spread if spread else "")
                              + "  (other CPU: %s)" % ", ".join(
                                  "%.2f s" % r["other_cpu"] for r in s.runs)))
        return lines

    def removal_note(self):
        """How much of our client's big-file time the removal of the sent file takes (the
        client exits after it; the O_DIRECT write leaves its source alone), or None."""
        removal = self.series["big_removal"]
        seconds = removal.median("seconds")
        if removal.failed or seconds is None:
            return None
        shares = []
        for key, link in (("qk_big_plain", "plain"), ("qk_big_tls", "TLS")):
            ours = self.series[key].median("seconds")
            if ours and not self.series[key].failed:
                shares.append("%.0f %% of qk_relay %s's median (%.2f s)"
                              % (100 * seconds / ours, link, ours))
        return ("removal of the sent %s file (median %.2f s; in our client's time, not in "
                "the O_DIRECT write's)%s" % (self.gib, seconds,
                                             ": " + ", ".join(shares) if shares else ""))

    def cpu_per_gib_text(self):
        """Median CPU seconds per GiB at each end of every case of the big part, or None."""
        gib = self.big_size / (1 << 30)
        parts = []
        for key in BIG_CASES:
            s = self.series[key]
            if s.failed or not s.runs:
                continue
            ends = []
            for proc in s.procs:
                cpu = s.median("cpu_" + proc)
                ends.append("%s %s" % (proc, fmt_cpu(None if cpu is None else cpu / gib)))
            name = s.label.replace(", " + self.gib, "").replace(",", "")
            parts.append("%s %s" % (name, ", ".join(ends)))
        return "CPU per GiB (median): " + "; ".join(parts) if parts else None

    def report(self):
        header = ["Case", "Ours (median)", "Peer (median)", "Ours/peer", "Target",
                  "Ours: peak RSS; CPU user+sys", "Peer: peak RSS; CPU user+sys"]
        rows = self.rows()
        widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
        say("\nResults (medians of %d rounds; speed ratio ours/peer, above 1 = ours faster)"
            % self.args.rounds)
        line = "  ".join(h.ljust(w) for h, w in zip(header, widths))
        say(line)
        say("-" * len(line))
        for r in rows:
            say("  ".join(str(c).ljust(w) for c, w in zip(r, widths)))
        cpu_per_gib = self.cpu_per_gib_text()
        if cpu_per_gib:
            say(cpu_per_gib)
        removal = self.removal_note()
        if removal:
            self.notes.append(removal)
        if self.noisy:
            self.notes.append("%d run(s) started while other work kept the machine busy "
                              "(waited %g s for it to settle)" % (self.noisy, self.args.quiet_wait))
        say("\nEvery run (seconds, in the order measured; other CPU = busy CPU time of the "
            "machine during the run that the measured processes did not use):")
        lines = self.run_lines()
        width = max([34] + [len(label) for label, _text in lines])
        for label, text in lines:
            say("  %-*s %s" % (width, label, text))
        latency = self.latency_rows()
        if latency:
            say("\nPick-up latency, rename into the outgoing directory -> placed at the "
                "receiver (ms, all rounds pooled):")
            for r in latency:
                say("  %-50s %6d files  p50 %7s  p99 %7s  max %7s  %s" % tuple(r))
        limit = self.limit_lines()
        if limit:
            say("\nRate limit:")
            for line in limit:
                say("  " + line)
        resume = self.resume_lines()
        if resume:
            say("\nA transfer cut at half and sent again:")
            for line in resume:
                say("  " + line)
        keep = self.keep_rows()
        if keep:
            say("\nKept connection, rename -> placed at the receiver (ms) and TLS handshakes "
                "(connections the proxy accepted during the run; start-up apart):")
            for r in keep:
                say("  %-38s %4d files  p50 %7s  p99 %7s  max %7s  handshakes %3d  "
                    "(start-up %d)  %s" % tuple(r))
        for note in self.notes:
            say("  note: " + note)
        if self.failures:
            say("\nFAILED cases (no speed reported):")
            for f in self.failures:
                say("  " + f)
        self.write_markdown(header, rows)

    def machine_text(self):
        cpu = "?"
        try:
            with open("/proc/cpuinfo") as f:
                for line in f:
                    if line.startswith("model name"):
                        cpu = line.split(":", 1)[1].strip()
                        break
        except OSError:
            pass
        mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1 << 30)
        return "%d cores (%s), %.0f GiB memory, Linux %s, work disk %s" % (
            os.cpu_count(), cpu, mem, platform.release(), self.fs_kind)

    def write_markdown(self, header, rows):
        now = datetime.datetime.now()
        results = os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")
        os.makedirs(results, exist_ok=True)
        path = os.path.join(results, now.strftime("%Y-%m-%d") + ".md")
        md = ["## %s, commit %s" % (now.strftime("%Y-%m-%d %H:%M"), self.args.sources), ""]
        md.append("`%s` — %d rounds, %s; load average at start %s, at end %s; "
                  "measured part %.0f s." % (
                      " ".join(["bench/run.sh"] + self.args.passed), self.args.rounds,
                      self.machine_text(), self.load_start, self.load_end, self.elapsed))
        md.append("")
        md.append("Speed ratio ours/peer: above 1 means ours is faster.")
        md.append("")
        md.append("| " + " | ".join(header) + " |")
        md.append("|" + "|".join(["---"] + ["---:"] * 3 + ["---"] * 3) + "|")
        for r in rows:
            md.append("| " + " | ".join(str(c) for c in r) + " |")
        md.append("")
        cpu_per_gib = self.cpu_per_gib_text()
        if cpu_per_gib:
            md += [cpu_per_gib + ".", ""]
        latency = self.latency_rows()
        if latency:
            md.append("Pick-up latency of the client service over TLS: a 4 KiB file renamed "
                      "into its outgoing directory every 20 ms for %g s, each round; time from "
                      "the rename to the file's placement under its name at qk_relay_srvsvc "
                      "(its ctime, to the kernel's timestamp granularity), all rounds pooled:"
                      % self.args.latency_seconds)
            md.append("")
            md.append("| Client service | Files | p50 ms | p99 ms | max ms | Target |")
            md.append("|---|---:|---:|---:|---:|---|")
            for r in latency:
                md.append("| " + " | ".join(str(c) for c in r) + " |")
            md.append("")
        def bullets(heading, lines):
            if lines:
                md.extend([heading, ""] + ["- " + line for line in lines] + [""])

        bullets("Rate limit:", self.limit_lines())
        bullets("A transfer cut at half and sent again: one %d MiB file, plain, through "
                "the delay proxy at %g ms round trip, which resets the first connection "
                "once half the file's bytes reached the receiver; the bytes are those "
                "the proxy counted up on the connections after the first:"
                % (self.args.resume_mib, RESUME_RTT), self.resume_lines())
        keep = self.keep_rows()
        if keep:
            md.append("Kept connection of the client service over TLS through the delay proxy "
                      "at %g ms round trip: a 4 KiB file renamed into its outgoing directory "
                      "every 2 s for %g s; pick-up latency from the rename to the file's "
                      "placement at qk_relay_srvsvc (its ctime), and TLS handshakes: the "
                      "connections the proxy accepted from the first rename until the last "
                      "file was placed (each connection to the TLS port is one handshake; the "
                      "receiver logs its \"Connection Thread Started\" at DEBUG only), the "
                      "services' start-up connections apart:"
                      % (KEEP_RTT, self.args.keep_seconds))
            md.append("")
            md.append("| Client service | Files | p50 ms | p99 ms | max ms | Handshakes | "
                      "Start-up connections | Target |")
            md.append("|---|---:|---:|---:|---:|---:|---:|---|")
            for r in keep:
                md.append("| " + " | ".join(str(c) for c in r) + " |")
            md.append("")
        md.append("Every run, in seconds, in the order measured (other CPU: busy CPU time of the "
                  "machine during the run that the measured processes did not use):")
        md.append("")
        for label, text in self.run_lines():
            md.append("- %s: %s" % (label, text))
        md.append("")
        for note in self.notes + ["layout: " + self.layout]:
            md.append("- " + note)
        if self.failures:
            md.append("")
            md.append("**Failed cases (no speed reported):**")
            md.append("")
            for f in self.failures:
                md.append("- " + f)
        md.append("")
        with open(path, "a") as f:
            f.write("\n".join(md) + "\n")
        say("\nMarkdown appended to %s" % path)


def inodes_per_group(path):
    """Inodes per block group of the ext4 file system holding `path`, or None."""
    try:
        dev = os.stat(path).st_dev
        for name in os.listdir("/proc/fs/ext4"):
            try:
                if os.stat("/dev/" + name).st_rdev != dev:
                    continue
            except OSError:
                continue
            with open("/proc/fs/ext4/%s/mb_groups" % name) as f:
                groups = sum(1 for line in f if line.startswith("#") and line[1:2].isdigit())
            if groups:
                return os.statvfs(path).f_files // groups
    except OSError:
        pass
    return None


def main(argv):
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--stage", required=True, help="staged install tree of the build")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--big-mib", type=int, default=1024)
    p.add_argument("--files", type=int, default=10000)
    p.add_argument("--dirs", type=int, default=10)
    p.add_argument("--only",
                   help="big, small, services, latency, load, wan, limit, resume, keep, or "
                        "several with commas")
    p.add_argument("--latency-seconds", type=float, default=30)
    p.add_argument("--load-clients", type=int, default=20)
    p.add_argument("--load-files", type=int, default=500)
    p.add_argument("--wan-rtts", default="0,10,50",
                   help="round-trip times (ms) of the wan part, with commas")
    p.add_argument("--wan-files", type=int, default=1000, help="files of 4 KiB in the wan part")
    p.add_argument("--wan-big-mib", type=int, default=64, help="size of the wan part's big file")
    p.add_argument("--wan-window-bytes", type=int, default=4 << 20,
                   help="bytes the delay proxy holds per direction at most")
    p.add_argument("--limit-rate", default="10M",
                   help="the client's --bwlimit in the limit part (bytes/s, K/M/G = 1024^n)")
    p.add_argument("--limit-mib", type=int, default=300,
                   help="size of the limit part's file (300 MiB: about 30 s at 10M)")
    p.add_argument("--limit-rtt", type=float, default=50,
                   help="round trip (ms) of the delay proxy in the limit part")
    p.add_argument("--resume-mib", type=int, default=1024,
                   help="size of the file cut and sent again (--only resume)")
    p.add_argument("--keep-seconds", type=float, default=60,
                   help="how long files are dropped for the kept connection (--only keep)")
    p.add_argument("--work-root", required=True)
    p.add_argument("--lock-wait", type=float, default=600)
    p.add_argument("--quiet-wait", type=float, default=120)
    p.add_argument("--keep", action="store_true")
    p.add_argument("--no-extra", dest="extra", action="store_false",
                   help="skip socat with 64 KiB blocks and the local copy")
    p.add_argument("--sources", default="unknown", help="commit the programs were built from")
    p.add_argument("--passed", nargs=argparse.REMAINDER, default=[])
    args = p.parse_args(argv)
    if min(args.rounds, args.big_mib, args.files, args.dirs, args.wan_files, args.wan_big_mib,
           args.wan_window_bytes, args.resume_mib) < 1 or args.keep_seconds < 4:
        p.error("--rounds, --big-mib, --files, --dirs, --resume-mib and the --wan- sizes take "
                "positive numbers, --keep-seconds 4 or more")
    try:
        if any(float(x) < 0 for x in args.wan_rtts.split(",") if x.strip()):
            raise ValueError
    except ValueError:
        p.error("--wan-rtts takes round-trip times in ms (0 or more) with commas")
    found = re.fullmatch(r"([1-9][0-9]*)([KMGkmg]?)", args.limit_rate)
    if not found or args.limit_mib < 1 or args.limit_rtt < 0:
        p.error("--limit-rate takes a rate like 10M, --limit-mib a positive number of MiB, "
                "--limit-rtt a round trip in ms (0 or more)")
    bench = Bench(args)
    bench.limit_rate = int(found.group(1)) * 1024 ** " KMG".index(
        (found.group(2) or " ").upper())
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        bench.load_start = "%.2f" % os.getloadavg()[0]
        bench.prepare()
        say("Programs built from commit %s" % args.sources)
        say("Layout: " + bench.layout)
        bench.run()
        bench.load_end = "%.2f" % os.getloadavg()[0]
        bench.report()
    except BaseException:
        bench.keep = True
        raise
    finally:
        bench.cleanup()
    return 1 if bench.failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
