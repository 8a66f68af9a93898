#!/usr/bin/env bash
# Writes seed inputs for frame_reader_fuzzer into the given directory: valid conversations
# encoded as the fuzzer reads them (each read is a length byte n, then n + 1 bytes).
set -euo pipefail
out=${1:?usage: make_seeds.sh DIR}
mkdir -p "$out"
python3 - "$out" <<'PY'
import struct, sys, zlib, os
out = sys.argv[1]

def header(name, sub, size):
    n, s = name.encode(), sub.encode()
    total = len(s) + len(n) + 1 + 25
    rec = struct.pack('<H6xQH', total, size, len(n) + 1) + n + b'\0' + s + b'\0' + b'\0' * 6
    return b'\x01' + rec

def finished(data):
    return b'\x03' + struct.pack('<I', zlib.crc32(data) & 0xffffffff)

def reads(*chunks):
    out = b''
    for c in chunks:
        while c:
            piece, c = c[:256], c[256:]
            out += bytes([len(piece) - 1]) + piece
    return out

seeds = {
    'empty_file': reads(header('e.txt', '', 0), finished(b''), b'\x04'),
    'one_byte': reads(header('a', 'x\\y', 1), b'z', finished(b'z'), b'\x04'),
    'two_files': reads(header('f1', 'd', 3), b'abc', finished(b'abc'),
                       header('f2', 'd/e', 2), b'hi', finished(b'hi'), b'\x04'),
    'finished_all': reads(b'\x04'),
    'stray_data': reads(b'\x02\x01\x02', b'\x04'),
}
for name, data in seeds.items():
    with open(os.path.join(out, name), 'wb') as f:
        f.write(data)
PY
