"""The Windows launcher with the test keys under Wine, where Windows can differ from Linux: names
outside ASCII, a path past 260 characters, a space in its path, a start from another folder,
read-only copies, folders removed, the record's stamps, a folder renamed by case, a patch (mapped
files), a file held open, a scanner, the game running, the single-instance mutex per product,
fatal reports in a message box, Schannel and the bundle, the system's proxy, the signed list, and
the package a vendor ships with its constants (the installed version starting behind a proxy that
cannot be reached)."""

import random
import struct
import re
import shutil
import stat
import subprocess
import time
import unittest
import zipfile
from pathlib import Path
from unittest import mock

import wine_harness
import harness
from connect_proxy import ConnectProxy
from harness import E2ETestCase, GAME_EXE, GAME_STUB, LIST_NAME, url_for

KEYS = harness.SOURCE_DIR / "tests" / "keys"
SIGNED = wine_harness.WIN_BUILD_DIR / "tests" / "wine" / "velm-launcher-signed.exe"
NON_ASCII, SAME, MISSING = "maps/caf\u00e9/\u00fcber map.dat", "data/same size.bin", "sub dir/missing one.bin"
LONG = "deep/" + "d" * 120 + "/" + "\u00e9" * 60 + "/" + "f" * 100 + ".bin"  # game\<name> passes 260 characters
PRODUCT, LOCK = "VELM Test Launcher", "VELM_TEST_LAUNCHER"  # the signed launcher's (tests/wine/CMakeLists.txt)
INTERNET_SETTINGS = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings"


def source(version):
    rng = random.Random(4)
    pak = rng.randbytes(1 << 20)
    files = {GAME_EXE: GAME_STUB, "launcher.dat": harness.png_image(), "empty.dat": b"", NON_ASCII: b"non-ASCII\n",
             "name with spaces.txt": b"spaces\n", SAME: b"A" * 4096, LONG: b"long\n", "sounds/a.ogg": b"a", "x.pak": pak, "x.bin": b"1"}
    if version == 2:  # a folder renamed by case, a file patched, a file held open
        files.update({"Sounds/a.ogg": files.pop("sounds/a.ogg"), "x.bin": b"2",
                      "x.pak": pak[:300_000] + rng.randbytes(5000) + pak[305_000:]})
    return files


def set_proxy(directory, server, bypass):
    """The current user's proxy as Internet Options writes it: the values WinINet reads, and the
    binary record WinHTTP reads (flags 3: direct and proxy); none with SERVER None."""
    record = b"".join(struct.pack("<I", len(text)) + text for text in ((server or "").encode(), bypass.encode(), b""))
    record = struct.pack("<III", 0x46, 1, 3) + record + bytes(32)
    values = [f'"ProxyEnable"=dword:00000001\n"ProxyServer"="{server}"\n"ProxyOverride"="{bypass}"',
              f'"DefaultConnectionSettings"=hex:{",".join(f"{b:02x}" for b in record)}'] if server else \
        ['"ProxyEnable"=-\n"ProxyServer"=-\n"ProxyOverride"=-', '"DefaultConnectionSettings"=-']
    reg = directory / "proxy.reg"
    reg.write_text(f"REGEDIT4\n\n[{INTERNET_SETTINGS}]\n{values[0]}\n\n[{INTERNET_SETTINGS}\\Connections]\n{values[1]}\n")
    subprocess.run([wine_harness.WINE, "regedit", "/S", str(reg)], env=harness.launcher_env(), check=True, timeout=60,
                   stdin=subprocess.DEVNULL, capture_output=True)


def read_only(directory, files):
    harness.write_tree(directory, files)
    for name in files:
        (directory / name).chmod(stat.S_IRUSR)  # Wine: FILE_ATTRIBUTE_READONLY


class WineTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.enterClassContext(mock.patch.object(harness, "LAUNCHER_EXE", SIGNED))
        cls.root = harness.publish(source(1), cls.scratch / "root", "--sign", KEYS / "vendor.key")
        (cls.scratch / "served").symlink_to(cls.root)
        cls.server = cls.serve(cls.scratch / "served")

    def switch_to(self, root):
        (self.scratch / "served.new").symlink_to(root)
        (self.scratch / "served.new").replace(self.scratch / "served")

    def test_fatal_reports_wait_in_a_box_while_a_second_instance_ends_at_once(self):
        self.addCleanup(self.switch_to, self.root)
        trees = {}
        # Failures that the Linux tests show in every kind; here, those where Windows differs.
        for what, key in (("missing", "vendor"), ("stranger", "stranger")):
            trees[what] = harness.publish({GAME_EXE: GAME_STUB, "a.txt": b"present\n", MISSING: b"lost\n"},
                                          self.scratch / what, "--sign", KEYS / f"{key}.key")
        harness.published_path(trees["missing"], MISSING).unlink()
        listed = harness.published_path(self.scratch / "device", LIST_NAME)  # a list velm-publish would refuse
        listed.parent.mkdir(parents=True)
        harness.zstd(harness.encode([[GAME_EXE, 1, "0" * 40], ["CON.txt", 1, "0" * 40]]), listed)
        sig = subprocess.run([harness.BUILD_DIR / "tests/e2e/velm-test-sign", KEYS / "vendor.key", listed, "1",
                              str(int(time.time()) + 86400)], capture_output=True, check=True).stdout
        (listed.parent / (LIST_NAME + ".zs.sig")).write_bytes(sig)
        rows = [  # (what, served tree, authority bundle, the report, whether nothing may reach game/)
            ("a file the server lacks", trees["missing"], None, f"error 404 downloading\n{url_for(MISSING)}", False),
            ("a device name", self.scratch / "device", None, "unsafe name", True),
            # Schannel without a bundle accepts any certificate under Wine: the launcher must hand it one.
            ("the system's bundle", self.root, "/etc/ssl/certs/ca-certificates.crt", "Error downloading. ", True),
            ("a list signed by another key", trees["stranger"], None, "not signed by the vendor", True),
        ]
        x = harness.Xvfb(self.scratch / "xvfb.log")
        self.addCleanup(x.stop)
        for what, tree, bundle, report, nothing in rows:
            with self.subTest(what):
                self.switch_to(tree)
                directory = self.stage()
                if bundle:
                    shutil.copy(bundle, directory / "curl-ca-bundle.crt")
                run = harness.LauncherRun(directory, env=x.env)
                self.addCleanup(run.kill)
                run.wait_for(lambda: time.sleep(0.2) or x.window("Fatal error"), 30, "a message box")
                canary = self.stage({SAME: b"stale", "unlisted.txt": b"would be deleted"})
                before = harness.snapshot(canary)
                second = harness.run_launcher(canary, timeout=20)
                self.assertEqual((second.returncode, second.lines, second.stderr), (0, [], f"{PRODUCT} is already running."),
                                 second.describe())
                if what == rows[0][0]:  # another product's launcher, with the default lock, runs meanwhile
                    with mock.patch.object(harness, "LAUNCHER_EXE", wine_harness.WIN_BUILD_DIR / "velm-launcher.exe"):
                        self.assert_fatal(harness.run_launcher(self.stage(), timeout=60), report)
                self.assertEqual(harness.snapshot(canary), before, "the second instance touched its tree")
                self.assertIsNone(run.process.poll(), f"the launcher did not wait\n{run.describe()}")
                x.press(x.window("Fatal error"), "Return")
                self.assert_fatal(run.wait(15), report, *run.curl_errors())
                # One failure (the launcher's own list meets it too), never tried again.
                self.assertEqual((run.retries(), len(set(run.curl_errors()))), ([], int(bool(bundle))), run.describe())
                if nothing:
                    self.assertLessEqual(set(harness.snapshot(directory / "game")), {LIST_NAME, LIST_NAME + ".zs"})

    def test_package_is_signed_and_installs_the_game(self):
        cert, key = self.scratch / "cert.pem", self.scratch / "key.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=VELM",
                        "-keyout", key, "-out", cert, "-addext", "keyUsage=critical,digitalSignature",
                        "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
        package = self.scratch / "velm-launcher.zip"
        make = lambda *options, url=harness.BASE_URL: subprocess.run(  # noqa: E731
            ["bash", harness.SCRIPTS_DIR / "windows-package.sh", *options, url, package, self.cert_dir / "ca.crt"],
            capture_output=True, text=True, env={**harness.launcher_env(),
                                                 "VELM_PACKAGE_BUILD_DIR": str(wine_harness.WIN_BUILD_DIR / "package-build")})
        for options, url, report in [(["--sign-cert", cert], None, "needs both --sign-cert and --sign-key"),
                                     (["--sign-cert", cert, "--sign-key", self.scratch / "none"], None, "cannot read"),
                                     (["--sign-cert", cert, "--sign-key", key, "--timestamp", "tsa.example"], None, "timestamp URL"),
                                     ([], f"{harness.BASE_URL},https://127.0.0.1:4443/", "Windows' TLS matches DNS names only"),
                                     ([], "https://[::1]:4443/", "must name its host")]:
            refused = make(*options, url=url or harness.BASE_URL)  # before anything is built
            self.assertEqual((refused.returncode, package.exists()), (1, False), refused.stderr)
            self.assertIn(report, refused.stderr)
        made = make("--sign-cert", cert, "--sign-key", key, "--constant", "VELM_PRODUCT_NAME=Other Game",
                    "--constant", "VELM_VERSION=2.5.1", "--constant", "VELM_OFFLINE_START=ON")
        self.assertEqual(made.returncode, 0, made.stderr)
        player = self.scratch / "player"
        zipfile.ZipFile(package).extractall(player)
        self.assertEqual({p.name for p in player.iterdir()}, {"velm-launcher.exe", "curl-ca-bundle.crt",
                                                              "RobotoCondensed-BoldItalic.ttf"})
        verified = subprocess.run(["osslsigncode", "verify", "-in", player / "velm-launcher.exe", "-CAfile", cert],
                                  capture_output=True, text=True)
        self.assertIn("Signature verification: ok", verified.stdout, verified.stderr)
        with mock.patch.object(harness, "LAUNCHER_EXE", player / "velm-launcher.exe"):
            self.assert_ok(harness.run_launcher(player, timeout=120), source(1))
            self.assertIn('"Other-Game/2.5.1"', self.server.access_log(), "each request names the product and version")
            # The system's proxy, unreachable, is the one the player reads of; the installed version starts.
            self.addCleanup(set_proxy, self.scratch, None, "")
            set_proxy(self.scratch, "127.0.0.1:9", "<-loopback>")
            run = harness.run_launcher(player, timeout=120)
            self.assert_ok(run)
            self.assertIn("Cannot reach the proxy http://127.0.0.1:9, ", "\n".join(run.lines), run.describe())
            self.assertIn("Cannot reach the update server; starting the installed version", run.lines, run.describe())

    def test_system_proxy(self):
        proxy = ConnectProxy()
        self.addCleanup(proxy.stop)
        self.addCleanup(set_proxy, self.scratch, None, "")
        # (bypass list, whether the proxy carries the requests): the machine's own server goes straight unless
        # the list says "<-loopback>"; a listed host goes straight.
        for bypass, proxied in (("*.example.com;<-loopback>", True), ("*.example.com", False), ("<-loopback>;local*", False)):
            with self.subTest(bypass):
                set_proxy(self.scratch, f"127.0.0.1:{proxy.port}", bypass)
                proxy.log.clear()
                run = harness.run_launcher(self.stage(), timeout=120)
                self.assert_ok(run, source(1))
                used = f"using the system's proxy http://127.0.0.1:{proxy.port} for {harness.BASE_URL}"
                self.assertEqual((used in run.lines, set(proxy.log)), (proxied, {"CONNECT localhost:4443"} if proxied else set()),
                                 run.describe())

    def test_running_game_and_scanner(self):
        self.addCleanup(self.switch_to, self.root)
        directory = self.stage()
        game = directory / "game"
        game.mkdir()
        # A scanner holds each new file without sharing for a moment: the launcher waits for it.
        scanner = subprocess.Popen(wine_harness.HOLDER + ["scan", str(game), "300"], stdout=subprocess.PIPE, text=True, errors="replace",
                                   env=harness.launcher_env())
        self.addCleanup(lambda: (scanner.kill(), scanner.wait(), scanner.stdout.close()))
        self.assertEqual(scanner.stdout.readline().strip(), "holding")
        self.assert_ok(harness.run_launcher(directory, timeout=120), source(1))
        scanner.kill()
        self.assertIn("scanned ", scanner.stdout.read(), "the scanner held nothing")

        # The game runs from game/: a current install does not start it again.
        running = subprocess.Popen([wine_harness.WINE, game / GAME_EXE, "stay", "300"], cwd=game, env=harness.launcher_env())
        self.addCleanup(lambda: (running.kill(), running.wait()))
        self.assertIsNotNone(harness.take_game_record(directory, wait=30), "the game did not start")
        run = harness.run_launcher(directory)
        self.assertEqual(run.returncode, 0, run.describe())
        self.assertIn(f"the game is running already (game/{GAME_EXE} is held open): not started again", run.lines)
        self.assertIsNone(harness.take_game_record(directory, wait=3), "a second copy started")
        # A new executable waits for the game, then asks the player to close it; the running one stays in place
        # (the new one, checked beside it, goes at the next start).
        changed = {**source(1), GAME_EXE: GAME_STUB + bytes(64)}
        self.switch_to(harness.publish(changed, self.scratch / "new exe", "--sign", KEYS / "vendor.key"))
        run = harness.run_launcher(directory)
        self.assert_fatal(run, "The game is still running. Close it, then start the launcher again.\n"
                               f"game/{GAME_EXE} is in use by another program.")
        self.assertEqual((game / GAME_EXE).read_bytes(), GAME_STUB)
        running.kill()
        running.wait()
        self.assert_ok(harness.run_launcher(directory, timeout=120), changed, skip=harness.UPD_OLD)

    def test_the_launcher_replaces_itself(self):
        # The shipped launcher, from its own tree beside the game's, becomes version 2 under its own name: the new one
        # starts as velm-launcher.exe.new, takes the mutex as the old one ends, renames itself over the old one, and
        # starts the game. Killed (kill -9 of its wine process) as it waits to take the old one's name, which another
        # program holds, it leaves the old one, which does it all again at the next start.
        v1, v2 = wine_harness.WIN_BUILD_DIR / "velm-launcher.exe", wine_harness.WIN_BUILD_DIR / "tests/wine/velm-launcher-v2.exe"
        tree = self.scratch / "with-launcher"
        shutil.copytree(self.root, tree, symlinks=True)
        harness.publish({v1.name: v2.read_bytes(), "curl-ca-bundle.crt": (self.cert_dir / "ca.crt").read_bytes() + b"\n",
                         "RobotoCondensed-BoldItalic.ttf": Path(harness.FONT).read_bytes()}, tree, "--link", "launcher-windows")
        self.switch_to(tree)
        self.addCleanup(self.switch_to, self.root)
        for what in ("the old one ends", "the new one killed as it waits", "a new one an earlier attempt left"):
            with self.subTest(what), mock.patch.object(harness, "LAUNCHER_EXE", v1):
                directory = self.stage()
                if what.startswith("a new one"):  # whatever an attempt left goes before anything is fetched
                    shutil.copy(v1, directory / f"{v1.name}.new")
                if "killed" in what:
                    holder = subprocess.Popen(wine_harness.HOLDER + ["file", str(directory / v1.name), "60"],
                                              stdout=subprocess.PIPE, env=harness.launcher_env(), text=True)
                    self.addCleanup(lambda: (holder.kill(), holder.wait(), holder.stdout.close()))
                    self.assertEqual(holder.stdout.readline().strip(), "holding")
                harness.run_launcher(directory, timeout=120)  # it ends as the new one takes over
                if "killed" in what:
                    log = directory / "launcher.log"
                    deadline = time.monotonic() + 60
                    while f"waiting for {v1.name}," not in log.read_text() and time.monotonic() < deadline:
                        time.sleep(0.2)
                    subprocess.run(["pkill", "-9", "-f", f"{directory.name}.{v1.name}$"], check=True)
                    holder.kill()
                    self.assertEqual((directory / v1.name).read_bytes(), v1.read_bytes())
                    self.assert_ok(harness.run_launcher(directory, timeout=120))
                else:
                    self.assertIsNotNone(harness.take_game_record(directory, wait=60))
                log = (directory / "launcher.log").read_text()
                self.assertIn("launcher VELM-Launcher/2.0.0", log)
                self.assertIn(f"launcher: {v1.name} is the new version", log)
                self.assertEqual((directory / v1.name).read_bytes(), v2.read_bytes(), log)
                self.assertEqual([p.name for p in directory.iterdir() if p.suffix in (".new", ".part")], [], log)

    def test_update_sequence(self):
        # A fresh install below a path with a space, from another folder, which holds a game/ of its own.
        directory = self.stage(directory=self.scratch / "Program Files" / "VELM")
        game, elsewhere = directory / "game", self.scratch / "elsewhere"
        harness.write_tree(elsewhere / "game", {"unlisted.txt": b"x", SAME: b"stale"})
        run = harness.run_launcher(directory, timeout=120, cwd=elsewhere)
        self.assert_ok(run, source(1))
        self.assert_transfers(run, source(1))
        self.assertIn("file list signed by the vendor: publish 1", "\n".join(run.lines), run.describe())
        self.assertEqual(harness.snapshot(elsewhere, files_only=True), {"game/unlisted.txt": b"x", f"game/{SAME}": b"stale"})

        # Read-only copies give way: a stale one, an earlier copy set aside, an unlisted one. Folders
        # emptied by the update go.
        read_only(game, {SAME: b"B" * 4096, SAME + ".upd_old": b"older", "read only.txt": b"unlisted"})
        unlisted = {"unlisted.txt": b"x", ".dotfile": b"d", "gone dir/deeper/only.bin": b"its folders go with it"}
        kept = {".config/settings.ini": b"kept"}
        harness.write_tree(game, {**unlisted, **kept})
        (game / "empty dir").mkdir()
        run = harness.run_launcher(directory)
        self.assert_transfers(run, [SAME])
        self.assertEqual(set(run.not_found()), {*unlisted, "read only.txt", SAME + ".upd_old"}, run.describe())
        self.assert_ok(run, {**source(1), **kept})
        self.assertTrue((game / "empty dir").is_dir() and not (game / "gone dir").exists(), "the wrong folders went")

        # Version 2: the file held open is waited for; the case-renamed folder is the same folder.
        harness.publish(source(2), self.root, "--sign", KEYS / "vendor.key")
        held_open = subprocess.Popen(wine_harness.HOLDER + ["file", str(game / "x.bin"), "120"], stdout=subprocess.PIPE,
                                     env=harness.launcher_env(), text=True)
        self.addCleanup(lambda: (held_open.kill(), held_open.wait(), held_open.stdout.close()))
        self.assertEqual(held_open.stdout.readline().strip(), "holding")
        start = len(self.server.access_log())
        run = harness.LauncherRun(directory)
        self.addCleanup(run.kill)
        run.wait_for(lambda: "waiting for game/x.bin, which another program holds open" in run.lines, 120, "the wait")
        held_open.kill()  # released while the launcher waits (for about 10 s)
        held_open.wait()
        run.wait(120)
        self.assertEqual([u for u in run.transfers() if "/.patches/" not in u], [url_for(LIST_NAME), url_for("x.bin")])
        self.assertEqual(len(run.transfers()), 3, run.describe())
        # The statement, the list, the two files' patches (one missing) and the one fetched whole.
        requests = re.findall(r'"GET /windows/.* HTTP/[0-9.]+" \d+ \d+ "[^"]*" "[^"]*" (\d+) ', self.server.access_log()[start:])
        # How many connections carry requests in flight depends on timing (and on the launcher's own
        # list beside them): only that they are reused.
        self.assertEqual(len(requests), 5, self.server.access_log()[start:])
        self.assertLess(len(set(requests)), len(requests), "no connection reused")
        installed = {**source(2), **kept}
        installed["sounds/a.ogg"] = installed.pop("Sounds/a.ogg")
        self.assert_ok(run, installed, skip=harness.UPD_OLD)

        # An instance that ended owning the mutex leaves it abandoned: the next one runs. The tree
        # is current: only the list is fetched, nothing is read but the empty file (by the record).
        holder = subprocess.Popen(wine_harness.HOLDER + ["mutex", LOCK, "120"], env=harness.launcher_env(),
                                  stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (holder.kill(), holder.wait()))
        self.assertEqual(holder.stdout.readline().strip(), "holding")
        holder.stdout.close()
        subprocess.run(wine_harness.HOLDER + ["abandon", LOCK], env=harness.launcher_env(), check=True, timeout=30)
        before = harness.snapshot(game)
        run = harness.run_launcher(directory)
        self.assertEqual((run.transfers(), run.found()), ([url_for(LIST_NAME)], (len(source(2)) - 1, 1, 0)), run.describe())
        self.assert_ok(run)
        self.assertEqual(harness.snapshot(game), before, "a current tree was modified")
        # Other bytes of the same size under the old modification time: the change time tells.
        harness.rewrite_in_place(game / SAME, b"C" * 4096)
        run = harness.run_launcher(directory)
        self.assertEqual(run.found(), (len(source(2)) - 2, 1, 1), run.describe())


if __name__ == "__main__":
    unittest.main()
