"""Patch updates against nginx: version 1 -> 2 of a tree with a large file changed in places, a
file grown, small files changed and added. A player with version 1 fetches patches, a small
part of the whole files; every other case falls back to whole files and ends exact."""

import hashlib
import random
import re
import shutil
import unittest

import harness
from harness import E2ETestCase

BIG, GROWN = "data/big.pak", "data/grown.pak"
BIG_SIZE = 256 << 20
BLOCK = 64 << 10
GROWN_SIZE = 20 << 20
SMALL_FILES, SMALL_CHANGED, SMALL_ADDED = 200, 50, 10
BYTE_SHARE = 0.08  # of what whole files would take
PATCH_LINE = re.compile(r"^\d+ \| +\d+ ms \| \S+/\.patches/[0-9a-f]{40}-[0-9a-f]{40}\.zst$")


def versions():
    rng = random.Random(12)
    v1 = {harness.GAME_EXE: harness.GAME_STUB, BIG: b"".join(rng.randbytes(BLOCK) for _ in range(BIG_SIZE // BLOCK)),
          GROWN: rng.randbytes(GROWN_SIZE)}
    v1.update({f"small/{i:03d}.txt": rng.randbytes(rng.randrange(1000, 30000)) for i in range(SMALL_FILES)})
    v2 = dict(v1)
    big = bytearray(v1[BIG])
    for block in rng.sample(range(BIG_SIZE // BLOCK), BIG_SIZE // BLOCK // 100):
        big[block * BLOCK:(block + 1) * BLOCK] = rng.randbytes(BLOCK)
    v2[BIG] = bytes(big)
    v2[GROWN] = v1[GROWN] + rng.randbytes(GROWN_SIZE // 20)
    for i in range(SMALL_CHANGED):
        name = f"small/{i:03d}.txt"
        v2[name] = v1[name][:500] + rng.randbytes(100) + v1[name][600:]
    v2.update({f"added/{i}.bin": rng.randbytes(5000) for i in range(SMALL_ADDED)})
    return v1, v2


class PatchTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.v1, cls.v2 = versions()
        cls.root = cls.scratch / "root"
        for n, files in (("v1", cls.v1), ("v2", cls.v2)):
            harness.write_tree(cls.scratch / n, files)
        harness.publish(cls.scratch / "v1", cls.root)
        cls.server = cls.start_dev_server(cls.root)
        cls.installed = cls.scratch / "installed"
        harness.stage_launcher(cls.installed, cls.cert_dir / "ca.crt")
        cls.v1_run = harness.run_launcher(cls.installed, timeout=120)
        harness.take_game_record(cls.installed)
        harness.publish(cls.scratch / "v2", cls.root)
        cls.patches = harness.published_path(cls.root, "x").parent / ".patches"

    def update(self, local=None):
        """A copy of the version 1 install, with LOCAL files put over it, updated to version 2."""
        directory = self.installed_copy()
        harness.write_tree(directory / "game", local or {})
        start = len(self.server.access_log())
        run = harness.run_launcher(directory, timeout=120)
        self.assert_status(run, 0)
        self.assert_game_started(run)
        harness.assert_files_equal(self, self.v2, directory / "game",
                                   skip={n + ".upd_old" for n in self.v2}, msg=run.describe())
        return run, self.server.access_log()[start:]

    def test_a_player_with_the_previous_version_fetches_patches(self):
        self.assert_status(self.v1_run, 0)
        run, log = self.update()
        patched = [line for line in run.stdout_lines if PATCH_LINE.match(line)]
        self.assertGreaterEqual(len(patched), 2 + SMALL_CHANGED // 2, run.describe())
        sent = sum(int(n) for n in re.findall(r'"GET \S+ HTTP/[0-9.]+" 20[06] (\d+) ', log))
        changed = [n for n in self.v2 if self.v1.get(n) != self.v2[n]]
        whole = sum(harness.published_path(self.root, n).stat().st_size for n in changed)
        self.assertLess(sent, BYTE_SHARE * whole, f"{sent} of {whole} bytes\n{run.describe()}")

    def test_every_other_case_falls_back_to_the_whole_file(self):
        grown_patch = next(self.patches.glob(f"*-{hashlib.sha1(self.v2[GROWN]).hexdigest()}.zst"))
        other_patch = next(p for p in self.patches.iterdir() if p != grown_patch)
        cases = [
            # (what, local files over version 1, the patch's bytes on the server (None: gone),
            #  what the launcher says)
            ("two versions behind", {GROWN: b"v0" * 1000}, grown_patch.read_bytes(), "no patch for"),
            ("a server without the patch", {}, None, "no patch for"),
            ("a corrupted patch", {}, b"\x28\xb5\x2f\xfd" + bytes(200), "did not apply"),
            ("a patch for another base", {}, other_patch.read_bytes(), "did not apply"),
        ]
        saved = grown_patch.read_bytes()
        for what, local, patch, said in cases:
            with self.subTest(what):
                grown_patch.unlink(missing_ok=True)  # hard-linked into older trees: replaced, not changed
                if patch is not None:
                    grown_patch.write_bytes(patch)
                run, _ = self.update(local)
                self.assertTrue(any(said in line and GROWN in line for line in run.stdout_lines),
                                run.describe())
        grown_patch.unlink(missing_ok=True)
        grown_patch.write_bytes(saved)


if __name__ == "__main__":
    unittest.main()
