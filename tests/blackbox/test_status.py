"""zal-ndi-supervise's status server: the API against its schema, the actions and their lines,
the token, the metrics and the alert rules through promtool, and clients that misbehave.

The sources run with the fake decoder and the stand-in runtime, as in test_supervise.py.
"""

import base64
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time
import urllib.parse

import jsonschema
import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from conftest import ROOT, WINDOWS, host_path  # noqa: E402
from test_keep_alive import jpeg_size  # noqa: E402
from test_supervise import (ENDING, FOREVER, SMALL, SUPERVISOR, Run, camera, of,  # noqa: E402,F401
                            supervise)

ALERTS = (ROOT / "docs" / "prometheus-alerts.yml").read_text()
API_SCHEMA = json.loads((ROOT / "docs" / "supervise-api.schema.json").read_text())
jsonschema.Draft202012Validator.check_schema(API_SCHEMA)
TOKEN = "s3cret%41token-0123456789"  # a "%" the library must not decode
HOSTILE = "<script>alert(1)</script> \"q\" 'a'"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Client:
    """Requests to one status server; every JSON body is checked against the API schema."""

    def __init__(self, port, token=None):
        self.port = port
        self.headers = {"Authorization": "Bearer " + token} if token else {}

    def request(self, method, path, headers=None, body=None, source=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=40, source_address=source)
        try:
            conn.request(method, path, body=body, headers=dict(self.headers, **(headers or {})))
            self.peer = "127.0.0.1:%d" % conn.sock.getsockname()[1]
            res = conn.getresponse()
            data = res.read()
        finally:
            conn.close()
        if res.getheader("Content-Type", "").startswith("application/json"):
            data = json.loads(data)
            jsonschema.validate(data, API_SCHEMA)
        return res, data

    def get(self, path):
        return self.request("GET", path)

    def sources(self):
        res, body = self.get("/api/sources")
        assert res.status == 200
        return {s["name"]: s for s in body}

    def wait(self, predicate, timeout=30):
        """Waits until predicate(sources by name) holds, the server started or not."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                sources = self.sources()
                if predicate(sources):
                    return sources
            except OSError:
                sources = None
            assert time.monotonic() < deadline, "timed out; last: %r" % sources
            time.sleep(0.1)


def path_of(name, action=None):
    path = "/api/sources/" + urllib.parse.quote(name, safe="")
    return path + "/" + action if action else path


@pytest.fixture
def status(supervise):
    """Starts the supervisor with an http section on a free port; returns (run, client)."""
    def start(sources, token=None, extra_env=None, **top):
        port = free_port()
        http_section = {"listen": "127.0.0.1:%d" % port}
        if token:
            http_section["token"] = token
        run = supervise(sources, http=http_section, extra_env=extra_env, **top)
        return run, Client(port, token)
    return start


def test_api_bodies_actions_and_their_lines(status, tmp_path):
    run, client = status([dict(SMALL, name="steady", input=FOREVER),
                          dict(ENDING, name="quick", input="fake:frames=1"),
                          dict(SMALL, name=HOSTILE + " Bühne/東京", input=FOREVER)],
                         restart={"first_delay_s": 60, "max_delay_s": 60})
    got = client.wait(lambda s: s.get("steady", {}).get("state") == "streaming"
                      and s.get("quick", {}).get("state") == "waiting")
    res, body = client.get("/api/sources")
    assert [s["name"] for s in body] == ["steady", "quick", HOSTILE + " Bühne/東京"]
    assert 55 < got["quick"]["next_start_in_s"] <= 60 and got["quick"]["last_reason"] == "exit 1"
    res, one = client.get(path_of(HOSTILE + " Bühne/東京"))
    assert res.status == 200 and one["name"] == HOSTILE + " Bühne/東京"
    assert client.get(path_of("nobody"))[0].status == 404
    assert client.get(path_of("nobody", "hold"))[0].status == 405
    assert client.request("POST", path_of("nobody", "hold"))[0].status == 404
    assert client.request("POST", "/api/sources")[0].status == 405
    assert client.request("DELETE", path_of("steady"))[0].status == 405
    assert client.get("/api/nothing")[0].status == 404
    assert client.get("/api/sources/%FF")[0].status == 400

    # Each action answers at once and gives one line naming the client.
    res, body = client.request("POST", path_of("steady", "hold"))
    assert (res.status, body) == (202, {"action": "hold", "source": "steady"})
    held = {"source": "steady", "event": "action", "action": "hold", "peer": client.peer}
    run.wait_for(lambda ev: held in ev)
    client.wait(lambda s: s["steady"]["state"] == "held")
    assert client.request("POST", path_of("steady", "resume"))[0].status == 202
    client.wait(lambda s: s["steady"]["state"] == "streaming")
    # A restart starts a waiting source now, not in a minute.
    assert client.request("POST", path_of("quick", "restart"))[0].status == 202
    events = run.wait_for(lambda ev: len(of(ev, "quick", "started")) >= 2, timeout=20)
    kinds = [e["event"] for e in of(events, "quick")]
    assert kinds.index("action") < len(kinds) - 1 - kinds[::-1].index("started")
    assert client.wait(lambda s: s["quick"]["restarts"] >= 1)

    # The metrics pass Prometheus' own check, hostile name and all.
    res, text = client.get("/metrics")
    assert res.status == 200 and res.getheader("Content-Type").startswith("text/plain; version=0.0.4")
    check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True, timeout=30)
    assert check.returncode == 0 and check.stdout + check.stderr == b"", check.stdout + check.stderr
    # What the alert rules ask for is there.
    for name in set(re.findall(r"zal_ndi_\w+", ALERTS)):
        assert b"\n" + name.encode() + b"{" in text, name
    for state in set(re.findall(r'state="(\w+)"', ALERTS)):
        assert b'state="%s"' % state.encode() in text, state
    assert b'zal_ndi_source_up{source="steady"} 1' in text
    assert b'zal_ndi_source_state{source="steady",state="streaming"} 1' in text
    # The metrics list every state the API may give, in the schema's order, and no other.
    listed = re.findall(rb'^zal_ndi_source_state{source="steady",state="(\w+)"}', text, re.M)
    assert [s.decode() for s in listed] == API_SCHEMA["$defs"]["source"]["properties"]["state"]["enum"]
    # The page: no outside asset, and no header that lets another site's page read us.
    res, page = client.get("/")
    assert res.status == 200 and b"<script>" in page
    assert b"http://" not in page and b"https://" not in page
    for r in (res, client.get("/api/sources")[0]):
        assert not [h for h, _ in r.getheaders() if h.lower().startswith("access-control-")]
    # Another site's page may send a POST, but its Origin gives it away.
    res, _ = client.request("POST", path_of("steady", "hold"), headers={"Origin": "http://example.com"})
    assert res.status == 403
    assert client.get("/api/sources")[0].status == 200
    res, _ = client.request("GET", "/api/sources", headers={"Host": "rebound.example:%d" % client.port})
    assert res.status == 403
    run.close_stdin()
    assert run.finish() == 0
    assert len([e for e in run.events if e["event"] == "action"]) == 3


def test_the_alert_rules_pass_promtool_and_their_own_tests():
    for args in (["check", "rules", "prometheus-alerts.yml"], ["test", "rules", "prometheus-alerts.test.yml"]):
        r = subprocess.run(["promtool", *args], cwd=ROOT / "docs", capture_output=True, timeout=60)
        assert r.returncode == 0 and b"SUCCESS" in r.stdout, r.stdout + r.stderr


def test_a_source_on_the_slate_is_no_signal_until_its_camera_is_back(status, camera):
    # Its zal-ndi-send runs on with the slate while the camera's port is closed and starts its
    # decoder again itself: the supervisor neither restarts nor stops it.
    password = "Zq7-secret-pw"
    run, client = status([dict(SMALL, name="away", input=camera.url("forever=1;fps=30", "admin:%s@" % password))])
    got = client.wait(lambda s: (s.get("away", {}).get("no_signal_reason") or "").startswith("camera not reachable")
                      and s["away"]["decoder_restarts"] >= 2)["away"]
    assert got["state"] == "no_signal" and got["fps"] > 0 and got["restarts"] == 0, got
    # Why, in the decoder's words, and the words it wrote before them.
    refused = "fake-ffmpeg: cannot connect to rtsp server 127.0.0.1:%d" % camera.port
    assert got["last_message"].startswith(refused), got
    res, log = client.get(path_of("away", "log"))
    assert (res.status, res.getheader("Cache-Control"), log["source"]) == (200, "no-store", "away")
    assert [line["text"] for line in log["lines"]][-1] == got["last_message"]
    assert client.get(path_of("nobody", "log"))[1] == {"error": "no such source"}
    res, text = client.get("/metrics")
    assert b'zal_ndi_source_state{source="away",state="no_signal"} 1' in text
    assert b'zal_ndi_source_up{source="away"} 0' in text
    restarts = re.search(rb'^zal_ndi_source_decoder_restarts_total{source="away"} (\d+)$', text, re.M)
    assert restarts and int(restarts.group(1)) >= 2, text
    camera.open()
    back = client.wait(lambda s: s["away"]["state"] == "streaming")["away"]
    assert "no_signal_reason" not in back and back["decoder_restarts"] >= 2, back
    run.close_stdin()
    assert run.finish() == 0
    assert password.encode() not in b"".join(run.raw)
    assert [e["event"] for e in of(run.events, "away") if e["event"] in ("started", "exit", "restart")] \
        == ["started", "exit"]


def test_the_token_is_asked_of_every_request(status, env, tmp_path):
    run, client = status([dict(SMALL, name="a", input=FOREVER)], token=TOKEN)
    client.wait(lambda s: "a" in s)
    for path in ("/", "/api/sources", "/metrics", "/nothing"):
        for auth in ({}, {"Authorization": "Bearer " + TOKEN[:-1]}, {"Authorization": "Bearer " + TOKEN + "x"},
                     {"Authorization": TOKEN}):
            conn = http.client.HTTPConnection("127.0.0.1", client.port, timeout=10)
            conn.request("GET", path, headers=auth)
            res = conn.getresponse()
            assert (res.status, res.read()) == (401, b""), (path, auth)
            conn.close()
    basic = base64.b64encode(b"any:" + TOKEN.encode()).decode()
    assert client.request("GET", "/metrics", headers={"Authorization": "Basic " + basic})[0].status == 200
    assert client.request("POST", path_of("a", "restart"))[0].status == 202
    run.close_stdin()
    assert run.finish() == 0

    # Off loopback, a file without a long enough token is refused, by --check too.
    path = tmp_path / "open.json"
    for section, problem in (({"listen": "0.0.0.0:8080"}, b"/http/token: is required"),
                             ({"listen": "[::]:8080", "token": "short"}, b"/http/token: must be at least 16")):
        path.write_text(json.dumps({"http": section, "sources": [{"name": "a", "input": "x"}]}))
        for args in (["--check", host_path(path)], [host_path(path)]):
            r = Run(args, env, program=SUPERVISOR)
            assert r.finish(timeout=30) == 64 and r.raw == []
            assert problem in r.err, r.err


def test_each_source_has_its_picture_under_the_token(status, tmp_path):
    # Under systemd the pictures go in the unit's runtime folder, which is not ours to remove.
    runtime = tmp_path / "run"
    runtime.mkdir()
    run, client = status([dict(SMALL, name="Stage/1", input=FOREVER),
                          dict(SMALL, name="dark", input="fake:frames=0;hang=1", keep_alive=False)], token=TOKEN,
                         extra_env={"RUNTIME_DIRECTORY": str(runtime)})
    client.wait(lambda s: s.get("Stage/1", {}).get("state") == "streaming")
    picture = path_of("Stage/1", "thumbnail.jpg")
    deadline = time.monotonic() + 10
    while (res := client.get(picture)[0]).status != 200:
        assert res.status == 404 and time.monotonic() < deadline, res.status
        time.sleep(0.1)
    res, data = client.get(picture + "?t=1")
    assert res.status == 200 and jpeg_size(data) == (320, 240)
    assert (res.getheader("Content-Type"), res.getheader("Cache-Control")) == ("image/jpeg", "no-store")
    # No frame yet, no picture; no source, no picture; and nothing without the token.
    assert client.get(path_of("dark", "thumbnail.jpg"))[1] == {"error": "no picture"}
    assert client.get(path_of("nobody", "thumbnail.jpg"))[1] == {"error": "no such source"}
    assert client.request("POST", picture)[0].status == 405
    conn = http.client.HTTPConnection("127.0.0.1", client.port, timeout=10)
    conn.request("GET", picture)
    res = conn.getresponse()
    assert (res.status, res.read()) == (401, b"")
    conn.close()
    if not WINDOWS:
        assert [p.suffix for p in runtime.iterdir()] == [".jpg"]
    run.close_stdin()
    assert run.finish() == 0
    assert runtime.is_dir()


def raw(port, data):
    """Sends data on a connection of its own; the status line of the answer ("" if none)."""
    answer = b""
    with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
        try:
            s.sendall(data)
            while b"\r\n" not in answer:
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
        except ConnectionResetError:
            pass
    return answer.split(b"\r\n")[0]


def test_clients_that_misbehave_hold_up_nothing(status):
    run, client = status([dict(SMALL, name="a", input=FOREVER)])
    client.wait(lambda s: s.get("a", {}).get("state") == "streaming")
    port = client.port
    assert raw(port, b"NONSENSE\r\n\r\n") == b"HTTP/1.1 400 Bad Request"
    # Long targets and header values are refused before anything matches them
    # with a regular expression, whose recursion once overflowed a thread's stack.
    too_large = b"HTTP/1.1 431 Request Header Fields Too Large"
    for head, status_line in (
            (b"GET /api/sources HTTP/1.1\r\nX: " + b"x" * 100000, too_large),
            (b"GET /api/sources HTTP/1.1\r\nRange: bytes=" + b"0-1," * 25000 + b"0-1", too_large),
            (b"GET /" + b"x" * 3000 + b" HTTP/1.1", b"HTTP/1.1 414 URI Too Long"),
            (b"GET /" + b"x" * 100000 + b" HTTP/1.1", b"HTTP/1.1 414 URI Too Long"),
            (b"GET / HTTP/1.1\r\n" + b"X-A: a\r\n" * 10000, too_large),
            (b"GET / HTTP/1.1\r\nHost: a\r\nHost: b", b"HTTP/1.1 400 Bad Request")):
        assert raw(port, head + b"\r\n\r\n") == status_line, head[:40]
    # A Range no endpoint needs is left out, whatever it says; the path within bounds.
    range_ok = b"GET /api/sources HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=" + b"0-1," * 900 + b"0-1\r\n\r\n"
    assert raw(port, range_ok) == b"HTTP/1.1 200 OK"
    assert raw(port, b"GET /api/sources/" + b"%41" * 650 + b" HTTP/1.1\r\nHost: localhost\r\n\r\n") \
        == b"HTTP/1.1 404 Not Found"
    # A body left unread after a refusal is not taken for the next request.
    with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
        s.sendall(b"POST /api/sources/a/hold HTTP/1.1\r\nHost: example.com\r\nContent-Length: 39\r\n\r\n"
                  b"GET /api/sources HTTP/1.1\r\nHost: a\r\n\r\n")
        answer = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            answer += chunk
        assert answer.startswith(b"HTTP/1.1 403") and answer.count(b"HTTP/1.1") == 1, answer
    with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
        sent, lines = 0, b"GET / HTTP/1.1\r\n" + b"X-A: a\r\n" * 100000
        with pytest.raises(OSError):  # a reset or a broken pipe, long before 200 MB
            while sent < 2 * 10 ** 8:
                s.sendall(lines)
                sent += len(lines)
    for length in (b"Content-Length: 100000000", b"Transfer-Encoding: chunked"):
        big = b"POST /api/sources/a/hold HTTP/1.1\r\nHost: 127.0.0.1\r\n" + length + b"\r\n\r\n"
        body = b"x" * 65536 if b"Length" in length else b"10000\r\n" + b"x" * 65536 + b"\r\n"
        assert raw(port, big + body) == b"HTTP/1.1 413 Payload Too Large"
    # One peer holding a hundred silent or slow connections holds a few workers at
    # most, each for a few seconds: another address is served at once, and no line waits.
    held = [socket.create_connection(("127.0.0.1", port), timeout=30) for _ in range(100)]
    for s in held[::2]:
        s.sendall(b"GET / HTTP/1.1\r\n")  # and never the rest
    before = len(of(run.events, "a", "status"))
    other = Client(port)
    start = time.monotonic()
    res, body = other.request("GET", "/api/sources", source=("127.0.0.2", 0))
    waited = time.monotonic() - start
    assert res.status == 200 and body[0]["name"] == "a"
    assert waited < 2, waited
    run.wait_for(lambda ev: len(of(ev, "a", "status")) >= before + 2, timeout=10)
    for s in held:
        assert s.recv(1) in (b"", b"H")  # closed: at once past the peer's share, else by its deadline
        s.close()
    print("another peer behind 100 held connections waited %.3f s" % waited)
    # A stop is as quick with connections held open as without.
    held = [socket.create_connection(("127.0.0.1", port), timeout=30) for _ in range(100)]
    for s in held[:4]:
        s.sendall(b"GET / HTTP/1.1\r\n")
    time.sleep(0.5)
    start = time.monotonic()
    run.close_stdin()
    assert run.finish() == 0
    stopped = time.monotonic() - start
    print("stop with 100 connections held: %.2f s" % stopped)
    assert stopped < 6, stopped
    for s in held:
        s.close()
    assert [e for e in run.events if e["event"] in ("restart", "action")] == []


@pytest.mark.skipif(WINDOWS, reason="the reload request is SIGHUP here")
def test_a_reload_moves_the_server_and_keeps_a_hold(status, tmp_path):
    run, client = status([dict(SMALL, name="a", input=FOREVER), dict(SMALL, name="b", input=FOREVER)])
    client.wait(lambda s: s.get("b", {}).get("state") == "streaming")
    assert client.request("POST", path_of("b", "hold"))[0].status == 202
    client.wait(lambda s: s["b"]["state"] == "held")
    path = tmp_path / "sources.json"
    doc = json.loads(path.read_text())
    moved = Client(free_port(), TOKEN)
    doc["http"] = {"listen": "127.0.0.1:%d" % moved.port, "token": TOKEN}
    path.write_text(json.dumps(doc))
    run.proc.send_signal(signal.SIGHUP)
    run.wait_for(lambda ev: any(e["event"] == "reloaded" for e in ev))
    assert moved.wait(lambda s: s["b"]["state"] == "held" and s["a"]["state"] == "streaming")
    with pytest.raises(ConnectionRefusedError):
        client.get("/api/sources")
    # An address another program holds is a passing matter, not a bad file: the
    # reload takes, a line says the server is away, and it listens once the port is free.
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen(1)
    taken = "127.0.0.1:%d" % busy.getsockname()[1]
    doc["http"]["listen"] = taken
    path.write_text(json.dumps(doc))
    run.proc.send_signal(signal.SIGHUP)
    away = run.wait_for(lambda ev: [e for e in ev if e["event"] == "http"])[-1]
    assert (away["state"], away["listen"]) == ("unavailable", taken) and away["retry_in_s"] > 0, away
    assert [e["event"] for e in run.events if e["event"].startswith("reload")] == ["reloaded", "reloaded"]
    busy.close()
    freed = time.monotonic()
    run.wait_for(lambda ev: [e for e in ev if e.get("event") == "http" and e["state"] == "listening"], timeout=10)
    print("the server listened %.1f s after the port was freed" % (time.monotonic() - freed))
    assert Client(int(taken.split(":")[1]), TOKEN).sources()["b"]["state"] == "held"
    run.close_stdin()
    assert run.finish() == 0


def test_a_port_taken_at_start_keeps_no_camera_down(supervise):
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen(1)
    port = busy.getsockname()[1]
    run = supervise([dict(SMALL, name="a", input=FOREVER)], http={"listen": "127.0.0.1:%d" % port})
    run.wait_for(lambda ev: of(ev, "a", "status"))
    away = [e for e in run.events if e["event"] == "http"]
    assert [e["state"] for e in away] == ["unavailable"], away
    busy.close()
    run.wait_for(lambda ev: [e for e in ev if e.get("event") == "http" and e["state"] == "listening"], timeout=10)
    client = Client(port)
    assert client.sources()["a"]["state"] == "streaming"
    # Actions come a few at once, then a few a second; past that: 429.
    answers = [client.request("POST", path_of("a", "hold"))[0] for _ in range(12)]
    codes = [r.status for r in answers]
    assert codes[:4] == [202] * 4 and 429 in codes, codes
    assert [r.getheader("Retry-After") for r in answers if r.status == 429][0] == "1"
    run.wait_for(lambda ev: len([e for e in ev if e["event"] == "action"]) == codes.count(202))
    run.close_stdin()
    assert run.finish() == 0
