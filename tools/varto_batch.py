#!/usr/bin/python3
"""varto over an archive: one run per observation folder of a manifest, through
GNU parallel on this machine or as one Slurm job array, then one summary table.

    varto_batch [options] MANIFEST [name=value ...]

The manifest holds one observation folder per line, optionally followed by
name=value words for that observation; blank lines and lines beginning with #
are skipped. Words after the manifest go to every observation; a line's own
words come after them and so win. Relative folders are taken from the
manifest's folder. See varto_batch(1).
"""

import argparse
import contextlib
import csv
import gzip
import html
import importlib.util
import io
import math
import os
import re
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import urllib.parse

# The exposure ledger's keys, as varto writes them into GAIN_HIST.
LEDGER = ("ONTIME", "ASPTIME", "HISTTIME", "OFFDTIME", "NOGNTIME", "OUTHTIME", "NOASPTIM", "DUPTIME")
STATUS_FILE = "varto.status"
REPORT = "varto.out"
ERRORS = "varto.err"
TASKS = "varto_batch.tasks"
# A private folder of varto (.NAME.XXXXXX, six letters and digits) or of the task script.
PRIVATE = re.compile(r"^\..+\.[A-Za-z0-9]{6}$")
# A ledger loss above this share of ONTIME draws the observation hollow.
HEAVY_LOSS = 0.05
# Lines of varto's report that begin one of its failure messages.
FAILURE_STARTS = ("Failed", "Error", "ERROR", "Bad ", "Too many", "Position line", "Output file ",
                  "Invalid", "***", "Parameter ")


class UsageError(Exception):
    pass


class Observation:
    def __init__(self, line_no, folder, path, words):
        self.line_no = line_no
        self.folder = folder  # as written in the manifest
        self.path = path  # absolute
        self.words = words  # the words varto gets: the common ones, then the line's

    def word(self, name):
        """The value of the last word name=value (names without regard to case), or None."""
        value = None
        for w in self.words:
            n, _, v = w.partition("=")
            if n.lower() == name:
                value = v
        return value

    def outfile(self):
        """The output file and the table name in it."""
        value = self.word("outfile")
        if value is None:
            value = par_file_value(self, "outfile")
        value = (value or "").strip().lstrip("!") or "varto.fits"
        table = "GAIN_HIST"
        if value.endswith("]") and "[" in value:
            value, _, block = value[:-1].partition("[")
            table = block.strip() or table
        return os.path.join(self.path, value), table


def par_file_values(obs):
    """Every value of the observation's parameter file (plain or IRAF layout), by name."""
    name = obs.word("par")
    name = (name or "").strip() or "varto.par"
    values = {}
    try:
        with open(os.path.join(obs.path, name), encoding="latin-1") as f:
            for line in f:
                line = line.strip()
                if not line or line.startswith("#"):
                    continue
                if "," in line.split()[0]:  # IRAF: name,type,mode,value,min,max,prompt
                    try:
                        fields = next(csv.reader([line], skipinitialspace=True))
                    except csv.Error:
                        continue
                    if len(fields) > 3:
                        values[fields[0].strip().lower()] = fields[3].strip()
                else:
                    n, _, v = line.partition(" ")
                    values[n.lower()] = v.strip()
    except OSError:
        pass
    return values


def par_file_value(obs, name):
    return par_file_values(obs).get(name)


def read_manifest(path, common):
    base = os.path.dirname(os.path.abspath(path))
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().splitlines()
    except OSError as e:
        raise UsageError(f"cannot read the manifest {path}: {e.strerror}")
    observations = []
    seen = {}
    for no, line in enumerate(lines, 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        where = f"{path} line {no}"
        try:
            fields = shlex.split(line)
        except ValueError as e:
            raise UsageError(f"{where}: malformed line ({e})")
        folder, words = fields[0], fields[1:]
        for w in words:
            if not is_word(w):
                raise UsageError(f"{where}: '{w}' is not a name=value word")
        full = os.path.normpath(os.path.join(base, folder))
        if not os.path.isdir(full):
            raise UsageError(f"{where}: no folder {folder}")
        key = os.path.realpath(full)
        if key in seen:
            raise UsageError(f"{where}: folder {folder} is already on line {seen[key]}")
        seen[key] = no
        observations.append(Observation(no, folder, full, common + words))
    if not observations:
        raise UsageError(f"{path} names no observation folder")
    outfiles = {}
    for obs in observations:
        out = os.path.realpath(obs.outfile()[0])
        if out in outfiles:
            raise UsageError(f"line {obs.line_no}: outfile {out} is also the outfile of line "
                             f"{outfiles[out]}: give each observation its own (a name in its folder)")
        outfiles[out] = obs.line_no
    return observations


def is_word(w):
    name, eq, _ = w.partition("=")
    return bool(eq) and bool(name) and not name.startswith("-") and not any(c.isspace() for c in name)


def read_status(obs):
    """The exit status and words of the folder's last finished run, or (None, None)."""
    try:
        with open(os.path.join(obs.path, STATUS_FILE)) as f:
            lines = f.read().split("\n")
        return int(lines[0]), lines[1] if len(lines) > 1 else ""
    except (OSError, ValueError):
        return None, None


def mtime(path):
    try:
        return os.stat(path).st_mtime_ns
    except OSError:
        return None


def newest_input(obs):
    """The newest modification time among the observation's inputs: every file of its
    folder but varto's outputs, and every existing file named by a word or by a value
    of its parameter file."""
    outfile, _ = obs.outfile()
    outputs = {REPORT, ERRORS, STATUS_FILE, "gain.time", os.path.basename(outfile)}
    newest = 0
    with os.scandir(obs.path) as it:
        for entry in it:
            if entry.name in outputs or PRIVATE.match(entry.name):
                continue
            if entry.is_file():
                newest = max(newest, entry.stat().st_mtime_ns)
    named = [w.partition("=")[::2] for w in obs.words] + list(par_file_values(obs).items())
    values = [v for n, v in named if n.lower() != "outfile"]
    for v in values:
        v = v.strip().strip('"')
        if not v:
            continue
        if v.endswith("]") and "[" in v:
            v = v[: v.index("[")]
        t = mtime(os.path.join(obs.path, v))
        if t is not None and os.path.isfile(os.path.join(obs.path, v)):
            newest = max(newest, t)
    return newest


def finished(obs):
    """True when the folder's last run used the same words and is newer than every input:
    a success whose output is newer, or a failure recorded after the inputs were last
    changed (the same run would fail the same way)."""
    status, words = read_status(obs)
    if status is None or words != " ".join(obs.words):
        return False
    newest = newest_input(obs)
    if status == 0:
        t = mtime(obs.outfile()[0])
        return t is not None and t > newest
    t = mtime(os.path.join(obs.path, STATUS_FILE))
    return status < 128 and t is not None and t > newest


# ---- reading the output table's header, without a FITS library ----


def table_keys(path, table):
    """The header keys of the table extension named table, or None."""
    try:
        opener = gzip.open if path.endswith(".gz") else open
        with opener(path, "rb") as f:
            while True:
                keys = {}
                blocks = 0
                while True:
                    block = f.read(2880)
                    if len(block) < 2880:
                        return None
                    blocks += 1
                    end = False
                    for i in range(0, 2880, 80):
                        card = block[i : i + 80].decode("ascii", "replace")
                        name = card[:8].strip()
                        if name == "END":
                            end = True
                            break
                        if card[8:10] == "= ":
                            keys[name] = card_value(card[10:])
                    if end:
                        break
                if str(keys.get("EXTNAME", "")).strip().upper() == table.upper():
                    return keys
                naxis = int(keys.get("NAXIS", 0))
                size = math.prod(int(keys.get(f"NAXIS{n}", 0)) for n in range(1, naxis + 1)) if naxis else 0
                size = abs(int(keys.get("BITPIX", 8))) // 8 * int(keys.get("GCOUNT", 1)) * (
                    int(keys.get("PCOUNT", 0)) + size)
                f.seek((size + 2879) // 2880 * 2880, 1)
    except (OSError, ValueError, EOFError):
        return None


def card_value(text):
    text = text.strip()
    if text.startswith("'"):
        end = text.find("'", 1)
        while end != -1 and text[end + 1 : end + 2] == "'":
            end = text.find("'", end + 2)
        return text[1:end].replace("''", "'") if end != -1 else text[1:]
    value = text.split("/")[0].strip()
    try:
        return float(value.replace("D", "E"))
    except ValueError:
        return value


# ---- the summary ----


def reason(obs, status):
    """The line that says why a run failed: the first line on its error stream that is
    neither a debug line ([*N]) nor a warning, else the first failure line of its report,
    else its last report line."""
    if status is None:
        return "no finished run"
    if status >= 128:
        return f"ended by signal {status - 128}"
    for name, pick in ((ERRORS, "err"), (REPORT, "out")):
        try:
            with open(os.path.join(obs.path, name), encoding="utf-8", errors="replace") as f:
                lines = [l.strip() for l in f.read().splitlines() if l.strip()]
        except OSError:
            continue
        for l in lines:
            if pick == "err" and not l.startswith("[*") and not l.startswith("Warning"):
                return l
            if pick == "out" and l.startswith(FAILURE_STARTS):
                return l
        if pick == "out" and lines:
            return lines[-1]
    return f"exit status {status}"


def positions(obs):
    """The number of source positions varto read, from its report (its table says it in
    NSOURCE)."""
    try:
        with open(os.path.join(obs.path, REPORT), encoding="utf-8", errors="replace") as f:
            for line in f:
                if line.startswith("Read ") and line.rstrip().endswith(" pixel positions"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        return None
    return None


# ---- the observation's identifier and start, from its event file ----


def event_file(obs):
    """The event file varto reads, and the name of its events table (STDEVT for RDF,
    EVENTS for REV0, decided as varto decides)."""
    values = par_file_values(obs)

    def value(name, default):
        v = obs.word(name)
        if v is None:
            v = values.get(name)
        v = (v or "").strip().strip('"')
        return v or default

    name = value("events", "bas.fits")
    if name.endswith("]") and "[" in name:
        name = name[: name.index("[")]
    mode = value("mode", "")
    if mode and not set(mode.lower()) <= set("ahlq"):
        rdf = mode.upper() == "RDF"
    else:
        rdf = not value("aspect", "anc.fits").endswith(".ao")
    return os.path.join(obs.path, name), "STDEVT" if rdf else "EVENTS"


def observation_date(obs):
    """OBS_ID (the event file's, else the folder's name) and MJD_OBS (the first start of
    the good-time table, STDGTI else GTI, from the events table's MJD reference)."""
    obs_id = os.path.basename(os.path.normpath(obs.path))
    start = math.nan
    try:
        from astropy.io import fits
    except ImportError:
        return obs_id, start
    path, events = event_file(obs)
    try:
        with fits.open(path, memmap=False) as f:
            names = [h.name.upper() for h in f]
            header = f[events].header if events in names else f[0].header
            for h in (header, f[0].header):
                if "OBS_ID" in h and str(h["OBS_ID"]).strip():
                    obs_id = str(h["OBS_ID"]).strip()
                    break
            if "MJDREFI" in header:
                ref = float(header["MJDREFI"]) + float(header.get("MJDREFF", 0.0))
            elif "MJDREF" in header:
                ref = float(header["MJDREF"])
            elif "XS-MJDRD" in header:
                ref = float(header["XS-MJDRD"]) + float(header.get("XS-MJDRF", 0.0))
            else:
                ref = 0.0
            gti = next((f[n] for n in ("STDGTI", "GTI") if n in names), None)
            if gti is not None and gti.data is not None and len(gti.data):
                start = ref + float(min(gti.data.field(0))) / 86400.0
    except (OSError, ValueError, TypeError, KeyError, IndexError):
        pass
    return obs_id, start


# ---- the summary ----


def summary_rows(observations):
    rows = []
    for obs in observations:
        status, _ = read_status(obs)
        row = {"FOLDER": obs.folder, "STATUS": status, "NPOS": None, "ERROR": "", "obs": obs}
        keys = {}
        if status == 0:
            keys = table_keys(*obs.outfile()) or {}
            n = keys.get("NSOURCE")
            row["NPOS"] = int(n) if isinstance(n, float) else positions(obs)
        else:
            row["NPOS"] = positions(obs)
            row["ERROR"] = reason(obs, status)
        for k in ("AVG_GAIN",) + LEDGER + ("HISTGAIN",):
            v = keys.get(k)
            row[k] = float(v) if isinstance(v, float) else math.nan
        row["OBS_ID"], row["MJD_OBS"] = observation_date(obs)
        rows.append(row)
    return rows


COLUMNS = ("FOLDER", "STATUS", "AVG_GAIN") + LEDGER + ("NPOS", "ERROR", "HISTGAIN", "OBS_ID", "MJD_OBS")
TEXT = ("FOLDER", "ERROR", "OBS_ID")
INTEGER = ("STATUS", "NPOS")


def write_replacing(path, data):
    """Writes data to a new file of a private name beside path and renames it over path:
    a link at path is replaced, never followed."""
    folder = os.path.dirname(path) or "."
    fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            os.fchmod(f.fileno(), 0o666 & ~UMASK)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def write_csv(path, rows):
    text = io.StringIO(newline="")
    out = csv.writer(text)
    out.writerow(COLUMNS)
    for r in rows:
        cells = []
        for c in COLUMNS:
            v = r[c]
            if v is None or (isinstance(v, float) and math.isnan(v)):
                cells.append("")
            elif isinstance(v, float):
                cells.append(repr(v))
            else:
                cells.append(v)
        out.writerow(cells)
    # Folder names keep every byte, whatever their encoding.
    write_replacing(path, text.getvalue().encode("utf-8", "surrogateescape"))


def fits_card(name, value, comment=""):
    if isinstance(value, bool):
        text = f"{'T' if value else 'F':>20}"
    elif isinstance(value, int):
        text = f"{value:>20}"
    else:
        text = "'" + str(value).replace("'", "''").ljust(8) + "'"
        text = text.ljust(20)
    card = f"{name:<8}= {text}"
    if comment:
        card += " / " + comment
    return card[:80].ljust(80)


def fits_header(cards):
    text = "".join(cards) + "END".ljust(80)
    return (text + " " * (-len(text) % 2880)).encode("ascii")


def fits_ascii(text):
    """FITS text: printable ASCII as it is, every other byte (tab, non-ASCII) as \\xHH."""
    raw = text.encode("utf-8", "surrogateescape")
    return b"".join(bytes([c]) if 0x20 <= c < 0x7F else b"\\x%02X" % c for c in raw)


def write_fits(path, rows):
    """A primary header and one binary table SUMMARY, one row per observation. Missing
    numbers are NaN; a missing STATUS or NPOS is the column's TNULL, -1."""
    widths = {c: max([1] + [len(fits_ascii(r[c])) for r in rows]) for c in TEXT}
    forms = []
    for c in COLUMNS:
        if c in TEXT:
            forms.append((c, f"{widths[c]}A", ""))
        elif c in INTEGER:
            forms.append((c, "1J", ""))
        else:
            forms.append((c, "1D", "s" if c in LEDGER else ""))
    row_bytes = sum(widths[c] if c in TEXT else 4 if c in INTEGER else 8 for c in COLUMNS)
    primary = [fits_card("SIMPLE", True, "conforms to FITS standard"), fits_card("BITPIX", 8),
               fits_card("NAXIS", 0), fits_card("EXTEND", True)]
    ok = sum(1 for r in rows if r["STATUS"] == 0)
    table = [fits_card("XTENSION", "BINTABLE", "binary table extension"), fits_card("BITPIX", 8),
             fits_card("NAXIS", 2), fits_card("NAXIS1", row_bytes), fits_card("NAXIS2", len(rows)),
             fits_card("PCOUNT", 0), fits_card("GCOUNT", 1), fits_card("TFIELDS", len(forms))]
    for i, (name, form, unit) in enumerate(forms, 1):
        table.append(fits_card(f"TTYPE{i}", name))
        table.append(fits_card(f"TFORM{i}", form))
        if unit:
            table.append(fits_card(f"TUNIT{i}", unit))
        if name in INTEGER:
            table.append(fits_card(f"TNULL{i}", -1))
    table += [fits_card("EXTNAME", "SUMMARY", "varto_batch summary"),
              fits_card("NOBS", len(rows), "observations"), fits_card("NOK", ok, "with exit status 0"),
              fits_card("NFAILED", len(rows) - ok, "failed or not finished")]
    data = bytearray()
    for r in rows:
        for c in COLUMNS:
            if c in TEXT:
                data += fits_ascii(r[c]).ljust(widths[c], b"\0")
            elif c in INTEGER:
                data += struct.pack(">i", -1 if r[c] is None else r[c])
            else:
                data += struct.pack(">d", r[c])
    data += b"\0" * (-len(data) % 2880)
    write_replacing(path, fits_header(primary) + fits_header(table) + bytes(data))


def lost_share(r):
    """The share of ONTIME the ledger lost: off the detector, without gain, outside the
    bins, or not covered by the aspect history."""
    lost = sum(r[k] for k in ("OFFDTIME", "NOGNTIME", "OUTHTIME", "NOASPTIM"))
    return lost / r["ONTIME"] if r["ONTIME"] > 0 else math.nan


def write_picture(path, rows):
    """HISTGAIN against MJD_OBS, the area of a mark scaled by HISTTIME; heavy ledger
    losses hollow, failures as marks on the time axis. False without matplotlib."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.transforms as transforms
    except ImportError:
        return False
    good = [r for r in rows if r["STATUS"] == 0 and math.isfinite(r["HISTGAIN"]) and math.isfinite(r["MJD_OBS"])]
    failed = [r for r in rows if r["STATUS"] != 0]
    most = max([r["HISTTIME"] for r in good] + [1.0])
    fig, ax = plt.subplots(figsize=(9.6, 5.4))
    for heavy, label in ((False, "binned"), (True, f"lost over {HEAVY_LOSS:.0%} of ONTIME")):
        pick = [r for r in good if (lost_share(r) > HEAVY_LOSS) == heavy]
        if not pick:
            continue
        ax.scatter([r["MJD_OBS"] for r in pick], [r["HISTGAIN"] for r in pick],
                   s=[15 + 285 * r["HISTTIME"] / most for r in pick], edgecolors="tab:blue",
                   facecolors="none" if heavy else "tab:blue", linewidths=1.5, label=label)
    if failed:
        on_axis = transforms.blended_transform_factory(ax.transData, ax.transAxes)
        times = [r["MJD_OBS"] for r in failed if math.isfinite(r["MJD_OBS"])]
        ax.scatter(times, [0.02] * len(times), marker="x", color="tab:red", s=60, transform=on_axis,
                   clip_on=False, label=f"failed ({len(failed)})")
    ax.set_xlabel("MJD_OBS (start of good time)")
    ax.set_ylabel("HISTGAIN (mean gain of the binned exposure)")
    ax.set_title(f"{len(rows)} observations: {len(rows) - len(failed)} ok, {len(failed)} failed; "
                 "mark area by HISTTIME")
    ax.grid(True, alpha=0.3)
    if good or failed:
        ax.legend(loc="best")
    fig.tight_layout()
    data = io.BytesIO()
    fig.savefig(data, format="png", dpi=100)
    plt.close(fig)
    write_replacing(path, data.getvalue())
    return True


def shown(text):
    """Text for the page: undecodable bytes as \\xHH, then escaped."""
    return html.escape(text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace"))


def link(outdir, path):
    return urllib.parse.quote(os.fsencode(os.path.relpath(path, outdir)))


def number(v, digits):
    return "" if v is None or (isinstance(v, float) and math.isnan(v)) else f"{v:.{digits}f}"


def write_page(path, rows, picture):
    outdir = os.path.dirname(os.path.abspath(path))
    failed = sum(1 for r in rows if r["STATUS"] != 0)
    out = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
           "<title>varto_batch summary</title>", "<style>",
           "body{font-family:sans-serif;margin:1.5em;max-width:1240px;color:#222}",
           "img.picture{max-width:100%;height:auto;border:1px solid #ccc}",
           "table{border-collapse:collapse;font-size:13px;width:100%}",
           "th,td{border-bottom:1px solid #ddd;padding:3px 6px;text-align:right;vertical-align:top}",
           "th{background:#f3f3f3;position:sticky;top:0}",
           "td.t{text-align:left;word-break:break-all}",
           "tr.failed td{background:#fdecea}", "tr.heavy td{background:#fff8e1}",
           "img.thumb{height:48px}", "</style></head><body>",
           f"<h1>{len(rows)} observations: {len(rows) - failed} ok, {failed} failed</h1>"]
    if picture:
        out.append('<p><a href="summary.png"><img class="picture" src="summary.png" '
                   'alt="HISTGAIN against MJD_OBS"></a></p>')
    out.append("<p>Also as <a href=\"summary.fits\">summary.fits</a> and "
               "<a href=\"summary.csv\">summary.csv</a>. Rows lost over "
               f"{HEAVY_LOSS:.0%} of ONTIME in the ledger are shaded.</p>")
    heads = ["FOLDER", "plot", "STATUS", "OBS_ID", "MJD_OBS", "AVG_GAIN", "HISTGAIN", "ONTIME",
             "HISTTIME", "lost", "NPOS", "ERROR"]
    left = ("FOLDER", "OBS_ID", "ERROR")
    out.append("<table><thead><tr>" + "".join(f'<th class="t">{h}</th>' if h in left else f"<th>{h}</th>"
                                              for h in heads) + "</tr></thead><tbody>")
    for r in rows:
        obs = r["obs"]
        share = lost_share(r) if r["STATUS"] == 0 else math.nan
        kind = "failed" if r["STATUS"] != 0 else "heavy" if share > HEAVY_LOSS else "ok"
        plot = os.path.join(obs.path, "varto.png")
        thumb = ""
        if r.get("plotted"):
            href = link(outdir, plot)
            thumb = f'<a href="{href}"><img class="thumb" src="{href}" alt="varto.png"></a>'
        status = "not finished" if r["STATUS"] is None else str(r["STATUS"])
        cells = [f'<td class="t"><a href="{link(outdir, obs.path)}/">{shown(r["FOLDER"])}</a></td>',
                 f"<td>{thumb}</td>", f"<td>{status}</td>", f'<td class="t">{shown(r["OBS_ID"])}</td>',
                 f"<td>{number(r['MJD_OBS'], 4)}</td>", f"<td>{number(r['AVG_GAIN'], 4)}</td>",
                 f"<td>{number(r['HISTGAIN'], 4)}</td>", f"<td>{number(r['ONTIME'], 1)}</td>",
                 f"<td>{number(r['HISTTIME'], 1)}</td>",
                 f"<td>{'' if math.isnan(share) else f'{share:.1%}'}</td>",
                 f"<td>{'' if r['NPOS'] is None else r['NPOS']}</td>", f'<td class="t">{shown(r["ERROR"])}</td>']
        out.append(f'<tr class="{kind}">' + "".join(cells) + "</tr>")
    out += ["</tbody></table>", "</body></html>", ""]
    write_replacing(path, "\n".join(out).encode("utf-8"))


def draw_observations(rows):
    """Each finished observation's varto.png, through varto_plot.py in this process."""
    here = os.path.dirname(os.path.realpath(__file__))
    script = next((c for c in (os.path.join(here, "varto_plot.py"),
                               os.path.join(here, "..", "share", "varto", "varto_plot.py"))
                   if os.path.isfile(c)), None)
    if script is None:
        print("varto_batch: varto_plot.py is not installed beside varto_batch; no plots drawn",
              file=sys.stderr)
        return
    try:
        spec = importlib.util.spec_from_file_location("varto_plot", script)
        plot = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(plot)
    except ImportError as e:
        print(f"varto_batch: no plots drawn ({e})", file=sys.stderr)
        return
    for r in rows:
        if r["STATUS"] != 0:
            continue
        obs = r["obs"]
        private = tempfile.mkdtemp(dir=obs.path, prefix=".varto.png.")
        try:
            drawn = os.path.join(private, "varto.png")
            with contextlib.redirect_stdout(io.StringIO()):
                status = plot.main([obs.outfile()[0], "-o", drawn])
            plot.plt.close("all")
            if status == 0:
                os.chmod(drawn, 0o666 & ~UMASK)
                os.replace(drawn, os.path.join(obs.path, "varto.png"))
                r["plotted"] = True
        finally:
            shutil.rmtree(private, ignore_errors=True)


def summarise(observations, outdir, plots=False):
    rows = summary_rows(observations)
    write_fits(os.path.join(outdir, "summary.fits"), rows)
    write_csv(os.path.join(outdir, "summary.csv"), rows)
    if plots:
        draw_observations(rows)
    for r in rows:
        r.setdefault("plotted", os.path.isfile(os.path.join(r["obs"].path, "varto.png")) and plots)
    picture = write_picture(os.path.join(outdir, "summary.png"), rows)
    write_page(os.path.join(outdir, "summary.html"), rows, picture)
    failed = [r for r in rows if r["STATUS"] != 0]
    print(f"{len(rows)} observations: {len(rows) - len(failed)} ok, {len(failed)} failed")
    for r in failed:
        status = "not finished" if r["STATUS"] is None else f"status {r['STATUS']}"
        print(f"  {r['FOLDER']} ({status}): {r['ERROR']}")
    sys.stdout.flush()
    return 1 if failed else 0


# ---- running ----


class Stopped(Exception):
    """SIGINT, SIGTERM or SIGHUP reached varto_batch."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def on_signal(signum, frame):
    # Only once: the stopping itself must not be cut short by a second signal.
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, signal.SIG_IGN)
    raise Stopped(signum)


def find_varto(given):
    if given:
        path = shutil.which(given) if os.sep not in given else given
        if not path or not os.access(path, os.X_OK):
            raise UsageError(f"no varto program {given}")
        return os.path.abspath(path)
    beside = os.path.join(os.path.dirname(os.path.realpath(__file__)), "varto")
    if os.access(beside, os.X_OK):
        return beside
    path = shutil.which("varto")
    if not path:
        raise UsageError("varto is not on PATH (give --varto PROGRAM)")
    return os.path.abspath(path)


def slurm_script():
    here = os.path.dirname(os.path.realpath(__file__))
    for candidate in (os.path.join(here, "varto_slurm_array.sh"),
                      os.path.join(here, "..", "share", "varto", "varto_slurm_array.sh")):
        if os.path.isfile(candidate):
            return os.path.normpath(candidate)
    raise UsageError("varto_slurm_array.sh is not installed beside varto_batch")


def shell_word(text):
    """text as one bash word $'...', on one line whatever its bytes."""
    out = []
    for c in text.encode("utf-8", "surrogateescape"):
        if c in (0x27, 0x5C):
            out.append("\\" + chr(c))
        elif 0x20 <= c < 0x7F:
            out.append(chr(c))
        else:
            out.append(f"\\x{c:02x}")
    return "$'" + "".join(out) + "'"


def task_list(todo):
    """One line per task for varto_slurm_array.sh: the folder, then its words."""
    return "".join(" ".join(shell_word(x) for x in [obs.path] + obs.words) + "\n" for obs in todo).encode("ascii")


def task_env(varto, run):
    env = dict(os.environ, VARTO=varto, VARTO_RUN=run)
    env.pop("VARTO_TASK", None)
    env.pop("VARTO_TASK_OFFSET", None)
    return env


def session_members(sid):
    """The ids of the processes of session sid."""
    members = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == sid:
            members.append(int(entry))
    return members


def stop_session(proc):
    """Ends GNU parallel and everything it started (its session): SIGTERM, which the task
    script passes to varto before it exits without a status; SIGKILL for what is left."""
    deadline = time.monotonic() + 10
    while True:
        members = session_members(proc.pid)
        if proc.poll() is None and proc.pid not in members:
            members.append(proc.pid)
        if not members:
            break
        late = time.monotonic() > deadline
        for pid in members:
            with contextlib.suppress(OSError):
                os.kill(pid, signal.SIGKILL if late else signal.SIGTERM)
        time.sleep(0.2)
        proc.poll()
    proc.wait()


def run_parallel(todo, varto, jobs, run):
    """GNU parallel runs varto_slurm_array.sh once per observation, as a Slurm task would;
    the task list and the job list live in a private folder, removed at the end."""
    parallel = shutil.which("parallel")
    if not parallel:
        raise UsageError("GNU parallel is not installed (Debian's parallel)")
    script = slurm_script()
    private = tempfile.mkdtemp(prefix="varto_batch-")
    try:
        tasks = os.path.join(private, TASKS)
        with open(os.open(tasks, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600), "wb") as f:
            f.write(task_list(todo))
        joblist = os.path.join(private, "jobs")
        with open(os.open(joblist, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600), "w") as f:
            for k in range(1, len(todo) + 1):
                f.write(f"VARTO_TASK={k} {shlex.quote(script)} {shlex.quote(tasks)}\n")
        cmd = [parallel, "--will-cite", "-j", str(jobs), "-a", joblist]
        if sys.stderr.isatty():
            cmd.insert(2, "--bar")
        # A session of its own, so that a stop reaches every process it starts.
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, env=task_env(varto, run),
                                start_new_session=True)
        try:
            proc.wait()
        except BaseException:
            stop_session(proc)
            raise
    finally:
        shutil.rmtree(private, ignore_errors=True)


def max_array_size(env):
    """The cluster's MaxArraySize: an array's task indexes run from 0 to one less."""
    try:
        out = subprocess.run(["scontrol", "show", "config"], capture_output=True, text=True, env=env,
                             stdin=subprocess.DEVNULL).stdout
        for line in out.splitlines():
            name, _, value = line.partition("=")
            if name.strip() == "MaxArraySize":
                return max(1, int(value.strip()))
    except (OSError, ValueError):
        pass
    return 1001


def finished_in(todo, run):
    """How many of todo have written their status in this run, and how many of those failed."""
    done = failed = 0
    for obs in todo:
        try:
            with open(os.path.join(obs.path, STATUS_FILE), encoding="utf-8", errors="replace") as f:
                lines = f.read().split("\n")
        except OSError:
            continue
        if len(lines) > 2 and lines[2] == run:
            done += 1
            failed += lines[0].strip() != "0"
    return done, failed


def submit_slurm(todo, varto, outdir, slurm_args, wait, run):
    """As many job arrays as the cluster's MaxArraySize needs, one task per observation,
    through varto_slurm_array.sh; with wait, a progress line until every array has ended.
    Returns the job ids."""
    sbatch = shutil.which("sbatch")
    if not sbatch:
        raise UsageError("sbatch is not on PATH (is Slurm installed?)")
    script = slurm_script()
    tasks = os.path.join(outdir, TASKS)
    write_replacing(tasks, task_list(todo))
    env = task_env(varto, run)
    size = max_array_size(env)
    jobs, waiting = [], []
    try:
        for first in range(0, len(todo), size):
            count = min(size, len(todo) - first)
            cmd = [sbatch, "--parsable", f"--array=0-{count - 1}"] + slurm_args
            if wait:
                cmd.append("--wait")
            cmd += [script, tasks]
            # Task i of this array takes line first + 1 + i of the list.
            proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
                                    env=dict(env, VARTO_TASK_OFFSET=str(first + 1)))
            # --parsable prints the job id at submission; with --wait, sbatch returns at the end.
            line = proc.stdout.readline().strip()
            if not line:
                proc.wait()
                raise UsageError(f"sbatch refused the job array (exit status {proc.returncode})")
            job = line.split(";")[0]
            jobs.append(job)
            waiting.append(proc)
            print(f"Submitted job array {job} ({count} tasks)", flush=True)
        if wait:
            progress(todo, run, waiting)
        for proc in waiting:
            proc.stdout.read()
            proc.wait()
    except BaseException:
        for proc in waiting:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        if jobs:
            subprocess.run(["scancel"] + jobs, env=env, stdin=subprocess.DEVNULL)
        raise
    return jobs


def progress(todo, run, waiting):
    """"N of M done, K failed" as tasks finish: in place on a terminal, else one line per change."""
    tty = sys.stdout.isatty()
    shown_line = None
    while True:
        ended = all(p.poll() is not None for p in waiting)
        done, failed = finished_in(todo, run)
        line = f"{done} of {len(todo)} done, {failed} failed"
        if line != shown_line:
            print(("\r" + line) if tty else line, end="" if tty else "\n", flush=True)
            shown_line = line
        if ended:
            break
        time.sleep(1)
    if tty:
        print(flush=True)


def main(argv):
    p = argparse.ArgumentParser(
        prog="varto_batch", description="Run varto in every observation folder of a manifest and "
        "write summary.fits, summary.csv, summary.png and summary.html.")
    p.add_argument("manifest")
    p.add_argument("words", nargs="*", metavar="name=value", help="words for every observation")
    p.add_argument("-j", "--jobs", type=int, default=len(os.sched_getaffinity(0)),
                   help="observations at once on this machine (default: the processors)")
    p.add_argument("-o", "--output-dir", default=".", help="folder for the summary files")
    p.add_argument("--varto", help="the varto program (default: beside varto_batch, else on PATH)")
    p.add_argument("--resume", action="store_true", help="skip observations whose last run is up to date")
    p.add_argument("--slurm", action="store_true", help="submit Slurm job arrays")
    p.add_argument("--slurm-args", default="", help="words for sbatch, as one string")
    p.add_argument("--wait", action="store_true", help="with --slurm: wait for the arrays, then summarise")
    p.add_argument("--collect", action="store_true", help="run nothing; write the summary of the last runs")
    p.add_argument("--plots", action="store_true", help="also draw each observation's varto.png")
    # sbatch's words begin with a dash, which argparse would take for an option.
    argv = list(argv)
    for i in range(len(argv) - 1):
        if argv[i] == "--slurm-args":
            argv[i : i + 2] = ["--slurm-args=" + argv[i + 1]]
            break
    try:
        args = p.parse_intermixed_args(argv)
    except SystemExit as e:
        return 2 if e.code else 0
    for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, on_signal)
    try:
        if args.jobs < 1:
            raise UsageError("-j needs a count of 1 or more")
        if args.wait and not args.slurm:
            raise UsageError("--wait goes with --slurm")
        if args.slurm_args and not args.slurm:
            raise UsageError("--slurm-args goes with --slurm")
        if args.collect and (args.slurm or args.resume):
            raise UsageError("--collect runs nothing: it takes no --slurm or --resume")
        for w in args.words:
            if not is_word(w):
                raise UsageError(f"'{w}' is not a name=value word")
        try:
            slurm_args = shlex.split(args.slurm_args)
        except ValueError as e:
            raise UsageError(f"--slurm-args: {e}")
        if not os.path.isdir(args.output_dir):
            raise UsageError(f"no folder {args.output_dir} for the summary")
        observations = read_manifest(args.manifest, args.words)
        if args.collect:
            return summarise(observations, args.output_dir, args.plots)
        varto = find_varto(args.varto)
        todo = [o for o in observations if not (args.resume and finished(o))]
        if args.resume:
            print(f"{len(observations) - len(todo)} of {len(observations)} observations up to date; "
                  f"{len(todo)} to run", flush=True)
        if todo:
            # Marks the statuses of this run, for the progress line.
            run = f"run {os.getpid()} {time.time_ns()}"
            if args.slurm:
                jobs = submit_slurm(todo, varto, os.path.abspath(args.output_dir), slurm_args, args.wait, run)
                if not args.wait:
                    again = " ".join(shlex.quote(w) for w in [args.manifest] + args.words)
                    which = f"job {jobs[0]} has" if len(jobs) == 1 else f"jobs {', '.join(jobs)} have"
                    print(f"When {which} finished: varto_batch --collect {again}")
                    return 0
            else:
                run_parallel(todo, varto, args.jobs, run)
        return summarise(observations, args.output_dir, args.plots)
    except UsageError as e:
        print(f"varto_batch: {e}", file=sys.stderr)
        return 2
    except (Stopped, KeyboardInterrupt) as e:
        signum = e.signum if isinstance(e, Stopped) else signal.SIGINT
        print("varto_batch: interrupted; --resume continues where this run stopped", file=sys.stderr)
        return 128 + signum


# The mode of the files varto_batch writes.
UMASK = os.umask(0o022)
os.umask(UMASK)

if __name__ == "__main__":
    # Folder names are bytes: show them as they are, whatever their encoding.
    sys.stdout.reconfigure(errors="surrogateescape")
    sys.stderr.reconfigure(errors="surrogateescape")
    sys.exit(main(sys.argv[1:]))
