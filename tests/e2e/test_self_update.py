"""The launcher's update of itself, from its own tree published beside the game's (--link
launcher-linux): to a later version, which goes on with the game's update; killed at every step of
it (strace stops it with SIGKILL at a chosen rename or exec), the next start ends with the new one;
every failure leaves the running launcher to update the game; a key rotation A -> A+B -> B that the
player never sees; and mirrors: a server down, one whose certificate is not trusted, a file missing on one."""

import os
import shutil
import subprocess
import time
import unittest
from pathlib import Path
from unittest import mock

import harness
from harness import E2ETestCase, GAME_EXE, GAME_STUB

TESTS = harness.BUILD_DIR / "tests" / "e2e"
KEYS = harness.SOURCE_DIR / "tests" / "keys"
V2, SIGNED, FIRST_KEY = TESTS / "velm-launcher-v2", TESTS / "velm-launcher-signed", TESTS / "velm-launcher-first-key"
LINK, OWN_CHANNEL, BUNDLE = "launcher-linux", "localhost:4443/launcher-linux", "curl-ca-bundle.crt"
GAME = {GAME_EXE: GAME_STUB, "data.bin": b"the game's data\n"}
LEFT = (".new", ".part")


def own_files(exe_name, exe, bundle):
    return {exe_name: Path(exe).read_bytes(), BUNDLE: bundle, Path(harness.FONT).name: Path(harness.FONT).read_bytes()}


def kill_at(syscall, count, path=None):
    """strace's SIGKILL at a thread's COUNT-th call of SYSCALL, or at one naming PATH."""
    return ["strace", "-f", "-qq", "-o", "/dev/null", *(["-P", path] if path else []), "-e", f"trace={syscall}",
            "-e", f"inject={syscall}:signal=KILL:when={count}"]


class SelfUpdateTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.root = cls.scratch / "root"
        harness.publish(GAME, cls.root)
        cls.bundle = (cls.cert_dir / "ca.crt").read_bytes() + b"\n# renewed\n"
        harness.publish(own_files(harness.LAUNCHER_EXE.name, V2, cls.bundle), cls.root, "--link", LINK)
        (cls.scratch / "served").symlink_to(cls.root)
        cls.server = cls.fault_server(cls.scratch / "served")

    def switch_to(self, root):
        (self.scratch / "served.new").symlink_to(root)
        (self.scratch / "served.new").replace(self.scratch / "served")

    def assert_launcher(self, directory, exe, bundle):
        """DIRECTORY holds the launcher EXE under the shortcut's name, BUNDLE, and nothing an update left."""
        name = harness.LAUNCHER_EXE.name
        self.assertEqual(((directory / name).read_bytes() == Path(exe).read_bytes(), (directory / BUNDLE).read_bytes()),
                         (True, bundle))
        self.assertEqual([p.name for p in directory.iterdir() if p.name.endswith(LEFT)], [])

    def test_update_to_a_later_version_killed_at_each_step(self):
        v1 = harness.LAUNCHER_EXE
        rows = [  # (the step killed: strace's prefix; none: the update runs through, started from another folder)
            ("none", lambda d: []), ("writing the bundle", lambda d: kill_at("rename", 1)),
            ("writing the executable", lambda d: kill_at("rename", 2)),
            ("starting the new version", lambda d: kill_at("execve", 1, str(d / f"{v1.name}.new"))),
            ("putting the bundle in place", lambda d: kill_at("rename", 3)), ("putting itself in place", lambda d: kill_at("rename", 4)),
        ]
        for step, kill in rows:
            with self.subTest(step):
                directory = self.stage()
                prefix = kill(directory)
                elsewhere = Path(self.scratch / "elsewhere")
                elsewhere.mkdir(exist_ok=True)
                run = harness.run_launcher(directory, prefix=prefix, cwd=elsewhere)
                if prefix:  # a whole launcher, old or new, under the shortcut's name; its next start ends the update
                    self.assertEqual(run.returncode, -9, run.describe())
                    self.assertIn((directory / v1.name).read_bytes(), (v1.read_bytes(), V2.read_bytes()))
                    run = harness.run_launcher(directory)
                self.assert_ok(run, GAME)
                started = run.lines.index("launcher VELM-Launcher/2.0.0")
                self.assertIn("launcher: velm-launcher is the new version", run.lines[started:], run.describe())
                self.assert_launcher(directory, V2, self.bundle)
        # Current: one small request for the launcher's list beside the game's, nothing replaced.
        run = harness.run_launcher(directory)
        self.assert_ok(run)
        self.assertEqual([line.split(" | ")[2] for line in run.lines if line.startswith("launcher: 200 | ")],
                         [f"https://localhost:4443/{LINK}/manifest.dat.zs"], run.describe())

    def test_failures_leave_the_running_launcher_to_update_the_game(self):
        elsewhere = self.scratch / "other-channel"
        shutil.copytree(self.root, elsewhere, symlinks=True)
        # Signed for the game's channel, not the launcher's.
        harness.publish(own_files(SIGNED.name, V2, b"x"), elsewhere, "--link", LINK, "--sign", KEYS / "vendor.key")
        harness.publish(GAME, elsewhere, "--sign", KEYS / "vendor.key")
        damaged = self.scratch / "damaged.zs"
        harness.zstd(b"not the launcher", damaged)
        tiny = self.scratch / "tiny"
        # Both lists signed for their own channels; the launcher's served with bytes past its signed length.
        signed = self.scratch / "signed"
        shutil.copytree(self.root, signed, symlinks=True)
        for link, channel in ((LINK, OWN_CHANNEL), ("windows", harness.CHANNEL)):
            subprocess.run([harness.PUBLISH_EXE, "resign", "--link", link, "--sign", KEYS / "vendor.key", "--channel",
                            channel, signed], check=True, capture_output=True)
        own_list = (signed / LINK / "manifest.dat.zs").read_bytes()
        # The signed list and more; four times the unsigned list's 1 MiB; past the largest .zs of the executable's size.
        for name, body in (("longer list", own_list + bytes(64 << 10)), ("endless", bytes(4 << 20)),
                           ("larger exe", bytes(V2.stat().st_size * 101 // 100))):
            (self.scratch / name).write_bytes(body)
        rows = [  # (what, launcher, served tree, faults, the disk, what the log says)
            ("no tree of the launcher's", harness.LAUNCHER_EXE, self.root, {f"/{LINK}/manifest.dat.zs": {"status": 404}}, None,
             "launcher: its own files are not checked: The update server lacks the file list"),
            ("a statement for another channel", SIGNED, elsewhere, {}, None, "signed for another channel (it is for "
             f'"localhost:4443/windows"; this launcher is for "{OWN_CHANNEL}")'),
            ("a damaged executable", harness.LAUNCHER_EXE, self.root, {f"/{LINK}/velm-launcher.zs": {"body_file": str(damaged)}},
             None, "launcher: the server sent a damaged copy of velm-launcher"),
            ("a full disk", harness.LAUNCHER_EXE, self.root, {}, tiny, "launcher: cannot write "),
            # Answers past their caps are cut there and refused at once, never asked again.
            ("a list growing past 1 MiB", harness.LAUNCHER_EXE, self.root, {f"/{LINK}/manifest.dat.zs": {
                "body_file": str(self.scratch / "endless"), "no_length": True, "stall": 120}}, None,
             "launcher: its own files are not checked: its list is longer than 1048576 bytes"),
            ("a signed list longer than its statement says", SIGNED, signed, {f"/{LINK}/manifest.dat.zs": {
                "body_file": str(self.scratch / "longer list")}}, None,
             (f"the answer for manifest.dat passed its cap of {len(own_list)} bytes: refused",
              "launcher: its own files are not checked: The update server sent a file list that is not the one the vendor signed")),
            ("an executable past its listed size's bound", harness.LAUNCHER_EXE, self.root, {f"/{LINK}/velm-launcher.zs": {
                "body_file": str(self.scratch / "larger exe")}}, None,
             "launcher: velm-launcher cannot be fetched: velm-launcher.zs is longer than "),
        ]
        for what, exe, served, faults, disk, said in rows:
            with self.subTest(what), mock.patch.object(harness, "LAUNCHER_EXE", exe):
                self.switch_to(served)
                self.server.set(faults)
                directory = self.stage(directory=disk / "launcher" if disk else None)
                if disk:  # room for the game's files, not for a second launcher
                    tiny.mkdir(exist_ok=True)
                    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={exe.stat().st_size + (2 << 20)}", "tmpfs", tiny], check=True)
                    self.addCleanup(subprocess.run, ["umount", "-l", tiny])
                    directory = self.stage(directory=tiny / "launcher")
                run = harness.run_launcher(directory)
                self.assert_ok(run, GAME)
                for fragment in (said,) if isinstance(said, str) else said:
                    self.assertIn(fragment, (directory / "launcher.log").read_text(), run.describe())
                for path in faults:  # asked once (a signed list: once more with its statement, as any mismatch)
                    self.assertEqual(self.server.log().count(f"fault on {path} "), 2 if exe == SIGNED else 1, path)
                self.assert_launcher(directory, exe, (directory / BUNDLE).read_bytes())
                self.assertEqual(run.stderr, "", run.describe())
        self.server.set({})
        self.switch_to(self.root)

    def test_key_rotation_the_player_never_sees(self):
        # A launcher that trusts key A alone meets a game signed with B alone: it first updates itself,
        # from a list signed with A, to a launcher that trusts A and B, which installs the game.
        rotated = self.scratch / "rotated"
        harness.publish(GAME, rotated, "--sign", KEYS / "rotated.key")
        harness.publish(own_files(FIRST_KEY.name, SIGNED, (self.cert_dir / "ca.crt").read_bytes()), rotated, "--link", LINK,
                        "--sign", KEYS / "vendor.key", channel=OWN_CHANNEL)
        self.switch_to(rotated)
        self.addCleanup(self.switch_to, self.root)
        with mock.patch.object(harness, "LAUNCHER_EXE", FIRST_KEY):
            directory = self.stage()
            run = harness.run_launcher(directory)
            self.assert_ok(run, GAME)
            self.assertEqual(run.stderr, "", run.describe())
            self.assertIn("file list signed by the vendor: publish 1", "\n".join(run.lines), run.describe())
            self.assert_launcher(directory, SIGNED, (self.cert_dir / "ca.crt").read_bytes())
            state = (directory / "launcher.state").read_text()
            self.assertIn(f"own-sequence {(KEYS / 'vendor.pub').read_text().strip()} 1\n", state)
            self.assertIn(f"\nsequence {(KEYS / 'rotated.pub').read_text().strip()} 1\n", state)


class MirrorTest(E2ETestCase):
    """A launcher built with three servers: 4445, never there; the fault server on 4443; nginx on 4444."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.enterClassContext(mock.patch.object(harness, "LAUNCHER_EXE", TESTS / "velm-launcher-mirrors"))
        cls.root = harness.publish(GAME, cls.scratch / "root")
        cls.server = cls.fault_server(cls.root)
        partial = cls.scratch / "partial"
        shutil.copytree(cls.root, partial, symlinks=True)
        harness.published_path(partial, "data.bin").unlink()  # the third lacks it too
        cls.serve(partial, port=4444, state="mirror")

    def test_mirrors(self):
        rows = [  # (what, faults on 4443, the run's outcome, what its output says)
            ("the first down, the second answers", {}, "ok", "trying manifest.dat on localhost:4443 instead of localhost:4445"),
            ("a certificate the bundle does not trust on the second, the third asked (it lacks data.bin)",
             {"<handshake>": {"certificate": str(harness.make_certificates(self.scratch / "stranger"))}}, "fatal",
             "trying manifest.dat on localhost:4444 instead of localhost:4443"),
            ("a file missing on the second, on the third", {f"/windows/{GAME_EXE}.zs": {"status": 404}}, "ok",
             f"trying {GAME_EXE} on localhost:4444 instead of localhost:4443"),
            ("a file missing on every one that answers, the one down not asked again", {"/windows/data.bin.zs": {"status": 404}},
             "fatal", "The update server lacks the file data.bin: the vendor's server is being updated or is damaged; try "
             "again later. The launcher tried the servers localhost:4443 and localhost:4444."),
        ]
        for what, faults, outcome, said in rows:
            with self.subTest(what):
                self.server.set(faults)
                directory = self.stage()
                run = harness.run_launcher(directory)
                self.assertIn(said, "\n".join(run.lines) + run.stderr, run.describe())
                if outcome == "ok":
                    self.assert_ok(run, GAME)
                else:
                    self.assert_fatal(run)


if __name__ == "__main__":
    unittest.main()
