"""Against fault_server.py: lists refused before any change, answers that end the update, retries,
a version published during the download, a second instance while the first waits for the list."""

import hashlib
import os
import random
import shutil
import struct
import unittest

import harness
from harness import E2ETestCase, LIST_NAME, url_for

FLAKY, TWICE, STALLED = "0 flaky.bin", "1 twice.bin", "big stall.bin"  # first in the list: a first connection
WRONG, CHANGED, ATTEMPTS = "wrong one.bin", "data/a.bin", 8  # attempts: pauses of 0.5, 1, 2, ... 32 s between them
LIST, OTHER_USER = f"/windows/{LIST_NAME}.zs", ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def entry(name, data=b"x"):
    return [name, len(data), hashlib.sha1(data).hexdigest()]


GOOD = entry(harness.GAME_EXE, harness.GAME_STUB)
# (what, the list's entries, the offending name, which the report must hold where it can)
REFUSED = [
    ("parent directory", [GOOD, entry("../x")], "../x"),
    ("parent directory inside", [GOOD, entry("data/../../x")], "data/../../x"),
    ("absolute path", [GOOD, entry("/abs")], "/abs"),
    ("backslash", [GOOD, entry("a\\b")], "a\\b"),
    ("drive colon", [GOOD, entry("c:x")], "c:x"),
    ("device name", [GOOD, entry("CON.txt")], "CON.txt"),
    ("device name in a directory", [GOOD, entry("data/lpt1")], "data/lpt1"),
    ("trailing dot", [GOOD, entry("name.")], "name."),
    ("trailing slash", [GOOD, entry("dir/")], "dir/"),
    ("empty component", [GOOD, entry("a//b")], "a//b"),
    ("dot component", [GOOD, entry("a/./b")], "a/./b"),
    ("control character", [GOOD, entry("tab\there")], "tab\there"),
    ("empty name", [GOOD, entry("")], None),
    ("duplicate", [GOOD, entry("dup.txt", b"1"), entry("dup.txt", b"2")], "dup.txt"),
    ("file and directory", [GOOD, entry("a", b"1"), entry("a/b", b"2")], "a/b"),
    ("directory and file", [GOOD, entry("a/b", b"2"), entry("a", b"1")], "a/b"),
    ("temporary name", [GOOD, entry("x.bin", b"1"), entry("x.bin.zs", b"2")], "x.bin.zs"),
    ("previous copy name", [GOOD, entry("x.bin", b"1"), entry("x.bin.upd_old", b"2")], "x.bin.upd_old"),
    ("the list's own name", [GOOD, entry("manifest.dat")], "manifest.dat"),
    ("the list's download in another case", [GOOD, entry("Manifest.DAT.zs")], "Manifest.DAT.zs"),
    ("temporary name as a directory", [GOOD, entry("x.bin", b"1"), entry("x.bin.upd_old/y", b"2")], "x.bin.upd_old/y"),
    ("file name past 247 bytes", [GOOD, entry("f" * 248)], "f" * 248),
    ("console device", [GOOD, entry("CONIN$")], "CONIN$"),
    ("port zero", [GOOD, entry("data/COM0.txt")], "data/COM0.txt"),
    ("superscript port", [GOOD, entry("lpt\u00b9.log")], "lpt\u00b9.log"),
    ("not UTF-8", [GOOD, entry(b"bad\xff.bin")], None),
    ("letter case", [GOOD, entry("Data.bin", b"1"), entry("data.bin", b"2")], "data.bin"),
    ("directory letter case", [GOOD, entry("Sub/x", b"1"), entry("sub/y", b"2")], "sub/y"),
    ("below a dot-directory", [GOOD, entry(".cfg/x")], ".cfg/x"),
    ("malformed digest", [GOOD, ["bad digest.bin", 1, "not a digest"]], "bad digest.bin"),
    ("entry of two values", [GOOD, ["two.bin", 1]], None),
]


def source(version):
    rng = random.Random(11)
    return {harness.GAME_EXE: harness.GAME_STUB, FLAKY: rng.randbytes(50_000), TWICE: rng.randbytes(50_000),
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
                      "larger": cls.scratch / "larger.zs"}
        cls.bodies["half"].write_bytes(half[:len(half) // 2])
        harness.zstd(random.randbytes(30_000), cls.bodies["other"])
        harness.zstd(random.randbytes(31_000), cls.bodies["larger"])

    def test_lists_with_unsafe_or_conflicting_names_are_refused_before_any_change(self):
        for i, (what, entries, fragment) in enumerate(REFUSED):
            with self.subTest(what):
                self.server.set({LIST: {"body_file": str(harness.zstd(harness.encode(entries), self.scratch / f"{i}.zs"))}})
                directory = self.stage({"unlisted canary.txt": b"deleted only by a scan\n"})
                (directory / "canary.txt").write_bytes(b"beside game/\n")
                before = harness.snapshot(directory)
                run = harness.run_launcher(directory)
                self.assert_fatal(run, fragment or "")
                self.assertRegex(run.stderr, r"^(Fatal error|Runtime check failed) in ", run.describe())
                self.assertEqual((run.transfers(), run.not_found()), ([url_for(LIST_NAME)], {}), run.describe())
                after = harness.snapshot(directory)
                after.pop(f"game/{LIST_NAME}", None)  # the refused list itself
                self.assertEqual(after, before, f"the tree changed\n{run.describe()}")

    def test_answers_that_end_the_update(self):
        stranger = harness.make_certificates(self.scratch / "stranger") / "ca.crt"
        rows = [  # (what, listed name, fault (None: a bundle without the server's authority), the report, lists fetched)
            ("truncated zstd stream", "half.bin", {"body_file": str(self.bodies["half"])},
             "game/half.bin.zs ends inside its compressed data (EOF before end of stream", 2),
            ("stream of other bytes", WRONG, {"body_file": str(self.bodies["other"])}, f"File checksum error: {WRONG}", 2),
            ("stream longer than listed", WRONG, {"body_file": str(self.bodies["larger"])},
             f"game/{WRONG}.zs decompresses to more than its listed size", 2),
            ("missing file", WRONG, {"status": 404}, f"error 404 downloading\n{url_for(WRONG)}", 1),
            ("server error", WRONG, {"status": 503}, f"error 503 downloading\n{url_for(WRONG)}", 1),
            ("redirect, not followed", WRONG, {"status": 301}, f"error 301 downloading\n{url_for(WRONG)}", 1),
            ("untrusted server", WRONG, None, "Error downloading. ", 0),
        ]
        for what, name, fault, fragment, lists in rows:
            with self.subTest(what):
                self.server.set({f"/windows/{name}.zs": fault} if fault else {})
                directory = self.stage()
                if fault is None:
                    shutil.copy(stranger, directory / "curl-ca-bundle.crt")
                run = harness.run_launcher(directory)
                self.assert_fatal(run, fragment, *run.curl_errors())
                self.assertEqual(run.retries(), [], run.describe())
                self.assertEqual(len(run.curl_errors()), 0 if fault else 1, run.describe())
                self.assertEqual(run.transfers().count(url_for(LIST_NAME)), lists, run.describe())
                self.assertEqual(url_for(name) in run.transfers(), lists == 2, run.describe())
                self.assertEqual(self.server.faults_applied(name), 1 if fault else 0)
                self.assertFalse((directory / "game" / name).exists())

    def test_retries_absorb_resets_and_stalls_and_end_after_about_a_minute(self):
        # libcurl itself asks again once when a connection it reused is reset before any
        # answer: two resets cost the launcher one or two attempts. The stall outlasts the
        # launcher's 30 s limit: without the limit the body would simply arrive, with no retry. A
        # validator with a bare CR, from the server or in a temporary, is never sent back: no resume.
        self.server.set({f"/windows/{FLAKY}.zs": {"reset": True}, f"/windows/{TWICE}.zs": {"reset": True, "times": 2},
                         f"/windows/{STALLED}.zs": {"stall": 60, "times": 1, "headers": {"ETag": '"a\rb"'}}})
        header = struct.pack("<II", 0x184D2A5E, 248) + b'velm partial 2\nwhole\n"x\ry"\n'
        run = harness.run_launcher(self.stage({"half.bin.zs": header.ljust(256, b"\0") + b"partial"}), timeout=100)
        self.assertFalse({STALLED, "half.bin"} & set(run.resumed()), run.describe())
        retries = run.retries()
        self.assertEqual([retries.count(n) for n in (FLAKY, STALLED)], [ATTEMPTS - 1, 1], run.describe())
        self.assertIn(retries.count(TWICE), (1, 2), run.describe())
        self.assertEqual(len(run.curl_errors()), len(retries) + 1, run.describe())
        self.assert_fatal(run, f"Error downloading. {run.curl_errors()[-1]}")
        self.assertGreater(run.ended - run.started, 63, "the attempts did not back off")
        self.assertLessEqual({url_for(TWICE), url_for(STALLED)}, set(run.transfers()), run.describe())
        self.assertEqual(self.server.log().count(f'"GET /windows/{TWICE.replace(" ", "%20")}.zs?'), 1)

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
        self.assert_fatal(first.wait(15), "Cannot download file list")
        self.assertLess(first.ended - first.signalled, 2.5, first.describe())
        self.assertEqual(first.transfers(), [], first.describe())
        after = harness.snapshot(first.directory / "game")
        after.pop(f"{LIST_NAME}.zs", None)  # the abandoned download
        self.assertEqual(after, untouched, "the game tree was touched")


if __name__ == "__main__":
    unittest.main()
