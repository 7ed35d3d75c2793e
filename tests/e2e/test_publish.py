"""The vendor's tools: velm-publish (bad names, killed publishes, rollbacks, an older publisher's
plain tree, patches made, kept and dropped) against the launcher, and the dev server's options."""

import hashlib
import http.client
import random
import shutil
import signal
import ssl
import subprocess
import unittest

import harness
from harness import E2ETestCase, LIST_NAME

SLOW_FILES = 24  # at level 19, slow enough to kill a publish between its files
GOOD = {harness.GAME_EXE: harness.GAME_STUB}
# The unit tables hold every name rule and conflict; these show the publisher applies them to a
# game folder: names that clash on disk, an unsafe name, a name on disk that is not UTF-8.
BAD_NAMES = [  # (what, game files besides the game, a fragment of the refusal)
    ("directory letter case", {"Sub/x": b"1", "sub/y": b"2"}, "whose directories differ only"),
    ("superscript port", {"sub/COM\u00b3.txt": b"x"}, "reserved device name"),
    ("not UTF-8", {"bad\udcff.bin": b"x"}, "not valid UTF-8"),  # the byte 0xff on disk
]


def text(rng, words, count):  # compressible bytes that still take level 19 a while
    return b" ".join(rng.choice(words) for _ in range(count))


def edited(data):
    return data[:len(data) // 2] + b"EDITED" + data[len(data) // 2 + 6:]


def patch_name(old, new):
    return f"{hashlib.sha1(old).hexdigest()}-{hashlib.sha1(new).hexdigest()}.zst"


def velm_publish(game, root, *options, level=1):
    return subprocess.run([harness.PUBLISH_EXE, "build", "--level", str(level), *options, game, root],
                          capture_output=True, text=True, errors="replace")


class PublishTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        rng = random.Random(23)
        words = [bytes(rng.randrange(97, 123) for _ in range(rng.randrange(2, 9))) for _ in range(2000)]
        cls.old = {**GOOD, "same size.bin": b"A" * 5000, "gone.txt": b"only in the old version\n",
                   **{f"data/part {i:02d}.bin": text(rng, words, 40000) for i in range(SLOW_FILES)}}
        cls.new = {**{n: d for n, d in cls.old.items() if n != "gone.txt"}, "same size.bin": b"B" * 5000,
                   "added/new.txt": b"only in the new version\n",
                   **{f"data/part {i:02d}.bin": text(rng, words, 40000) for i in range(0, SLOW_FILES, 3)}}
        # Three versions for the patches: files edited a little, one rewritten whole (no patch is
        # small enough), one unchanged; the third edits one file again.
        first = {**GOOD, "large edit.bin": text(rng, words, 40000), "sub/small edit.txt": text(rng, words, 2000),
                 "rewritten.bin": rng.randbytes(100000), "same.txt": b"unchanged\n"}
        second = {**first, "large edit.bin": edited(first["large edit.bin"]), "rewritten.bin": rng.randbytes(100000),
                  "sub/small edit.txt": edited(first["sub/small edit.txt"])}
        cls.patched = [first, second, {**second, "sub/small edit.txt": second["sub/small edit.txt"] + b" appended"}]
        for name, files in [("old", cls.old), ("new", cls.new), *((f"v{i}", v) for i, v in enumerate(cls.patched))]:
            harness.write_tree(cls.scratch / name, files)
        cls.root = cls.scratch / "root"
        cls.root.mkdir()
        cls.serve(cls.root)

    def setUp(self):
        for entry in self.root.iterdir():  # each test starts from an empty served root
            shutil.rmtree(entry) if entry.is_dir() and not entry.is_symlink() else entry.unlink()

    def published(self, version, *options):
        result = velm_publish(self.scratch / version, self.root, *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def served_patches(self):
        return {p.name for p in (self.root / "windows").glob(".patches/*")}

    def assert_patch_makes(self, old, new):
        """The served patch from OLD to NEW, applied by the zstd command line, makes NEW."""
        base = self.scratch / "patch base"
        base.write_bytes(old)
        made = subprocess.run(["zstd", "-d", "-q", "-c", "--long=31", f"--patch-from={base}",
                               self.root / "windows" / ".patches" / patch_name(old, new)], capture_output=True)
        self.assertTrue(made.stdout == new, "the patch does not make the new content")

    def test_changed_files_get_patches_from_the_live_tree(self):
        first, second, third = self.patched
        small = len(second["sub/small edit.txt"])
        for what, options, patched in [("no patches", ["--no-patches"], []),
                                       ("a size limit between the two", ["--patch-max-size", str(small)],
                                        ["sub/small edit.txt"]),
                                       ("default", [], ["large edit.bin", "sub/small edit.txt"])]:
            with self.subTest(what):
                self.setUp()
                self.published("v0")
                output = self.published("v1", *options)
                self.assertEqual(self.served_patches(), {patch_name(first[n], second[n]) for n in patched}, output)
                for name in patched:
                    self.assert_patch_makes(first[name], second[name])
                    self.assertRegex(output, rf"\] compressed .* patch [\d.]+ (bytes|kB|MB) \((< )?[\d.]+ % of the "
                                             rf"\.zs\)  {name}\n")
        self.assertIn("no patch (", next(line for line in output.splitlines() if line.endswith("  rewritten.bin")))
        # The unchanged file keeps its patch; the one changed again gets one from each version the
        # kept trees hold (--patch-depth, 3), none beyond the depth.
        small = "sub/small edit.txt"
        for depth, bases in [("1", [second]), ("3", [second, first])]:
            self.setUp()
            self.published("v0")
            self.published("v1")
            output = self.published("v2", "--patch-depth", depth)
            self.assertEqual(self.served_patches(), {patch_name(first["large edit.bin"], second["large edit.bin"]),
                                                     *(patch_name(base[small], third[small]) for base in bases)})
            for base in bases:
                self.assert_patch_makes(base[small], third[small])
            self.assertIn(" kept  large edit.bin\n", output)

    def test_a_vendors_day_status_releases_diff_rollback_resign(self):
        run = lambda *args: subprocess.run([harness.PUBLISH_EXE, *map(str, args)], capture_output=True, text=True)  # noqa: E731
        vendor = harness.SOURCE_DIR / "tests/keys/vendor.key"
        self.published("old", "--sign", vendor, "--channel", harness.CHANNEL, "--label", "Spring update\nnew maps\n")
        before, forgotten = harness.snapshot(self.root), velm_publish(self.scratch / "new", self.root)  # no --sign
        self.assertEqual((forgotten.returncode, harness.snapshot(self.root)), (1, before), forgotten.stderr)
        self.assertIn("Sign it with --sign KEYFILE, or give --unsigned if an unsigned release is meant", forgotten.stderr)
        for i in range(4):  # more unsigned publishes than trees kept: the sequence goes on all the same
            warned = "this release is not (--unsigned)" in velm_publish(self.scratch / "new", self.root, "--unsigned").stderr
            self.assertEqual(warned, i == 0)
        self.assertIn("signed     publish 6, ", self.published("old", "--sign", vendor, "--channel", harness.CHANNEL, "--keep", "4"))
        releases = run("releases", self.root).stdout.splitlines()
        self.assertEqual([line[:2] for line in releases], ["* ", "  ", "  ", "  "], releases)
        self.assertRegex(releases[0], r"publish 6 +signed +27 files, ")
        older = releases[1].split()[0]
        diff = run("diff", self.root, older[:6].lstrip("0"), "live").stdout
        for line in ("added    gone.txt  24 bytes", "removed  added/new.txt  24 bytes", "changed  same size.bin  5.0 kB -> 5.0 kB",
                     "1 added (24 bytes), 1 removed (24 bytes), 9 changed, 17 unchanged"):
            self.assertIn(line + "\n", diff)
        self.assertIn("give --unsigned if", run("rollback", self.root, older).stderr)
        rolled = run("rollback", "--sign", vendor, "--label", "back to the new maps", self.root, older)
        self.assertIn("nothing compressed", rolled.stdout, rolled.stderr)
        live = (self.root / "windows").resolve()
        self.assertEqual({p.stat().st_ino for p in (live / "data").iterdir()},
                         {p.stat().st_ino for p in (self.root / "releases" / older / "data").iterdir()}, "not hard links")
        self.assert_ok(harness.run_launcher(self.stage()), self.new)
        resigned = run("resign", "--sign", vendor, "--expires", "2", self.root)
        self.assertIn("signed     publish 7, ", resigned.stdout, resigned.stderr)
        status = run("status", self.root).stdout
        self.assertRegex(status, rf"live +{live.name} .*\npublished .*, a rollback to {older}\nlabel +back to the new maps\n"
                                 r"sequence +7, signed, valid until \S+ \(2 days left\)\nfiles +27, ")
        self.assertEqual(run("pubkey", vendor).stdout, (harness.SOURCE_DIR / "tests/keys/vendor.pub").read_text())
        listed = run("list", live / f"{LIST_NAME}.zs")  # compressed, as served
        self.assertEqual(len(listed.stdout.splitlines()), len(self.new), listed.stderr)
        # A live list that decompresses but does not read: a warning, and every file compressed anew.
        harness.replace_file(live / f"{LIST_NAME}.zs", subprocess.run(["zstd", "-q", "-c"], input=b"\xa1\x21\x03",
                                                                      capture_output=True).stdout)
        republished = velm_publish(self.scratch / "old", self.root, "--sign", vendor)
        self.assertIn("the live file list cannot be read", republished.stderr)
        self.assertNotIn(" reused ", republished.stdout)
        self.assert_ok(harness.run_launcher(self.stage()), self.old)
        # A live statement that does not read: its sequence is unknown, so nothing is published over it.
        live = (self.root / "windows").resolve()
        harness.replace_file(live / f"{LIST_NAME}.zs.sig", b"velm\n")
        self.assertIn("move it away only if no player has seen it", velm_publish(self.scratch / "new", self.root, "--sign", vendor,
                                                                                    "--channel", harness.CHANNEL).stderr)
        self.assertIn("statement unreadable (", run("status", self.root).stdout)

    def test_bad_names_are_refused_before_anything_is_written(self):
        self.published("old")
        before = harness.snapshot(self.root)
        for what, files, fragment in BAD_NAMES:
            with self.subTest(what):
                harness.write_tree(self.scratch / "bad" / what, {**GOOD, **files})
                for root in (self.root, self.scratch / "no root yet"):
                    result = velm_publish(self.scratch / "bad" / what, root)
                    self.assertEqual(result.returncode, 1, result.stderr)
                    self.assertRegex(result.stderr, f"^velm-publish: .*{fragment}")
                self.assertEqual(harness.snapshot(self.root), before, "the served tree changed")
                self.assertFalse((self.scratch / "no root yet").exists(), "a root was made")

    def test_killed_publishes_and_rollbacks_install_one_whole_version(self):
        self.published("old")
        for lines in (0, 1, SLOW_FILES // 2, SLOW_FILES):  # progress lines printed before the kill
            with self.subTest(kill_after_lines=lines):
                publish = subprocess.Popen([harness.PUBLISH_EXE, "build", "--level", "19", self.scratch / "new",
                                            self.root], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
                seen = 0
                while seen < lines and publish.poll() is None:
                    seen += publish.stdout.readline().startswith("[")
                if lines == 1:  # one publish at a time: a second one is refused
                    second = velm_publish(self.scratch / "old", self.root)
                    self.assertIn("another velm-publish is publishing", second.stderr)
                    self.assertEqual(second.returncode, 1)
                publish.kill()
                publish.wait()
                publish.stdout.close()
                # Killed before its last file, the publish must not have switched; after, it may have.
                run = harness.run_launcher(self.stage())
                installed = harness.snapshot(run.directory / "game", files_only=True)
                switched = installed.get("added/new.txt") and (lines == SLOW_FILES or publish.returncode == 0)
                self.assert_ok(run, self.new if switched else self.old)
        for version in ("old", "new", "old"):  # whatever the kills left, rollbacks and publishes install exactly
            with self.subTest(publish=version):
                harness.publish(self.scratch / version, self.root)
                self.assert_ok(harness.run_launcher(self.stage()), getattr(self, version))
        self.assertEqual(len([e for e in (self.root / "releases").iterdir() if not e.name.startswith(".")]), 3)
        self.assertEqual(sorted(e.name for e in self.root.iterdir()), ["releases", "windows"])
        self.assertTrue((self.root / "windows").is_symlink())

    def test_plain_tree_of_an_older_publisher_is_reused_only_where_proven(self):
        same, part = "same size.bin", "data/part 00.bin"
        rows = [  # (what, NAME, what the plain tree's .zs of NAME decompresses to, reused, patched from it)
            ("the listed content", same, self.old[same], True, False),
            ("other bytes of the listed size", same, self.new[same], False, False),
            ("a frame cut short", same, None, False, False),
            ("an edited version", part, edited(self.old[part]), False, True),
        ]
        for what, name, content, reused, patched in rows:
            with self.subTest(what):
                self.setUp()
                for listed, data in self.old.items():  # a plain tree listing the old version
                    harness.published_path(self.root, listed).parent.mkdir(parents=True, exist_ok=True)
                    harness.zstd(content if listed == name and content else data, harness.published_path(self.root, listed))
                if content is None:
                    zs = harness.published_path(self.root, name)
                    zs.write_bytes(zs.read_bytes()[:-4])
                entries = [[n, len(d), hashlib.sha1(d).hexdigest()] for n, d in self.old.items()]
                harness.zstd(harness.encode(entries), harness.published_path(self.root, LIST_NAME))
                output = self.published("old")
                line = next(line for line in output.splitlines() if line.endswith("  " + name))
                self.assertIn(" reused " if reused else " compressed ", line, output)
                self.assertTrue((self.root / "windows").is_symlink(), "the plain tree was not replaced by the link")
                self.assertEqual(self.served_patches(), {patch_name(content, self.old[name])} if patched else set())
                if patched:
                    self.assert_patch_makes(content, self.old[name])
                self.assert_ok(harness.run_launcher(self.stage()), self.old)

    def test_dev_server_serves_on_the_port_it_is_given_and_refuses_unusable_options(self):
        dev_server = [harness.SCRIPTS_DIR / "dev-server.sh", "start", self.root]
        rows = [  # (what, options, message)
            ("port 0", ["--port", "0"], "port number from 1 to 65535: 0"),
            ("port past the last", ["--port", "65536"], "port number from 1 to 65535: 65536"),
            ("port that is no number", ["--port", "44x3"], "port number from 1 to 65535: 44x3"),
            ("port without its value", ["--port"], "--port needs a value"),
            ("rate that is no rate", ["--rate", "fast"], "--rate takes a number"),
            ("unknown option", ["--speed", "2m"], "unknown option --speed"),
        ]
        for what, options, message in rows:
            with self.subTest(what):
                result = subprocess.run([*dev_server, self.scratch / "refused", *options], capture_output=True, text=True)
                self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)
                self.assertIn("usage:", result.stderr)
                self.assertFalse((self.scratch / "refused").exists(), "the refused start made its state directory")
        self.published("old")
        state = self.scratch / "other port"
        started = subprocess.run([*dev_server, state, "--port", "4444", "--rate", "1m"], capture_output=True, text=True)
        self.addCleanup(subprocess.run, [harness.SCRIPTS_DIR / "dev-server.sh", "stop", state], capture_output=True)
        self.assertIn("https://localhost:4444/", started.stdout, started.stderr)
        connection = http.client.HTTPSConnection("localhost", 4444, timeout=10,
                                                 context=ssl.create_default_context(cafile=state / "certs" / "ca.crt"))
        connection.request("GET", f"/windows/{LIST_NAME}.zs")
        self.assertEqual(connection.getresponse().read(), harness.published_path(self.root, LIST_NAME).read_bytes())
        connection.close()


if __name__ == "__main__":
    unittest.main()
