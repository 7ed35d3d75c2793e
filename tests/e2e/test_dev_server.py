"""The dev update server (scripts/dev-server.sh): it serves a published tree on the port it is
given, and refuses options it cannot use before it starts anything."""

import http.client
import ssl
import subprocess
import unittest

import harness
from harness import E2ETestCase, LIST_NAME

OTHER_PORT = harness.PORT + 1
DEV_SERVER = str(harness.SCRIPTS_DIR / "dev-server.sh")


def dev_server(*args):
    return subprocess.run([DEV_SERVER, *map(str, args)], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=60, check=False)


class DevServerTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        harness.write_tree(cls.scratch / "src", {harness.GAME_EXE: harness.GAME_STUB})
        cls.root = harness.publish(cls.scratch / "src", cls.scratch / "root")

    def test_serves_on_the_port_it_is_given(self):
        state = self.scratch / "other port"
        started = dev_server("start", self.root, state, "--port", OTHER_PORT, "--rate", "1m")
        self.addCleanup(dev_server, "stop", state)
        self.assertEqual(started.returncode, 0, started.stdout + started.stderr)
        self.assertIn(f"https://localhost:{OTHER_PORT}/", started.stdout)
        self.assertFalse(harness.port_in_use(), f"also serving on {harness.PORT}")

        context = ssl.create_default_context(cafile=str(state / "certs" / "ca.crt"))
        connection = http.client.HTTPSConnection("localhost", OTHER_PORT, context=context, timeout=10)
        try:
            connection.request("GET", f"/windows/{LIST_NAME}.zs")
            answer = connection.getresponse()
            self.assertEqual((answer.status, answer.read()),
                             (200, harness.published_path(self.root, LIST_NAME).read_bytes()))
        finally:
            connection.close()

    def test_unusable_options_are_refused_before_anything_starts(self):
        cases = [
            ("port 0", ["--port", "0"], "port number from 1 to 65535: 0"),
            ("port past the last", ["--port", "65536"], "port number from 1 to 65535: 65536"),
            ("port that is no number", ["--port", "44x3"], "port number from 1 to 65535: 44x3"),
            ("port without its value", ["--port"], "--port needs a value"),
            ("rate that is no rate", ["--rate", "fast"], "--rate takes a number"),
            ("unknown option", ["--speed", "2m"], "unknown option --speed"),
        ]
        for what, options, message in cases:
            with self.subTest(what):
                state = self.scratch / "refused"
                result = dev_server("start", self.root, state, *options)
                self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
                self.assertIn(message, result.stderr)
                self.assertIn("usage:", result.stderr)
                self.assertFalse(state.exists(), "the refused start made its state directory")


if __name__ == "__main__":
    unittest.main()
