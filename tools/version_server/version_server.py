#!/usr/bin/env python3
"""Stand-in version server for the DoreraRarede Launcher, for demos and test runs.

Serves, on 127.0.0.1 only:
  * the address exchange (cmd 1): answers with its own address as addr0;
  * the action report (cmd 7): reads and logs it (no answer);
  * solo files (cmd 4): 129 -> vcredist_x86.exe, 130 -> simhei.ttf from --solo-dir;
  * launch files (cmd 3): compares the Launcher's MD5 checksums with the files of
    --launch-dir and sends every file whose checksum differs.

The launch folder holds the files as the Launcher should have them, relative to the
Launcher's folder; --slot NAME=N fixes the slot of a file (default: the order of
--slot options, then sorted names after them). Slot 0 is the Launcher itself.

Usage:
  version_server.py --port 0 --launch-dir DIR [--solo-dir DIR] [--slot NAME=N ...]
                    [--port-file FILE] [--once] [--delay-ms N]
--port 0 picks a free port; --port-file writes the chosen port there. --once ends the
server after the first launch-file answer has been sent and its connection closed.
--delay-ms waits that long before each answer, so that a person (or a screenshot) can
follow the Launcher's dialog.
"""
import argparse
import hashlib
import os
import socketserver
import struct
import sys
import threading
import time
import zlib

SOLO_NAMES = {129: "vcredist_x86.exe", 130: "simhei.ttf"}
MAX_LAUNCH_FILES = 30


def log(text):
    sys.stderr.write("version_server: %s\n" % text)
    sys.stderr.flush()


def file_message(index, name, data):
    """An 80-byte header (index, compSize, origSize, crc, 64-byte name) and zlib data."""
    packed = zlib.compress(data, 6)
    raw_name = name.encode("gbk")[:64]
    header = struct.pack("<IIII64s", index, len(packed), len(data),
                         zlib.crc32(data) & 0xFFFFFFFF, raw_name)
    return header + packed


class LaunchFiles:
    """The launch files as slots: slot -> (name on the Launcher side, path on disk)."""

    def __init__(self, folder, fixed_slots):
        self.slots = {}
        if not folder:
            return
        names = []
        for root, _dirs, files in os.walk(folder):
            for file_name in files:
                path = os.path.join(root, file_name)
                names.append(os.path.relpath(path, folder).replace(os.sep, "\\"))
        used = set()
        for name, slot in fixed_slots.items():
            if name in names:
                self.slots[slot] = name
                used.add(slot)
        next_slot = 1
        for name in sorted(names):
            if name in self.slots.values():
                continue
            while next_slot in used:
                next_slot += 1
            self.slots[next_slot] = name
            used.add(next_slot)
        self.folder = folder

    def changed(self, checksums):
        """Messages for every slot whose local checksum differs."""
        messages = []
        for slot in sorted(self.slots):
            name = self.slots[slot]
            with open(os.path.join(self.folder, name.replace("\\", os.sep)), "rb") as source:
                data = source.read()
            theirs = checksums[slot] if slot < len(checksums) else b"\0" * 16
            if hashlib.md5(data).digest() != theirs:
                messages.append(file_message(slot, name, data))
        return messages[:MAX_LAUNCH_FILES]


class Handler(socketserver.BaseRequestHandler):
    def recv_exact(self, count):
        data = b""
        while len(data) < count:
            piece = self.request.recv(count - len(data))
            if not piece:
                raise EOFError
            data += piece
        return data

    def handle(self):
        server = self.server
        self.request.settimeout(60)
        log("connection from %s:%d" % self.client_address)
        try:
            while True:
                cmd, param = struct.unpack("<HH", self.recv_exact(4))
                if server.delay_ms:
                    time.sleep(server.delay_ms / 1000.0)
                if cmd == 1:
                    address = ("%s:%d" % server.server_address).encode()
                    body = address.ljust(32, b"\0") + b"\0" * 96
                    self.request.sendall(struct.pack("<HH", 0x81, 1) + body)
                    log("address exchange")
                elif cmd == 7:
                    user_id, mac = struct.unpack("<I8s", self.recv_exact(12))
                    log("action report agent %d mac %s" % (user_id, mac.hex()))
                elif cmd == 4:
                    name = SOLO_NAMES.get(param)
                    path = os.path.join(server.solo_dir, name) if server.solo_dir and name else None
                    if path and os.path.isfile(path):
                        with open(path, "rb") as source:
                            data = source.read()
                        self.request.sendall(struct.pack("<HH", 0x84, 1) + file_message(0, name, data))
                        log("solo file %d sent" % param)
                    else:
                        self.request.sendall(struct.pack("<HH", 0x84, 0))
                        log("solo file %d refused" % param)
                elif cmd == 3:
                    blob = self.recv_exact(16 * param)
                    checksums = [blob[i:i + 16] for i in range(0, len(blob), 16)]
                    messages = server.launch_files.changed(checksums)
                    self.request.sendall(struct.pack("<HH", 0x83, len(messages)) + b"".join(messages))
                    log("launch files: %d checksums, %d files sent" % (param, len(messages)))
                    server.launch_answers += 1
                else:
                    log("unknown request %d/%d" % (cmd, param))
                    return
        except (EOFError, ConnectionError, OSError):
            pass
        finally:
            log("connection closed")
            if server.once and server.launch_answers > 0:
                threading.Thread(target=server.shutdown, daemon=True).start()


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=18920)
    parser.add_argument("--launch-dir", default="")
    parser.add_argument("--solo-dir", default="")
    parser.add_argument("--slot", action="append", default=[], metavar="NAME=N")
    parser.add_argument("--port-file", default="")
    parser.add_argument("--once", action="store_true")
    parser.add_argument("--delay-ms", type=int, default=0)
    options = parser.parse_args()

    fixed = {}
    for item in options.slot:
        name, _, number = item.rpartition("=")
        fixed[name] = int(number)

    server = Server(("127.0.0.1", options.port), Handler)  # loopback only
    server.launch_files = LaunchFiles(options.launch_dir, fixed)
    server.solo_dir = options.solo_dir
    server.once = options.once
    server.delay_ms = options.delay_ms
    server.launch_answers = 0
    port = server.server_address[1]
    for slot, name in sorted(server.launch_files.slots.items()):
        log("slot %d: %s" % (slot, name))
    if options.port_file:
        with open(options.port_file + ".part", "w") as out:
            out.write("%d\n" % port)
        os.replace(options.port_file + ".part", options.port_file)
    log("listening on 127.0.0.1:%d" % port)
    try:
        server.serve_forever()
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
