"""Signed file lists: the launcher built with the keys of tests/keys/ (and to start the installed
version when the update cannot run) refuses each threat (a row: fault_server.py serves other bytes
for the statement or the list) with nothing changed, then starts the installed version, or reports
the refusal on a first install; the lists it accepts; velm-publish verify."""

import hashlib
import os
import re
import random
import shutil
import subprocess
import time
import unittest
from pathlib import Path
from unittest import mock

import harness
from harness import CHANNEL, E2ETestCase

KEYS_DIR = harness.SOURCE_DIR / "tests" / "keys"
SIGNED_LAUNCHER = Path(os.environ.get("VELM_SIGNED_LAUNCHER_EXE") or harness.BUILD_DIR / "tests/e2e/velm-launcher-signed")
STATEMENT, LIST_ZS, DAY_S = "manifest.dat.zs.sig", harness.LIST_NAME + ".zs", 86400
NOT_SIGNED, NOT_THAT = "a file list that is not signed by the vendor", "a file list that is not the one the vendor signed"
UNKNOWN_KEY = "a file list signed with a key this launcher does not know (the signature is by none of the vendor's keys)"


LEVEL_TAIL = random.Random(7).randbytes(20000)  # incompressible: a new version's patch is kept


def key(name):
    return KEYS_DIR / f"{name}.key"


def source(version):
    return {harness.GAME_EXE: harness.GAME_STUB, "readme.txt": b"the same in every version\n",
            "data/level.bin": f"level data, version {version}\n".encode() * 500 + LEVEL_TAIL}


def sequence(directory, key_name="vendor"):
    """The publish signed by the named key that the launcher in DIRECTORY recorded as installed."""
    return next(int(line.split()[2]) for line in (Path(directory) / "launcher.state").read_text().splitlines()
                if line.startswith(f"sequence {(KEYS_DIR / f'{key_name}.pub').read_text().strip()} "))




class SignedListTest(E2ETestCase):
    """Publishes 1 and 2 of the vendor's tree (2 live), an attacker's list, publish 2 installed."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.enterClassContext(mock.patch.object(harness, "LAUNCHER_EXE", SIGNED_LAUNCHER))
        cls.root, cls.files = cls.scratch / "root", cls.scratch / "files"
        cls.files.mkdir()
        for version in (1, 2):
            harness.publish(source(version), cls.root, "--sign", key("vendor"))
            for name in (LIST_ZS, STATEMENT):
                shutil.copy(cls.root / "windows" / name, cls.files / f"v{version}-{name}")
            if version == 1:
                shutil.copytree(cls.root, cls.scratch / "root-v1", symlinks=True)
        evil = harness.publish({**source(2), harness.GAME_EXE: b"#!/bin/sh\necho not the vendor's > ran.txt\n"},
                               cls.scratch / "evil-root")
        shutil.copy(evil / "windows" / LIST_ZS, cls.files / "evil-list")
        (cls.scratch / "served").symlink_to(cls.root)  # the tree the server serves, switched by switch_to()
        cls.server = cls.fault_server(cls.scratch / "served")
        cls.installed = cls.stage()
        cls.fresh = harness.run_launcher(cls.installed)

    def switch_to(self, root):
        (self.scratch / "served.new").symlink_to(root)
        (self.scratch / "served.new").replace(self.scratch / "served")

    def sign(self, key_name, sequence, expires, *channel):
        """A statement for publish 2's list, signed with the named key (for CHANNEL)."""
        path = self.files / f"{key_name}-{sequence}-{int(expires)}-{'-'.join(channel).replace('/', '_')}.sig"
        path.write_bytes(subprocess.run([harness.BUILD_DIR / "tests/e2e/velm-test-sign", key(key_name),
                                         self.files / f"v2-{LIST_ZS}", str(sequence), str(int(expires)), *channel],
                                        capture_output=True, check=True).stdout)
        return path

    def test_fresh_install_records_the_publish(self):
        self.assert_ok(self.fresh, source(2))
        self.assertEqual(sequence(self.installed), 2, self.fresh.describe())

    def test_threats_are_refused_and_change_nothing(self):
        evil = (self.files / "evil-list").read_bytes()
        fields = {"list-length": str(len(evil)), "list-sha256": hashlib.sha256(evil).hexdigest()}
        edited = self.files / "edited.sig"  # the genuine statement, its list fields naming the attacker's list
        edited.write_text("".join(f"{line.split()[0]} {fields.get(line.split()[0], line.split()[1])}\n"
                                  for line in (self.files / f"v2-{STATEMENT}").read_text().splitlines()))
        older = self.files / "older.sig"  # the older format names no channel (the signature is checked after)
        older.write_text(re.sub(r"list 2\nchannel .*\n", "list 1\n", (self.files / f"v2-{STATEMENT}").read_text()))
        older_state = f"velm-launcher state 1\nsource {harness.BASE_URL}\nsequence 3\n"  # before keys had their own
        endless = self.files / "endless.sig"
        endless.write_bytes(b"velm-signed-list 2\n" * ((4 << 20) // 19))  # far past the 4 KiB cap
        longer = self.files / "longer-list"  # the signed list and more, refused at its signed length
        longer.write_bytes((self.files / f"v2-{LIST_ZS}").read_bytes() + bytes(4 << 20))
        expired, fresh = time.time() - 2 * DAY_S, time.time() + DAY_S
        rows = [  # (threat, the statement's fault, the list served instead, the report, requests for the statement[, state])
            ("unsigned list", {"status": 404}, None, f"{NOT_SIGNED} (the server has no signature file", 1),
            ("list signed by a revoked key, also listed as a key", self.sign("stranger", 3, fresh), None,
             f"{NOT_SIGNED} (the signature is by a key the vendor has revoked)", 1),
            ("list changed after signing", self.files / f"v2-{STATEMENT}", "evil-list", NOT_THAT, 2),
            ("list longer than its statement says, refused unread", self.files / f"v2-{STATEMENT}",
             {"body_file": str(longer), "stall": 120}, NOT_THAT, 2),
            ("statement changed to name the changed list", edited, "evil-list", UNKNOWN_KEY, 1),
            ("statement for another list of the vendor", self.files / f"v1-{STATEMENT}", None, NOT_THAT, 2),
            ("rollback to an older signed list", self.files / f"v1-{STATEMENT}", f"v1-{LIST_ZS}",
             "an older file list than this computer has already installed (publish 1; this computer has installed "
             "publish 2)", 1),
            ("freeze: an expired statement", self.sign("vendor", 3, expired), None,
             "a file list that expired on " + time.strftime("%Y-%m-%d", time.gmtime(expired)), 1),
            ("endless statement, refused unread", {"body_file": str(endless), "stall": 120}, None,
             f"{NOT_SIGNED} (the signature file is longer than 4096", 1),
            ("list the vendor signed for another channel", self.sign("vendor", 3, fresh, "localhost:4443/beta"), None,
             f'a file list signed for another channel (it is for "localhost:4443/beta"; this launcher is for "{CHANNEL}")', 1),
            ("statement of the older format", older, None, f"{NOT_SIGNED} (the signature file is of an older format", 1),
            ("leaked key's absurd sequence", self.sign("vendor", 3 + 2**32, fresh), None, "a file list numbered too far "
             "past any installed before (publish 4294967299; this computer has installed publish 2 at most)", 1),
            ("expiry past what a publish signs", self.sign("vendor", 3, time.time() + 3652 * DAY_S), None,
             "a file list signed for longer than the vendor signs", 1),
            ("rollback after an upgrade from the older state", self.files / f"v2-{STATEMENT}", None, "an older file list "
             "than this computer has already installed (publish 2; this computer has installed publish 3)", 1,
             f"{older_state}end {hashlib.sha1(older_state.encode()).hexdigest()}\n"),
        ]
        # The installed version starts after each refusal, but not on a first install, nor from a
        # record that does not say its update completed (as an older launcher's). A refusal changes
        # nothing (checked below): the rows share one install (a copy would not be the tree its record describes).
        shared = self.stage()
        self.assert_ok(harness.run_launcher(shared))
        for threat, statement, list_file, report, statement_requests, *state in rows + [("unsigned list, first install", *rows[0][1:])]:
            with self.subTest(threat):
                faults = {f"/windows/{STATEMENT}": statement if isinstance(statement, dict) else
                          {"body_file": str(statement)}}
                if list_file:
                    faults[f"/windows/{LIST_ZS}"] = list_file if isinstance(list_file, dict) else \
                        {"body_file": str(self.files / list_file)}
                self.server.set({})
                directory = shared if not state and "first install" not in threat else self.stage()
                if state:
                    self.assert_ok(harness.run_launcher(directory))
                self.server.set(faults)
                if state:
                    (directory / "launcher.state").write_text(state[0])
                (directory / "launcher.log").unlink(missing_ok=True)  # this run's alone
                before = harness.snapshot(directory)
                run = harness.run_launcher(directory)
                said = ["The update server sent " + report, "Your installed game was not changed."]
                if "first install" in threat or state:
                    self.assert_fatal(run, *said)
                else:  # the installed version, as verified before, starts
                    self.assert_ok(run)
                    self.assertIn("Cannot reach the update server; starting the installed version", run.lines)
                for fragment in said:
                    self.assertIn(fragment, (directory / "launcher.log").read_text(), run.describe())
                self.assertEqual(harness.snapshot(directory), {**before, "launcher.log": harness.snapshot(directory)["launcher.log"]},
                                 f"something changed\n{run.describe()}")
                self.assertEqual(self.server.log().count(f'"GET /windows/{STATEMENT} HTTP'), statement_requests)

    def test_accepted_lists(self):
        # A rotation: the vendor signs with its new key, which the launcher also carries; the
        # sequence goes on from the live tree's, whatever number the old key signed.
        rotated = self.scratch / "rotated-root"
        shutil.copytree(self.root, rotated, symlinks=True)
        harness.publish(source(3), rotated, "--sign", key("rotated"), "--expires", "2")
        rows = [  # (what, served tree, whether the state stays, version installed, sequence recorded)
            # Without its state the launcher knows no publish: an older list that has not expired is installed.
            ("an older list once the state is gone", self.scratch / "root-v1", False, 1, 1),
        ]
        self.addCleanup(self.switch_to, self.root)
        for what, root, keep_state, version, recorded in rows:
            with self.subTest(what):
                directory = self.stage(like=self.installed)
                if not keep_state:
                    (directory / "launcher.state").unlink()
                self.switch_to(root)
                run = harness.run_launcher(directory)
                self.assert_ok(run, source(version), skip=harness.UPD_OLD)
                self.assertEqual(sequence(directory), recorded, run.describe())
        with self.subTest("an update signed by the rotated key, not held hostage by the number the old key signed"):
            directory = self.stage(like=self.installed)
            self.switch_to(self.root)  # 2^32 past the highest: the furthest accepted
            self.server.set({f"/windows/{STATEMENT}": {"body_file": str(self.sign("vendor", 2 + 2**32, time.time() + DAY_S))}})
            self.assert_ok(harness.run_launcher(directory), source(2))
            self.server.set({})
            self.switch_to(rotated)
            self.assert_ok(harness.run_launcher(directory), source(3), skip=harness.UPD_OLD)
            self.assertEqual((sequence(directory), sequence(directory, "rotated")), (2 + 2**32, 3))
        with self.subTest("a state that cannot be written: said, rollback protection off"):
            directory = self.stage(like=self.installed)
            (directory / "launcher.state").unlink()
            (directory / "launcher.state").mkdir()
            run = harness.run_launcher(directory)
            self.assert_ok(run, source(3), skip=harness.UPD_OLD)
            self.assertTrue(run.matches("^cannot write launcher.state: Is a directory; .*rollback protection is off"), run.describe())

    def test_verify_checks_the_served_tree(self):
        tree = self.scratch / "verified-root"
        shutil.copytree(self.root, tree, symlinks=True)
        changed = tree / "windows" / "readme.txt.zs"
        rows = [  # (what, change to the copy of the tree, key, channel, exit status, fragment of the output)
            ("the tree as published", None, "vendor", CHANNEL, 0, "verified: publish 2 and its 3 files are as signed"),
            ("another key", None, "rotated", CHANNEL, 1, "the signature is by none of the vendor's keys"),
            ("another channel", None, "vendor", "beta", 1, f"signed for the channel {CHANNEL}, not beta"),
            ("a patch damaged", lambda: harness.replace_file(next((tree / "windows" / ".patches").iterdir()),
                                                             b"\x28\xb5\x2f\xfd" + bytes(40)), "vendor", CHANNEL, 1,
             "BAD  .patches/"),
            ("a file changed", lambda: harness.replace_file(changed, (self.files / "evil-list").read_bytes()), "vendor",
             CHANNEL, 1, "BAD  readme.txt"),
            ("the list changed", lambda: (tree / "windows" / LIST_ZS).write_bytes(b"other"), "vendor", CHANNEL, 1,
             "not the list the statement signs"),
        ]
        for what, change, key_name, channel, status, fragment in rows:
            with self.subTest(what):
                if change:
                    change()
                result = subprocess.run([harness.PUBLISH_EXE, "verify", "--channel", channel, tree,
                                         (KEYS_DIR / f"{key_name}.pub").read_text().strip()], capture_output=True, text=True)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(fragment, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
