#!/usr/bin/env python3
# The operators' page as a reader keeps it open in a browser: headless Chromium driven over
# its DevTools protocol while the server takes reports and refusals. The page's refresh
# updates the parts that changed, keeps where the reader scrolled the installations table
# to, and leaves a part alone while the reader has text selected in it.
#   page_refresh_test.py SERVER_BINARY SAMPLE_RELEASE
import base64, json, os, re, shutil, socket, struct, subprocess, sys, tempfile, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from launcher_session import address_session  # noqa: E402

binary, release = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
work = tempfile.mkdtemp(prefix="dvs-page-refresh-")
failures = []
processes = []


def check(condition, why):
    if not condition:
        failures.append(why)
        print("FAIL: " + why, file=sys.stderr)


def wait_for(what, seconds=30):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = what()
        if value:
            return value
        time.sleep(0.05)
    return None


# ---------------------------------------------------------------- the server
with open(os.path.join(work, "server.toml"), "w") as config:
    config.write('[listen]\naddress = "127.0.0.1"\nport = 0\n[metrics]\naddress = "127.0.0.1"\nport = 0\n'
                 '[paths]\nrelease = "%s"\ncache = "cache"\ndatabase = "reports.sqlite"\n' % release)
port_file = os.path.join(work, "port")
server = subprocess.Popen([binary, "serve", "--config", os.path.join(work, "server.toml"), "--port-file", port_file],
                          stderr=open(os.path.join(work, "server.log"), "w"))
processes.append(server)


def ports():
    try:
        with open(port_file) as f:
            lines = f.read().split()
        return lines if len(lines) == 2 else None
    except OSError:
        return None


players, page = (int(p) for p in wait_for(ports))


def session(agent=None, request=None):
    """The address request answered, then a report of agent; or the one request given."""
    if request is None:
        address_session(players, agent, mac=agent)
        return
    connection = socket.create_connection(("127.0.0.1", players), timeout=10)
    connection.sendall(request)
    connection.close()


def metric(name):
    text = subprocess.run(["curl", "-s", "http://127.0.0.1:%d/metrics" % page], capture_output=True, text=True).stdout
    found = re.search(r"^%s (\d+)$" % re.escape(name), text, re.M)
    return int(found.group(1)) if found else -1


for agent in range(1000, 1040):  # 40 rows today: the table scrolls
    session(agent)
check(wait_for(lambda: metric("dorera_reports_stored_total") == 40) is not None, "the 40 reports were not stored")

# ---------------------------------------------------------------- the browser
chromium = subprocess.Popen(["/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                             "--disable-background-networking", "--disable-component-update", "--disable-sync",
                             "--window-size=1280,900", "--user-data-dir=" + os.path.join(work, "chromium"),
                             "--remote-debugging-port=0", "about:blank"],
                            stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
processes.append(chromium)
devtools = None
deadline = time.time() + 60
while devtools is None and time.time() < deadline:
    line = chromium.stderr.readline()
    found = re.search(r"DevTools listening on (ws://[^\s]+)", line)
    if found:
        devtools = found.group(1)
    elif not line and chromium.poll() is not None:
        break
if devtools is None:
    print("FAIL: Chromium gave no DevTools address", file=sys.stderr)
    sys.exit(1)


class DevTools:
    """The least of a WebSocket client that the DevTools protocol needs: text frames."""

    def __init__(self, url):
        host, port, path = re.match(r"ws://([^:/]+):(\d+)(/.*)", url).groups()
        self.socket = socket.create_connection((host, int(port)), timeout=30)
        key = base64.b64encode(os.urandom(16)).decode()
        self.socket.sendall(("GET %s HTTP/1.1\r\nHost: %s:%s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (path, host, port, key))
                            .encode())
        head = b""
        while b"\r\n\r\n" not in head:
            head += self.socket.recv(1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise RuntimeError("no WebSocket: " + head.decode(errors="replace"))
        self.next_id = 0
        self.session = None

    def exact(self, count):
        data = b""
        while len(data) < count:
            chunk = self.socket.recv(count - len(data))
            if not chunk:
                raise RuntimeError("DevTools closed the connection")
            data += chunk
        return data

    def send(self, text):
        data, mask = text.encode(), os.urandom(4)
        head = bytes([0x81])
        if len(data) < 126:
            head += bytes([0x80 | len(data)])
        elif len(data) < 65536:
            head += bytes([0x80 | 126]) + struct.pack(">H", len(data))
        else:
            head += bytes([0x80 | 127]) + struct.pack(">Q", len(data))
        self.socket.sendall(head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data)))

    def receive(self):
        message = b""
        while True:
            first, second = self.exact(2)
            length = second & 0x7F
            if length == 126:
                length = struct.unpack(">H", self.exact(2))[0]
            elif length == 127:
                length = struct.unpack(">Q", self.exact(8))[0]
            message += self.exact(length)
            if first & 0x80:
                return json.loads(message)

    def call(self, method, **params):
        self.next_id += 1
        request = {"id": self.next_id, "method": method, "params": params}
        if self.session:
            request["sessionId"] = self.session
        self.send(json.dumps(request))
        while True:
            answer = self.receive()
            if answer.get("id") == self.next_id:
                if "error" in answer:
                    raise RuntimeError("%s: %s" % (method, answer["error"]))
                return answer["result"]

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result["result"].get("value")


browser = DevTools(devtools)
target = browser.call("Target.createTarget", url="http://127.0.0.1:%d/" % page)["targetId"]
browser.session = browser.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]


def refreshed_after(before):
    """Waits for the page's next refresh (every 10 s) after the state text before."""
    return wait_for(lambda: (lambda now: now if now != before and now.startswith("Updated") else None)(
        browser.evaluate("document.getElementById('state').textContent")), 25)


INSTALLATIONS = "document.querySelector('#installations .note').textContent"
UNKNOWN = ("document.querySelector('#refusals tr[data-kind=\"unknown_command\"] td.n').textContent")
# The page, once loaded (the new tab starts from about:blank).
shown = wait_for(lambda: browser.evaluate("location.protocol === 'http:' && document.readyState === 'complete' && "
                                          + INSTALLATIONS)) or ""
check("40 installations" in shown, "the page does not count the 40 reports: " + shown)

# The reader scrolls the installations table and selects a refusal's text.
scrolled = browser.evaluate("(function () { var box = document.querySelector('#installations .tall');"
                            " box.scrollTop = 120; return box.scrollTop; })()")
check(scrolled == 120, "the installations table does not scroll (%r)" % scrolled)
selected = browser.evaluate("(function () { var cell = document.querySelector('#refusals td.what');"
                            " var range = document.createRange(); range.selectNodeContents(cell);"
                            " getSelection().removeAllRanges(); getSelection().addRange(range);"
                            " return getSelection().toString(); })()")
check(bool(selected), "nothing selected")

# Both parts change on the server: a report of a new agent, a request outside the protocol.
session(1040)
session(None, struct.pack("<HH", 2, 0))
check(wait_for(lambda: metric("dorera_reports_stored_total") == 41) is not None, "the 41st report was not stored")
state = browser.evaluate("document.getElementById('state').textContent")
state = refreshed_after(state)
check(state is not None, "the page did not refresh")
check("41 installations" in (browser.evaluate(INSTALLATIONS) or ""), "the installations part was not updated")
check(browser.evaluate("document.querySelector('#installations .tall').scrollTop") == 120,
      "the installations table jumped back to its top")
check(browser.evaluate("getSelection().toString()") == selected, "the reader's selection was lost")
check(browser.evaluate(UNKNOWN) == "0", "the part holding the selection was replaced under it")

# Once the selection is gone, the next refresh brings that part up to date.
browser.evaluate("getSelection().removeAllRanges()")
state = refreshed_after(state)
check(state is not None, "the page did not refresh a second time")
check(browser.evaluate(UNKNOWN) == "1", "the refusals part was not updated after the selection ended")

for process in processes:
    process.kill()
    process.wait()
if failures:
    with open(os.path.join(work, "server.log")) as f:
        sys.stderr.write(f.read()[-2000:])
    sys.exit(1)
shutil.rmtree(work, ignore_errors=True)
print("PASS")
