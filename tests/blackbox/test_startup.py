"""Start-up of zal-ndi-send: the command line, the NDI runtime and the sender."""

import pytest

from conftest import NEWLINE, STANDIN, STANDIN_INCOMPATIBLE, USAGE, WINDOWS, host_path, read_jsonl
from test_decoder import wait_until

POSIX = pytest.mark.skipif(WINDOWS, reason="POSIX only")
# Sends one frame and one block, then keeps both connections open until killed.
IN = "fake:frames=1;hang=1"


def calls(capture, name):
    return [c for c in read_jsonl(capture / "calls.jsonl") if c["call"] == name]


@pytest.mark.parametrize("args", [
    [],
    ["--input"],
    ["--name", "n"],
    ["--input", IN, "--bogus"],
    ["--input", IN, "--Name", "n"],
    ["--input=" + IN],
    ["--input", IN, "--no-audio", "extra"],
    ["--input", IN, "--width"],
    ["--input", IN, "--width", "0"],
    ["--input", IN, "--width", "abc"],
    ["--input", IN, "--width", "-2"],
    ["--input", IN, "--width", "1921"],
    ["--input", IN, "--height", "0"],
    ["--input", IN, "--height", "1081"],
    ["--input", IN, "--fps", "0"],
    ["--input", IN, "--fps", "-30"],
    ["--input", IN, "--fps", "x30"],
    ["--input", IN, "--width", "640", "--width", "0"],
    # Out of 32-bit range; the second and third would wrap to 30 and 1920.
    ["--input", IN, "--width", "2147483648"],
    ["--input", IN, "--fps", "4294967326"],
    ["--input", IN, "--width", "4294969216"],
    ["--input", IN, "--height", "-2147483650"],
    ["--input", IN, "--fps", "9" * 30],
    # Frames of 2 GiB or more, also when width*height overflows 32 bits.
    ["--input", IN, "--width", "65536", "--height", "21846"],
    ["--input", IN, "--width", "46342", "--height", "46342"],
    ["--input", IN, "--width", "65536", "--height", "65536"],
])
def test_usage_error(run, capture, fakelog, args):
    r = run(*args)
    assert r.finish() == 64
    assert r.raw == []
    assert r.err == USAGE and len(USAGE) == 131 + len(NEWLINE)
    assert not (capture / "calls.jsonl").exists()
    assert not fakelog.exists()


@pytest.mark.parametrize("args", [
    ["--input", ""],
    ["--input", IN, "--width", "65536", "--height", "21844"],  # just under 2 GiB
    ["--input", IN, "--fps", "2147483647"],
    ["--input", IN, "--width", "2", "--height", "2", "--no-audio", "--no-audio"],
])
def test_accepted_at_the_limits(run, capture, fakelog, args):
    # The sender is refused, so an accepted command line ends right after the runtime.
    r = run(*args, extra_env={"ZAL_STANDIN_CREATE": "fail"})
    assert r.finish() == 2
    assert r.events == [{"event": "error", "code": "ndi_sender",
                         "message": "NDI sender creation failed"}]
    assert len(calls(capture, "send_create")) == 1
    assert not fakelog.exists()


@pytest.mark.parametrize("args, name, width, height, fps, audio", [
    ([], "ZAL Program", 1920, 1080, (30, 1), True),
    (["--width", "640x", "--height", " +360", "--fps", "29.97"], "ZAL Program", 640, 360,
     (30000, 1001), False),
    # A value option takes the next argument, whatever it is; later ones win.
    (["--input", "--no-audio", "--name", "--width", "--width", "2", "--width", "64",
      "--height", "0000000000032"], "--width", 64, 32, (30, 1), True),
    (["--name", 'Cam "1" \\ \tx', "--width", "64", "--height", "32"],
     'Cam "1" \\ \tx', 64, 32, (30, 1), True),
    (["--name", "", "--width", "64", "--height", "32"], "", 64, 32, (30, 1), False),
    # Beyond any ANSI code page: passed on as its UTF-8 bytes, the name and the groups.
    (["--name", "B\u00fchne \u6771\u4eac", "--width", "64", "--height", "32",
      "--groups", "B\u00fchne,Studio A"], "B\u00fchne \u6771\u4eac", 64, 32, (30, 1), True),
])
def test_option_values(run, capture, fakelog, args, name, width, height, fps, audio):
    args = list(args) + ([] if audio else ["--no-audio"])
    r = run(*args, "--input", IN)
    started = r.wait_event("started")[0]
    assert started == {"event": "started", "name": name, "width": width, "height": height,
                       "audio": audio, "ndi": "zal-standin 6.0.0 (stand-in)"}
    create = calls(capture, "send_create")
    assert len(create) == 1 and create[0]["p_ndi_name_hex"] == name.encode().hex()
    groups = args[args.index("--groups") + 1] if "--groups" in args else None
    # The stand-in writes each byte above 0x7f as one \u00XX.
    assert create[0]["p_groups"] == (groups.encode().decode("latin-1") if groups else None)
    wait_until(lambda: calls(capture, "video"))
    video = calls(capture, "video")[0]
    assert (video["xres"], video["yres"]) == (width, height)
    assert (video["frame_rate_N"], video["frame_rate_D"]) == fps
    r.close_stdin()
    assert r.finish() == 0
    assert r.err == b""


RUNTIME = "Processing.NDI.Lib.x64.dll" if WINDOWS else "libndi.so.6"
NOT_FOUND = "NDI runtime not found (Processing.NDI.Lib.x64.dll)"
INCOMPATIBLE = "NDI runtime incompatible (NDIlib_v6_load missing)"
LONG_DIR = "/" + "d" * 1100


@pytest.mark.parametrize("extra, message", [
    ({"NDI_RUNTIME_DIR_V6": "EMPTY"}, NOT_FOUND),
    ({"NDI_RUNTIME_DIR_V6": ""}, NOT_FOUND),
    ({"NDI_RUNTIME_DIR_V6": None}, NOT_FOUND),
    ({"NDI_RUNTIME_DIR_V6": LONG_DIR}, NOT_FOUND),
    ({"NDI_RUNTIME_DIR_V6": host_path(STANDIN_INCOMPATIBLE)}, INCOMPATIBLE),
    ({"ZAL_STANDIN_LOAD": "null"}, INCOMPATIBLE),
    ({"ZAL_STANDIN_INIT": "fail"}, "NDI initialization failed (unsupported CPU?)"),
])
def test_runtime_failure(run, tmp_path, fakelog, extra, message):
    (tmp_path / "empty").mkdir()
    extra = {k: host_path(tmp_path / "empty") if v == "EMPTY" else v for k, v in extra.items()}
    extra["LD_LIBRARY_PATH"] = None
    r = run("--input", IN, extra_env=extra)
    assert r.finish() == 2
    assert r.events == [{"event": "error", "code": "ndi_runtime", "message": message}]
    assert r.err == b""
    assert not fakelog.exists()


def test_sender_refused(run, capture, fakelog):
    r = run("--input", IN, extra_env={"ZAL_STANDIN_CREATE": "fail"})
    assert r.finish() == 2
    assert r.events == [{"event": "error", "code": "ndi_sender",
                         "message": "NDI sender creation failed"}]
    assert not fakelog.exists()


@pytest.mark.parametrize("extra", [
    pytest.param({"NDI_RUNTIME_DIR_V6": None, "LD_LIBRARY_PATH": str(STANDIN)}, marks=POSIX),
    pytest.param({"NDI_RUNTIME_DIR_V6": "", "LD_LIBRARY_PATH": str(STANDIN)}, marks=POSIX),
    pytest.param({"NDI_RUNTIME_DIR_V6": "EMPTY", "LD_LIBRARY_PATH": str(STANDIN)}, marks=POSIX),
    pytest.param({"NDI_RUNTIME_DIR_V6": LONG_DIR, "LD_LIBRARY_PATH": str(STANDIN)}, marks=POSIX),
    {"ZAL_STANDIN_VERSION": 'v"6" \\ \x01 x'},
    {"NDI_RUNTIME_DIR_V6": "NON-ASCII"},
])
def test_runtime_found(run, tmp_path, capture, extra):
    (tmp_path / "empty").mkdir()
    # A folder named in the user's language, as an installer may make it.
    named = tmp_path / "NDI S\u00fcd \u6771\u4eac"
    named.mkdir()
    (named / RUNTIME).symlink_to(STANDIN / RUNTIME)
    where = {"EMPTY": host_path(tmp_path / "empty"), "NON-ASCII": host_path(named)}
    extra = {k: where.get(v, v) for k, v in extra.items()}
    r = run("--input", IN, "--width", "64", "--height", "32", extra_env=extra)
    started = r.wait_event("started")[0]
    assert started["ndi"] == extra.get("ZAL_STANDIN_VERSION", "zal-standin 6.0.0 (stand-in)")
    r.close_stdin()
    assert r.finish() == 0
    assert [c["call"] for c in read_jsonl(capture / "calls.jsonl")][:2] == ["load", "initialize"]
