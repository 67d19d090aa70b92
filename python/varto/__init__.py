"""Source gain histograms for ROSAT HRI observations.

varto follows a source through the telescope's pointing history, looks up the
detector gain in time-dependent gain maps at every aspect interval, and adds
the interval's good time to a histogram of gain. This package runs the same
program in-process and hands back astropy tables and numpy arrays.

Functions and classes
---------------------
run(words, cwd=None)
    The program with its command-line words: reads the parameter file and
    writes ``outfile``, as ``varto WORDS`` does.
gain_histogram(events, aspect, maps, *, pos, ...)
    The same run from Python values; reads no parameter file and writes a file
    only when ``outfile`` is given.
Result
    What a run gives: the GAIN_HIST table, the mean gain, the exposure ledger,
    the positions used, the report and its warnings.
GainMaps(maps, steps=None)
    The gain maps and the interpolation the run uses, anywhere on the detector
    at any time.
VartoError, VartoWarning
    A refused or stopped run; a warning line of the report.

Threads
-------
A run releases the interpreter lock while it computes, so other Python threads
go on meanwhile, and runs in several threads (``concurrent.futures.
ThreadPoolExecutor``) give what the same runs one after another give. Runs bin
at the same time but read their inputs and write their tables one at a time
(the libraries below keep process-wide state). A run with ``cwd`` works on a
thread of its own whose working folder alone is ``cwd``; the process's working
folder is never changed. Reading a ``GainMaps`` waits for the runs in progress.
``Result`` and ``GainMaps`` objects may be read from any thread.

Nothing is printed on the process's standard output or error during a call:
the report is collected in ``Result.report`` (or ``VartoError.report``).

Examples
--------
>>> import varto
>>> r = varto.run([], cwd="build/demo")                  # doctest: +SKIP
>>> r.ledger["HISTTIME"], r.avg_gain                     # doctest: +SKIP
"""

import collections.abc
import numbers
import os
import tempfile
import warnings

import numpy as np
from astropy.table import Table
from astropy.utils.exceptions import AstropyUserWarning

from . import _core

__all__ = ["run", "gain_histogram", "Result", "GainMaps", "VartoError", "VartoWarning",
           "__version__"]

#: The program's version (``varto --version``).
__version__ = _core.version

_ASPCOLS = "TIME,RA_SC,DEC_SC,ROAN_SC"


class VartoError(RuntimeError):
    """A run the program refuses or stops (the program's exit status 1).

    A ``RuntimeError``: the failure is found by the run itself, in the files
    and values it reads, not in the Python types of the arguments (those raise
    ``TypeError`` or ``ValueError`` before any run).

    Attributes
    ----------
    message : str
        The program's failure message (its first error line).
    report : str
        What the program printed on standard output up to the failure.
    errors : str
        What it printed on standard error.
    """

    def __init__(self, message, report="", errors=""):
        super().__init__(message)
        self.message = message
        self.report = report
        self.errors = errors


class VartoWarning(AstropyUserWarning):
    """A warning line of a run's report (samples off the detector, lost good time, ...)."""


def _text(raw):
    return raw.decode("utf-8", errors="replace")


def _warning_lines(core):
    return [line.strip() for line in _text(core.both).splitlines()
            if line.strip().startswith("Warning")]


class Result:
    """What a completed run gives.

    Attributes
    ----------
    table : astropy.table.Table
        The GAIN_HIST table the program writes: columns GAIN, WEIGHT and
        EXPOSURE (s), one row per bin, equal bit for bit. ``meta`` holds
        AVG_GAIN and the eight ledger keys.
    avg_gain : float
        The mean gain.
    ledger : dict
        The exposure ledger, seconds: ONTIME, ASPTIME, HISTTIME, OFFDTIME,
        NOGNTIME, OUTHTIME, NOASPTIM and DUPTIME.
    positions : astropy.table.Table
        The positions used: X, Y (sky pixels) and, when the event file's X and
        Y have a celestial system, RA and DEC (degrees). ``meta`` holds STEP
        and, for a region file, REGION.
    report : str
        Exactly the text the program prints on standard output.
    warnings : list of str
        The warning lines of the run; each was also issued as a ``VartoWarning``.
    """

    def __init__(self, core):
        self._core = core
        self.avg_gain = float(core.avg_gain)
        self.ledger = {key: float(value) for key, value in core.ledger}
        meta = {"AVG_GAIN": self.avg_gain}
        meta.update(self.ledger)
        self.table = Table([core.gain, core.weight, core.exposure],
                           names=("GAIN", "WEIGHT", "EXPOSURE"), meta=meta)
        self.table["EXPOSURE"].unit = "s"
        columns = [core.x, core.y]
        names = ["X", "Y"]
        if core.has_sky:
            columns += [core.ra, core.dec]
            names += ["RA", "DEC"]
        pos_meta = {"STEP": int(core.step)}
        if core.region:
            pos_meta["REGION"] = core.region
        self.positions = Table(columns, names=names, meta=pos_meta)
        self.positions["X"].unit = self.positions["Y"].unit = "pix"
        if core.has_sky:
            self.positions["RA"].unit = self.positions["DEC"].unit = "deg"
        self.report = _text(core.out)
        self.warnings = _warning_lines(core)

    def write(self, path, overwrite=False):
        """Write the program's output file for this run (DATE aside).

        Parameters
        ----------
        path : str or os.PathLike
            The file; as the program's ``outfile`` (a ``.gz`` ending compresses,
            a ``[NAME]`` suffix names the table).
        overwrite : bool, optional
            Replace an existing file; without it an existing file raises
            ``FileExistsError``.

        Raises
        ------
        VartoError
            The file cannot be written; the message is the program's.
        """
        path = os.fspath(path)
        if not isinstance(path, str):
            raise TypeError("path must be a str or os.PathLike of str")
        plain = path.lstrip("!").split("[", 1)[0]
        if not overwrite and os.path.lexists(plain):
            raise FileExistsError(f"{plain} exists (overwrite=True replaces it)")
        status, text = self._core.write(path)
        if status != 0:
            lines = _text(text).splitlines()
            raise VartoError(lines[0] if lines else "Failed to create output file", "",
                             _text(text))

    def __repr__(self):
        return (f"<varto.Result: {len(self.table)} bins, avg_gain={self.avg_gain:.4f}, "
                f"HISTTIME={self.ledger.get('HISTTIME', 0.0):.1f} s, "
                f"{len(self.positions)} positions>")


def _finish(core, stacklevel=3):
    for line in _warning_lines(core):
        warnings.warn(line, VartoWarning, stacklevel=stacklevel)
    if core.status != 0:
        message = core.error
        if not message:
            lines = [line for line in _text(core.both).splitlines() if line.strip()]
            message = lines[-1] if lines else "varto stopped"
        raise VartoError(message, _text(core.out), _text(core.err))
    return Result(core)


def _check_words(words):
    if isinstance(words, (str, bytes)):
        raise TypeError("words must be a sequence of str, such as ['ghist=3,7,0.05']")
    try:
        words = list(words)
    except TypeError:
        raise TypeError("words must be a sequence of str") from None
    for w in words:
        if not isinstance(w, str):
            raise TypeError(f"every word must be a str, not {type(w).__name__}")
        if "\0" in w:
            raise ValueError("a word holds a NUL character")
    return words


def _folder(cwd):
    if cwd is None:
        return ""
    cwd = os.fspath(cwd)
    if not isinstance(cwd, str):
        raise TypeError("cwd must be a str or os.PathLike of str")
    if not os.path.isdir(cwd):
        raise FileNotFoundError(f"cwd is not a folder: {cwd}")
    return os.path.abspath(cwd)


def run(words, cwd=None):
    """Run varto with its command-line words.

    Does what the program does with these words: reads the parameter file
    (``par``, default ``varto.par``), bins the good time by gain and writes
    ``outfile`` (default ``varto.fits``) and, at ``d=1``, ``gain.time``. It
    never asks for a parameter on the terminal.

    Parameters
    ----------
    words : sequence of str
        The parameter words, as on the command line, such as
        ``["pos=src.reg", "ghist=3,7,0.05"]``.
    cwd : str or os.PathLike, optional
        Folder against which relative file names are resolved; the process's
        working folder is neither used nor changed. Default: the working folder.

    Returns
    -------
    Result

    Raises
    ------
    VartoError
        Where the program exits with status 1; the message is its failure
        message and ``report`` what it printed up to that point.
    TypeError
        ``words`` is not a sequence of str.
    FileNotFoundError
        ``cwd`` is not a folder.

    Warns
    -----
    VartoWarning
        Each warning line of the run.

    Notes
    -----
    The interpreter lock is released while the run computes; calls from
    several threads give what the same runs one after another give.
    """
    core = _core.run(_check_words(words), _folder(cwd), True, True)
    return _finish(core)


def _real(name, value):
    """The shortest text that reads back as the same double: 48 for 48.0, as the program's
    defaults are written."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    value = float(value)
    if value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    return repr(value)


def _vector(name, value):
    if isinstance(value, str):
        return value
    if not isinstance(value, collections.abc.Iterable):
        raise TypeError(f"{name} must be a sequence of numbers or a str")
    return ",".join(_real(name, v) for v in value)


def _angle(name, value):
    if isinstance(value, str):
        return value
    if hasattr(value, "unit") and hasattr(value, "to_value"):  # an astropy Quantity or Angle
        return _real(name, float(value.to_value("deg")))
    return _real(name, value)


def _is_skycoord(value):
    try:
        from astropy.coordinates import SkyCoord
    except ImportError:  # pragma: no cover
        return False
    return isinstance(value, SkyCoord)


def _write_positions(folder, pos):
    """A position file (sky pixels) or a region file (sky positions) for pos."""
    if _is_skycoord(pos):
        icrs = pos.icrs
        ras = np.atleast_1d(icrs.ra.deg)
        decs = np.atleast_1d(icrs.dec.deg)
        if not (np.all(np.isfinite(ras)) and np.all(np.isfinite(decs))):
            raise ValueError("pos holds a position that is not finite")
        path = os.path.join(folder, "positions.reg")
        with open(path, "w") as f:
            f.write("icrs\n")
            for r, d in zip(ras, decs):
                f.write(f"point({float(r)!r},{float(d)!r})\n")
        return path
    try:
        xy = np.atleast_2d(np.asarray(pos, dtype=float))
    except (TypeError, ValueError):
        raise TypeError("pos must be a file name, a SkyCoord or a sequence of (x, y) "
                        "sky pixel positions") from None
    if xy.ndim != 2 or xy.shape[1] != 2 or xy.shape[0] == 0:
        raise ValueError(f"pos must have shape (N, 2) with N >= 1, not {np.shape(pos)}")
    if not np.all(np.isfinite(xy)):
        raise ValueError("pos holds a position that is not finite")
    path = os.path.join(folder, "positions.txt")
    with open(path, "w") as f:
        for x, y in xy:
            f.write(f"{float(x)!r} {float(y)!r}\n")
    return path


def _name(name, value):
    value = os.fspath(value)
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str or os.PathLike of str")
    return value


def gain_histogram(events="bas.fits", aspect="anc.fits", maps="gain.fits[RHRI_GAIN]", *,
                   pos=None, xpos=None, ypos=None, ra=None, dec=None, steps=None,
                   bso=(48, 40, 0), ghist=(3, 7, 0.05), aspcols=_ASPCOLS, mode=None,
                   outfile=None, cwd=None):
    """The gain histogram of a source, from Python values.

    The same run as :func:`run`, with the parameters given as Python values.
    No parameter file is read, and a file is written only when ``outfile`` is
    given.

    Parameters
    ----------
    events, aspect, maps : str or os.PathLike
        The event file, the aspect file and the gain-map table (``file[block]``).
    pos : str, os.PathLike, SkyCoord or array_like, optional
        A position file or region file; a ``SkyCoord`` (one or many
        positions); or a sequence or (N, 2) array of sky pixel positions
        (x, y). Arrays and SkyCoords go to the run through a file in a private
        temporary folder, removed afterwards.
    xpos, ypos : float, optional
        The source position in sky pixels, when ``pos`` is not given.
    ra, dec : float, str, Angle or SkyCoord, optional
        The source position on the sky (degrees or sexagesimal). A
        ``SkyCoord`` given as ``ra`` (with ``dec`` None) is the position.
    steps : str or os.PathLike, optional
        Gain-steps file.
    bso : sequence of float or str, optional
        Boresight offset: X and Y in pixels, roll in degrees.
    ghist : sequence of float or str, optional
        First bin centre, last bin centre, bin width.
    aspcols : str or sequence of str, optional
        The aspect columns: time, then three attitude columns.
    mode : str, optional
        ``"RDF"``, another text for REV0; None decides from the aspect file name.
    outfile : str or os.PathLike, optional
        Write the output file here as well.
    cwd : str or os.PathLike, optional
        Folder against which relative file names are resolved.

    Returns
    -------
    Result

    Raises
    ------
    VartoError
        The run is refused or stopped; the message is the program's.
    TypeError, ValueError
        An argument of the wrong Python type or shape.

    Examples
    --------
    >>> r = varto.gain_histogram(pos=[(4096, 4097), (4100, 4090)],
    ...                          cwd="build/demo")         # doctest: +SKIP
    >>> r.table["GAIN", "WEIGHT"][r.table["WEIGHT"] > 0]    # doctest: +SKIP
    """
    if not isinstance(aspcols, str):
        aspcols = ",".join(_name("aspcols", c) for c in aspcols)
    # Only what differs from the defaults, as one would type it: the report lists the words.
    words = [f"{name}={value}" for name, value, default in [
        ("events", _name("events", events), "bas.fits"),
        ("aspect", _name("aspect", aspect), "anc.fits"),
        ("maps", _name("maps", maps), "gain.fits[RHRI_GAIN]"),
        ("bso", _vector("bso", bso), "48,40,0"),
        ("ghist", _vector("ghist", ghist), "3,7,0.05"),
        ("aspcols", aspcols, _ASPCOLS)] if value != default]
    if mode is not None:
        words.append(f"mode={_name('mode', mode)}")
    if steps is not None:
        words.append(f"steps={_name('steps', steps)}")
    if xpos is not None:
        words.append(f"xpos={_real('xpos', xpos)}")
    if ypos is not None:
        words.append(f"ypos={_real('ypos', ypos)}")
    if _is_skycoord(ra) and dec is None:
        pos, ra = (ra if pos is None else pos), None
        if pos is not ra and not _is_skycoord(pos):
            raise ValueError("give the source once: pos or a SkyCoord as ra")
    if _is_skycoord(pos) and pos.isscalar:
        ra, dec, pos = pos.icrs.ra, pos.icrs.dec, None
    if (ra is None) != (dec is None):
        raise ValueError("ra and dec go together")
    if ra is not None:
        words += [f"ra={_angle('ra', ra)}", f"dec={_angle('dec', dec)}"]
    write = outfile is not None
    if write:
        words.append(f"outfile={_name('outfile', outfile)}")
    folder = _folder(cwd)
    if pos is None or isinstance(pos, (str, os.PathLike)):
        if pos is not None:
            words.append(f"pos={_name('pos', pos)}")
        core = _core.run(_check_words(words), folder, False, write)
    else:
        with tempfile.TemporaryDirectory(prefix="varto-") as private:
            words.append(f"pos={_write_positions(private, pos)}")
            core = _core.run(_check_words(words), folder, False, write)
    return _finish(core)


class GainMaps:
    """The gain maps of a calibration table and the interpolation the run uses.

    Parameters
    ----------
    maps : str or os.PathLike
        The gain-map table, ``file[block]`` (columns TIME and GAIN_MAP).
    steps : str or os.PathLike, optional
        Gain-steps file: MJDs of abrupt gain changes.

    Attributes
    ----------
    times : numpy.ndarray
        The maps' MJDs.
    steps : numpy.ndarray
        The gain steps (MJD), sorted.

    Raises
    ------
    VartoError
        A file cannot be read; the message is the program's.

    Notes
    -----
    Relative names are taken from the process's working folder.
    """

    def __init__(self, maps, steps=None):
        core = _core.GainMaps(_name("maps", maps), "" if steps is None else _name("steps", steps))
        text = _text(core.messages)
        for line in text.splitlines():
            if line.strip().startswith("Warning"):
                warnings.warn(line.strip(), VartoWarning, stacklevel=2)
        if not core.ok:
            lines = [line for line in text.splitlines() if line.strip()]
            raise VartoError(lines[0] if lines else f"cannot read gain maps {maps}", "", text)
        self._core = core
        self.times = core.times
        self.steps = core.steps

    def __len__(self):
        return len(self.times)

    def map(self, index):
        """Map number ``index`` as a 32 x 32 array; cell (ix, iy) at ``[ix, iy]``, centred on
        detector position (256 (ix + 1), 256 (iy + 1))."""
        return self._core.map(index)

    def gain(self, detx, dety, mjd):
        """The detector gain at (detx, dety) and time mjd.

        Parameters
        ----------
        detx, dety : array_like
            Detector position, pixels.
        mjd : array_like
            Time, MJD.

        Returns
        -------
        numpy.ndarray or float
            The arguments broadcast together. Equal bit for bit to the gain the
            run finds for a sample at that position and time; NaN off the map
            grid (detector positions below 256 or at or above 8192) and outside
            the calibrated period (more than 50 days before the first map or
            after the last).
        """
        return self._core.gain(detx, dety, mjd)

    def __repr__(self):
        if len(self.times) == 0:
            return "<varto.GainMaps: no maps>"
        return (f"<varto.GainMaps: {len(self.times)} maps, MJD {self.times[0]:.3f} to "
                f"{self.times[-1]:.3f}, {len(self.steps)} steps>")
