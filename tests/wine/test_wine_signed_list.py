"""The Windows launcher built with the test keys, under Wine: a signed list is installed (and its
update fetched from nginx over one connection), and a list signed by another key is refused with
nothing changed. (curl turns ALPN off under Wine, so HTTP/2 is not negotiated here.)"""

import os
import re
import shutil
import unittest

from wine_harness import WIN_BUILD_DIR, WineTestCase

os.environ.setdefault("VELM_SIGNED_LAUNCHER_EXE", str(WIN_BUILD_DIR / "tests" / "wine" / "velm-launcher-signed.exe"))
import harness  # noqa: E402
import test_signed_list  # noqa: E402  (reads the variable above)
from test_signed_list import source  # noqa: E402


class WineSignedListTest(test_signed_list.SignedListFixture, WineTestCase):
    test_fresh_install_records_the_publish = test_signed_list.SignedListTest.test_fresh_install_records_the_publish

    def test_list_signed_by_another_key_is_refused(self):
        self.check_refusal(*self.refusals()[1])

    def test_signed_update_over_one_connection(self):
        root = self.scratch / "http2-root"
        shutil.copytree(self.root, root, symlinks=True)
        harness.write_tree(self.scratch / "v3", source(3))
        harness.publish(self.scratch / "v3", root, options=("--sign", test_signed_list.key("vendor")))
        with harness.DevServer(root, self.scratch / "server", http2=True).start() as server:
            run = harness.run_launcher(self.installed_copy())
            log = server.access_log()
        self.check_accepted(run, 3, 3)
        requests = re.findall(r'"GET (/windows/\S+) HTTP/[0-9.]+" \d+ \d+ "[^"]*" "[^"]*" (\d+) ', log)
        # The statement, the list, the changed file's patch (none: 404) and the changed file.
        self.assertEqual(len(requests), 4, log)
        self.assertEqual(len({connection for _, connection in requests}), 1, log)


if __name__ == "__main__":
    unittest.main()
