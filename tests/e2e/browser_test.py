#!/usr/bin/env python3
"""The browser extension in a real headless Chromium (Debian's chromium, chromium-driver and
python3-selenium), with the native host registered for the test's own profile: a click on a
link behind a session cookie makes Tarnwick fetch the file; what must stay with the browser
does. TARNWICK_SCREENSHOTS=DIR also saves the popup and the links window there as PNG.
Usage: browser_test.py [unittest options], with TARNWICK_EXE naming the executable."""

import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_site import Site, isolate  # noqa: E402

ISOLATED = __name__ == "__main__" and isolate(__file__)



try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
except ImportError:
    # Debian's Selenium belongs to Debian's Python, which another python3 first on PATH hides.
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3", os.path.abspath(__file__), *sys.argv[1:]])
    webdriver = None

from servers import Store, terminal_env  # noqa: E402
from session_case import EXE, new_work, remove_work, skip_unless_ready  # noqa: E402

CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")
EXTENSION_ID = "dgdkghepkglinddfmopkljkdgchglkbo"
EXTENSION = os.path.join(os.path.dirname(EXE), "extension")
MiB = 1 << 20
_work = _browser = _site = _home = None


def setUpModule():
    global _work, _browser, _site, _home
    skip_unless_ready()
    if not (CHROMIUM and DRIVER and webdriver):
        raise unittest.SkipTest("chromium, chromium-driver or python3-selenium is not installed")
    if not ISOLATED:
        raise unittest.SkipTest("no network namespace of its own (unshare -n) to keep the browser on loopback")
    if not os.path.exists(os.path.join(EXTENSION, "manifest.json")):
        raise unittest.SkipTest("the built extension is missing: " + EXTENSION)
    _work = new_work("tarnwick-browser-")
    _home = _work
    store = Store(_home)
    for name, value in (("Exit", 1), ("Retries", 0), ("DownloadDir", os.path.join(_home, "Tarnwick"))):
        store.set("Config", name, value)
    for folder in ("Tarnwick", "Browser"):
        os.makedirs(os.path.join(_home, folder))
    # The browser, its host and the downloads it starts share this home and store.
    env = terminal_env(_home, {"HOME": _home})
    subprocess.run([EXE, "--install-browser-host"], env=env, check=True, capture_output=True, timeout=30)
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    # The host's manifest was written to <XDG_CONFIG_HOME>/chromium/NativeMessagingHosts.
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run", "--window-size=900,700",
                "--user-data-dir=" + os.path.join(_home, "chromium"), "--load-extension=" + EXTENSION,
                "--disable-extensions-except=" + EXTENSION, "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--no-pings"):
        options.add_argument(arg)
    # The browser's own download folder, without a question.
    options.add_experimental_option("prefs", {"download.default_directory": os.path.join(_home, "Browser"),
                                              "download.prompt_for_download": False})
    service = Service(DRIVER, env=env, log_path=os.path.join(_home, "chromedriver.log"))
    _browser = webdriver.Chrome(service=service, options=options)
    _site = Site()
    # The extension is loaded and its host answers for this profile.
    extension_page("popup.html")
    deadline = time.monotonic() + 30
    while "is ready" not in _browser.find_element(By.ID, "status").text:
        if time.monotonic() > deadline:
            raise AssertionError("the popup does not reach the host: " + _browser.find_element(By.ID, "status").text)
        time.sleep(0.05)


def tearDownModule():
    if _browser:
        try:
            screenshots()
        finally:
            _browser.quit()
    if _site:
        _site.shutdown()
    remove_work(_work)


def extension_page(name):
    _browser.get("chrome-extension://%s/%s" % (EXTENSION_ID, name))


def set_extension_settings(values):
    extension_page("popup.html")
    _browser.execute_async_script("chrome.storage.local.set(arguments[0]).then(arguments[1])", values)


def screenshots():
    folder = os.environ.get("TARNWICK_SCREENSHOTS")
    if not folder:
        return
    os.makedirs(folder, exist_ok=True)
    names = ("setup-2.4.1.iso", "setup-2.4.1.iso.sha256", "manual.pdf", "release-notes.html",
             "sources-2.4.1.tar.xz", "logo.svg")
    links = [_site.base + "/files/" + n for n in names]
    history = [{"url": links[0], "filename": names[0], "state": "Handed over (#03)"},
               {"url": links[4], "filename": names[4], "state": "Handed over (#02)"},
               {"url": links[2], "filename": names[2], "state": "Handed over (#01)"}]
    set_extension_settings({"enabled": True, "minSize": MiB, "excludedHosts": "intranet.example.org",
                            "history": history})
    _browser.set_window_size(420, 600)
    extension_page("popup.html")
    time.sleep(0.5)
    _browser.find_element(By.TAG_NAME, "html").screenshot(os.path.join(folder, "extension-popup.png"))
    texts = ["Installer image (2.1 GB)", "Checksum", "User manual", "What is new", "Sources", "Logo"]
    _browser.execute_async_script(
        "chrome.storage.local.set({shot: {referrer: arguments[0], links: arguments[1]}}).then(arguments[2])",
        _site.base + "/", [{"url": u, "text": t} for u, t in zip(links, texts)])
    _browser.set_window_size(720, 600)
    extension_page("links.html#shot")
    time.sleep(0.3)
    for box in _browser.find_elements(By.CSS_SELECTOR, "#rows input")[:5:2]:
        box.click()
    _browser.find_element(By.TAG_NAME, "html").screenshot(os.path.join(folder, "extension-links.png"))


class Browser(unittest.TestCase):
    def setUp(self):
        self.tarnwick = os.path.join(_home, "Tarnwick")
        self.browser = os.path.join(_home, "Browser")
        self.start_over({})

    def start_over(self, settings):
        """Empty download folders, the extension's defaults changed by settings, the page loaded."""
        for folder in (self.tarnwick, self.browser):
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
        set_extension_settings({"enabled": True, "minSize": MiB, "excludedHosts": "", **settings})
        _browser.get(_site.base + "/")
        del _site.log[:]

    def wait_for(self, what, seconds=30):
        deadline = time.monotonic() + seconds
        while not what():
            if time.monotonic() > deadline:
                self.fail("gave up waiting")
            time.sleep(0.05)

    def fetched(self, folder, name):
        """Waits until folder holds the site's file name whole, and checks its bytes."""
        path, data = os.path.join(folder, name), _site.files[name]
        self.wait_for(lambda: os.path.exists(path) and os.path.getsize(path) == len(data)
                      and not Store(_home).section("FileQueue"))
        with open(path, "rb") as f:
            self.assertTrue(f.read() == data, "contents of " + path + " differ")

    def click(self, link, shift=False):
        element = _browser.find_element(By.ID, link)
        if shift:
            ActionChains(_browser).key_down(Keys.SHIFT).click(element).key_up(Keys.SHIFT).perform()
        else:
            element.click()

    def test_a_click_hands_the_download_over_with_the_session(self):
        _site.hold.clear()
        self.addCleanup(_site.hold.set)
        self.click("big")
        # The cookie came with its scope, kept in the entry as a cookies.txt line: this host
        # only, its path, not Secure, for the session.
        cookie = "C 127.0.0.1\tFALSE\t/\tFALSE\t0\tsid\t" + _site.session
        self.wait_for(lambda: any(k.startswith("Request") and cookie in v
                                  for k, v in Store(_home).section("FileQueue").items()))
        _site.hold.set()
        self.fetched(self.tarnwick, "big.bin")
        # The browser asked first and was held; Tarnwick's request (no Sec-Fetch headers)
        # carried the page's cookie, the page as referrer and the browser's agent.
        asked = _site.requests("big.bin")
        ours = [h for h in asked if "sec-fetch-mode" not in h]
        self.assertEqual(len(ours), 1, asked)
        self.assertEqual((ours[0].get("cookie"), ours[0].get("referer")), ("sid=" + _site.session, _site.base + "/"))
        self.assertEqual(ours[0].get("user-agent"), asked[0].get("user-agent"))
        time.sleep(1)
        self.assertEqual(os.listdir(self.browser), [])
        self.assertEqual(os.listdir(self.tarnwick), ["big.bin"])
        extension_page("popup.html")
        self.wait_for(lambda: "Handed over (#" in _browser.find_element(By.ID, "history").text)

    def test_the_links_window_hands_the_ticked_links_over(self):
        extension_page("popup.html")
        _browser.execute_async_script(
            "chrome.storage.local.set({picked: {referrer: arguments[0], links: arguments[1]}}).then(arguments[2])",
            _site.base + "/", [{"url": _site.base + "/files/" + n, "text": ""} for n in ("big.bin", "small.bin")])
        page = _browser.current_window_handle
        _browser.switch_to.new_window("tab")
        try:
            extension_page("links.html#picked")
            _browser.find_element(By.ID, "filter").send_keys("small*")
            _browser.find_element(By.ID, "start").click()
            self.fetched(self.tarnwick, "small.bin")
        finally:
            _browser.switch_to.window(page)
        self.assertEqual(os.listdir(self.tarnwick), ["small.bin"])
        self.assertEqual([h.get("cookie") for h in _site.requests("small.bin")], ["sid=" + _site.session])

    def test_what_stays_with_the_browser(self):
        cases = [("small", "small.bin", False, {}), ("shift", "big.bin", True, {}),
                 ("excluded host", "big.bin", False, {"excludedHosts": "example.org\n127.0.0.1"}),
                 ("threshold from the popup", "big.bin", False, {"minSize": 4 * MiB}),
                 ("switched off", "big.bin", False, {"enabled": False})]
        for name, file, shift, settings in cases:
            with self.subTest(name):
                self.start_over(settings)
                self.click(file.split(".")[0], shift)
                self.fetched(self.browser, file)
                self.assertTrue(all("sec-fetch-mode" in h for h in _site.requests(file)), _site.log)
                self.assertEqual(os.listdir(self.tarnwick), [])

if __name__ == "__main__":
    unittest.main(verbosity=2)
