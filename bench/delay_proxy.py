#!/usr/bin/env python3
"""A TCP proxy on loopback that makes a link look far away.

Every chunk read from one side is held --delay-ms before it is written to the other side, in
each direction, so a round trip through the proxy takes at least twice that. The bytes held
per direction are bounded by --window-bytes: when the bound is reached the proxy stops
reading from that side until some of them are delivered, which caps the rate near
window / delay as a TCP window would (the kernel's socket buffers on both legs come on top).
Order is kept. When one side shuts down its writing, the other side gets the same once
everything before it has been delivered; a connection ends when both directions have.

--cut-after-bytes N resets a connection (both legs, SO_LINGER 0) once N bytes from the client
have reached the target: the target sees exactly N bytes, then the reset. With
--cut-connections K only the first K connections accepted are cut; later ones (a sender's
retry) pass whole.

    bench/delay_proxy.py --listen PORT --target HOST:PORT --delay-ms D
                         [--window-bytes 4194304] [--cut-after-bytes N [--cut-connections K]]
                         [--verbose]

--listen 0 takes a free port; the one line printed at start names it.
"""

import argparse
import asyncio
import collections
import socket
import struct
import sys
import time

CHUNK = 65536


def log(message):
    print("delay_proxy: %s" % message, file=sys.stderr, flush=True)


def tune(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


def reset(writer):
    """Ends a leg abruptly: a reset instead of an orderly close."""
    sock = writer.get_extra_info("socket")
    if sock is not None:
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
    writer.transport.abort()


class Direction:
    """One way through the proxy: a reader that queues chunks, a writer that delivers them late."""

    def __init__(self, conn, name, reader, writer, cut_after=None):
        self.conn = conn
        self.name = name
        self.reader = reader
        self.writer = writer
        self.queue = collections.deque()    # (due time, bytes, or None for the end, or "cut")
        self.held = 0
        self.changed = asyncio.Event()
        self.cut_after = cut_after
        self.passed = 0

    async def read(self):
        args = self.conn.args
        window = args.window_bytes
        delay = args.delay_ms / 1000.0
        while True:
            while self.held >= window:
                self.changed.clear()
                await self.changed.wait()
            data = await self.reader.read(min(CHUNK, window - self.held))
            due = time.monotonic() + delay
            if not data:
                self.push((due, None))
                return
            if self.cut_after is not None and self.passed + len(data) >= self.cut_after:
                data = data[:self.cut_after - self.passed]
                self.passed += len(data)
                if data:
                    self.push((due, data))
                self.push((due, "cut"))
                return
            self.passed += len(data)
            self.push((due, data))

    def push(self, item):
        if isinstance(item[1], bytes):
            self.held += len(item[1])
        self.queue.append(item)
        self.changed.set()

    async def write(self):
        while True:
            while not self.queue:
                self.changed.clear()
                await self.changed.wait()
            due, data = self.queue[0]
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            self.queue.popleft()
            if data is None:
                if self.writer.can_write_eof():
                    self.writer.write_eof()
                return
            if data == "cut":
                self.conn.cut(self.passed)
                raise ConnectionAbortedError("cut after %d bytes from the client" % self.passed)
            self.writer.write(data)
            await self.writer.drain()
            self.held -= len(data)
            self.changed.set()


class Connection:
    def __init__(self, args, number):
        self.args = args
        self.number = number
        self.legs = []

    def cut(self, passed):
        if self.args.verbose:
            log("#%d cut after %d bytes from the client" % (self.number, passed))
        for writer in self.legs:
            reset(writer)

    async def run(self, client_reader, client_writer):
        host, port = self.args.target
        try:
            server_reader, server_writer = await asyncio.open_connection(host, port)
        except OSError as e:
            if self.args.verbose:
                log("#%d cannot reach %s:%d: %s" % (self.number, host, port, e))
            reset(client_writer)
            return
        self.legs = [client_writer, server_writer]
        for writer in self.legs:
            tune(writer)
        cut_after = self.args.cut_after_bytes
        if self.args.cut_connections is not None and self.number > self.args.cut_connections:
            cut_after = None
        up = Direction(self, "up", client_reader, server_writer, cut_after)
        down = Direction(self, "down", server_reader, client_writer)
        tasks = [asyncio.ensure_future(t) for t in (up.read(), up.write(), down.read(), down.write())]
        failed = []
        try:
            # A failure anywhere (a reset, a broken pipe, a cut) ends both legs at once.
            done, pending = await asyncio.wait(tasks, return_when=asyncio.FIRST_EXCEPTION)
            failed = [t for t in done if t.exception() is not None]
            if failed and self.args.verbose:
                log("#%d ended: %s" % (self.number, failed[0].exception()))
        finally:
            for t in tasks:
                t.cancel()
            for writer in self.legs:
                if failed:
                    writer.transport.abort()
                else:
                    writer.close()
        if self.args.verbose:
            log("#%d closed: %d bytes up, %d bytes down" % (self.number, up.passed, down.passed))


async def main(args):
    count = 0

    async def accept(reader, writer):
        nonlocal count
        count += 1
        number = count
        if args.verbose:
            log("#%d from %s:%d" % ((number,) + writer.get_extra_info("peername")[:2]))
        await Connection(args, number).run(reader, writer)

    server = await asyncio.start_server(accept, "127.0.0.1", args.listen)
    port = server.sockets[0].getsockname()[1]
    print("delay_proxy: listening on 127.0.0.1:%d -> %s:%d, %g ms each way, window %d bytes%s"
          % (port, args.target[0], args.target[1], args.delay_ms, args.window_bytes,
             ", cut after %d bytes up" % args.cut_after_bytes
             if args.cut_after_bytes is not None else "")
          + (" of the first %d connection(s)" % args.cut_connections
             if args.cut_after_bytes is not None and args.cut_connections is not None else ""),
          flush=True)
    async with server:
        await server.serve_forever()


def target(text):
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit():
        raise argparse.ArgumentTypeError("HOST:PORT expected")
    return host, int(port)


def parse():
    p = argparse.ArgumentParser(description="TCP proxy that holds every chunk a fixed time.")
    p.add_argument("--listen", type=int, required=True, help="port on 127.0.0.1 (0: any free one)")
    p.add_argument("--target", type=target, required=True, help="HOST:PORT to forward to")
    p.add_argument("--delay-ms", type=float, required=True, help="hold time in each direction")
    p.add_argument("--window-bytes", type=int, default=4 << 20,
                   help="most bytes held per direction (default 4 MiB)")
    p.add_argument("--cut-after-bytes", type=int, default=None,
                   help="reset a connection once this many client bytes reached the target")
    p.add_argument("--cut-connections", type=int, default=None,
                   help="cut only the first this many connections (default: every one)")
    p.add_argument("--verbose", action="store_true", help="a line per connection")
    args = p.parse_args()
    if args.delay_ms < 0 or args.window_bytes < 1:
        p.error("--delay-ms must be >= 0 and --window-bytes >= 1")
    if args.cut_after_bytes is not None and args.cut_after_bytes < 0:
        p.error("--cut-after-bytes must be >= 0")
    if args.cut_connections is not None and args.cut_connections < 0:
        p.error("--cut-connections must be >= 0")
    return args


if __name__ == "__main__":
    try:
        asyncio.run(main(parse()))
    except KeyboardInterrupt:
        pass
