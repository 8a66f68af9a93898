#!/usr/bin/env python3
"""How many small files a directory's disk makes durable one after another per second.

For each file, in turn: create it, write --size bytes, fsync the file, fsync the directory.
That is the least a receiver does for a file it must not lose before it acknowledges it, so
the figure is the ceiling of a receiver that handles one file at a time on that disk. The
files are made in a fresh sub-directory of --dir and removed afterwards (not timed), or left
there with --keep (a benchmark that keeps what its receivers wrote keeps these too).

    bench/disk_serial_rate.py --dir /var/tmp [--files 2000] [--size 1024] [--keep]
"""

import argparse
import os
import shutil
import statistics
import tempfile
import time


def main():
    p = argparse.ArgumentParser(description="Serial rate of durable small files in a directory.")
    p.add_argument("--dir", required=True, help="directory on the disk to measure")
    p.add_argument("--files", type=int, default=2000)
    p.add_argument("--size", type=int, default=1024, help="bytes per file")
    p.add_argument("--keep", action="store_true", help="leave the files in place")
    args = p.parse_args()

    work = tempfile.mkdtemp(prefix="disk_serial_rate.", dir=args.dir)
    data = os.urandom(args.size)
    times = []
    try:
        dir_fd = os.open(work, os.O_RDONLY | os.O_DIRECTORY)
        os.fsync(dir_fd)
        start = time.monotonic()
        for i in range(args.files):
            t = time.monotonic()
            fd = os.open("f%06d" % i, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644, dir_fd=dir_fd)
            try:
                view = memoryview(data)
                while view:
                    view = view[os.write(fd, view):]
                os.fsync(fd)
            finally:
                os.close(fd)
            os.fsync(dir_fd)
            times.append(time.monotonic() - t)
        elapsed = time.monotonic() - start
        os.close(dir_fd)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)

    times.sort()
    print("%s: %d files of %d bytes, create+write+fsync(file)+fsync(dir) one after another"
          % (args.dir, args.files, args.size))
    print("%.2f s, %.0f files/s; per file: median %.2f ms, p99 %.2f ms, max %.2f ms"
          % (elapsed, args.files / elapsed, statistics.median(times) * 1000,
             times[min(len(times) - 1, int(0.99 * len(times)))] * 1000, times[-1] * 1000))


if __name__ == "__main__":
    main()
