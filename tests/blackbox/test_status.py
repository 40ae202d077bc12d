"""zal-ndi-supervise's status server: the API against its schema, the actions and their lines,
the token, the metrics through promtool, and clients that misbehave.

The sources run with the fake decoder and the stand-in runtime, as in test_supervise.py.
"""

import base64
import http.client
import json
import os
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
from test_supervise import FOREVER, SMALL, SUPERVISOR, Run, of, supervise  # noqa: E402,F401

API_SCHEMA = json.loads((ROOT / "docs" / "supervise-api.schema.json").read_text())
jsonschema.Draft202012Validator.check_schema(API_SCHEMA)
TOKEN = "s3cret-token-0123456789"
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

    def request(self, method, path, headers=None, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=40)
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
    def start(sources, token=None, **top):
        port = free_port()
        http_section = {"listen": "127.0.0.1:%d" % port}
        if token:
            http_section["token"] = token
        run = supervise(sources, http=http_section, **top)
        return run, Client(port, token)
    return start


def test_api_bodies_actions_and_their_lines(status, tmp_path):
    run, client = status([dict(SMALL, name="steady", input=FOREVER),
                          dict(SMALL, name="quick", input="fake:frames=1"),
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
    assert b'zal_ndi_source_up{source="steady"} 1' in text
    assert b'zal_ndi_source_state{source="steady",state="streaming"} 1' in text
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
    assert raw(port, b"GET /api/sources HTTP/1.1\r\nX: " + b"x" * 100000 + b"\r\n\r\n") \
        == b"HTTP/1.1 400 Bad Request"
    assert raw(port, b"GET /" + b"x" * 20000 + b" HTTP/1.1\r\n\r\n") == b"HTTP/1.1 414 URI Too Long"
    # Past what one request may send in all, the connection is closed.
    assert raw(port, b"GET /" + b"x" * 100000 + b" HTTP/1.1\r\n\r\n") == b""
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
    # More silent connections than the server has workers and queue: each is closed
    # after its keep-alive wait, the queue drains, and the lines never stop meanwhile.
    silent = [socket.create_connection(("127.0.0.1", port), timeout=30) for _ in range(48)]
    before = len(of(run.events, "a", "status"))
    start = time.monotonic()
    res, body = client.get("/api/sources")
    waited = time.monotonic() - start
    assert res.status == 200 and body[0]["name"] == "a"
    closed = 0
    for s in silent:
        closed += s.recv(1) == b""  # the server closed it: end of file
        s.close()
    assert closed == len(silent)
    run.wait_for(lambda ev: len(of(ev, "a", "status")) >= before + 2, timeout=10)
    print("a request behind %d silent connections waited %.1f s" % (len(silent), waited))
    run.close_stdin()
    assert run.finish() == 0
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
    # An address taken by another fails the reload, and the server stays where it was.
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen(1)
    doc["http"]["listen"] = "127.0.0.1:%d" % busy.getsockname()[1]
    path.write_text(json.dumps(doc))
    run.proc.send_signal(signal.SIGHUP)
    failed = run.wait_for(lambda ev: [e for e in ev if e["event"] == "reload_failed"])
    assert "/http/listen" in [e for e in failed if e["event"] == "reload_failed"][0]["message"]
    assert moved.get("/api/sources")[0].status == 200
    busy.close()
    run.close_stdin()
    assert run.finish() == 0
