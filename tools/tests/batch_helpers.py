"""What the varto_batch tests share: an archive of sample observations with one broken,
serial reference runs, and the checks of the tables and the summary."""

import csv
import importlib.util
import math
import os
import pathlib
import shutil
import subprocess
import tempfile

from astropy.io import fits


def _load_batch():
    """tools/varto_batch.py as a module, for its lists."""
    path = pathlib.Path(__file__).resolve().parents[1] / "varto_batch.py"
    spec = importlib.util.spec_from_file_location("varto_batch_module", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


BATCH = _load_batch()
LEDGER = BATCH.LEDGER


class Build:
    def __init__(self, build_dir):
        build_dir = os.path.abspath(build_dir)
        self.varto = os.path.join(build_dir, "app", "varto")
        self.make_sample = os.path.join(build_dir, "tools", "varto_make_sample")
        self.batch = os.path.join(build_dir, "tools", "varto_batch")


def make_archive(build, root, count=8):
    """Observations o1 ... oN (seeds 1 ... N) under root, each also under root/ref, where
    varto has run on it serially; the manifest root/manifest.txt lists them."""
    for k in range(1, count + 1):
        for base in (root, os.path.join(root, "ref")):
            folder = os.path.join(base, f"o{k}")
            os.makedirs(folder)
            subprocess.run([build.make_sample, "--seed", str(k), folder], check=True,
                           stdout=subprocess.DEVNULL)
        subprocess.run([build.varto], cwd=os.path.join(root, "ref", f"o{k}"),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def masked(path):
    """A FITS file's bytes with the value of every DATE card blanked."""
    data = bytearray(pathlib.Path(path).read_bytes())
    for i in range(0, len(data), 80):
        if data[i : i + 8] == b"DATE    ":
            data[i + 10 : i + 80] = b" " * 70
    return bytes(data)


def check_archive(tc, root, count, broken, reason):
    """The good tables equal the serial ones byte for byte (DATE masked); summary.fits and
    summary.csv hold one row per observation, the broken one with its status and reason."""
    with fits.open(os.path.join(root, "summary.fits")) as f:
        rows = f["SUMMARY"].data
        tc.assertEqual(len(rows), count)
        table = {name: list(rows[name]) for name in rows.columns.names}
    with open(os.path.join(root, "summary.csv"), newline="") as f:
        lines = list(csv.DictReader(f))
    tc.assertEqual(list(lines[0].keys()),
                   ["FOLDER", "STATUS", "AVG_GAIN", *LEDGER, "NPOS", "ERROR", "HISTGAIN", "OBS_ID", "MJD_OBS"])
    for k in range(1, count + 1):
        name, i, line = f"o{k}", k - 1, lines[k - 1]
        tc.assertEqual(table["FOLDER"][i], name)
        tc.assertEqual(line["FOLDER"], name)
        obs_id, start = observation_date(os.path.join(root, name), name)
        tc.assertEqual((table["OBS_ID"][i], line["OBS_ID"]), (obs_id, obs_id))
        tc.assertEqual((table["MJD_OBS"][i], float(line["MJD_OBS"])), (start, start))
        if k == broken:
            tc.assertEqual((table["STATUS"][i], line["STATUS"]), (1, "1"))
            tc.assertEqual(table["ERROR"][i], reason)
            tc.assertEqual(line["ERROR"], reason)
            for key in ("AVG_GAIN", "HISTGAIN") + LEDGER:
                tc.assertTrue(math.isnan(table[key][i]), key)
                tc.assertEqual(line[key], "", key)
            continue
        ref = os.path.join(root, "ref", name, "varto.fits")
        tc.assertEqual(masked(os.path.join(root, name, "varto.fits")), masked(ref), name)
        header = fits.getheader(ref, "GAIN_HIST")
        tc.assertEqual((table["STATUS"][i], line["STATUS"], table["ERROR"][i]), (0, "0", ""))
        tc.assertEqual((table["NPOS"][i], line["NPOS"]), (header["NSOURCE"], str(header["NSOURCE"])))
        for key in ("AVG_GAIN", "HISTGAIN") + LEDGER:
            tc.assertEqual(table[key][i], header[key], f"{name} {key}")
            tc.assertEqual(float(line[key]), header[key], f"{name} {key}")
        hist = fits.getdata(ref, "GAIN_HIST")
        tc.assertAlmostEqual(header["HISTGAIN"], sum(hist["GAIN"] * hist["EXPOSURE"]) / header["HISTTIME"],
                             places=12)
    if shutil.which("fitsverify"):
        out = subprocess.run(["fitsverify", "-q", os.path.join(root, "summary.fits")],
                             capture_output=True, text=True)
        tc.assertTrue(out.stdout.startswith("verification OK"), out.stdout)


def observation_date(folder, name):
    """The OBS_ID (else the folder's name) and the start MJD of bas.fits, read as varto reads them."""
    with fits.open(os.path.join(folder, "bas.fits")) as f:
        header = f["STDEVT"].header
        start = header["MJDREFI"] + header["MJDREFF"] + min(f["STDGTI"].data.field(0)) / 86400.0
        return str(header.get("OBS_ID", name)), start


def scratch():
    return tempfile.mkdtemp(prefix="varto_batch_test-")
