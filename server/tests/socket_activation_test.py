#!/usr/bin/env python3
# A server started the way systemd's socket unit starts it: the listening socket is held
# outside the server (here by this script, as systemd holds it) and handed over as
# descriptor 3 with LISTEN_PID and LISTEN_FDS. A restart onto another binary while
# sessions keep arriving fails none of them: they wait in the socket's backlog while no
# server runs, and the new one takes them.
#   socket_activation_test.py SERVER_BINARY SAMPLE_RELEASE
import os, shutil, signal, socket, subprocess, sys, tempfile, threading, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from launcher_session import address_session  # noqa: E402

binary, release = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
work = tempfile.mkdtemp(prefix="dvs-activation-")
failures = []


def fail(why):
    failures.append(why)


listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(512)
port = listener.getsockname()[1]
with open(os.path.join(work, "server.toml"), "w") as config:
    config.write('[listen]\naddress = "127.0.0.1"\nport = 1\n[metrics]\nport = 0\n[paths]\n'
                 'release = "%s"\ncache = "cache"\ndatabase = "reports.sqlite"\n[limits]\nthreads = 2\n' % release)


def start(program, log):
    """Starts program with the socket as descriptor 3, as systemd does."""
    def hand_over():  # in the child: descriptor 3, left open across exec
        if listener.fileno() == 3:
            os.set_inheritable(3, True)
        else:
            os.dup2(listener.fileno(), 3)
        os.environ["LISTEN_PID"] = str(os.getpid())
        os.environ["LISTEN_FDS"] = "1"
    return subprocess.Popen([program, "serve", "--config", os.path.join(work, "server.toml")],
                            stderr=open(log, "w"), preexec_fn=hand_over, close_fds=False)


def wait_for_line(process, log, text, seconds=60):
    deadline = time.time() + seconds
    while time.time() < deadline:
        with open(log) as f:
            if text in f.read():
                return True
        if process.poll() is not None:
            return False
        time.sleep(0.05)
    return False


counts = {"served": 0, "failed": 0}
stop = threading.Event()


def sessions():
    while not stop.is_set():
        try:
            counts["served" if address_session(port, timeout=30) else "failed"] += 1
        except OSError:
            counts["failed"] += 1
        time.sleep(0.005)


first_log, second_log = os.path.join(work, "first.log"), os.path.join(work, "second.log")
first, second = start(binary, first_log), None
try:
    if not wait_for_line(first, first_log, "(socket from systemd)"):
        fail("the first server did not start on the handed-over socket: " + open(first_log).read())
    if "127.0.0.1:%d" % port not in open(first_log).read():
        fail("the start line does not name the socket's address")
    client = threading.Thread(target=sessions)
    client.start()
    time.sleep(1)
    served_before = counts["served"]
    first.send_signal(signal.SIGTERM)
    if first.wait(timeout=60) != 0:
        fail("the first server did not stop cleanly")
    time.sleep(0.5)  # no server at all for a moment: connections wait in the backlog
    upgraded = os.path.join(work, "dorera-version-server.new")
    shutil.copy(binary, upgraded)
    second = start(upgraded, second_log)
    if not wait_for_line(second, second_log, "(socket from systemd)"):
        fail("the second server did not start on the handed-over socket: " + open(second_log).read())
    time.sleep(1)
    stop.set()
    client.join()
    second.send_signal(signal.SIGTERM)
    if second.wait(timeout=60) != 0:
        fail("the second server did not stop cleanly")
    if counts["failed"]:
        fail("%d sessions failed across the restart" % counts["failed"])
    if served_before < 10 or counts["served"] - served_before < 10:
        fail("too few sessions on either side of the restart: %d before, %d in all" % (served_before, counts["served"]))
    print("%d sessions across the restart, %d failed" % (counts["served"], counts["failed"]))
finally:
    stop.set()
    for process in (first, second):
        if process and process.poll() is None:
            process.kill()
    shutil.rmtree(work, ignore_errors=True)
if failures:
    print("FAIL: " + "; ".join(failures))
    sys.exit(1)
print("PASS")
