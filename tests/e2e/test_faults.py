"""Against fault_server.py: lists refused before any change, one table of failure causes (what the
player reads, what is tried again, when the installed version starts instead), a version published
during the download, a second instance while the first waits for the list."""

import email.utils
import hashlib
import os
import random
import shutil
import struct
import unittest
from pathlib import Path
from unittest import mock

import harness
from harness import E2ETestCase, LIST_NAME, url_for

TWICE, STALLED, WRONG, CHANGED = "1 twice.bin", "big stall.bin", "wrong one.bin", "data/a.bin"
LIST, OTHER_USER = f"/windows/{LIST_NAME}.zs", harness.as_user(65534)
OFFLINE = harness.BUILD_DIR / "tests/e2e/velm-launcher-offline"  # built with VELM_OFFLINE_START=ON
PLAYERS = harness.BUILD_DIR / "velm-launcher"  # the build's own, as players get it (a refusal does not pause)
STARTS_INSTALLED = "Cannot reach the update server; starting the installed version"
STALE = "Mon, 01 Jan 2024 00:00:00 GMT"  # a Last-Modified date no published file has
LATER = "the vendor's server is being updated or is damaged; try again later."


def entry(name, data=b"x"):
    return [name, len(data), hashlib.sha1(data).hexdigest()]


def temporary(validator, received):
    """A transfer's temporary: its header for the whole file and VALIDATOR (bytes), then RECEIVED."""
    return struct.pack("<II", 0x184D2A5E, 248) + b"velm partial 2\nwhole\n" + (validator + b"\n").ljust(248 - 21, b"\0") + received


GOOD = entry(harness.GAME_EXE, harness.GAME_STUB)
# The unit tables hold every name rule and conflict; these show that the launcher refuses such a
# list before it changes anything: an unsafe name, names that clash on disk, a malformed entry.
# (what, the list's entries, the offending name, which the report must hold where it can)
REFUSED = [
    ("parent directory", [GOOD, entry("data/../../x")], "data/../../x"),
    ("letter case", [GOOD, entry("Data.bin", b"1"), entry("data.bin", b"2")], "data.bin"),
    ("entry of two values", [GOOD, ["two.bin", 1]], None),
]


def source(version):
    rng = random.Random(11)
    return {harness.GAME_EXE: harness.GAME_STUB, "0 flaky.bin": rng.randbytes(50_000), TWICE: rng.randbytes(50_000),
            STALLED: rng.randbytes(200_000), "half.bin": rng.randbytes(100_000), WRONG: rng.randbytes(30_000),
            CHANGED: f"version {version}\n".encode() * 1000, "empty": b"", "small": b"x" * 23,
            # Names that the launcher accepts, and that take the value stream's longer forms.
            "a directory with a long name/and a file with a long name.txt": b"long\n" * 100,
            "f" * 247: b"the longest file name\n", ".dotfile": b"a file's own name may begin with a dot\n",
            "\u00c9t\u00e9/\u00e9T\u00c9 \u017d.txt": b"Latin letters, one spelling per directory\n"}


class FaultTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.source = source(2)
        cls.old_list = harness.publish(source(1), cls.scratch / "old") / "windows" / (LIST_NAME + ".zs")
        cls.root = harness.publish(cls.source, cls.scratch / "root")
        cls.server = cls.fault_server(cls.root)
        half = harness.published_path(cls.root, "half.bin").read_bytes()
        cls.bodies = {"half": cls.scratch / "half.zs", "other": cls.scratch / "other.zs",
                      "larger": cls.scratch / "larger.zs", "endless": cls.scratch / "endless.zs"}
        cls.bodies["half"].write_bytes(half[:len(half) // 2])
        cls.bodies["endless"].write_bytes(bytes(4 << 20))
        harness.zstd(random.randbytes(30_000), cls.bodies["other"])
        harness.zstd(random.randbytes(31_000), cls.bodies["larger"])

    def test_lists_with_unsafe_or_conflicting_names_are_refused_before_any_change(self):
        for i, (what, entries, fragment) in enumerate(REFUSED):
            with self.subTest(what), mock.patch.object(harness, "LAUNCHER_EXE", PLAYERS):
                self.server.set({LIST: {"body_file": str(harness.zstd(harness.encode(entries), self.scratch / f"{i}.zs"))}})
                directory = self.stage({"unlisted canary.txt": b"deleted only by a scan\n"})
                (directory / "canary.txt").write_bytes(b"beside game/\n")
                before = harness.snapshot(directory)
                run = harness.run_launcher(directory)
                self.assert_fatal(run, fragment or "")
                self.assertRegex(run.stderr, r"^(Fatal error|Runtime check failed) in ", run.describe())
                self.assertEqual((run.transfers(), run.not_found()), ([url_for(LIST_NAME)], {}), run.describe())
                after = harness.snapshot(directory)
                after.pop("launcher.log")
                self.assertEqual(after, before, f"the tree changed\n{run.describe()}")

    def test_failure_causes(self):
        stranger = harness.make_certificates(self.scratch / "stranger") / "ca.crt"
        busy = {"status": 503, "headers": {"Retry-After": "1"}}
        date = email.utils.formatdate(harness.published_path(self.root, TWICE).stat().st_mtime, usegmt=True)
        no_network, proxy = {"prefix": ["unshare", "--net"]}, {"env": {**harness.launcher_env(), "https_proxy": "http://127.0.0.1:9"}}
        rows = [  # (cause, faults, the tree before (none, installed by a run before, a file changed since), how the run goes,
                  #  the launcher built to start the installed version, what the player, the developers and the server read)
            ("server down", {}, "installed", no_network, True, "offline", ["Cannot reach the update server localhost:4443. ",
                                                                           "Error downloading. "]),
            ("server down, a file changed since", {}, "changed", no_network, True, "fatal", ["Cannot reach the update "
                                                                                            "server localhost:4443. Check"]),
            ("an unreachable proxy", {}, "changed", proxy, True, "fatal", ["Cannot reach the proxy http://127.0.0.1:9, "]),
            ("untrusted server", {}, "fresh", {"bundle": stranger}, False, "fatal",
             ["could not prove that it is the vendor's. Check that this computer's date and time", "Error downloading. "]),
            ("the update folder missing", {LIST: {"status": 404}}, "installed", {}, True, "offline",
             [f"The update server lacks the file list: {LATER}\n\nerror 404 downloading\n{url_for(LIST_NAME)}"]),
            ("a file missing", {f"/windows/{WRONG}.zs": {"status": 404}}, "fresh", {}, False, "fatal",
             [f"The update server lacks the file {WRONG}: {LATER}\n\nerror 404 downloading\n{url_for(WRONG)}"]),
            ("redirect, not followed", {f"/windows/{WRONG}.zs": {"status": 301}}, "fresh", {}, False, "fatal",
             [f"did not send the file {WRONG} (it answered 301)", f"error 301 downloading\n{url_for(WRONG)}"]),
            ("server busy throughout", {LIST: busy}, "changed", {}, True, "fatal",
             ["The update server localhost:4443 is overloaded or down (it answered 503)", "error 503 downloading"]),
            ("truncated zstd stream", {"/windows/half.bin.zs": {"body_file": str(self.bodies["half"])}}, "fresh", {}, False,
             "fatal", [f"sent a damaged copy of half.bin: {LATER}", "game/half.bin.zs ends inside its compressed data"]),
            ("stream of other bytes", {f"/windows/{WRONG}.zs": {"body_file": str(self.bodies["other"])}}, "fresh", {}, False,
             "fatal", [f"sent a damaged copy of {WRONG}", f"File checksum error: {WRONG}"]),
            ("busy answers, then the file", {f"/windows/{WRONG}.zs": {**busy, "times": 2}, LIST: {"status": 429, "times": 1}},
             "fresh", {}, False, "ok", [f" !!! RETRYING {WRONG}: the server answered 503"]),
            ("a .zs growing past its cap, refused unread", {f"/windows/{WRONG}.zs": {"body_file": str(self.bodies["endless"]),
                                                                                    "no_length": True, "stall": 120}},
             "fresh", {}, False, "fatal", [f"sent a damaged copy of {WRONG}", f"{WRONG}.zs is longer than 30000 bytes "
                                                                              "compress to (more than 30166 bytes)"]),
            ("a trickle, given up and tried again", {f"/windows/{WRONG}.zs": {"trickle": 200, "times": 1}}, "fresh", {}, True,
             "ok", [f" !!! RETRYING {WRONG}: it sends too slowly"]),
            # The first temporary's bytes are not the server's under the same ETag; the second's range is answered from 0.
            ("resumed downloads that cannot go on", {"/windows/half.bin.zs": {"range_from": 0, "times": 1}}, "fresh",
             {"staged": {f"{WRONG}.zs": temporary(b'"%x"' % len(harness.published_path(self.root, WRONG).read_bytes()),
                                                  b"x" * 1000),
                         "half.bin.zs": temporary(b'"%x"' % len(harness.published_path(self.root, "half.bin").read_bytes()),
                                                  harness.published_path(self.root, "half.bin").read_bytes()[:1000])}},
             False, "ok", [f"the resumed download of {WRONG} does not match the list",
                           "the server sent half.bin from byte 0 where the launcher asked for byte 1000; fetching it whole"]),
            # A cut transfer goes on under If-Range with the date; a temporary under another date is answered whole.
            ("a server with dates only", {f"/windows/{TWICE}.zs": {"no_etag": True, "cut": 5000, "times": 1},
                                          "/windows/half.bin.zs": {"no_etag": True}}, "fresh",
             {"staged": {"half.bin.zs": temporary(STALE.encode(), b"x" * 1000)}}, False, "ok",
             [f"resuming {TWICE} at byte 5000", f"/windows/{TWICE}.zs If-Range {date}: the rest",
              f"/windows/half.bin.zs If-Range {STALE}: the whole file"]),
            # libcurl asks again once itself when a reused connection is reset before any answer. The stall outlasts
            # the test launcher's 5 s limit; the drops outnumber the attempts, each brings the file further. A validator
            # with a bare CR, from the server or in a temporary, is never sent back (checked below).
            ("resets, a stall, a link that drops", {f"/windows/{TWICE}.zs": {"reset": True, "times": 2},
                                                    f"/windows/{STALLED}.zs": {"stall": 60, "times": 1},
                                                    "/windows/half.bin.zs": {"cut": 5000, "times": 12},
                                                    f"/windows/{WRONG}.zs": {"cut": 5000, "times": 1,
                                                                             "headers": {"ETag": '"a\rb"', "Last-Modified": "a\rb"}}},
             "fresh", {"staged": {"0 flaky.bin.zs": temporary(b'"x\ry"', b"partial")}}, True, "ok", [" !!! RETRYING "]),
        ]
        for what, faults, before, how, offline, outcome, said in rows:
            with self.subTest(what), mock.patch.object(harness, "LAUNCHER_EXE", OFFLINE if offline else harness.LAUNCHER_EXE):
                self.server.set({})
                directory = self.stage(how.get("staged", {}))
                if before != "fresh":  # a copy would not be the tree its record describes
                    self.assert_ok(harness.run_launcher(directory))
                if before == "changed":
                    harness.write_tree(directory / "game", {CHANGED: b"changed by hand"})
                self.server.set(faults)
                if "bundle" in how:
                    shutil.copy(how["bundle"], directory / "curl-ca-bundle.crt")
                untouched = harness.snapshot(directory / "game")
                run = harness.run_launcher(directory, timeout=120, prefix=how.get("prefix", ()), env=how.get("env"))
                log = (directory / "launcher.log").read_text() + self.server.log()
                for fragment in said:
                    self.assertIn(fragment, log, run.describe())
                if outcome == "ok":
                    self.assert_ok(run, self.source)
                    continue
                if "body_file" in faults.get(f"/windows/{WRONG}.zs", {}):  # a refused answer leaves no temporary
                    self.assertFalse((directory / "game" / f"{WRONG}.zs").exists(), run.describe())
                if outcome == "fatal":
                    self.assert_fatal(run, *said, f"This report and what led to it are in {directory}/launcher.log")
                else:
                    self.assert_ok(run)
                    self.assertIn(STARTS_INSTALLED, run.lines, run.describe())
                    self.assertEqual(harness.snapshot(directory / "game"), untouched, run.describe())
        self.assertEqual((STALLED in run.resumed(), {WRONG, "0 flaky.bin"} & set(run.resumed())), (True, set()), run.describe())

    def test_a_version_published_during_the_download_restarts_it(self):
        # The player gets the old list; the server already holds the new files.
        self.server.set({LIST: {"body_file": str(self.old_list), "times": 1}})
        run = harness.run_launcher(self.stage())
        self.assertIn(f"File checksum error: {CHANGED}; fetching the file list again", run.lines, run.describe())
        self.assertEqual(run.transfers().count(url_for(LIST_NAME)), 2, run.describe())
        # Each file is asked for with its listed digest, so that no cache mixes versions.
        self.assertIn(f"{url_for(CHANGED)}?{hashlib.sha1(self.source[CHANGED]).hexdigest()}", run.transfers(True))
        self.assert_ok(run, self.source)

    def test_a_second_instance_ends_at_once_and_closing_during_the_list_is_fatal(self):
        self.server.set({LIST: {"stall": 120}})
        directory = self.stage({"unlisted.txt": b"the scan never ran\n"})
        untouched = harness.snapshot(directory / "game")
        first = harness.LauncherRun(directory)
        self.addCleanup(first.kill)
        first.wait_for(lambda: self.server.faults_applied(LIST_NAME) == 1, 10, "the list request")
        canary = self.stage({WRONG: b"stale, would be fetched", "unlisted.txt": b"would be deleted"})
        before = harness.snapshot(canary)
        second = harness.run_launcher(canary, timeout=10)
        self.assertEqual(second.returncode, 0, second.describe())
        self.assertFalse([line for line in second.lines if line.startswith("worker thread begin")], second.describe())
        self.assertEqual(harness.snapshot(canary), before, "the second instance touched its tree")
        self.assertEqual(self.server.faults_applied(LIST_NAME), 1, "the second instance asked for the list")

        if os.geteuid() == 0 and shutil.which("setpriv"):  # another user's launcher: a lock of its own
            self.scratch.chmod(0o711)
            directory = self.stage()
            for path in [directory, *directory.rglob("*")]:
                shutil.chown(path, 65534, 65534)
            other = harness.LauncherRun(directory, prefix=OTHER_USER)
            self.addCleanup(other.kill)
            other.wait_for(lambda: self.server.faults_applied(LIST_NAME) == 2, 10, "the other user's list request")

        self.assertIsNone(first.process.poll(), "the first instance ended\n" + first.describe())
        first.terminate()
        self.assert_fatal(first.wait(60), "Cannot download file list")  # the list's answer stalls for 120 s
        self.assertEqual(first.transfers(), [], first.describe())
        self.assertEqual(harness.snapshot(first.directory / "game"), untouched, "the game tree was touched")


if __name__ == "__main__":
    unittest.main()
