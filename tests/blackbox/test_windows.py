"""Windows build only, under wine: what has no Linux counterpart."""

import json
import os
import pathlib
import shutil
import signal
import subprocess

import pytest

from conftest import (BUILD, FAKE, PROGRAM, STANDIN, STANDIN_INCOMPATIBLE, WINDOWS, host_path,
                      read_jsonl)
from test_decoder import decoder_pid, gone, wait_until

pytestmark = pytest.mark.skipif(not WINDOWS, reason="Windows build under wine only")

DLL = "Processing.NDI.Lib.x64.dll"
PREFIX = pathlib.Path(os.environ.get("WINEPREFIX", pathlib.Path.home() / ".wine"))
# A refused sender ends the run right after the runtime loaded and initialised.
REFUSED = {"ZAL_STANDIN_CREATE": "fail"}
LOADED = [{"event": "error", "code": "ndi_sender", "message": "NDI sender creation failed"}]
NOT_FOUND = [{"event": "error", "code": "ndi_runtime",
              "message": "NDI runtime not found (Processing.NDI.Lib.x64.dll)"}]
INCOMPATIBLE = [{"event": "error", "code": "ndi_runtime",
                 "message": "NDI runtime incompatible (NDIlib_v6_load missing)"}]


@pytest.fixture
def beside(tmp_path):
    """A copy of the program with the stand-in runtime in its own directory."""
    app = tmp_path / "app"
    app.mkdir()
    shutil.copy(PROGRAM, app)
    shutil.copy(STANDIN / DLL, app)
    return app / PROGRAM.name


@pytest.fixture
def drive(tmp_path):
    """A fresh directory mapped as a drive of the wine prefix; returns its root."""
    root = tmp_path / "drive"
    (root / "cwd").mkdir(parents=True)
    for letter in "yxwvutsrqponmlkjihg":
        link = PREFIX / "dosdevices" / (letter + ":")
        try:
            link.symlink_to(root)
            break
        except FileExistsError:
            continue
    else:
        pytest.fail("no free drive letter in " + str(PREFIX))
    yield root
    link.unlink()


# The bare name, when the directory gives nothing: the program's own directory and PATH.
@pytest.mark.parametrize("where, value", [
    ("beside", None), ("beside", ""), ("beside", "EMPTY"), ("beside", "/" + "d" * 1100),
    ("path", None), ("path", ""),
], ids=["beside-unset", "beside-empty", "beside-no-runtime-there", "beside-too-long",
        "path-unset", "path-empty"])
def test_bare_name_search(run, tmp_path, beside, where, value):
    (tmp_path / "empty").mkdir()
    extra = dict(REFUSED, NDI_RUNTIME_DIR_V6=host_path(tmp_path / "empty")
                 if value == "EMPTY" else value)
    if where == "path":
        extra["WINEPATH"] = host_path(STANDIN)
    r = run("--input", "x", extra_env=extra, program=beside if where == "beside" else PROGRAM)
    assert r.finish() == 2 and r.events == LOADED and r.err == b""


# A runtime in the working directory is never loaded: it could be anyone's.
def test_runtime_in_the_working_directory_is_not_loaded(run, tmp_path):
    shutil.copy(STANDIN / DLL, tmp_path)
    r = run("--input", "x", cwd=tmp_path, extra_env=dict(REFUSED, NDI_RUNTIME_DIR_V6=None))
    assert r.finish() == 2 and r.events == NOT_FOUND


# An empty directory gives "\Processing.NDI.Lib.x64.dll": the root of the current drive,
# tried before the bare name (which finds the good runtime beside the program).
@pytest.mark.parametrize("value, events", [("", INCOMPATIBLE), (None, LOADED)],
                         ids=["empty", "unset"])
def test_empty_directory_means_the_drive_root(run, beside, drive, value, events):
    shutil.copy(STANDIN_INCOMPATIBLE / DLL, drive)
    r = run("--input", "x", program=beside, cwd=drive / "cwd",
            extra_env=dict(REFUSED, NDI_RUNTIME_DIR_V6=value))
    assert r.finish() == 2 and r.events == events


# The kill-on-close job: nothing else ends a wine child when its parent dies.
@pytest.mark.parametrize("steer", ["frames=1;hang=1", "connect=none;hang=1"],
                         ids=["streaming", "connecting"])
def test_decoder_dies_when_the_program_is_killed(run, fakelog, steer):
    r = run("--input", "fake:" + steer, "--width", "64", "--height", "32")
    if steer.startswith("frames"):
        r.wait_event("started")
    decoder = decoder_pid(fakelog)
    assert b"zal-ndi-send" in pathlib.Path("/proc/%d/cmdline" % r.proc.pid).read_bytes()
    assert not gone(decoder)
    r.proc.kill()  # SIGKILL to the program's wine process: no code of it runs
    r.proc.wait(10)
    try:
        wait_until(lambda: gone(decoder), timeout=5)
    finally:
        if not gone(decoder):
            os.kill(decoder, signal.SIGKILL)  # a survivor would hang on for ever


def test_decoder_console_output_stays_out(run, fakelog):
    r = run("--input", "fake:frames=3;out=OUT-MARK;err=ERR-MARK", "--width", "64",
            "--height", "32")
    assert r.finish() == 1
    assert r.events[0]["event"] == "started"
    assert r.events[-1] == {"event": "exit", "ffmpeg": 0, "requested": False}
    assert not any(b"MARK" in line for line in r.raw) and r.err == b""
    # Its standard handles are none of ours: the null device, but for the pipe its
    # timestamps come back on.
    handles = json.loads((fakelog / "fds.json").read_text())["handle_types"]
    assert handles == {"0": "char", "1": "pipe", "2": "char"}


@pytest.mark.parametrize("name, escaped", [
    ("ffmpeg.exe", b"ffmpeg.exe"), ('a "b"\\ffmpeg.exe', b'a \\"b\\"\\\\ffmpeg.exe')])
def test_missing_decoder_exact_line(run, tmp_path, fakelog, name, escaped):
    program = host_path(tmp_path / "missing") + "\\" + name
    r = run("--input", "fake:frames=1", "--ffmpeg", program)
    assert r.finish() == 3
    assert r.raw == [b'{"event":"error","code":"ffmpeg_spawn","message":"cannot start '
                     + host_path(tmp_path).replace("\\", "\\\\").encode()
                     + b"\\\\missing\\\\" + escaped + b'"}\r\n']
    assert r.err == b"" and not fakelog.exists()


def test_winsock_version_2_2(run):
    r = run("--input", "x", extra_env=dict(REFUSED, WINEDEBUG="+pid,+loaddll,trace+winsock"))
    assert r.finish() == 2
    # The trace is on stderr only; the event stream stays as it is.
    assert r.events == LOADED
    trace = r.err.decode(errors="replace").splitlines()
    # "pid:tid:class:channel:function message"; find our process by its image.
    ours = [line.split(":")[0] for line in trace
            if ":trace:loaddll:" in line and "\\\\zal-ndi-send.exe\"" in line]
    assert len(ours) == 1, trace
    requests = [line.split("WSAStartup ", 1)[1] for line in trace
                if line.startswith(ours[0] + ":") and ":trace:winsock:WSAStartup version" in line]
    assert requests == ["version 0x202"]


def sc(*args):
    """wine's sc: its output, once it has answered."""
    done = subprocess.run(["wine", "sc"] + list(args), capture_output=True, timeout=60,
                          env=dict(os.environ, WINEDEBUG="-all"))
    return done.stdout.decode(errors="replace")


def service_state(name):
    for line in sc("query", name).splitlines():
        if line.strip().startswith("STATE"):
            return line.split()[-1]
    return None


def test_the_service_runs_under_the_service_manager_and_stops(tmp_path, run):
    # The service's environment is the service manager's, not ours: the file names the
    # decoder and the runtime is found beside zal-ndi-send.
    app = tmp_path / "app"
    app.mkdir()
    for built in (BUILD / "zal-ndi-supervise.exe", PROGRAM, STANDIN / DLL):
        shutil.copy(built, app)
    sources = tmp_path / "sources.json"
    sources.write_text(json.dumps({"ffmpeg": host_path(FAKE), "sources": [
        {"name": "a", "input": "fake:forever=1;fps=30", "width": 64, "height": 48}]}))
    log = tmp_path / "zal-ndi-supervise.log"  # beside the sources file, by default
    name = "zal-test-" + tmp_path.name

    def streaming(source="a"):
        try:
            return any(e.get("source") == source and e["event"] == "status" and e["fps"] > 0
                       for e in read_jsonl(log))
        except ValueError:  # a line read half written
            return False

    sc("create", name, "binPath=", "%s --service %s" % (
        host_path(app / "zal-ndi-supervise.exe"), host_path(sources)))
    try:
        sc("start", name)
        wait_until(streaming, timeout=60)
        assert service_state(name) == "RUNNING"
        # The parameter-change control reloads: the added source starts, the other runs on.
        doc = json.loads(sources.read_text())
        doc["sources"].append(dict(doc["sources"][0], name="b"))
        sources.write_text(json.dumps(doc))
        control = subprocess.run(["wine", str(BUILD / "testing" / "service-control.exe"), name,
                                  "paramchange"], capture_output=True, timeout=60,
                                 env=dict(os.environ, WINEDEBUG="-all"))
        assert control.returncode == 0, control.stderr
        wait_until(lambda: streaming("b"), timeout=60)
        sc("stop", name)
        wait_until(lambda: service_state(name) == "STOPPED", timeout=30)
        assert "WIN32_EXIT_CODE    : 0 " in sc("query", name)
        lines = log.read_bytes().splitlines(keepends=True)
        assert all(line.endswith(b"\r\n") for line in lines)
        events = read_jsonl(log)
        assert events[0]["event"] == "started"
        assert {"event": "reloaded", "added": ["b"], "removed": [], "changed": []} in events
        assert [e["event"] for e in events if e.get("source") == "a"].count("started") == 1
        for source in ("a", "b"):
            assert [e for e in events if e.get("source") == source][-1] == {
                "source": source, "event": "exit", "ffmpeg": 0, "requested": True}
    finally:
        if service_state(name) not in (None, "STOPPED"):
            sc("stop", name)
        sc("delete", name)

    # Started by anyone else, it says so and ends.
    r = run("--service", host_path(sources), program=app / "zal-ndi-supervise.exe")
    assert r.finish() == 64 and r.raw == []
    assert b"service control manager" in r.err
