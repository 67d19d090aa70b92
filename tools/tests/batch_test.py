"""varto_batch through GNU parallel: eight sample observations with -j 2, one broken,
give the serial tables and a summary; --resume then starts no varto and writes the same
summary. Manifest and option errors exit 2 and run nothing.

    batch_test.py BUILD_DIR"""

import os
import pathlib
import shutil
import subprocess
import sys
import unittest

import batch_helpers as h

BUILD = None


class BatchTest(unittest.TestCase):
    def setUp(self):
        self.root = h.scratch()
        self.addCleanup(shutil.rmtree, self.root)
        # A varto that notes every start, then runs the real one.
        self.starts = os.path.join(self.root, "starts.log")
        self.varto = os.path.join(self.root, "varto")
        with open(self.varto, "w") as f:
            f.write(f'#!/bin/sh\necho "$PWD" >>{self.starts}\nexec {BUILD.varto} "$@"\n')
        os.chmod(self.varto, 0o755)

    def batch(self, *words):
        return subprocess.run([BUILD.batch, "--varto", self.varto, *words], cwd=self.root,
                              capture_output=True, text=True, stdin=subprocess.DEVNULL)

    def started(self):
        return pathlib.Path(self.starts).read_text().split() if os.path.exists(self.starts) else []

    def summary(self):
        return [pathlib.Path(self.root, n).read_bytes() for n in ("summary.fits", "summary.csv")]

    def test_parallel_brokenObservation_summaryAndResume(self):
        if not shutil.which("parallel"):
            self.skipTest("GNU parallel is not installed")
        h.make_archive(BUILD, self.root)
        os.unlink(os.path.join(self.root, "o3", "anc.fits"))
        with open(os.path.join(self.root, "manifest.txt"), "w") as f:
            f.write("# eight observations\n\n" + "".join(f"o{k}\n" for k in range(1, 8)) + "o8 outfile=varto.fits\n")

        run = self.batch("-j", "2", "manifest.txt")
        self.assertEqual(run.returncode, 1, run.stderr)
        self.assertEqual(run.stdout, "8 observations: 7 ok, 1 failed\n"
                         "  o3 (status 1): Failed to open aspect file\n")
        self.assertEqual(len(self.started()), 8)
        h.check_archive(self, self.root, 8, 3, "Failed to open aspect file")

        summary = self.summary()
        again = self.batch("-j", "2", "--resume", "manifest.txt")
        self.assertEqual(again.returncode, 1, again.stderr)
        self.assertTrue(again.stdout.startswith("8 of 8 observations up to date; 0 to run\n"), again.stdout)
        self.assertEqual(len(self.started()), 8)
        self.assertEqual(self.summary(), summary)

        # A changed input runs that observation again, and only it.
        os.utime(os.path.join(self.root, "o5", "gain.steps"))
        self.assertEqual(self.batch("--resume", "manifest.txt").returncode, 1)
        self.assertEqual(self.started()[8:], [os.path.join(self.root, "o5")])

    def test_ledgerKeys_areTheKeysVartoWrites(self):
        folder = os.path.join(self.root, "one")
        os.makedirs(folder)
        subprocess.run([BUILD.make_sample, "--seed", "1", folder], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([BUILD.varto], cwd=folder, check=True, stdout=subprocess.DEVNULL)
        header = h.fits.getheader(os.path.join(folder, "varto.fits"), "GAIN_HIST")
        seconds = tuple(c.keyword for c in header.cards if c.comment.startswith("[s] "))
        self.assertEqual(seconds, h.LEDGER)

    def test_usageErrors_exitTwoAndRunNothing(self):
        os.makedirs(os.path.join(self.root, "o1"))
        cases = [  # manifest, words, the message
            ("o1\nnowhere\n", [], "manifest.txt line 2: no folder nowhere"),
            ('o1\no1 "outfile=a b\n', [], "manifest.txt line 2: malformed line"),
            ("o1 ghist\n", [], "manifest.txt line 1: 'ghist' is not a name=value word"),
            ("o1\n./o1/\n", [], "manifest.txt line 2: folder ./o1/ is already on line 1"),
            ("# nothing\n", [], "manifest.txt names no observation folder"),
            ("o1\n", ["--frobnicate"], "unrecognized arguments: --frobnicate"),
            ("o1\n", ["d"], "'d' is not a name=value word"),
            ("o1\n", ["--wait"], "--wait goes with --slurm"),
            ("o1\n", ["-j", "0"], "-j needs a count of 1 or more"),
        ]
        for manifest, words, message in cases:
            with self.subTest(message):
                with open(os.path.join(self.root, "manifest.txt"), "w") as f:
                    f.write(manifest)
                run = self.batch("manifest.txt", *words)
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertIn(message, run.stderr)
                self.assertEqual(os.listdir(os.path.join(self.root, "o1")), [])
                self.assertFalse(os.path.exists(os.path.join(self.root, "summary.csv")))
        self.assertEqual(self.started(), [])
        missing = self.batch("absent.txt")
        self.assertEqual(missing.returncode, 2)
        self.assertIn("cannot read the manifest absent.txt", missing.stderr)


if __name__ == "__main__":
    BUILD = h.Build(sys.argv.pop(1))
    unittest.main(verbosity=2)
