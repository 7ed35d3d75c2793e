"""Large games: a file past 4 GiB (sparse, so that it is quick) installs, resumes after a kill and is
current by the record at the next start; a file cut into chunks (a few MiB, small chunks) updates
from any older version by the chunks its copy lacks, falls back to the whole file on any fault, and
its chunks are shared by the kept trees and go with the last of them."""

import contextlib
import hashlib
import random
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path
from unittest import mock

import harness
from harness import E2ETestCase

PACK, PACK_SIZE = "data/pack.bin", 4 << 20
CHUNKING = ["--patch-max-size", "1M", "--chunk-size", "64K", "--keep", "2"]
KEYS_DIR = harness.SOURCE_DIR / "tests" / "keys"

HUGE, HUGE_SIZE = "data/huge.pak", (1 << 32) + 5_000_003
MARKS = {0: b"first", (1 << 32) - 2: b"across 4 GiB", (1 << 32) + 4096: b"past 4 GiB", HUGE_SIZE - 4: b"last"}


class HugeFileTest(E2ETestCase):
    def test_a_file_past_4_gib_installs_resumes_and_is_current_by_the_record(self):
        # On a disk: the installed copy is not sparse.
        disk = Path(tempfile.mkdtemp(prefix="velm-e2e-huge-", dir="/var/tmp"))
        self.addCleanup(shutil.rmtree, disk, ignore_errors=True)
        if shutil.disk_usage(disk).free < HUGE_SIZE + (4 << 30):
            self.skipTest(f"{disk} cannot hold a copy of {HUGE_SIZE} bytes")
        game = disk / "source"
        harness.write_tree(game, {harness.GAME_EXE: harness.GAME_STUB})
        (game / HUGE).parent.mkdir()
        with open(game / HUGE, "wb") as f:
            f.truncate(HUGE_SIZE)
            for offset, mark in MARKS.items():
                f.seek(offset)
                f.write(mark)
        root = harness.publish(str(game), disk / "root", "--patch-max-size", "5G")  # not cut into chunks: quicker
        self.serve(root, rate="40k")  # about 4 s for its 0.16 MB of zstd
        directory = self.stage(directory=disk / "player")
        temporary = directory / "game" / (HUGE + ".zs")
        first = harness.LauncherRun(directory)
        first.wait_for(lambda: temporary.exists() and temporary.stat().st_size > 20000, 60, "partial download")
        first.kill()
        second = harness.run_launcher(directory, timeout=300)
        self.assertGreater(second.resumed().get(HUGE, 0), 20000 - 256, second.describe())
        self.assert_ok(second)
        installed = directory / "game" / HUGE
        self.assertEqual(installed.stat().st_size, HUGE_SIZE)
        with open(installed, "rb") as f:
            for offset, mark in MARKS.items():
                f.seek(offset)
                self.assertEqual(f.read(len(mark)), mark, offset)
        third = harness.run_launcher(directory)
        self.assertEqual(third.found(), (2, 0, 0), third.describe())
        self.assert_ok(third)


def pack_versions():
    """Three versions of a partly compressible pack: a few bytes changed in scattered places, then a
    block inserted near the start."""
    rng = random.Random(21)
    v1 = bytearray(b"".join(rng.randbytes(2048) + bytes(2048) for _ in range(PACK_SIZE // 4096)))
    v2 = bytearray(v1)
    for at in rng.sample(range(PACK_SIZE - 100), 3):
        v2[at:at + 100] = rng.randbytes(100)
    v3 = v2[:200_000] + rng.randbytes(100_000) + v2[200_000:]
    return [bytes(v) for v in (v1, v2, v3)]


class ChunkTest(E2ETestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.versions = [{harness.GAME_EXE: harness.GAME_STUB, PACK: pack} for pack in pack_versions()]
        cls.root = cls.scratch / "root"
        cls.outputs = []
        for number, files in enumerate(cls.versions):
            game = cls.scratch / f"v{number + 1}"
            harness.write_tree(game, files)
            cls.outputs.append(cls.publish(number))
            if number == 0:
                cls.server = cls.serve(cls.root)
                cls.installed = cls.stage()
                harness.run_launcher(cls.installed)
        cls.index = f".chunks/{hashlib.sha1(cls.versions[2][PACK]).hexdigest()}.index"

    @classmethod
    def publish(cls, number):
        return subprocess.run([harness.PUBLISH_EXE, "build", "--level", "1", *CHUNKING, "--sign", KEYS_DIR / "vendor.key",
                               "--channel", harness.CHANNEL, cls.scratch / f"v{number + 1}", cls.root],
                              capture_output=True, text=True, check=True).stdout

    def test_the_publisher_shares_chunks_and_prunes_them_with_the_trees(self):
        self.assertIn(" shared with kept trees", self.outputs[1])
        shared = [int(n) for n in re.findall(r"(\d+) shared with kept trees", "".join(self.outputs))]
        self.assertTrue(shared[0] == 0 and shared[1] > 40 and shared[2] > 40, self.outputs)
        trees = [path for path in (self.root / "releases").iterdir() if path.is_dir()]
        self.assertEqual(len(trees), 2)
        held = [set(p.name for p in (tree / ".chunks").glob("*.zst")) for tree in trees]
        for tree, names in zip(trees, held):
            for name in names:  # a chunk has no link but those of the kept trees that use it
                self.assertEqual((tree / ".chunks" / name).stat().st_nlink, sum(name in h for h in held), name)
        self.assertEqual(subprocess.run(["zstd", "-dc", harness.published_path(self.root, PACK)],
                                        capture_output=True).stdout, self.versions[2][PACK])
        lost = next(iter(held[0] & held[1]))  # gone from every tree: the next publish makes it again
        for tree in trees:
            (tree / ".chunks" / lost).unlink()
        self.publish(2)
        verify = [harness.PUBLISH_EXE, "verify", "--channel", harness.CHANNEL, self.root,
                  (KEYS_DIR / "vendor.pub").read_text().strip()]
        result = subprocess.run(verify, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(f"ok   {self.index} (", result.stdout)
        harness.replace_file(next((self.root / "windows" / ".chunks").glob("*.zst")), b"\x28\xb5\x2f\xfd" + bytes(40))
        result = subprocess.run(verify, capture_output=True, text=True)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn(f"BAD  {self.index} (", result.stdout)

    def test_a_player_of_any_older_version_fetches_the_chunks_it_lacks_and_falls_back_on_any_fault(self):
        trees = sorted(path for path in (self.root / "releases").iterdir() if path.is_dir())
        live, previous = trees[1] / ".chunks", trees[0] / ".chunks"
        chunk = next(path for path in live.glob("*.zst") if not (previous / path.name).exists())  # new in version 3
        index = self.root / "windows" / self.index
        saved = {path: path.read_bytes() for path in (chunk, index)}
        v2_copy = self.stage({PACK: self.versions[1][PACK]}, like=self.installed)
        whole = harness.published_path(self.root, PACK).stat().st_size
        shutil.copytree(self.root, self.scratch / "mirror-root", symlinks=True)  # a mirror holding every chunk
        mirror = self.serve(self.scratch / "mirror-root", port=4444, state="mirror")
        mirrors = mock.patch.object(harness, "LAUNCHER_EXE", harness.BUILD_DIR / "tests" / "e2e" / "velm-launcher-mirrors")
        rows = [  # (what, the player's copy, a file on the server and its bytes (None: none), the log's word, most bytes sent)
            ("one version behind", v2_copy, None, None, "chunks to fetch", 0.1),
            ("a chunk missing on one mirror, on the next", self.installed, chunk, None,
             f"trying .chunks/{chunk.name} on localhost:4444 instead of localhost:4443", 0.2),
            ("two versions behind", self.installed, None, None, "chunks to fetch", 0.2),
            ("a chunk damaged", self.installed, chunk, b"\x28\xb5\x2f\xfd" + bytes(40), "the chunks for", 1.2),
            ("a chunk missing", self.installed, chunk, None, "the chunks for", 1.2),
            ("a server without the index", self.installed, index, None, "no chunks for", 1.2),
            ("an index past its cap", self.installed, index, bytes((16 << 20) + 1), "that its size allows", 12),
            ("an index of another file", self.installed, index, (self.root / "windows" / ".chunks").joinpath(
                next(p.name for p in (self.root / "windows" / ".chunks").glob("*.index"))).read_bytes()[:60],
             "the chunks for", 1.2)]
        for what, like, path, data, said, most in rows:
            with self.subTest(what):
                if path is not None:
                    path.unlink()
                    if data is not None:
                        path.write_bytes(data)
                start, mirror_start = len(self.server.access_log()), len(mirror.access_log())
                with mirrors if "mirror" in what else contextlib.nullcontext():  # servers 4445 (never there), 4443, 4444
                    run = harness.run_launcher(self.stage(like=like), timeout=120)
                log = self.server.access_log()[start:] + mirror.access_log()[mirror_start:]
                for restored, content in saved.items():
                    harness.replace_file(restored, content)
                self.assert_ok(run, self.versions[2], skip=harness.UPD_OLD)
                self.assertEqual(run.figures["chunked"], int(most < 1), run.describe())  # else the whole file
                self.assertTrue([line for line in run.lines if said in line and (PACK in line or chunk.name in line)],
                                run.describe())
                sent = sum(n for _, status, n in harness.requests(log) if status in (200, 206))
                self.assertLess(sent, most * whole, f"{sent} of {whole} bytes\n{run.describe()}")


if __name__ == "__main__":
    unittest.main()
