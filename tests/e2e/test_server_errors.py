"""Answers from nginx that end the update at once: a missing file (404), and a server whose
certificate the launcher's authority bundle does not vouch for (another attempt cannot help)."""

import unittest

import harness
from harness import E2ETestCase, url_for

MISSING = "sub dir/missing one.bin"


class ServerErrorTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        source = {
            harness.GAME_EXE: harness.GAME_STUB,
            "a.txt": b"present\n",
            MISSING: b"listed, but the server lost it\n" * 10,
        }
        harness.write_tree(cls.scratch / "src", source)
        cls.root = harness.publish(cls.scratch / "src", cls.scratch / "root")
        harness.published_path(cls.root, MISSING).unlink()
        cls.start_dev_server(cls.root)

    def test_404_is_fatal_at_once_with_status_and_url(self):
        directory = self.stage()
        run = harness.run_launcher(directory)
        self.assert_fatal(run, "Fatal error in ", f"error 404 downloading\n{url_for(MISSING)}")
        self.assertIn("%20", url_for(MISSING))
        self.assertEqual(run.retries(), [], "an HTTP status is never retried\n" + run.describe())
        self.assertNotIn(url_for(MISSING), run.transfers())
        self.assertFalse((directory / "game" / MISSING).exists(), run.describe())

    def test_untrusted_server_is_fatal_without_retries(self):
        directory = self.stage()
        stranger = harness.make_certificates(self.scratch / "another authority")
        (directory / "curl-ca-bundle.crt").write_bytes((stranger / "ca.crt").read_bytes())
        run = harness.run_launcher(directory)
        errors = run.curl_errors()
        self.assertEqual(len(errors), 1, run.describe())
        self.assert_fatal(run, f"Error downloading. {errors[-1]}")
        self.assertEqual(run.retries(), [], run.describe())
        self.assertEqual(run.transfers(), [], run.describe())


if __name__ == "__main__":
    unittest.main()
