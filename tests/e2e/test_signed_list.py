"""Signed file lists: a launcher built with the vendor's public keys (tests/keys/vendor.pub and
rotated.pub) installs only a list that one of them signed, that has not expired, and that is not
older than one it installed before. Each threat is a row: the fault server serves the vendor's
tree with other bytes for the statement or the list, and the launcher must refuse, change
nothing beside it or in game/, and start nothing."""

import hashlib
import os
import shutil
import subprocess
import time
import unittest
from pathlib import Path
from unittest import mock

import harness
from harness import E2ETestCase, FaultServer

KEYS_DIR = harness.SOURCE_DIR / "tests" / "keys"
SIGNED_LAUNCHER = Path(os.environ.get("VELM_SIGNED_LAUNCHER_EXE")
                       or harness.BUILD_DIR / "tests" / "e2e" / "velm-launcher-signed")
SIGNER = harness.BUILD_DIR / "tests" / "e2e" / "velm-test-sign"
STATEMENT = "manifest.dat.zs.sig"
STATEMENT_PATH = "/windows/" + STATEMENT
LIST_PATH = "/windows/manifest.dat.zs"
STATE = "launcher.state"
DAY_S = 86400
ENDLESS_BYTES = 4 << 20  # far past the 4 KiB cap


def key(name):
    return KEYS_DIR / f"{name}.key"


def public_key(name):
    return (KEYS_DIR / f"{name}.pub").read_text().strip()


def source(version):
    return {
        harness.GAME_EXE: harness.GAME_STUB,
        "data/level.bin": f"level data, version {version}\n".encode() * 500,
        "readme.txt": b"the same in every version\n",
    }


def served_sequence(directory):
    """The publish the launcher in DIRECTORY recorded as installed, from its state."""
    for line in (Path(directory) / STATE).read_text().splitlines():
        if line.startswith("sequence "):
            return int(line.split()[1])
    return None


class SignedListFixture(E2ETestCase):
    """The vendor's tree published twice with --sign (publish 1, then 2, live), the artefacts of
    publish 1 kept aside, a list an attacker made, and publish 2 installed by the signed
    launcher (its state holds sequence 2)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.enterClassContext(mock.patch.object(harness, "LAUNCHER_EXE", SIGNED_LAUNCHER))
        cls.root = cls.scratch / "root"
        cls.files = cls.scratch / "files"
        cls.files.mkdir()
        for version in (1, 2):
            harness.write_tree(cls.scratch / f"v{version}", source(version))
            harness.publish(cls.scratch / f"v{version}", cls.root, options=("--sign", key("vendor")))
            for name in (harness.LIST_NAME + ".zs", STATEMENT):
                shutil.copy(cls.root / "windows" / name, cls.files / f"v{version}-{name}")
            if version == 1:
                cls.root_v1 = cls.scratch / "root-v1"
                shutil.copytree(cls.root, cls.root_v1, symlinks=True)
        # The attacker's list: the vendor's files, but another game executable.
        evil = {**source(2), harness.GAME_EXE: b"#!/bin/sh\necho not the vendor's > ran.txt\n"}
        harness.write_tree(cls.scratch / "evil", evil)
        harness.publish(cls.scratch / "evil", cls.scratch / "evil-root")
        shutil.copy(cls.scratch / "evil-root" / "windows" / (harness.LIST_NAME + ".zs"), cls.files / "evil-list")

        cls.installed = cls.scratch / "installed"
        harness.stage_launcher(cls.installed, cls.cert_dir / "ca.crt")
        with FaultServer(cls.root, cls.cert_dir, {}, cls.scratch / "install").start():
            cls.fresh = harness.run_launcher(cls.installed)
        cls.fresh_record = harness.take_game_record(cls.installed)

    def sign(self, key_name, list_file, sequence, expires):
        """A statement for LIST_FILE signed with the named key, written beside it."""
        text = subprocess.run([str(SIGNER), str(key(key_name)), str(list_file), str(sequence), str(int(expires))],
                              capture_output=True, check=True).stdout
        path = self.files / f"{key_name}-{sequence}-{int(expires)}.sig"
        path.write_bytes(text)
        return path

    def installed_copy(self):
        """A launcher directory holding the installed game and the state beside it."""
        directory = super().installed_copy()
        shutil.copy2(self.installed / STATE, directory / STATE)
        return directory

    def refusals(self):
        """(threat, fault for the statement, list served instead of the live one, fragment of
        the report, requests for the statement)."""
        now = time.time()
        v1_statement, v2_statement = self.files / f"v1-{STATEMENT}", self.files / f"v2-{STATEMENT}"
        evil_list = self.files / "evil-list"
        # The genuine statement, its list fields changed to name the attacker's list.
        evil = evil_list.read_bytes()
        fields = {"list-length": str(len(evil)), "list-sha256": hashlib.sha256(evil).hexdigest()}
        edited = self.files / "edited.sig"
        edited.write_text("".join(f"{line.split()[0]} {fields.get(line.split()[0], line.split()[1])}\n"
                                  for line in v2_statement.read_text().splitlines()))
        endless = self.files / "endless.sig"
        endless.write_bytes(b"velm-signed-list 1\n" * (ENDLESS_BYTES // 19))
        expired_at = now - 2 * DAY_S
        not_signed = "a file list that is not signed by the vendor"
        not_that = "a file list that is not the one the vendor signed"
        return [
            ("unsigned list", {"status": 404}, None, f"{not_signed} (the server has no signature file", 1),
            ("list signed by another key", self.body(self.sign("stranger", self.files / "v2-manifest.dat.zs", 3,
                                                               now + DAY_S)),
             None, f"{not_signed} (the signature is by none of the vendor's keys)", 1),
            ("list changed after signing", self.body(v2_statement), evil_list, not_that, 2),
            ("statement changed to name the changed list", self.body(edited), evil_list,
             f"{not_signed} (the signature is by none of the vendor's keys)", 1),
            ("statement for another list of the vendor", self.body(v1_statement), None, not_that, 2),
            ("rollback to an older signed list", self.body(v1_statement), self.files / "v1-manifest.dat.zs",
             "an older file list than this computer has already installed (publish 1; this computer has "
             "installed publish 2)", 1),
            ("freeze: an expired statement", self.body(self.sign("vendor", self.files / "v2-manifest.dat.zs", 3,
                                                                 expired_at)),
             None, "a file list that expired on " + time.strftime("%Y-%m-%d", time.gmtime(expired_at)), 1),
            ("endless statement", self.body(endless), None, f"{not_signed} (the signature file is longer than 4096", 1),
        ]

    @staticmethod
    def body(path):
        return {"body_file": str(path)}

    def check_refusal(self, threat, statement_fault, list_file, fragment, statement_requests):
        faults = {STATEMENT_PATH: statement_fault}
        if list_file is not None:
            faults[LIST_PATH] = self.body(list_file)
        directory = self.installed_copy()
        before = harness.snapshot(directory)
        with FaultServer(self.root, self.cert_dir, faults, self.scratch / threat).start() as server:
            run = harness.run_launcher(directory)
            requests = server.log().count(f'"GET {STATEMENT_PATH} HTTP')
        self.assert_fatal(run, "The update server sent " + fragment, "Nothing was installed or started")
        self.assertEqual(harness.snapshot(directory), before, f"{threat}: something changed\n{run.describe()}")
        self.assertEqual(requests, statement_requests, run.describe())

    def check_accepted(self, run, version, sequence):
        self.assert_status(run, 0)
        self.assert_game_started(run)
        harness.assert_files_equal(self, source(version), run.directory / "game", skip=("data/level.bin.upd_old",),
                                   msg=run.describe())
        self.assertEqual(served_sequence(run.directory), sequence, run.describe())


class SignedListTest(SignedListFixture):
    def test_fresh_install_records_the_publish(self):
        self.assert_status(self.fresh, 0)
        self.assertIsNotNone(self.fresh_record, self.fresh.describe())
        harness.assert_files_equal(self, source(2), self.installed / "game", msg=self.fresh.describe())
        self.assertEqual(served_sequence(self.installed), 2, self.fresh.describe())

    def test_threats_are_refused_and_change_nothing(self):
        for case in self.refusals():
            with self.subTest(case[0]):
                self.check_refusal(*case)

    def test_accepted_lists(self):
        # A rotation: the vendor publishes with its new key, which the launcher also carries;
        # the sequence goes on from the live tree's.
        rotated = self.scratch / "rotated-root"
        shutil.copytree(self.root, rotated, symlinks=True)
        harness.write_tree(self.scratch / "v3", source(3))
        harness.publish(self.scratch / "v3", rotated, options=("--sign", key("rotated"), "--expires", "2"))
        cases = [
            # (what, served tree, whether the state stays, version installed, sequence recorded)
            ("an update signed by the rotated key", rotated, True, 3, 3),
            # Without its state the launcher knows no publish: an older list that has not expired
            # is installed (README: what a deleted state file means).
            ("an older list once the state is gone", self.root_v1, False, 1, 1),
        ]
        for what, root, keep_state, version, sequence in cases:
            with self.subTest(what):
                directory = self.installed_copy()
                if not keep_state:
                    (directory / STATE).unlink()
                with FaultServer(root, self.cert_dir, {}, self.scratch / what).start():
                    run = harness.run_launcher(directory)
                self.check_accepted(run, version, sequence)

    def test_verify_checks_the_served_tree(self):
        tree = self.scratch / "verified-root"
        shutil.copytree(self.root, tree, symlinks=True)
        live = tree / "windows"
        verify = [str(harness.PUBLISH_EXE), "verify", str(tree)]
        changed = live / "readme.txt.zs"
        cases = [
            # (what, change to the copy of the tree, key, exit status, fragment of the output)
            ("the tree as published", None, "vendor", 0, "verified: publish 2 and its 3 files are as signed"),
            ("another key", None, "rotated", 1, "the signature is by none of the vendor's keys"),
            ("a file changed", lambda: (changed.unlink(), harness.zstd_compress(self.files / "evil-list", changed)),
             "vendor", 1, "BAD  readme.txt"),
            ("the list changed", lambda: (live / "manifest.dat.zs").write_bytes(b"other"), "vendor", 1,
             "not the list the statement signs"),
        ]
        for what, change, key_name, status, fragment in cases:
            with self.subTest(what):
                if change is not None:
                    change()
                result = subprocess.run(verify + [public_key(key_name)], capture_output=True, text=True, check=False)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(fragment, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
