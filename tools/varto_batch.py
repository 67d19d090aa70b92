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
import csv
import gzip
import math
import os
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile

# The exposure ledger's keys, as varto writes them into GAIN_HIST.
LEDGER = ("ONTIME", "ASPTIME", "HISTTIME", "OFFDTIME", "NOGNTIME", "OUTHTIME", "NOASPTIM", "DUPTIME")
STATUS_FILE = "varto.status"
REPORT = "varto.out"
ERRORS = "varto.err"
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
            if entry.name in outputs or entry.name.startswith(".varto-"):
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


def summary_rows(observations):
    rows = []
    for obs in observations:
        status, _ = read_status(obs)
        row = {"FOLDER": obs.folder, "STATUS": status, "NPOS": None, "ERROR": ""}
        keys = {}
        if status == 0:
            keys = table_keys(*obs.outfile()) or {}
            n = keys.get("NSOURCE")
            row["NPOS"] = int(n) if isinstance(n, float) else positions(obs)
        else:
            row["NPOS"] = positions(obs)
            row["ERROR"] = reason(obs, status)
        for k in ("AVG_GAIN",) + LEDGER:
            v = keys.get(k)
            row[k] = float(v) if isinstance(v, float) else math.nan
        rows.append(row)
    return rows


COLUMNS = ("FOLDER", "STATUS", "AVG_GAIN") + LEDGER + ("NPOS", "ERROR")


def write_csv(path, rows):
    tmp = path + ".tmp"
    with open(tmp, "w", newline="", encoding="utf-8", errors="surrogateescape") as f:
        out = csv.writer(f)
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
    os.replace(tmp, path)


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
    return text.encode("ascii", "replace")


def write_fits(path, rows):
    """A primary header and one binary table SUMMARY, one row per observation. Missing
    numbers are NaN; a missing STATUS or NPOS is the column's TNULL, -1."""
    width_folder = max([1] + [len(fits_ascii(r["FOLDER"])) for r in rows])
    width_error = max([1] + [len(fits_ascii(r["ERROR"])) for r in rows])
    forms = [("FOLDER", f"{width_folder}A", ""), ("STATUS", "1J", ""), ("AVG_GAIN", "1D", "")]
    forms += [(k, "1D", "s") for k in LEDGER]
    forms += [("NPOS", "1J", ""), ("ERROR", f"{width_error}A", "")]
    row_bytes = width_folder + 4 + 8 * (1 + len(LEDGER)) + 4 + width_error
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
        if name in ("STATUS", "NPOS"):
            table.append(fits_card(f"TNULL{i}", -1))
    table += [fits_card("EXTNAME", "SUMMARY", "varto_batch summary"),
              fits_card("NOBS", len(rows), "observations"), fits_card("NOK", ok, "with exit status 0"),
              fits_card("NFAILED", len(rows) - ok, "failed or not finished")]
    data = bytearray()
    for r in rows:
        data += fits_ascii(r["FOLDER"]).ljust(width_folder, b"\0")
        data += struct.pack(">i", -1 if r["STATUS"] is None else r["STATUS"])
        for k in ("AVG_GAIN",) + LEDGER:
            data += struct.pack(">d", r[k])
        data += struct.pack(">i", -1 if r["NPOS"] is None else r["NPOS"])
        data += fits_ascii(r["ERROR"]).ljust(width_error, b"\0")
    data += b"\0" * (-len(data) % 2880)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(fits_header(primary) + fits_header(table) + bytes(data))
    os.replace(tmp, path)


def summarise(observations, outdir):
    rows = summary_rows(observations)
    write_fits(os.path.join(outdir, "summary.fits"), rows)
    write_csv(os.path.join(outdir, "summary.csv"), rows)
    failed = [r for r in rows if r["STATUS"] != 0]
    print(f"{len(rows)} observations: {len(rows) - len(failed)} ok, {len(failed)} failed")
    for r in failed:
        status = "not finished" if r["STATUS"] is None else f"status {r['STATUS']}"
        print(f"  {r['FOLDER']} ({status}): {r['ERROR']}")
    sys.stdout.flush()
    return 1 if failed else 0


# ---- running ----


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


def clear_status(todo):
    for obs in todo:
        try:
            os.unlink(os.path.join(obs.path, STATUS_FILE))
        except FileNotFoundError:
            pass


def run_parallel(todo, varto, jobs):
    """One shell line per observation, run by GNU parallel: varto in the folder, its
    report and error stream beside its table, then its status and words."""
    parallel = shutil.which("parallel")
    if not parallel:
        raise UsageError("GNU parallel is not installed (Debian's parallel)")
    with tempfile.NamedTemporaryFile("w", prefix="varto_batch-", suffix=".jobs", delete=False) as f:
        for obs in todo:
            words = " ".join(shlex.quote(w) for w in obs.words)
            f.write(f"cd {shlex.quote(obs.path)} && {{ {shlex.quote(varto)} {words} >{REPORT} 2>{ERRORS}; "
                    f"printf '%s\\n%s\\n' $? {shlex.quote(' '.join(obs.words))} >{STATUS_FILE}; }}\n")
        joblist = f.name
    try:
        cmd = [parallel, "--will-cite", "-j", str(jobs), "-a", joblist]
        if sys.stderr.isatty():
            cmd.insert(2, "--bar")
        subprocess.run(cmd, stdin=subprocess.DEVNULL)
    finally:
        os.unlink(joblist)


def submit_slurm(todo, varto, outdir, slurm_args, wait):
    """One job array, one task per observation, through varto_slurm_array.sh. The task
    list holds the folder and its words, separated by tabs."""
    sbatch = shutil.which("sbatch")
    if not sbatch:
        raise UsageError("sbatch is not on PATH (is Slurm installed?)")
    script = slurm_script()
    tasks = os.path.join(outdir, "varto_batch.tasks")
    with open(tasks, "w") as f:
        for obs in todo:
            fields = [obs.path] + obs.words
            if any("\t" in x or "\n" in x for x in fields):
                raise UsageError(f"line {obs.line_no}: a tab or newline cannot go to a Slurm task")
            f.write("\t".join(fields) + "\n")
    cmd = [sbatch, "--parsable", f"--array=1-{len(todo)}"] + slurm_args
    if wait:
        cmd.append("--wait")
    cmd += [script, tasks]
    env = dict(os.environ, VARTO=varto)
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, env=env, text=True)
    # --parsable prints the job id at submission; with --wait, sbatch returns at the end.
    first = proc.stdout.readline().strip()
    if not first:
        proc.wait()
        raise UsageError(f"sbatch refused the job array (exit status {proc.returncode})")
    job = first.split(";")[0]
    print(f"Submitted job array {job} ({len(todo)} tasks)", flush=True)
    proc.stdout.read()
    proc.wait()
    return job


def main(argv):
    p = argparse.ArgumentParser(
        prog="varto_batch", description="Run varto in every observation folder of a manifest and "
        "write summary.fits and summary.csv.")
    p.add_argument("manifest")
    p.add_argument("words", nargs="*", metavar="name=value", help="words for every observation")
    p.add_argument("-j", "--jobs", type=int, default=len(os.sched_getaffinity(0)),
                   help="observations at once on this machine (default: the processors)")
    p.add_argument("-o", "--output-dir", default=".", help="folder for summary.fits and summary.csv")
    p.add_argument("--varto", help="the varto program (default: beside varto_batch, else on PATH)")
    p.add_argument("--resume", action="store_true", help="skip observations whose last run is up to date")
    p.add_argument("--slurm", action="store_true", help="submit one Slurm job array")
    p.add_argument("--slurm-args", default="", help="words for sbatch, as one string")
    p.add_argument("--wait", action="store_true", help="with --slurm: wait for the array, then summarise")
    p.add_argument("--collect", action="store_true", help="run nothing; write the summary of the last runs")
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
            return summarise(observations, args.output_dir)
        varto = find_varto(args.varto)
        todo = [o for o in observations if not (args.resume and finished(o))]
        if args.resume:
            print(f"{len(observations) - len(todo)} of {len(observations)} observations up to date; "
                  f"{len(todo)} to run", flush=True)
        if todo:
            if args.slurm:
                slurm_script()  # refuse before any status is cleared
            clear_status(todo)
            if args.slurm:
                job = submit_slurm(todo, varto, os.path.abspath(args.output_dir), slurm_args, args.wait)
                if not args.wait:
                    again = " ".join(shlex.quote(w) for w in [args.manifest] + args.words)
                    print(f"When job {job} has finished: varto_batch --collect {again}")
                    return 0
            else:
                run_parallel(todo, varto, args.jobs)
        return summarise(observations, args.output_dir)
    except UsageError as e:
        print(f"varto_batch: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("varto_batch: interrupted; --resume continues where this run stopped", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
