#!/usr/bin/python3
"""Takes docs/status-page.png: the supervisor's page in headless chromium with three real
cameras (ffmpeg pulling from testing/rtsp_server.py): one fine, one given a wrong password,
and one unplugged (its server stopped after it streamed). Needs chromium, chromium-driver
and python3-selenium.

Usage: /usr/bin/python3 scripts/status-screenshot.py [build-dir] [out.png] [phone.png]
"""
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from conftest import RtspServer  # noqa: E402

SIZE = ("--width", "640", "--height", "360", "--fps", "30")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def sources(port):
    with urllib.request.urlopen("http://127.0.0.1:%d/api/sources" % port, timeout=10) as answer:
        return {s["name"]: s for s in json.loads(answer.read())}


def wait(what, predicate, timeout=60):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            sys.exit("status-screenshot: timed out waiting for " + what)
        time.sleep(0.2)


def browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1000,800", "--user-data-dir=" + profile, "--no-first-run",
                "--disable-background-networking", "--disable-sync", "--disable-component-update"):
        options.add_argument(arg)
    from selenium.webdriver.chrome.service import Service
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def main(build, out, phone):
    work = Path(tempfile.mkdtemp())
    http = free_port()
    stage = RtspServer(*SIZE, "--auth", "operator:right-pw")
    balcony = RtspServer(*SIZE, "--pattern", "ball")
    at = stage.url.split("//")[1].rsplit("/", 1)[0]
    doc = {"http": {"listen": "127.0.0.1:%d" % http},
           "sources": [{"name": "Stage", "input": "rtsp://operator:right-pw@%s/test" % at},
                       {"name": "Lectern", "input": "rtsp://operator:Zq7-secret-pw@%s/test" % at},
                       {"name": "Balcony", "input": balcony.url}]}
    (work / "sources.json").write_text(json.dumps(doc))
    env = dict(os.environ, NDI_RUNTIME_DIR_V6=str(build / "standin"))
    env.pop("FFMPEG_BIN", None)
    proc = subprocess.Popen([str(build / "zal-ndi-supervise"), str(work / "sources.json")], env=env,
                            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    driver = None
    try:
        driver = browser(str(work / "chromium"))
        wait("Balcony streaming", lambda: sources(http)["Balcony"]["state"] == "streaming")
        balcony.stop()  # unplugged
        wait("the words", lambda: all(s["last_message"] for n, s in sources(http).items() if n != "Stage")
             and sources(http)["Balcony"]["state"] == "no_signal" and sources(http)["Stage"]["state"] == "streaming")
        time.sleep(6)  # the slate's picture, and a few seconds away on it
        driver.get("http://127.0.0.1:%d/" % http)
        WebDriverWait(driver, 20).until(lambda d: d.execute_script(
            "return [...document.querySelectorAll('.frame img')].every(i => i.complete && i.naturalWidth > 0)"
            " && document.querySelectorAll('.tile').length == 3"))
        time.sleep(0.5)
        driver.save_screenshot(str(out))
        for name, s in sources(http).items():
            print("status-screenshot: %s %s: %s" % (name, s["state"], s["last_message"]))
        if phone:
            driver.set_window_size(390, 1500)
            time.sleep(0.5)
            driver.save_screenshot(str(phone))
    finally:
        if driver:
            driver.quit()
        proc.stdin.close()
        proc.wait(timeout=20)
        stage.stop()
        balcony.stop()
    print("status-screenshot: ->", out)


if __name__ == "__main__":
    main(Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "build").resolve(),
         Path(sys.argv[2] if len(sys.argv) > 2 else ROOT / "docs" / "status-page.png"),
         Path(sys.argv[3]) if len(sys.argv) > 3 else None)
