#!/usr/bin/env python3
"""The browser extension in a real headless Firefox (Debian's firefox-esr, loaded as a temporary
add-on by web-ext from npm), with the native host registered for the test's own home: a page
behind a session cookie clicks its link, and Tarnwick, not Firefox, fetches the file.
Usage: firefox_test.py [unittest options], with TARNWICK_EXE naming the executable."""

import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_site import Site, isolate  # noqa: E402

ISOLATED = __name__ == "__main__" and isolate(__file__)

from servers import Store, terminal_env  # noqa: E402
from session_case import EXE, new_work, remove_work, skip_unless_ready  # noqa: E402

FIREFOX, WEB_EXT = shutil.which("firefox-esr") or shutil.which("firefox"), shutil.which("web-ext")
EXTENSION = os.path.join(os.path.dirname(EXE), "extension")


class Firefox(unittest.TestCase):
    def setUp(self):
        skip_unless_ready()
        if not (FIREFOX and WEB_EXT):
            self.skipTest("firefox-esr or web-ext (npm) is not installed")
        if not ISOLATED:
            self.skipTest("no network namespace of its own (unshare -n) to keep the browser on loopback")
        self.home = new_work("tarnwick-firefox-")
        self.addCleanup(remove_work, self.home)
        store = Store(self.home)
        # The desktop's one download folder, Firefox's too: its own file for the download stands
        # there until it lets go.
        self.downloads = os.path.join(self.home, "Downloads")
        for name, value in (("Exit", 1), ("Retries", 0), ("DownloadDir", self.downloads)):
            store.set("Config", name, value)
        os.makedirs(self.downloads)
        self.env = terminal_env(self.home, {"HOME": self.home})
        # Writes ~/.mozilla/native-messaging-hosts/ of this home.
        subprocess.run([EXE, "--install-browser-host"], env=self.env, check=True, capture_output=True, timeout=30)
        # Firefox sees a download only once it has begun: the file comes as a remote server's would,
        # not faster than the extension can pause it.
        self.site = Site(pace=0.02)
        self.addCleanup(self.site.shutdown)

    def test_a_click_hands_the_download_over_with_the_session(self):
        log = os.path.join(self.home, "web-ext.log")
        with open(log, "wb") as out:
            firefox = subprocess.Popen(
                [WEB_EXT, "run", "--firefox=" + FIREFOX, "--source-dir=" + EXTENSION, "--no-reload", "--no-input",
                 "--arg=--headless", "--profile-create-if-missing", "--firefox-profile=" + os.path.join(self.home, "ff"),
                 "--start-url=" + self.site.base + "/click-big"],
                env=self.env, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        self.addCleanup(lambda: (os.killpg(firefox.pid, signal.SIGTERM), firefox.wait(30)))
        deadline = time.monotonic() + 90

        def wait_for(what):
            while not what():
                self.assertLess(time.monotonic(), deadline, open(log, errors="replace").read()[-3000:])
                self.assertIsNone(firefox.poll(), "web-ext ended")
                time.sleep(0.1)

        wait_for(lambda: b"as a temporary add-on" in open(log, "rb").read())
        self.site.ready.set()
        path, data = os.path.join(self.downloads, "big.bin"), self.site.files["big.bin"]
        wait_for(lambda: os.path.exists(path) and os.path.getsize(path) == len(data)
                 and not Store(self.home).section("FileQueue"))
        with open(path, "rb") as f:
            self.assertTrue(f.read() == data, "contents of " + path + " differ")
        asked = self.site.requests("big.bin")
        ours = [h for h in asked if "sec-fetch-mode" not in h]
        self.assertEqual(len(ours), 1, asked)
        self.assertEqual((ours[0].get("cookie"), ours[0].get("referer")),
                         ("sid=" + self.site.session, self.site.base + "/click-big"))
        # Firefox's own copy is gone once Tarnwick has the file, which has the name Firefox chose.
        wait_for(lambda: os.listdir(self.downloads) == ["big.bin"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
