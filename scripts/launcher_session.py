# One Launcher's session as the version server's tests and benchmarks play it: the address
# request, its answer read whole, then (when an agent is given) an installation report.
import socket
import struct

ADDRESS_ANSWER = 132  # the answer's header and its four addresses of 32 bytes


def address_session(port, agent=None, mac=0, timeout=10, host="127.0.0.1"):
    """True when the address answer came whole; the report of agent follows it then."""
    connection = socket.create_connection((host, port), timeout=timeout)
    try:
        connection.sendall(b"\x01\x00\x00\x00")
        answer = b""
        while len(answer) < ADDRESS_ANSWER:
            chunk = connection.recv(ADDRESS_ANSWER - len(answer))
            if not chunk:
                break
            answer += chunk
        whole = len(answer) == ADDRESS_ANSWER and answer[:4] == b"\x81\x00\x01\x00"
        if whole and agent is not None:
            connection.sendall(struct.pack("<HHI", 7, 2, agent) + struct.pack("<Q", mac))
        return whole
    finally:
        connection.close()
