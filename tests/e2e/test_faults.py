"""Transfers that go wrong, served by the fault-injecting server: resets that the retries
absorb, resets that exhaust them, a stalled body, and bodies that decode wrongly."""

import random
import unittest

import harness
from harness import E2ETestCase, FaultServer, LIST_NAME, url_for

FLAKY = "0 flaky.bin"  # first in the list: its first attempt is a worker's first connection
STALLED = "big stall.bin"
STALL_S = 60  # longer than the launcher's 30 s stall limit, and than the run would wait for it
ATTEMPTS = 8  # pauses of 0.5, 1, 2, 4, 8, 16 and 32 s between them
PATIENCE_S = 63


class FaultTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        rng = random.Random(11)
        cls.source = {
            harness.GAME_EXE: harness.GAME_STUB,
            FLAKY: rng.randbytes(50_000),
            STALLED: rng.randbytes(200_000),
            "half.bin": rng.randbytes(100_000),
            "wrong.bin": rng.randbytes(30_000),
        }
        harness.write_tree(cls.scratch / "src", cls.source)
        cls.root = harness.publish(cls.scratch / "src", cls.scratch / "root")

        # Bodies for the faults: half of a compressed file, and valid streams of other bytes,
        # one of the listed size and one larger.
        bodies = cls.scratch / "bodies"
        bodies.mkdir()
        whole = harness.published_path(cls.root, "half.bin").read_bytes()
        cls.truncated_body = bodies / "half.bin.zs.first-half"
        cls.truncated_body.write_bytes(whole[: len(whole) // 2])
        cls.other_body = cls.compressed(bodies, "other", rng.randbytes(len(cls.source["wrong.bin"])))
        cls.larger_body = cls.compressed(bodies, "larger", rng.randbytes(len(cls.source["wrong.bin"]) + 1000))

    @staticmethod
    def compressed(directory, name, data):
        raw = directory / name
        raw.write_bytes(data)
        harness.zstd_compress(raw, directory / (name + ".zs"))
        return directory / (name + ".zs")

    def assert_installed(self, run):
        self.assert_status(run, 0)
        self.assert_game_started(run)
        harness.assert_files_equal(self, self.source, run.directory / "game", msg=run.describe())

    def test_two_resets_then_success(self):
        # libcurl itself asks again once when a connection it reused is reset before any
        # answer, so two resets cost the launcher one or two attempts.
        server = self.start_fault_server(self.root, {f"/windows/{FLAKY}.zs": {"reset": "before", "times": 2}})
        run = harness.run_launcher(self.stage())
        self.assertIn(run.retries(), ([FLAKY], [FLAKY, FLAKY]), run.describe())
        self.assertEqual(len(run.curl_errors()), len(run.retries()), run.describe())
        self.assertEqual(server.faults_applied(FLAKY), 2)
        self.assertEqual(server.answers(FLAKY), 1)
        self.assertIn(url_for(FLAKY), run.transfers())
        self.assert_installed(run)

    def test_resets_through_every_attempt_end_the_update_after_a_minute(self):
        server = self.start_fault_server(self.root, {f"/windows/{FLAKY}.zs": {"reset": "before"}})
        run = harness.run_launcher(self.stage(), timeout=PATIENCE_S + 30)
        errors = run.curl_errors()
        self.assertEqual(len(errors), ATTEMPTS, run.describe())
        self.assertEqual(run.retries(), [FLAKY] * (ATTEMPTS - 1), run.describe())
        self.assert_fatal(run, f"Error downloading. {errors[-1]}")
        self.assertGreaterEqual(server.faults_applied(FLAKY), ATTEMPTS)
        self.assertGreater(run.ended - run.started, PATIENCE_S, "the attempts did not back off")

    def test_stalled_body_is_retried_after_the_stall_limit(self):
        # Without a stall limit the transfer would simply finish when the server resumes,
        # with no retry; with it, the first attempt fails after 30 s and the second succeeds.
        server = self.start_fault_server(self.root, {f"/windows/{STALLED}.zs": {"stall": STALL_S, "times": 1}})
        run = harness.run_launcher(self.stage(), timeout=STALL_S + 30)
        self.assertEqual(run.retries(), [STALLED], run.describe())
        self.assertEqual(len(run.curl_errors()), 1, run.describe())
        self.assertEqual(server.faults_applied(STALLED), 1)
        self.assertLess(run.ended - run.started, STALL_S, "the launcher waited for the stalled server")
        self.assert_installed(run)

    def test_bad_bodies_are_fatal(self):
        cases = [
            # (what, listed name, fault, fragments of the report on standard error, whether
            # the transfer completes: the stream is checked after its transfer line, and the
            # file list fetched again, which has not changed)
            ("truncated zstd stream", "half.bin", {"body_file": str(self.truncated_body)},
             ["game/half.bin.zs ends inside its compressed data (EOF before end of stream"], True),
            ("stream of other bytes", "wrong.bin", {"body_file": str(self.other_body)},
             ["File checksum error: wrong.bin"], True),
            ("stream longer than listed", "wrong.bin", {"body_file": str(self.larger_body)},
             ["game/wrong.bin.zs decompresses to more than its listed size"], True),
            ("server error", "wrong.bin", {"status": 503},
             [f"error 503 downloading\n{url_for('wrong.bin')}"], False),
            ("redirect, not followed", "wrong.bin", {"status": 301},
             [f"error 301 downloading\n{url_for('wrong.bin')}"], False),
        ]
        for what, name, fault, fragments, completes in cases:
            with self.subTest(what):
                faults = {f"/windows/{name}.zs": fault}
                with FaultServer(self.root, self.cert_dir, faults, self.scratch / what).start() as server:
                    run = harness.run_launcher(self.stage())
                    self.assert_fatal(run, *fragments)
                    self.assertEqual(run.retries(), [], run.describe())
                    self.assertEqual(server.faults_applied(name), 1)
                    self.assertEqual(url_for(name) in run.transfers(), completes, run.describe())
                    # A file that does not match makes the launcher ask for the list again.
                    self.assertEqual(run.transfers().count(url_for(LIST_NAME)), 1 + completes, run.describe())


if __name__ == "__main__":
    unittest.main()
