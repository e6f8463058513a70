#!/usr/bin/env python3
"""The installed program: `cmake --install` into a staging folder, and the Debian package from
CPack, checked with the desktop's own validators and by running what was installed."""
import base64
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

BUILD = os.environ["TARNWICK_BUILD_DIR"]
SOURCE = os.environ["TARNWICK_SOURCE_DIR"]
APP_ID = "org.quillfern.Tarnwick"
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def run(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=120, **kw)


def terminal_env(home):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))
    return env


def need(tool):
    if not shutil.which(tool):
        raise unittest.SkipTest(f"{tool} not installed (scripts/setup.sh installs it)")


def desktop_entry(path):
    """Groups of a .desktop file as {group: {key: value}}."""
    groups, group = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("[") and line.endswith("]"):
                group = groups.setdefault(line[1:-1], {})
            elif "=" in line and group is not None:
                k, v = line.split("=", 1)
                group[k] = v
    return groups


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", path
    return struct.unpack(">II", head[16:24])


def usage_switches(exe, home):
    """The switches the program's own usage text names."""
    r = run(exe, stdin=subprocess.DEVNULL, env=terminal_env(home))
    return sorted(set(re.findall(r"TARNWICK (/[A-Z]+|#xx)", r.stderr)))


def usage_options(exe, home):
    """The options --help lists beside the switches (-o, --output, ...)."""
    r = run(exe, "--help", stdin=subprocess.DEVNULL, env=terminal_env(home))
    assert r.returncode == 0, r.stderr
    return sorted(set(re.findall(r"(?m)^ +(-[a-z]|--[a-z]+)\b", r.stdout) +
                      re.findall(r"(?m)^ +-[a-z], (--[a-z]+)\b", r.stdout)))


class Installed(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="tarnwick-install-")
        env = dict(os.environ, DESTDIR=os.path.join(cls.tmp, "stage"))
        r = run("cmake", "--install", BUILD, "--prefix", "/usr/local", env=env)
        assert r.returncode == 0, r.stdout + r.stderr
        cls.root = os.path.join(cls.tmp, "stage", "usr", "local")
        cls.home = os.path.join(cls.tmp, "home")
        os.makedirs(cls.home)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def test_menu_entries_validate_and_start_the_installed_program(self):
        need("desktop-file-validate")
        apps = self.path("share", "applications")
        files = sorted(os.listdir(apps))
        self.assertEqual(files, [f"{APP_ID}.FtpUrl.desktop", f"{APP_ID}.desktop"])
        for name in files:
            r = run("desktop-file-validate", os.path.join(apps, name))
            self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""), name)

        main = desktop_entry(os.path.join(apps, f"{APP_ID}.desktop"))
        entry = main["Desktop Entry"]
        self.assertEqual(entry["Exec"], "tarnwick /DROP")
        self.assertEqual(entry["Icon"], APP_ID)
        actions = {a: main[f"Desktop Action {a}"]["Exec"] for a in entry["Actions"].rstrip(";").split(";")}
        self.assertEqual(actions, {"Downloads": "tarnwick /LIST", "ResumeDownloads": "tarnwick /RESUMEDLG",
                                   "Configure": "tarnwick /CONFIG"})
        ftp = desktop_entry(os.path.join(apps, f"{APP_ID}.FtpUrl.desktop"))["Desktop Entry"]
        self.assertEqual(ftp["MimeType"], "x-scheme-handler/ftp;")
        self.assertEqual(ftp["Exec"], "tarnwick %u")
        # Every switch an entry starts is one the program knows.
        known = usage_switches(self.path("bin", "tarnwick"), self.home)
        for cmd in [entry["Exec"], *actions.values()]:
            self.assertIn(cmd.split()[1], known)
        self.assertTrue(os.access(self.path("bin", "tarnwick"), os.X_OK))

    def test_icons_at_every_size_and_the_metainfo_validate(self):
        for size in ICON_SIZES:
            png = self.path("share", "icons", "hicolor", f"{size}x{size}", "apps", f"{APP_ID}.png")
            self.assertEqual(png_size(png), (size, size), png)
        svg = self.path("share", "icons", "hicolor", "scalable", "apps", f"{APP_ID}.svg")
        with open(svg, encoding="utf-8") as f:
            self.assertIn("<svg", f.read())

        need("appstreamcli")
        meta = self.path("share", "metainfo", f"{APP_ID}.metainfo.xml")
        r = run("appstreamcli", "validate", "--no-net", meta)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertNotIn("W:", r.stdout)
        self.assertNotIn("E:", r.stdout)
        with open(meta, encoding="utf-8") as f:
            text = f.read()
        self.assertIn(f"<launchable type=\"desktop-id\">{APP_ID}.desktop</launchable>", text)
        # The pictures the README shows, in its order.
        with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
            shown = re.findall(r"!\[[^\]]*\]\((docs/screenshots/[^)]+)\)", f.read())
        self.assertTrue(shown)
        self.assertEqual(re.findall(r"<image>https://[^<]*/(docs/screenshots/[^<]+)</image>", text), shown)

    def test_manual_page_renders_and_names_every_switch(self):
        need("man")
        page = self.path("share", "man", "man1", "tarnwick.1.gz")
        r = run("man", "--warnings", "-l", page, env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="0"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stderr.strip(), "", "groff warnings")
        text = re.sub(r".\x08", "", r.stdout)
        for section in ("SYNOPSIS", "SWITCHES", "OPTIONS", "FILES", "ENVIRONMENT", "EXIT STATUS"):
            self.assertRegex(text, rf"(?m)^{section}$")
        self.assertIn("/usr/local/share/tarnwick/help/tarnwick.html", text)  # where this install put them
        switches = usage_switches(self.path("bin", "tarnwick"), self.home)
        self.assertGreaterEqual(len(switches), 5)
        for switch in switches:
            self.assertIn(switch.replace("#xx", "#NN"), text)
        options = usage_options(self.path("bin", "tarnwick"), self.home)
        self.assertGreaterEqual(len(options), 7, options)
        for option in options:
            self.assertRegex(text, r"(?<![\w-])%s\b" % re.escape(option))
        for option in ("HTTP Proxy server", "FTP Proxy server", "EMail address", "Rollback",
                       "Resume one download at a time", "Close window when finished getting file"):
            self.assertIn(option, text)

    def test_browser_host_manifests_name_the_installed_program_and_only_our_extension(self):
        stage = os.path.join(self.tmp, "stage")
        allowed = {"etc/chromium": "allowed_origins", "etc/opt/chrome": "allowed_origins",
                   "lib/mozilla": "allowed_extensions"}
        origins = {}
        for folder, key in allowed.items():
            with open(os.path.join(self.root, folder, "native-messaging-hosts", "com.quillfern.tarnwick.json")) as f:
                manifest = json.load(f)
            self.assertEqual(manifest["path"], self.path("bin", "tarnwick")[len(stage):])
            self.assertEqual((manifest["name"], manifest["type"], len(manifest[key])),
                             ("com.quillfern.tarnwick", "stdio", 1))
            origins[key] = manifest[key][0]
        # The installed extension is the one they let in: its key gives Chromium's id.
        with open(os.path.join(self.path("bin"), "..", "share", "tarnwick", "extension", "manifest.json")) as f:
            extension = json.load(f)
        digest = hashlib.sha256(base64.b64decode(extension["key"])).hexdigest()[:32]
        chromium_id = "".join(chr(ord("a") + int(c, 16)) for c in digest)
        self.assertEqual(origins, {"allowed_origins": "chrome-extension://%s/" % chromium_id,
                                   "allowed_extensions": extension["browser_specific_settings"]["gecko"]["id"]})
        for name in ("background.js", "popup.html", "links.html", "icon.png"):
            self.assertTrue(os.path.isfile(os.path.join(self.path("bin"), "..", "share", "tarnwick", "extension", name)))

    def test_help_pages_lie_where_the_program_looks_with_every_context(self):
        # The program looks beside its binary: <prefix>/bin/../share/tarnwick/help.
        page = os.path.join(self.path("bin"), "..", "share", "tarnwick", "help", "tarnwick.html")
        with open(page, encoding="utf-8") as f:
            html = f.read()
        contexts = set()
        for folder, _, names in os.walk(os.path.join(SOURCE, "src")):
            for name in names:
                if name.endswith(".cpp") and "platform" not in folder:
                    with open(os.path.join(folder, name), encoding="utf-8") as f:
                        contexts.update(re.findall(r"WinHelp\((\d+)\)", f.read()))
        self.assertTrue(contexts)
        for ctx in contexts:
            self.assertIn(f'name="ctx-{ctx}"', html)


class DebianPackage(unittest.TestCase):
    def test_package_holds_the_installed_files_and_its_program_runs(self):
        for tool in ("cpack", "dpkg-deb", "dpkg-shlibdeps", "lintian"):
            need(tool)
        tmp = tempfile.mkdtemp(prefix="tarnwick-deb-")
        try:
            r = run("cpack", "-G", "DEB", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", tmp)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
            debs = [n for n in os.listdir(tmp) if n.endswith(".deb")]
            self.assertEqual(len(debs), 1, os.listdir(tmp))
            deb = os.path.join(tmp, debs[0])

            depends = run("dpkg-deb", "-f", deb, "Depends").stdout
            self.assertIn("libqt6widgets6", depends)
            self.assertIn("qt6-qpa-plugins", depends)
            # Every package it depends on is one this Debian has (they are installed here).
            for alt in re.split(r",\s*", depends.strip()):
                name = alt.split("|")[0].split("(")[0].strip()
                r = run("dpkg-query", "-W", "-f=${Status}", name)
                self.assertIn("install ok installed", r.stdout, name)

            listing = run("dpkg-deb", "-c", deb).stdout
            for path in ("./usr/bin/tarnwick", f"./usr/share/applications/{APP_ID}.desktop",
                         f"./usr/share/applications/{APP_ID}.FtpUrl.desktop",
                         f"./usr/share/metainfo/{APP_ID}.metainfo.xml",
                         f"./usr/share/icons/hicolor/scalable/apps/{APP_ID}.svg",
                         f"./usr/share/icons/hicolor/48x48/apps/{APP_ID}.png",
                         "./usr/share/man/man1/tarnwick.1.gz", "./usr/share/tarnwick/help/tarnwick.html",
                         "./usr/share/tarnwick/extension/manifest.json",
                         "./usr/share/doc/tarnwick/copyright", "./usr/share/doc/tarnwick/changelog.gz",
                         "./etc/chromium/native-messaging-hosts/com.quillfern.tarnwick.json",
                         "./usr/lib/mozilla/native-messaging-hosts/com.quillfern.tarnwick.json"):
                self.assertIn(path, listing)

            # Debian's own checks: not one error, and no ldconfig for the private module.
            r = run("lintian", "--tag-display-limit", "0", deb)
            errors = [line for line in r.stdout.splitlines() if line.startswith("E:")]
            self.assertEqual(errors, [], r.stdout + r.stderr)
            self.assertNotIn("maintscript-calls-ldconfig", r.stdout)
            self.assertNotIn("ldconfig", run("dpkg-deb", "-I", deb).stdout)

            root = os.path.join(tmp, "root")
            self.assertEqual(run("dpkg-deb", "-x", deb, root).returncode, 0)
            home = os.path.join(tmp, "home")
            os.makedirs(home)
            r = run(os.path.join(root, "usr", "bin", "tarnwick"), "/RESUME", stdin=subprocess.DEVNULL,
                    env=terminal_env(home))
            self.assertEqual(r.returncode, 0, r.stderr)
            self.assertIn("No requests needed to be resumed.", r.stderr)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(verbosity=2)
