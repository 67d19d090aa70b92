"""summary.html in a real browser: eight sample observations spread over the mission (one
broken, one losing half its exposure off the detector) through varto_batch --plots, the
summary's OBS_ID, MJD_OBS and HISTGAIN checked against the event files and tables, then
the page loaded in headless Chromium: its screenshot must show the archive's picture, and
every link of the page must name a file that exists. The screenshot and summary.png are
kept in BUILD_DIR/browser/. Without Chromium (make test-browser installs it) the test
reports itself skipped.

    batch_browser_test.py BUILD_DIR"""

import html.parser
import os
import shutil
import subprocess
import sys
import unittest
import urllib.parse

import matplotlib.image
import numpy as np

import batch_helpers as h

BUILD = None
KEEP = None
SKIP = 77
BLUE = np.array([31, 119, 180]) / 255  # the marks of summary.png


class Links(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.targets = []

    def handle_starttag(self, tag, attrs):
        self.targets += [v for k, v in attrs if k in ("href", "src")]


def blue_pixels(image):
    return int((np.abs(image[..., :3] - BLUE) < 0.06).all(axis=-1).sum())


class BrowserTest(unittest.TestCase):
    def test_summaryPage_inChromium_showsThePicture(self):
        root = h.scratch()
        self.addCleanup(shutil.rmtree, root)
        for k in range(1, 9):
            folder = os.path.join(root, f"o{k}")
            os.mkdir(folder)
            subprocess.run([BUILD.make_sample, "--seed", str(k), folder], check=True, stdout=subprocess.DEVNULL)
            # Spread over the mission, half of them with an observation identifier.
            with h.fits.open(os.path.join(folder, "bas.fits"), mode="update") as f:
                f["STDEVT"].header["MJDREFI"] += 150 * (k - 4)
                if k % 2:
                    f["STDEVT"].header["OBS_ID"] = f"rh70{k:04d}"
        os.unlink(os.path.join(root, "o3", "anc.fits"))
        with open(os.path.join(root, "o5", "two.pos"), "w") as f:
            f.write("4096 4097\n-90000 -90000\n")
        with open(os.path.join(root, "manifest.txt"), "w") as f:
            f.write("".join(f"o{k}\n" if k != 5 else "o5 pos=two.pos\n" for k in range(1, 9)))
        run = subprocess.run([BUILD.batch, "--varto", BUILD.varto, "--plots", "manifest.txt"], cwd=root,
                             capture_output=True, text=True, stdin=subprocess.DEVNULL)
        self.assertEqual(run.returncode, 1, run.stderr)

        with h.fits.open(os.path.join(root, "summary.fits")) as f:
            rows = f["SUMMARY"].data
            for k, row in enumerate(rows, 1):
                obs_id, start = h.observation_date(os.path.join(root, f"o{k}"), f"o{k}")
                self.assertEqual((row["OBS_ID"], row["MJD_OBS"]), (obs_id, start))
                if k == 3:
                    continue
                table = h.fits.getdata(os.path.join(root, f"o{k}", "varto.fits"), "GAIN_HIST")
                self.assertAlmostEqual(row["HISTGAIN"], sum(table["GAIN"] * table["EXPOSURE"]) / row["HISTTIME"],
                                       places=12)
            self.assertEqual(list(rows["OBS_ID"][:2]), ["rh700001", "o2"])
            self.assertGreater(rows["OFFDTIME"][4], 0.05 * rows["ONTIME"][4])

        page = os.path.join(root, "summary.html")
        links = Links()
        with open(page, encoding="utf-8") as f:
            links.feed(f.read())
        self.assertGreaterEqual(len(links.targets), 8 + 7 * 2 + 3)
        for target in links.targets:
            self.assertTrue(os.path.exists(os.path.join(root, urllib.parse.unquote(target))), target)

        os.makedirs(KEEP, exist_ok=True)
        shot = os.path.join(KEEP, "summary-screenshot.png")
        if os.path.exists(shot):
            os.unlink(shot)
        shutil.copy(os.path.join(root, "summary.png"), os.path.join(KEEP, "summary.png"))
        browser = subprocess.run(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             f"--user-data-dir={os.path.join(root, 'profile')}", "--hide-scrollbars", f"--screenshot={shot}",
             "--window-size=1280,1200", "file://" + urllib.parse.quote(page)],
            capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
        self.assertTrue(os.path.exists(shot), browser.stderr)
        print("screenshot:", shot, flush=True)
        image = matplotlib.image.imread(shot)
        picture = matplotlib.image.imread(os.path.join(root, "summary.png"))
        self.assertEqual(image.shape[1], 1280)
        self.assertGreater(image[..., :3].std(), 0.1)  # not blank
        # The picture is drawn at its own size near the top: its marks are all there.
        top = image[: picture.shape[0] + 150]
        self.assertGreater(blue_pixels(picture), 500)
        self.assertGreater(blue_pixels(top), 0.9 * blue_pixels(picture))


if __name__ == "__main__":
    BUILD = h.Build(sys.argv.pop(1))
    KEEP = os.path.join(os.path.dirname(BUILD.varto), "..", "browser")
    CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
    if not CHROMIUM:
        print("skipped: Chromium is not installed (make test-browser installs it)")
        sys.exit(SKIP)
    result = unittest.main(verbosity=2, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
