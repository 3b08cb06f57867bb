#!/usr/bin/env python3
# The package test's client of an installed version server, on 127.0.0.1 only:
#   session PORT AGENT MANIFEST   one Launcher session: the address exchange (the answer
#                                 must carry the release's four addresses) and an
#                                 installation report, as bytes laid out in
#                                 common/protocol_wire.h
#   metrics PORT DASHBOARD RULES  every dorera_* metric the example dashboard's queries
#                                 and the alert rules' expressions name must be one the
#                                 server's /metrics exports
import json
import re
import socket
import struct
import sys
import tomllib
import urllib.request

RC_SRV_ADDR, RC_LOG, RESPONSE_BIT = 1, 7, 0x80
ADDRESS_ENTRY, ADDRESS_ENTRIES = 32, 4
METRIC = re.compile(r"\bdorera_[a-z0-9_]*[a-z0-9]")


def receive(sock, size):
    data = b""
    while len(data) < size:
        part = sock.recv(size - len(data))
        if not part:
            sys.exit(f"session: the server closed after {len(data)} of {size} bytes")
        data += part
    return data


def session(port, agent, manifest):
    with open(manifest, "rb") as f:
        wanted = tomllib.load(f)["addresses"]
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        sock.sendall(struct.pack("<HH", RC_SRV_ADDR, 0))
        cmd, param = struct.unpack("<HH", receive(sock, 4))
        if (cmd, param) != (RC_SRV_ADDR | RESPONSE_BIT, 1):
            sys.exit(f"session: address answer cmd {cmd} param {param}, wanted {RC_SRV_ADDR | RESPONSE_BIT} 1")
        body = receive(sock, ADDRESS_ENTRY * ADDRESS_ENTRIES)
        got = [body[i:i + ADDRESS_ENTRY].split(b"\0")[0].decode() for i in range(0, len(body), ADDRESS_ENTRY)]
        if got != wanted:
            sys.exit(f"session: addresses {got}, the release names {wanted}")
        mac = bytes([0x02, 0x00, 0x5E, 0x10, 0x20, 0x30, 0, 0])
        sock.sendall(struct.pack("<HHI", RC_LOG, 2, agent) + mac)
        sock.shutdown(socket.SHUT_WR)
        if sock.recv(1) != b"":
            sys.exit("session: the server answered a report")
    print(f"session: addresses {got}, report of agent {agent} sent")


def names_in_dashboard(path):
    found = set()

    def walk(node):
        if isinstance(node, dict):
            for key, value in node.items():
                if key in ("expr", "query", "definition") and isinstance(value, str):
                    found.update(METRIC.findall(value))
                else:
                    walk(value)
        elif isinstance(node, list):
            for item in node:
                walk(item)

    with open(path) as f:
        walk(json.load(f))
    return found


def names_in_rules(path):
    found = set()
    with open(path) as f:
        for line in f:
            if re.match(r"\s*expr:", line):
                found.update(METRIC.findall(line))
    return found


def metrics(port, dashboard, rules):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as answer:
        text = answer.read().decode()
    exported = set(re.findall(r"^# TYPE (\S+) ", text, re.M))
    status = 0
    for path, names in ((dashboard, names_in_dashboard(dashboard)), (rules, names_in_rules(rules))):
        missing = sorted(names - exported)
        if not names or missing:
            print(f"metrics: {path} names {len(names)} metrics; not exported: {missing}")
            status = 1
        else:
            print(f"metrics: all {len(names)} metrics {path} names are exported")
    sys.exit(status)


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "session":
        session(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
    elif len(sys.argv) == 5 and sys.argv[1] == "metrics":
        metrics(int(sys.argv[2]), sys.argv[3], sys.argv[4])
    else:
        sys.exit(__doc__ or "usage: server_client.py session|metrics ...")
