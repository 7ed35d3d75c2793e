"""The package a vendor ships (scripts/windows-package.sh), signed with a throwaway code-signing
certificate: the signature verifies, and the launcher unpacked from it installs the game under
Wine. Wrong signing options are refused before anything is built."""

import os
import subprocess
import unittest
import zipfile

from wine_harness import WineTestCase
import wine_harness
import harness

PACKAGE_TIMEOUT_S = 600  # a build of its own: about a minute on two cores
EXE_NAME = "velm-launcher.exe"
PACKAGE_FILES = {EXE_NAME, "RobotoCondensed-BoldItalic.ttf", "curl-ca-bundle.crt"}


def package(*args, build_dir=None):
    """Runs windows-package.sh with ARGS; the finished process."""
    env = dict(os.environ)
    if build_dir is not None:
        env["VELM_PACKAGE_BUILD_DIR"] = str(build_dir)
    return subprocess.run(["bash", str(harness.SCRIPTS_DIR / "windows-package.sh"), *map(str, args)],
                          env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=PACKAGE_TIMEOUT_S, check=False)


class WinePackageTest(WineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        signing = cls.scratch / "signing"
        signing.mkdir()
        cls.cert, cls.key = signing / "cert.pem", signing / "key.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=VELM test code signing", "-keyout", str(cls.key), "-out", str(cls.cert),
                        "-addext", "keyUsage=critical,digitalSignature",
                        "-addext", "extendedKeyUsage=codeSigning"],
                       check=True, capture_output=True)

    def test_signed_package_verifies_and_installs_the_game(self):
        out = self.scratch / "velm-launcher.zip"
        made = package("--sign-cert", self.cert, "--sign-key", self.key, harness.BASE_URL, out,
                       self.cert_dir / "ca.crt", build_dir=wine_harness.WIN_BUILD_DIR / "package-build")
        self.assertEqual(made.returncode, 0, made.stderr)

        player = self.scratch / "Program Files" / "VELM"
        with zipfile.ZipFile(out) as zipped:
            self.assertEqual(set(zipped.namelist()), PACKAGE_FILES)
            zipped.extractall(player)
        verified = subprocess.run(["osslsigncode", "verify", "-in", str(player / EXE_NAME),
                                   "-CAfile", str(self.cert)], capture_output=True, text=True, check=False)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertIn("Signature verification: ok", verified.stdout)

        source = {harness.GAME_EXE: harness.GAME_STUB, "data/a.bin": b"packaged\n"}
        harness.write_tree(self.scratch / "src", source)
        self.start_dev_server(harness.publish(self.scratch / "src", self.scratch / "root"))
        run = harness.run_launcher(player)
        self.assert_status(run, 0)
        self.assert_game_started(run)
        harness.assert_files_equal(self, source, player / "game", msg=run.describe())

    def test_incomplete_or_unreadable_signing_options_are_refused(self):
        missing = self.scratch / "no such key.pem"
        cases = [
            ("certificate without key", ["--sign-cert", self.cert], "needs both --sign-cert and --sign-key"),
            ("key without certificate", ["--sign-key", self.key], "needs both --sign-cert and --sign-key"),
            ("missing key file", ["--sign-cert", self.cert, "--sign-key", missing], f"cannot read {missing}"),
            ("timestamp that is no URL", ["--sign-cert", self.cert, "--sign-key", self.key,
                                          "--timestamp", "tsa.example"], "timestamp URL"),
        ]
        out = self.scratch / "refused.zip"
        for what, options, message in cases:
            with self.subTest(what):
                made = package(*options, harness.BASE_URL, out, build_dir=self.scratch / "never built")
                self.assertEqual(made.returncode, 1, made.stderr)
                self.assertIn(message, made.stderr)
                self.assertFalse(out.exists())
                self.assertFalse((self.scratch / "never built").exists())


if __name__ == "__main__":
    unittest.main()
