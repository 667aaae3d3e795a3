"""The live view in the browser (`velmora stream --web`, `velmora demo --web`):
the page in headless Chromium, GET /events read by a plain HTTP client, and
the server's refusals.  Every test runs the real tool against a simulated
headset on a pty in a private device folder."""

import base64
import http.client
import json
import os
import re
import signal
import subprocess
import time
import urllib.request

import pytest
import websocket

TOOL = os.environ.get("VELMORA_TOOL", "build/velmora")
CHROMIUM = os.environ.get("VELMORA_CHROMIUM", "/usr/bin/chromium")
RATE = 512


def wait_for(what, predicate, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    pytest.fail(f"timed out waiting for {what}")


class Run:
    """A `velmora` process with its stdout and stderr in files."""

    def __init__(self, folder, name, *args):
        self.out_path, self.err_path = folder / f"{name}.out", folder / f"{name}.err"
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([TOOL, *args], stdout=out, stderr=err, stdin=subprocess.DEVNULL)

    def stderr(self):
        return self.err_path.read_text(errors="replace")

    def url(self):
        match = wait_for("the live view's URL", lambda: re.search(r"live view at (http://\S+)", self.stderr()), 15)
        return match.group(1)

    def lines(self):
        return [json.loads(line) for line in self.out_path.read_text().splitlines() if line.strip()]

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.proc.wait(timeout=15)


@pytest.fixture
def started(tmp_path):
    """Starts tool processes with a shared private device folder; stops them all at the end."""
    runs = []
    devices = tmp_path / "devices"
    devices.mkdir(mode=0o700)

    def start(command, *args):
        # The demo runs its headset in a private folder of its own.
        folder = [] if command == "demo" else ["--device-dir", str(devices)]
        run = Run(tmp_path, command, command, *args, *folder)
        runs.append(run)
        if command == "simulate":
            wait_for("the simulated headset", lambda: list(devices.glob("tty.*")), 10)
        return run

    yield start
    for run in reversed(runs):
        run.stop(signal.SIGKILL)


def stream_objects(url, into, until_ended=True):
    """Reads GET /events with http.client, appending each data line's object to `into`."""
    host, port = re.match(r"http://([^/]+):(\d+)/", url).groups()
    conn = http.client.HTTPConnection(host, int(port), timeout=20)
    conn.request("GET", "/events")
    answer = conn.getresponse()
    assert answer.status == 200 and answer.getheader("Content-Type").startswith("text/event-stream")
    while True:
        line = answer.fp.readline()
        if not line:
            return
        if line.startswith(b"data: "):
            into.append(json.loads(line[6:]))
            if until_ended and into[-1].get("event") == "ended":
                return


class Browser:
    """Headless Chromium driven through its DevTools protocol."""

    def __init__(self, folder):
        profile = folder / "chromium"
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             f"--user-data-dir={profile}", "--remote-debugging-port=0", "--window-size=1280,1100",
             "about:blank"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        active = profile / "DevToolsActivePort"
        port = wait_for("Chromium's DevTools port", lambda: active.exists() and active.read_text().split("\n")[0], 20)
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10) as answer:
            page = next(t for t in json.load(answer) if t["type"] == "page")
        self.ws = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=15, suppress_origin=True)
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            answer = json.loads(self.ws.recv())
            if answer.get("id") == self.next_id:
                assert "error" not in answer, answer
                return answer["result"]

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        assert "exceptionDetails" not in result, result
        return result["result"].get("value")

    def screenshot(self, path):
        path.write_bytes(base64.b64decode(self.call("Page.captureScreenshot", format="png")["data"]))

    def close(self):
        self.ws.close()
        self.proc.terminate()
        self.proc.wait(timeout=10)


@pytest.fixture
def browser(tmp_path):
    b = Browser(tmp_path)
    yield b
    b.close()


# What the page holds, read from its charts and its text.
PAGE_STATE = """(() => {
  const g = velmoraView.trace, n = g.numRows();
  return {
    first: n ? Math.round(g.getValue(0, 0) * 512) : 0,
    values: Array.from({length: n}, (_, i) => g.getValue(i, 1)),
    notes: g.annotations().map(a => ({at: Math.round(a.x * 512), text: a.text})),
    heart: document.getElementById('heart-rate').textContent,
    hrv: document.getElementById('hrv').textContent,
    state: document.getElementById('state').textContent,
  };
})()"""


def screenshot_path(tmp_path, name):
    folder = os.environ.get("VELMORA_SCREENSHOT_DIR")
    return (tmp_path if not folder else __import__("pathlib").Path(folder)) / name


def test_page_shows_the_trace_blinks_and_heart_rate(started, browser, tmp_path):
    truth = tmp_path / "truth.jsonl"
    started("simulate", "--mode", "mixed", "--period", "5", "--speed", "2", "--seed", "3", "--truth", str(truth))
    stream = started("stream", "--json", "--web", "127.0.0.1:0")
    browser.call("Page.navigate", url=stream.url())

    def ready():
        s = browser.evaluate("typeof velmoraView === 'object' && " + PAGE_STATE)
        blinks = s and [n for n in s["notes"] if n["text"].startswith("Blink")]
        return s if blinks and s["heart"].isdigit() and len(s["values"]) == 10 * RATE else None

    page = wait_for("a full trace with a blink and a heart rate", ready, 25)
    browser.screenshot(screenshot_path(tmp_path, "live-view-stream.png"))
    assert stream.stop() == 0

    # The trace holds exactly the samples the stream delivered at its indexes.
    lines = stream.lines()
    raw = [s for line in lines for s in line.get("raw", [])]
    assert page["values"] == raw[page["first"]:page["first"] + len(page["values"])]
    # Each mark sits on the last sample of the delivery that reported the
    # blink, with its strength, and is a blink the simulator sent; the heart
    # rate shown is the stream's latest up to the page's last sample.
    count, blinks, heart, end = 0, {}, None, page["first"] + len(page["values"])
    for line in lines:
        count += len(line.get("raw", []))
        if "blinkStrength" in line:
            blinks[count - 1] = line["blinkStrength"]
        if count <= end:
            heart = line.get("heartRate", heart)
    sent = {e["code"] for e in map(json.loads, truth.read_text().splitlines()) if e["type"] == "blink"}
    for note in [n for n in page["notes"] if n["text"].startswith("Blink")]:
        assert note["text"] == f"Blink strength {blinks[note['at']]}"
        assert blinks[note["at"]] in sent
    assert page["heart"] == str(heart)


def test_demo_page_with_lf_hf(started, browser, tmp_path):
    demo = started("demo", "--seconds", "8", "--json", "--web", "127.0.0.1:0", "--save", str(tmp_path / "rec.csv"))
    browser.call("Page.navigate", url=demo.url())
    assert demo.proc.wait(timeout=25) == 0
    page = wait_for("the session's end on the page",
                    lambda: (s := browser.evaluate(PAGE_STATE)) and "ended" in s["state"] and s, 5)
    summary = demo.lines()[-1]["summary"]
    assert page["hrv"].startswith(f"LF {summary['LF']:.1f}  HF {summary['HF']:.1f}  LF/HF {summary['LF/HF']:.2f}  "
                                  f"energy level {summary['energy']}"), page["hrv"]
    browser.screenshot(screenshot_path(tmp_path, "live-view.png"))


def test_events_carry_every_sample_once_in_order_across_an_unplug(started, tmp_path):
    import threading
    seconds, signal_args = 12, ["--mode", "eeg", "--seconds", "12", "--seed", "5"]
    sent_bytes = subprocess.run([TOOL, "simulate", *signal_args, "--output", "-"], capture_output=True).stdout
    decoded = subprocess.run([TOOL, "decode", "-"], input=sent_bytes, capture_output=True).stdout
    sent = [s for line in decoded.splitlines() for s in json.loads(line).get("raw", [])]
    assert len(sent) == seconds * RATE
    sim = started("simulate", *signal_args, "--speed", "3", "--fault", "pause@0:3", "--fault", "unplug@6:1")
    stream = started("stream", "--json", "--web", "0")
    objects = []
    reader = threading.Thread(target=stream_objects, args=(stream.url(), objects))
    reader.start()
    sim.proc.wait(timeout=25)
    wait_for("the loss at the simulator's end", lambda: [o.get("event") for o in objects].count("lost") >= 2, 15)
    assert stream.stop() == 0
    reader.join(timeout=10)
    assert not reader.is_alive() and objects[-1]["event"] == "ended"

    hello = objects[0]
    assert hello["event"] == "hello" and hello["state"] == "connected"
    deliveries = [o for o in objects if "event" not in o and "mark" not in o]
    lines = stream.lines()
    # The data lines are stdout's lines, from the viewer's start to the end.
    assert deliveries == lines[len(lines) - len(deliveries):]
    before = sum(len(line.get("raw", [])) for line in lines[:len(lines) - len(deliveries)])
    assert hello["samples"] == before
    got = [s for line in lines for s in line.get("raw", [])]
    # What the simulator sent, but for the few samples the unplug drops on the way.
    gap = next((i for i, (a, b) in enumerate(zip(got, sent)) if a != b), len(got))
    assert 0 <= len(sent) - len(got) < RATE and got[gap:] == sent[len(sent) - len(got) + gap:]
    events = [o["event"] for o in objects if o.get("event") in ("lost", "connected")]
    assert events[:2] == ["lost", "connected"]  # then lost again as the simulator ends


def request(url, method, path, host=None, body=None, content_type="text/plain"):
    hostport, port = re.match(r"http://([^/]+:(\d+))/", url).groups()
    conn = http.client.HTTPConnection("127.0.0.1", int(port), timeout=10)
    conn.putrequest(method, path, skip_host=True)
    conn.putheader("Host", hostport if host is None else host)
    if body is not None:
        conn.putheader("Content-Type", content_type)
        conn.putheader("Content-Length", str(len(body)))
    conn.endheaders(body)
    answer = conn.getresponse()
    return answer.status, answer.read()


def test_refuses_foreign_hosts_and_marks_without_the_token(started, tmp_path):
    for bad in ["99999", ":8512", "localhost:", "x:y", "::1:80"]:
        assert subprocess.run([TOOL, "stream", "--web", bad], capture_output=True).returncode == 2, bad

    bdf = tmp_path / "marks.bdf"
    started("simulate", "--mode", "eeg", "--speed", "2")
    stream = started("stream", "--json", "--web", "0", "--edf", str(bdf))
    url = stream.url()
    port = int(re.search(r":(\d+)/", url).group(1))
    token = url.split("?token=")[1]
    # Only on loopback: /proc/net/tcp lists the listening socket's address.
    listening = [line.split()[1] for line in open("/proc/net/tcp").read().splitlines()[1:]
                 if line.split()[3] == "0A" and int(line.split()[1].split(":")[1], 16) == port]
    assert listening == [f"0100007F:{port:04X}"]

    for host, status in [("evil.example", 403), (f"evil.example:{port}", 403), ("10.1.2.3", 403), ("", 403),
                         (f"localhost:{port}", 200), (f"LOCALHOST.:{port}", 200), (f"127.0.0.1:{port}", 200)]:
        assert request(url, "GET", "/", host=host)[0] == status, host
    assert request(url, "GET", "/dygraph.min.js")[0] == 200
    assert request(url, "GET", "/../CMakeLists.txt")[0] == 404

    for path, body, kind, status in [
            ("/mark", b"no token", "text/plain", 403),
            ("/mark?token=" + token[:-1] + ("1" if token.endswith("0") else "0"), b"wrong token", "text/plain", 403),
            (f"/mark?token={token}", b"line\nbreak", "text/plain", 400),
            (f"/mark?token={token}", b"\xff\xfe", "text/plain", 400),
            (f"/mark?token={token}", b"", "text/plain", 400),
            (f"/mark?token={token}", b'{"a":1}', "application/json", 415),
            (f"/mark?token={token}", "eyes closed \u00e9".encode(), "text/plain; charset=utf-8", 202)]:
        assert request(url, "POST", path, body=body, content_type=kind)[0] == status, body
    assert request(url, "POST", f"/mark?token={token}", host="evil.example", body=b"x")[0] == 403

    wait_for("the mark on stdout", lambda: any("mark" in line for line in stream.lines()), 10)
    assert stream.stop() == 0
    marks = [line["mark"] for line in stream.lines() if "mark" in line]
    assert marks == ["eyes closed \u00e9"]
    assert "eyes closed \u00e9".encode() in bdf.read_bytes()
