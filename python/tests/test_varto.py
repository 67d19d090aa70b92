"""The package varto against the program: the sample through run and
gain_histogram, the failures, threads, the gain maps and the install."""

import concurrent.futures
import os
import shutil
import subprocess
import sys
import threading

import numpy as np
import pytest
from astropy.coordinates import SkyCoord
from astropy.io import fits
from astropy.table import Table

import varto

BIN = os.environ.get("VARTO_BIN", "")
BUILD = os.environ.get("VARTO_BUILD_DIR", "")
SAMPLE = os.path.join(BUILD, "demo")
LEDGER = ("ONTIME", "ASPTIME", "HISTTIME", "OFFDTIME", "NOGNTIME", "OUTHTIME", "NOASPTIM",
          "DUPTIME")

pytestmark = pytest.mark.skipif(not (os.access(BIN, os.X_OK) and os.path.isdir(SAMPLE)),
                                reason="needs VARTO_BIN and the sample in VARTO_BUILD_DIR/demo")


@pytest.fixture
def sample(tmp_path):
    """A copy of the sample observation (with its varto.par) in a folder of its own."""
    folder = tmp_path / "obs"
    shutil.copytree(SAMPLE, folder, ignore=shutil.ignore_patterns("varto.fits", "*.png"))
    return folder


def program(folder, *words):
    """The program's exit status, standard output and standard error in folder."""
    env = {k: v for k, v in os.environ.items() if k not in ("PFILES", "PDIRS", "UPARM")}
    run = subprocess.run([BIN, *words], cwd=folder, stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, env=env)
    return run.returncode, run.stdout, run.stderr


def same_bits(a, b):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    return a.shape == b.shape and np.array_equal(a.view(np.int64), b.view(np.int64))


def assert_same_file(got, want, outfile=None):
    """Every block of two output files equal: headers (DATE aside) and data. With outfile, got
    names that output in its HISTORY where want names varto.fits."""
    def cards(hdu, renamed):
        for c in hdu.header.cards:
            if c.keyword == "HISTORY" and renamed is not None and c.value == f"outfile={renamed}":
                yield "HISTORY outfile=varto.fits"
            elif c.keyword != "DATE":
                yield c.image.rstrip()

    with fits.open(got) as g, fits.open(want) as w:
        assert [h.name for h in g] == [h.name for h in w]
        for hg, hw in zip(g, w):
            assert list(cards(hg, outfile)) == list(cards(hw, None)), hg.name
            if hw.data is not None:
                for name in hw.columns.names:
                    assert same_bits(hg.data[name], hw.data[name]), (hg.name, name)


def assert_table_is_file(result, path):
    """Result.table equals the GAIN_HIST table of the program's file, bit for bit."""
    want = Table.read(path, hdu="GAIN_HIST")
    header = fits.getheader(path, "GAIN_HIST")
    assert result.table.colnames == want.colnames
    for name in want.colnames:
        assert result.table[name].unit == want[name].unit, name
        assert same_bits(result.table[name], want[name]), name
    for key in LEDGER:
        assert result.table.meta[key] == result.ledger[key] == header[key], key
    assert result.table.meta["AVG_GAIN"] == result.avg_gain
    assert f"{result.avg_gain:.8E}" == header.cards["AVG_GAIN"].image[10:].split("/")[0].strip()


def test_run_is_the_program(sample, tmp_path, capfd, monkeypatch):
    twin = tmp_path / "twin"
    shutil.copytree(sample, twin)
    status, out, _ = program(twin)
    assert status == 0
    capfd.readouterr()
    result = varto.run([], cwd=sample)
    assert capfd.readouterr() == ("", "")  # nothing on the process's streams
    assert result.report == out
    assert_same_file(sample / "varto.fits", twin / "varto.fits")
    assert_table_is_file(result, twin / "varto.fits")
    assert list(result.positions["X", "Y"][0]) == [4096.0, 4097.0]
    assert {"RA", "DEC"} <= set(result.positions.colnames)
    # Written again from the result, the same file (under a name short enough
    # for one HISTORY card, as varto.fits is).
    monkeypatch.chdir(tmp_path)
    result.write("again.fits")
    assert_same_file(tmp_path / "again.fits", twin / "varto.fits", "again.fits")
    with pytest.raises(FileExistsError):
        result.write(tmp_path / "again.fits")
    result.write(tmp_path / "again.fits", overwrite=True)
    with pytest.raises(varto.VartoError, match="Failed to create output file"):
        result.write(tmp_path / "no such folder" / "x.fits")


def test_gain_histogram_is_the_program(sample, tmp_path):
    (sample / "varto.par").unlink()
    twin = tmp_path / "twin"
    shutil.copytree(sample, twin)
    status, out, _ = program(twin, "steps=gain.steps", "outfile=out.fits")
    assert status == 0
    result = varto.gain_histogram(steps="gain.steps", outfile="out.fits", cwd=sample)
    assert result.report == out
    assert_same_file(sample / "out.fits", twin / "out.fits")
    assert_table_is_file(result, twin / "out.fits")
    # Without outfile nothing is written.
    before = sorted(os.listdir(sample))
    varto.gain_histogram(steps="gain.steps", cwd=sample)
    assert sorted(os.listdir(sample)) == before


@pytest.mark.parametrize("kwargs, words, lines", [
    # Python values against the words and files the program reads.
    (dict(pos=[[4100.5, 4090.0], [4050.25, 4120.0]]), ["pos=p.txt"], "4100.5 4090\n4050.25 4120\n"),
    (dict(pos=np.array([4096.0, 4097.0])), ["pos=p.txt"], "4096 4097\n"),
    (dict(ra=83.6331, dec="22:00:52.2"), ["ra=83.6331", "dec=22:00:52.2"], None),
    (dict(pos=SkyCoord(83.63, 22.01, unit="deg")), ["ra=83.63", "dec=22.01"], None),
    (dict(ra=SkyCoord([83.63, 83.64], [22.01, 22.02], unit="deg")), ["pos=p.reg"],
     "fk5\npoint(83.63,22.01)\npoint(83.64,22.02)\n"),
    (dict(bso=(40, 48), ghist="4 6 0.1", xpos=4000, ypos=4200.5),
     ["bso=40,48", "ghist=4,6,0.1", "xpos=4000", "ypos=4200.5"], None),
])
def test_python_values_are_words(sample, kwargs, words, lines):
    (sample / "varto.par").unlink()
    if lines is not None:
        (sample / words[0][4:]).write_text(lines)
    status, _, _ = program(sample, "steps=gain.steps", *words, "outfile=prog.fits")
    assert status == 0
    result = varto.gain_histogram(steps="gain.steps", cwd=sample, **kwargs)
    assert_table_is_file(result, sample / "prog.fits")
    want = Table.read(sample / "prog.fits", hdu="SOURCE_POS")
    for name in want.colnames:
        assert same_bits(result.positions[name], want[name]), name


@pytest.mark.parametrize("words, damage, message", [
    (["events=missing.fits"], None, "Failed to open event file missing.fits"),
    (["maps=gain.fits[RHRI_GAIN]"], "gain.fits", "Failed to open gain calibration dataset"),
    (["bso=1,2,3,4"], None, 'Parameter bso: "1,2,3,4"'),
    (["ghist=3,7,0"], None, "Invalid ghist"),
    (["xpos=4096,4097"], None, "READ_D error"),
])
def test_failures_are_the_programs(sample, tmp_path, words, damage, message):
    if damage:
        path = sample / damage
        path.write_bytes(path.read_bytes()[:4000])
    twin = tmp_path / "twin"
    shutil.copytree(sample, twin)
    status, out, err = program(twin, *words)
    assert status == 1
    with pytest.raises(varto.VartoError) as caught:
        varto.run(words, cwd=sample)
    e = caught.value
    assert e.message.startswith(message), e.message
    assert e.message in (out + err).splitlines()
    assert e.report == out
    assert not (sample / "varto.fits").exists()


def test_warnings_and_python_errors(sample):
    with pytest.warns(varto.VartoWarning, match="varto has no parameter bogus"):
        result = varto.run(["bogus=1"], cwd=sample)
    assert any("bogus" in w for w in result.warnings)
    assert issubclass(varto.VartoWarning, Warning)
    with pytest.warns(varto.VartoWarning, match="off the detector"):
        result = varto.gain_histogram(xpos=100, ypos=100, steps="gain.steps", cwd=sample)
    assert result.ledger["HISTTIME"] == 0 and result.ledger["OFFDTIME"] > 0
    for call, error in [
        (lambda: varto.run("ghist=3,7,0.05", cwd=sample), TypeError),
        (lambda: varto.run([3], cwd=sample), TypeError),
        (lambda: varto.run([], cwd=sample / "nowhere"), FileNotFoundError),
        (lambda: varto.gain_histogram(ghist=("a", 7, 1), cwd=sample), TypeError),
        (lambda: varto.gain_histogram(pos=np.zeros((3, 3)), cwd=sample), ValueError),
        (lambda: varto.gain_histogram(pos=[[1.0, np.nan]], cwd=sample), ValueError),
        (lambda: varto.gain_histogram(ra=83.6, cwd=sample), ValueError),
        (lambda: varto.GainMaps(sample / "missing.fits"), varto.VartoError),
    ]:
        with pytest.raises(error):
            call()


def test_threads_give_the_serial_results(sample):
    ghists = [(3, 7, 0.05), (4, 6, 0.1), (3.5, 6.5, 0.025), (2, 8, 0.5)]
    (sample / "p.txt").write_text("".join(f"{4096 + dx} {4097 + dy}\n"
                                          for dx in range(-15, 15) for dy in range(-15, 15)))
    call = lambda g: varto.gain_histogram(pos="p.txt", ghist=g, steps="gain.steps", cwd=sample)
    serial = [call(g) for g in ghists]
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        futures = [pool.submit(call, g) for g in ghists]
        # The interpreter lock is free while the runs compute: this thread goes on.
        spins = 0
        while not all(f.done() for f in futures):
            spins += 1
        threaded = [f.result() for f in futures]
    assert spins > 1000
    for s, t in zip(serial, threaded):
        assert s.report == t.report
        assert s.ledger == t.ledger
        for name in s.table.colnames:
            assert same_bits(s.table[name], t.table[name])


def test_gain_maps(sample):
    maps = varto.GainMaps(sample / "gain.fits[RHRI_GAIN]", steps=sample / "gain.steps")
    with fits.open(sample / "gain.fits") as f:
        table = f["RHRI_GAIN"].data
        times = np.array(table["TIME"], dtype=float)
        cells = np.array(table["GAIN_MAP"], dtype=float).reshape(-1, 32, 32)
    assert same_bits(maps.times, times)
    assert list(maps.steps) == [48950.0, 49620.0, 50390.0]
    # On a grid point, at a map's own time inside its step segment, the cell itself.
    i, ix, iy = 20, 11, 17
    g = maps.gain(256.0 * (ix + 1), 256.0 * (iy + 1), times[i])
    assert g == pytest.approx(cells[i, ix, iy], rel=1e-15)
    # Between grid points and maps: bilinear, then linear in time, term for term.
    detx, dety, mjd = 3000.3, 5123.9, 49010.25
    k = int(np.searchsorted(times, mjd, side="right"))
    gx, gy = detx / 256.0, dety / 256.0
    jx, jy = int(gx), int(gy)
    fx, fy = gx - jx, gy - jy

    def bilinear(m):
        a, b, c, d = m[jx - 1, jy - 1], m[jx, jy - 1], m[jx, jy], m[jx - 1, jy]
        return (1 - fx) * (1 - fy) * a + fx * (1 - fy) * b + fx * fy * c + (1 - fx) * fy * d

    t0, t1 = times[k - 1], times[k]
    want = ((t1 - mjd) * bilinear(cells[k - 1]) + (mjd - t0) * bilinear(cells[k])) / (t1 - t0)
    assert maps.gain(detx, dety, mjd) == want
    # Broadcasting, and no gain off the grid or outside the calibrated period.
    got = maps.gain(np.array([[255.9], [256.0], [8191.9], [8192.0]]), 4096.0,
                    np.array([times[0] - 50.001, times[0] - 50.0, times[-1] + 50.0]))
    assert got.shape == (4, 3)
    assert np.isnan(got[:, 0]).all() and np.isnan(got[[0, 3]]).all()
    assert np.isfinite(got[1:3, 1:]).all()


def test_import_after_install(tmp_path):
    cmake = os.environ.get("VARTO_CMAKE_COMMAND", "cmake")
    subprocess.run([cmake, "--install", BUILD, "--prefix", str(tmp_path), "--component", "python"],
                   check=True, capture_output=True)
    found = list(tmp_path.glob("lib/python3*/*-packages/varto/__init__.py"))
    assert len(found) == 1
    env = dict(os.environ, PYTHONPATH=str(found[0].parent.parent))
    run = subprocess.run([sys.executable, "-c", "import varto; print(varto.__file__, varto.__version__)"],
                         cwd=tmp_path, env=env, capture_output=True, text=True, check=True)
    assert run.stdout.split() == [str(found[0]), varto.__version__]
    assert varto.__version__ == program(tmp_path, "--version")[1].split()[1]
