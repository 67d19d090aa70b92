"""varto_batch through GNU parallel: eight sample observations with -j 2, one broken,
give the serial tables and a summary, writing through none of the links planted at its
file names; --resume then starts no varto and writes the same summary. Folder names of
any bytes are summarised; manifest and option errors exit 2 and run nothing; SIGTERM
stops the whole batch.

    batch_test.py BUILD_DIR"""

import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time
import unittest

import batch_helpers as h

BUILD = None
# Names varto_batch writes, each planted as a link to a victim outside the archive.
LINKS = ("o1/varto.out", "o2/varto.err", "o4/varto.status", "summary.csv", "summary.html", "summary.fits",
         "summary.png")


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

    def plant_links(self, names):
        """A link at each name to a victim file outside the archive; returns a check that
        every victim is unchanged and every name now a file of its own."""
        victims = os.path.join(self.root, "victims")
        os.makedirs(victims, exist_ok=True)
        for k, name in enumerate(names):
            victim = os.path.join(victims, f"v{k}")
            pathlib.Path(victim).write_text(f"victim {k}\n")
            os.symlink(victim, os.path.join(self.root, name))

        def check():
            for k, name in enumerate(names):
                with self.subTest(link=name):
                    self.assertEqual(pathlib.Path(victims, f"v{k}").read_text(), f"victim {k}\n")
                    self.assertFalse(os.path.islink(os.path.join(self.root, name)))
        return check

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
        links_replaced = self.plant_links(LINKS)

        run = self.batch("-j", "2", "manifest.txt")
        links_replaced()
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

    def test_folderNames_anyBytes_summarised(self):
        names = [b"o\xff\xfe", b"o\tb", "\u00f6 \u00e9".encode()]
        for name in names:
            folder = os.fsencode(self.root) + b"/" + name
            os.mkdir(folder)
            subprocess.run([BUILD.make_sample, folder], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(self.root, "manifest.txt"), "wb") as f:
            f.write(b"".join(b"'" + n + b"'\n" for n in names))
        run = subprocess.run([BUILD.batch, "--varto", self.varto, "manifest.txt"], cwd=self.root,
                             capture_output=True, stdin=subprocess.DEVNULL)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stdout.startswith(b"3 observations: 3 ok, 0 failed"), run.stdout)
        csv_lines = pathlib.Path(self.root, "summary.csv").read_bytes().splitlines()[1:]
        self.assertEqual([l.split(b",")[0] for l in csv_lines], names)
        out = subprocess.run(["fitsverify", "-q", "summary.fits"], cwd=self.root, capture_output=True, text=True)
        self.assertTrue(out.stdout.startswith("verification OK"), out.stdout)
        with h.fits.open(os.path.join(self.root, "summary.fits")) as f:
            self.assertEqual(list(f["SUMMARY"].data["FOLDER"]), ["o\\xFF\\xFE", "o\\x09b", "\\xC3\\xB6 \\xC3\\xA9"])

    def test_sigterm_stopsEveryProcess_writesNoStatus(self):
        if not shutil.which("parallel"):
            self.skipTest("GNU parallel is not installed")
        for k in (1, 2, 3):
            os.makedirs(os.path.join(self.root, f"o{k}"))
        pathlib.Path(self.root, "manifest.txt").write_text("o1\no2\no3\n")
        with open(self.varto, "w") as f:  # a varto that takes its time
            f.write(f'#!/bin/sh\necho "$PWD" >>{self.starts}\nexec sleep 59.0031\n')
        tmp = os.path.join(self.root, "tmp")
        os.mkdir(tmp)
        proc = subprocess.Popen([BUILD.batch, "--varto", self.varto, "-j", "2", "manifest.txt"], cwd=self.root,
                                env=dict(os.environ, TMPDIR=tmp), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        end = time.monotonic() + 30
        while len(self.started()) < 2 and time.monotonic() < end:
            time.sleep(0.1)
        self.assertEqual(len(self.started()), 2)
        proc.send_signal(signal.SIGTERM)
        _, err = proc.communicate(timeout=30)
        self.assertEqual(proc.returncode, 143, err)
        self.assertIn("interrupted", err)
        time.sleep(1)
        left = []
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                cmd = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes()
                state = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
            except OSError:
                continue
            if (os.fsencode(self.root) in cmd or b"sleep\x0059.0031" in cmd) and state != "Z":
                left.append(cmd)
        self.assertEqual(left, [])
        self.assertEqual(len(self.started()), 2)
        for k in (1, 2, 3):
            self.assertEqual(sorted(os.listdir(os.path.join(self.root, f"o{k}"))), [])
        self.assertEqual(os.listdir(tmp), [])

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
        os.makedirs(os.path.join(self.root, "o2"))
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
            ("o1\no2\n", ["outfile=/tmp/shared.fits"], "line 2: outfile /tmp/shared.fits is also the outfile of line 1"),
            ("o1\no2 outfile=../o1/varto.fits\n", [], "line 2: outfile"),
        ]
        for manifest, words, message in cases:
            with self.subTest(message):
                with open(os.path.join(self.root, "manifest.txt"), "w") as f:
                    f.write(manifest)
                run = self.batch("manifest.txt", *words)
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertIn(message, run.stderr)
                self.assertEqual(os.listdir(os.path.join(self.root, "o1")) + os.listdir(os.path.join(self.root, "o2")), [])
                self.assertFalse(os.path.exists(os.path.join(self.root, "summary.csv")))
        self.assertEqual(self.started(), [])
        missing = self.batch("absent.txt")
        self.assertEqual(missing.returncode, 2)
        self.assertIn("cannot read the manifest absent.txt", missing.stderr)


if __name__ == "__main__":
    BUILD = h.Build(sys.argv.pop(1))
    unittest.main(verbosity=2)
