"""Patches against nginx: a player with version 1 fetches a small part of the whole files; every
other case falls back to whole files. Each ends with the exact tree of version 2."""

import hashlib
import random
import subprocess
import unittest

import harness
from harness import E2ETestCase

BIG, GROWN, BLOCK = "data/big.pak", "data/grown.pak", 64 << 10
BIG_SIZE, GROWN_SIZE, SMALL_CHANGED = 8 << 20, 2 << 20, 50


def versions():
    rng = random.Random(12)
    v1 = {harness.GAME_EXE: harness.GAME_STUB, GROWN: rng.randbytes(GROWN_SIZE),
          BIG: b"".join(rng.randbytes(BLOCK) for _ in range(BIG_SIZE // BLOCK))}
    v1.update({f"small/{i:03d}.txt": rng.randbytes(rng.randrange(1000, 30000)) for i in range(200)})
    big = bytearray(v1[BIG])
    for block in rng.sample(range(BIG_SIZE // BLOCK), BIG_SIZE // BLOCK // 100):
        big[block * BLOCK:(block + 1) * BLOCK] = rng.randbytes(BLOCK)
    v2 = {**v1, BIG: bytes(big), GROWN: v1[GROWN] + rng.randbytes(GROWN_SIZE // 20)}
    v2.update({n: v1[n][:500] + rng.randbytes(100) + v1[n][600:] for n in list(v1)[3:3 + SMALL_CHANGED]})
    v2.update({f"added/{i}.bin": rng.randbytes(5000) for i in range(10)})
    return v1, v2


class PatchTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.v1, cls.v2 = versions()
        cls.root = harness.publish(cls.v1, cls.scratch / "root")
        cls.server = cls.serve(cls.root)
        cls.installed = cls.stage()
        harness.run_launcher(cls.installed, timeout=120)
        harness.publish(cls.v2, cls.root)
        cls.patches = cls.root / "windows" / ".patches"

    def update(self, local=None):
        """A copy of the version 1 install, LOCAL files written over it, updated to version 2."""
        start = len(self.server.access_log())
        run = harness.run_launcher(self.stage(local, like=self.installed), timeout=120)
        self.assert_ok(run, self.v2, skip=harness.UPD_OLD)
        return run, self.server.access_log()[start:]

    def test_a_player_with_the_previous_version_fetches_patches(self):
        run, log = self.update()
        self.assertGreaterEqual(run.figures["patched"], 2 + SMALL_CHANGED // 2, run.describe())
        sent = sum(n for _, status, n in harness.requests(log) if status in (200, 206))
        whole = sum(harness.published_path(self.root, n).stat().st_size for n in self.v2 if self.v1.get(n) != self.v2[n])
        self.assertLess(sent, 0.08 * whole, f"{sent} of {whole} bytes\n{run.describe()}")

    def test_every_other_case_falls_back_to_the_whole_file(self):
        grown = next(self.patches.glob(f"*-{hashlib.sha1(self.v2[GROWN]).hexdigest()}.zst"))
        # A frame without zstd's own checksum that decompresses cleanly to the file's size: only the SHA-1 tells.
        other = subprocess.run(["zstd", "-q", "-1", "--no-check", "-c"], input=self.v2[GROWN][:-1] + bytes([self.v2[GROWN][-1] ^ 1]),
                               stdout=subprocess.PIPE, check=True).stdout
        saved = grown.read_bytes()
        rows = [  # (what, local files over version 1, the patch's bytes on the server (None: none), what the launcher says)
            ("two versions behind", {GROWN: b"v0" * 1000}, saved, "no patch for"),
            ("a server without the patch", {}, None, "no patch for"),
            ("a corrupted patch", {}, b"\x28\xb5\x2f\xfd" + bytes(200), "did not apply"),
            ("a patch that yields other bytes", {}, other, "did not apply"),
            ("a patch past its cap", {}, b"\x28\xb5\x2f\xfd" + bytes(len(self.v2[GROWN]) * 257 // 256), "that its size allows"),
        ]
        for what, local, patch, said in rows:
            with self.subTest(what):
                grown.unlink(missing_ok=True)
                if patch is not None:
                    harness.replace_file(grown, patch)
                run, _ = self.update(local)
                self.assertTrue([line for line in run.lines if said in line and GROWN in line], run.describe())
        harness.replace_file(grown, saved)


if __name__ == "__main__":
    unittest.main()
