#!/usr/bin/env python3
"""Take the README's screenshot of the service's page (docs/page.png).

    python bench/page_screenshot.py [OUT.png]

Builds a small index of chapters of the English novel in bench/data, starts
`vessolin serve` on a loopback port, pastes an edited copy of one chapter
into the page in headless chromium (Debian's chromium and chromium-driver)
and saves what the browser shows.
"""

from __future__ import annotations

import random
import shutil
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from index_support import chunks, edited  # noqa: E402
from serve_support import Server  # noqa: E402
from selenium import webdriver  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support import expected_conditions as seen  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402
from vessolin.index import Index  # noqa: E402


def main() -> None:
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else HERE.parent / "docs" / "page.png"
    novel = chunks((HERE / "data" / "gutenberg" / "11-0.txt").read_text(encoding="utf-8"), random.Random(11))
    with tempfile.TemporaryDirectory() as folder:
        location = str(Path(folder) / "index.db")
        with Index(location) as index:
            index.add_many((f"chapter-{i}", text, None, None, f"urn:example:alice:{i}", b"store")
                           for i, text in enumerate(novel[:40]))
        copy = edited(novel[12], 0.05, random.Random(5), novel[0].split())
        options = webdriver.ChromeOptions()
        options.binary_location = shutil.which("chromium") or "chromium"
        for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--window-size=900,1000", "--lang=en-GB", "--hide-scrollbars"):
            options.add_argument(flag)
        with Server(location) as server:
            browser = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
            try:
                browser.get(server.url + "/")
                browser.find_element(By.ID, "text").send_keys(copy)
                browser.find_element(By.ID, "check").click()
                WebDriverWait(browser, 30).until(seen.presence_of_element_located((By.CSS_SELECTOR, "#results li")))
                time.sleep(0.3)
                out.parent.mkdir(parents=True, exist_ok=True)
                browser.save_screenshot(str(out))
            finally:
                browser.quit()
    print(out)


if __name__ == "__main__":
    main()
