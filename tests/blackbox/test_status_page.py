"""The status page in a real browser: Debian's chromium, headless, through chromium-driver and
python3-selenium. The README's picture of it comes from scripts/status-screenshot.py, with real cameras.
"""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_status import HOSTILE, status  # noqa: E402,F401
from test_supervise import ENDING, FOREVER, SMALL, camera, of, supervise  # noqa: E402,F401

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.common.exceptions import NoAlertPresentException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMEDRIVER = "/usr/bin/chromedriver"


@pytest.fixture
def browser(tmp_path):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,800", "--user-data-dir=%s" % (tmp_path / "chromium"),
                "--no-first-run", "--disable-background-networking", "--disable-sync",
                "--disable-component-update", "--disable-features=Translate,MediaRouter"):
        options.add_argument(arg)
    service = webdriver.ChromeService(CHROMEDRIVER) if hasattr(webdriver, "ChromeService") \
        else webdriver.chrome.service.Service(CHROMEDRIVER)
    driver = webdriver.Chrome(service=service, options=options)
    yield driver
    driver.quit()


def tiles(driver):
    """{name: state} of the tiles shown, in their order."""
    return {t.find_element(By.CLASS_NAME, "name").text: t.get_attribute("data-state")
            for t in driver.find_elements(By.CLASS_NAME, "tile")}


def pictures(driver):
    """{name: the width of the picture its tile shows, 0 for none}."""
    return driver.execute_script("""
        const out = {};
        for (const t of document.querySelectorAll(".tile")) {
          const img = t.querySelector(".frame img");
          const none = t.querySelector(".frame").classList.contains("none");
          out[t.querySelector(".name").textContent] = none || !img.complete ? 0 : img.naturalWidth;
        }
        return out;""")


def messages(driver):
    """{name: the decoder's words its tile shows, "" for none}."""
    return {t.find_element(By.CLASS_NAME, "name").text: t.find_element(By.CLASS_NAME, "message").text
            for t in driver.find_elements(By.CLASS_NAME, "tile")}


def test_tiles_show_states_buttons_act_and_names_stay_text(status, browser, camera):
    run, client = status([dict(SMALL, name="Stage Left", input=FOREVER),
                          dict(ENDING, name="Door", input="fake:frames=1"),
                          dict(SMALL, name=HOSTILE, input=FOREVER),
                          dict(SMALL, name="Booth", input=camera.url("forever=1"))],
                         restart={"first_delay_s": 60, "max_delay_s": 60})
    client.wait(lambda s: s.get("Door", {}).get("state") == "waiting"
                and s.get("Stage Left", {}).get("state") == "streaming")
    browser.get("http://127.0.0.1:%d/" % client.port)
    wait = WebDriverWait(browser, 20, poll_frequency=0.1)
    wait.until(lambda d: tiles(d).get("Door") == "waiting" and tiles(d).get(HOSTILE) == "streaming")
    assert list(tiles(browser)) == ["Stage Left", "Door", HOSTILE, "Booth"]
    # Its camera away, Booth shows the slate: a colour of its own, and why.
    wait.until(lambda d: tiles(d).get("Booth") == "no_signal")
    colours = browser.execute_script(
        "return [...document.querySelectorAll('.tile')].map(t => getComputedStyle(t).borderLeftColor)")
    assert len(set(colours)) == 3, colours
    wait.until(lambda d: "camera not reachable" in d.find_elements(By.CLASS_NAME, "tile")[3].text)
    # And in the decoder's own words, shown on the tile of a source that does not stream only.
    wait.until(lambda d: "cannot connect to rtsp server" in messages(d).get("Booth", ""))
    assert messages(browser)["Stage Left"] == ""
    # What each source sends, as a picture: none for the one whose run has ended.
    wait.until(lambda d: pictures(d) == {"Stage Left": 320, "Door": 0, HOSTILE: 320, "Booth": 320})
    # The hostile name is the text of its tile and ran nothing.
    assert len(browser.find_elements(By.TAG_NAME, "script")) == 1
    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert.text

    def click(name, action):
        tile = [t for t in browser.find_elements(By.CLASS_NAME, "tile")
                if t.find_element(By.CLASS_NAME, "name").text == name][0]
        tile.find_element(By.CSS_SELECTOR, "button." + action).click()

    click("Door", "restart")
    events = run.wait_for(lambda ev: len(of(ev, "Door", "started")) >= 2, timeout=20)
    assert of(events, "Door", "action")[0]["action"] == "restart"
    click("Booth", "hold")
    wait.until(lambda d: tiles(d).get("Booth") == "held")
    wait.until(lambda d: tiles(d).get("Door") == "waiting")

    # A phone's width: one column, nothing wider than the screen; 1920: tiles side by side.
    for width, columns in ((390, 1), (1920, 4)):
        browser.set_window_size(width, 900)
        wait.until(lambda d: d.execute_script("return window.innerWidth") <= width)
        assert browser.execute_script(
            "return document.documentElement.scrollWidth <= window.innerWidth")
        tops = {t.location["y"] for t in browser.find_elements(By.CLASS_NAME, "tile")}
        assert len(tops) == 4 // columns, (width, tops)
        # On a phone a picture takes nearly its own width: still recognisable.
        shown = browser.find_element(By.CSS_SELECTOR, ".tile .frame img").size["width"]
        assert shown >= (280 if width == 390 else 200), (width, shown)
    run.close_stdin()
    assert run.finish() == 0
