"""The page at GET / in a real headless browser (Debian's chromium and
chromium-driver, driven by selenium): paste an edited copy of an indexed text
and see its source listed first."""

from __future__ import annotations

import os
import random
import shutil
from pathlib import Path

import pytest
from index_support import chunks, edited, uninstrumented_environment
from serve_support import Server
from vessolin.index import Index

CORPUS = Path(__file__).parent / "data" / "corpus" / "gutenberg"


def _browser():
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver = shutil.which("chromedriver")
    if not (chromium and driver):
        reason = "chromium and chromium-driver are not installed (.ci/run installs them)"
        if os.environ.get("CI"):
            pytest.fail(reason)
        pytest.skip(reason)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1000,900", "--lang=en-GB", "--no-first-run", "--disable-extensions"):
        options.add_argument(flag)
    # The driver given by path: selenium looks for nothing to download.
    return webdriver.Chrome(options=options,
                            service=Service(executable_path=driver, env=uninstrumented_environment()))


@pytest.fixture(scope="module")
def texts() -> list[str]:
    return chunks((CORPUS / "11-0.txt").read_text(encoding="utf-8"), random.Random(11))[:15]


@pytest.fixture(scope="module")
def server(tmp_path_factory, texts):
    location = str(tmp_path_factory.mktemp("page") / "index.db")
    with Index(location) as index:
        index.add_many((f"alice-{i}", text, None, None, f"urn:alice:{i}", f"store {i}".encode())
                       for i, text in enumerate(texts))
    with Server(location) as running:
        yield running


def test_paste_an_edited_copy_and_see_its_source_first(server, texts):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as seen
    from selenium.webdriver.support.ui import WebDriverWait

    copy = edited(texts[9], 0.05, random.Random(9), texts[0].split())[:1500]
    browser = _browser()
    try:
        browser.get(server.url + "/")
        assert browser.title == "Where does this text come from?"
        box = browser.find_element(By.ID, "text")
        box.send_keys(copy)
        browser.find_element(By.ID, "check").click()
        first = WebDriverWait(browser, 30).until(
            seen.presence_of_element_located((By.CSS_SELECTOR, "#results li")))
        assert first.get_attribute("data-manifest-id") == "urn:alice:9"
        assert "Source: urn:alice:9" in first.text and "Found by:" in first.text
        link = first.find_element(By.TAG_NAME, "a").get_attribute("href")
        assert link == server.url + "/manifests/urn%3Aalice%3A9"
        status = browser.find_element(By.ID, "status").text
        assert "possible source" in status
        # Nothing was fetched from anywhere but this service.
        hosts = browser.execute_script(
            "return performance.getEntriesByType('resource').map(e => new URL(e.name).host)")
        assert set(hosts) <= {f"127.0.0.1:{server.port}"}
    finally:
        browser.quit()
