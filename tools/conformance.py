#!/usr/bin/env python3
"""Runs varto on every case of a conformance folder and checks its results.

    conformance.py VARTO CASES [--jobs N] [--keep DIR] [--every]
    conformance.py --python PACKAGE_DIR CASES [...]

Each case_*/ folder of CASES holds an observation, args.json (the command-line
words) and expected.json (the results to agree with). Every case runs in a
scratch copy of its folder, as the current folder, with no standard input.
With --python the cases run in this process through varto.run, with the
package varto imported from PACKAGE_DIR, the scratch folder as its cwd.
Prints one line per failing case naming the first difference; exits 0 when
every case agrees, 1 when one does not, and 77 when CASES is absent.
"""

import argparse
import concurrent.futures
import json
import math
import os
import shutil
import stat
import subprocess
import sys
import tempfile

SKIPPED = 77
# A case that runs longer than this is stopped and counted as failing.
CASE_TIMEOUT = 300
# Variables that steer the parameter-file search; a case must not see the caller's.
SEARCH_VARIABLES = ("PFILES", "PDIRS", "UPARM", "PFEXTN")


class Mismatch(Exception):
    """The first difference between varto's results and a case's expected results."""


def make_writable(root):
    for folder, _, files in os.walk(root):
        os.chmod(folder, os.stat(folder).st_mode | stat.S_IRWXU)
        for name in files:
            path = os.path.join(folder, name)
            os.chmod(path, os.stat(path).st_mode | stat.S_IRUSR | stat.S_IWUSR)


def brief(text, width=160):
    text = repr(text)
    return text if len(text) <= width else text[: width - 3] + "..."


def check_in_order(lines, wanted):
    """Each wanted line appears in lines, in this order, not necessarily adjacent."""
    at = 0
    for want in wanted:
        while at < len(lines) and lines[at] != want:
            at += 1
        if at == len(lines):
            raise Mismatch(f"report line missing or out of order: {brief(want)}")
        at += 1


def check_together(lines, wanted):
    """The wanted lines appear next to each other, in this order."""
    n = len(wanted)
    for start in range(len(lines) - n + 1):
        if lines[start : start + n] == wanted:
            return
    first = next((w for w in wanted if w not in lines), None)
    detail = f"missing {brief(first)}" if first is not None else "not together in this order"
    raise Mismatch(f"error lines: {detail}")


def check_tail(lines, wanted):
    start = next((i for i, line in enumerate(lines) if line.startswith("Mean Gain:")), None)
    got = [] if start is None else lines[max(start - 1, 0) :]
    for i, (g, w) in enumerate(zip(got, wanted)):
        if g != w:
            raise Mismatch(f"tail line {i + 1}: got {brief(g)}, want {brief(w)}")
    if len(got) != len(wanted):
        extra = got[len(wanted)] if len(got) > len(wanted) else wanted[len(got)]
        raise Mismatch(f"tail has {len(got)} lines, want {len(wanted)} (first unmatched: {brief(extra)})")


def check_table(hdu, wanted):
    names = ("GAIN", "WEIGHT", "EXPOSURE")
    columns = hdu.columns
    got_names = [c.name.upper() for c in columns][:3]
    if got_names != list(names):
        raise Mismatch(f"GAIN_HIST columns begin {got_names}, want {list(names)}")
    for col in columns[:3]:
        if col.format.upper().strip() not in ("1D", "D"):
            raise Mismatch(f"GAIN_HIST column {col.name} has format {col.format}, want 1D")
    rows = hdu.header.get("NAXIS2", 0)
    want_rows = len(wanted["GAIN"])
    if rows != want_rows:
        raise Mismatch(f"GAIN_HIST has {rows} rows, want {want_rows}")
    if rows == 0:
        return
    data = hdu.data
    for name in names:
        got = [float(v) for v in data[name]]
        want = [float(v) for v in wanted[name]]
        scale = max(abs(w) for w in want)
        for row, (g, w) in enumerate(zip(got, want)):
            if name == "GAIN":
                ok = g == w
            else:
                ok = abs(g - w) <= 1e-9 * max(abs(g), abs(w)) + 1e-12 * scale
            if not ok:
                raise Mismatch(f"GAIN_HIST {name} row {row + 1}: got {g!r}, want {w!r}")


def mantissa_exponent(card_text):
    """The decimal exponent of a real key as written (0 when it has none)."""
    text = card_text.strip().upper().replace("D", "E")
    if "E" in text:
        try:
            return int(text.split("E", 1)[1])
        except ValueError:
            return 0
    value = abs(float(text))
    return math.floor(math.log10(value)) if value > 0 else 0


def check_avg_gain(header, want):
    if "AVG_GAIN" not in header:
        raise Mismatch("GAIN_HIST has no AVG_GAIN key")
    got = float(header["AVG_GAIN"])
    # The key holds 8 decimals of the mantissa: half a unit of the last of them,
    # with room for the binary rounding of the decimal value read back.
    written = header.cards["AVG_GAIN"].image[10:].split("/", 1)[0]
    half_unit = 0.5 * 10.0 ** (mantissa_exponent(written) - 8) * (1 + 1e-9)
    diff = abs(got - want)
    if not (diff <= 1e-9 * abs(want) or diff <= half_unit):
        raise Mismatch(f"AVG_GAIN: got {got!r} ({written.strip()}), want {want!r}")


def check_ledger(header, wanted):
    for key, want in wanted.items():
        if key not in header:
            raise Mismatch(f"GAIN_HIST has no {key} key (want {want!r})")
        try:
            got = float(header[key])
        except (TypeError, ValueError):
            raise Mismatch(f"GAIN_HIST key {key} is {header[key]!r}, not a number")
        if not abs(got - want) <= 1e-6 + 1e-9 * abs(want):
            raise Mismatch(f"{key}: got {got!r}, want {want!r}")


def output_checks(path, expected):
    """The checks of the output file, each a callable that raises Mismatch."""
    from astropy.io import fits

    def table():
        if not os.path.isfile(path):
            raise Mismatch(f"no output file {os.path.basename(path)}")
        with fits.open(path, memmap=False) as hdul:
            if "GAIN_HIST" not in hdul:
                raise Mismatch(f"{os.path.basename(path)} has no GAIN_HIST table")
            return hdul["GAIN_HIST"].copy()

    hdu = []

    def gain_hist():
        if not hdu:
            hdu.append(table())
        return hdu[0]

    checks = [gain_hist]
    if "table" in expected:
        checks.append(lambda: check_table(gain_hist(), expected["table"]))
    if "avg_gain" in expected:
        checks.append(lambda: check_avg_gain(gain_hist().header, float(expected["avg_gain"])))
    if "ledger" in expected:
        checks.append(lambda: check_ledger(gain_hist().header, expected["ledger"]))
    return checks


def run_binary(varto, words, work):
    """varto's exit status and standard output, or None when it ran too long."""
    env = {k: v for k, v in os.environ.items() if k not in SEARCH_VARIABLES}
    try:
        run = subprocess.run([varto, *words], cwd=work, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env,
                             timeout=CASE_TIMEOUT)
    except subprocess.TimeoutExpired:
        return None
    return run.returncode, run.stdout.decode("utf-8", errors="replace")


def run_python(module, words, work):
    """The same through varto.run: status 1 and the report so far when it raises VartoError."""
    try:
        return 0, module.run(words, cwd=work).report
    except module.VartoError as e:
        return 1, e.report


def check_case(varto, case_dir, scratch_root, every):
    """The differences of one case: the first one, or with every the first of each rule."""
    with open(os.path.join(case_dir, "args.json")) as f:
        words = json.load(f)
    with open(os.path.join(case_dir, "expected.json")) as f:
        expected = json.load(f)
    work = os.path.join(scratch_root, os.path.basename(case_dir))
    shutil.rmtree(work, ignore_errors=True)  # a kept copy of an earlier run
    shutil.copytree(case_dir, work)
    make_writable(work)
    ran = run_binary(varto, words, work) if isinstance(varto, str) else run_python(varto, words, work)
    if ran is None:
        return [f"varto still running after {CASE_TIMEOUT} s"]
    returncode, text = ran
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()

    want_status = expected["exit_code"]

    def status():
        if returncode != want_status:
            last = next((line for line in reversed(lines) if line.strip()), "")
            raise Mismatch(f"exit status {returncode}, want {want_status} "
                           f"(last line: {brief(last)})")

    def warnings():
        for warning, count in expected.get("warnings", {}).items():
            got = sum(1 for line in lines if line == warning)
            if got != count:
                raise Mismatch(f"{got} lines {brief(warning)}, want {count}")

    outfile = os.path.join(work, expected["outfile"]) if expected.get("outfile") else None

    def no_output():
        if outfile and os.path.lexists(outfile):
            raise Mismatch(f"output file {expected['outfile']} written on failure")

    checks = [status, lambda: check_in_order(lines, expected.get("report", [])), warnings]
    if want_status != 0:
        if "error_lines" in expected:
            checks.append(lambda: check_together(lines, expected["error_lines"]))
        checks.append(no_output)
    elif outfile:
        checks.extend(output_checks(outfile, expected))
    if "tail" in expected:
        checks.append(lambda: check_tail(lines, expected["tail"]))

    found = []
    for check in checks:
        try:
            check()
        except Mismatch as e:
            found.append(str(e))
            if not every or check is status:
                break
    return found


def run_case(varto, case_dir, scratch_root, every):
    try:
        return check_case(varto, case_dir, scratch_root, every)
    except Mismatch as e:
        return [str(e)]
    except Exception as e:  # a case folder or an output this script cannot read
        return [f"cannot check: {type(e).__name__}: {e}"]


def import_package(folder):
    """The package varto from folder, set up to run the cases in this process."""
    sys.path.insert(0, os.path.abspath(folder))
    try:
        import varto
    except ImportError as e:
        print(f"cannot import varto from {folder}: {e}")
        return None
    import warnings
    # The warning lines are checked in the report; the case runs share the process.
    warnings.simplefilter("ignore", varto.VartoWarning)
    for name in SEARCH_VARIABLES:
        os.environ.pop(name, None)
    return varto


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("varto", help="the varto binary (with --python: the folder of the package)")
    parser.add_argument("cases", help="the folder of case_* folders")
    parser.add_argument("--jobs", type=int, default=min(4, os.cpu_count() or 1))
    parser.add_argument("--keep", help="run in this folder and keep the scratch copies")
    parser.add_argument("--every", action="store_true",
                        help="name the first difference of each rule, not only the first one")
    parser.add_argument("--python", action="store_true",
                        help="run the cases through the Python package's varto.run")
    args = parser.parse_args()

    if not os.path.isdir(args.cases):
        print(f"no conformance cases at {args.cases}")
        return SKIPPED
    cases = sorted(
        os.path.join(args.cases, d) for d in os.listdir(args.cases)
        if d.startswith("case_") and os.path.isdir(os.path.join(args.cases, d)))
    if not cases:
        print(f"no case folders in {args.cases}")
        return 1
    if args.python:
        varto = import_package(args.varto)
        if varto is None:
            return 1
    else:
        varto = os.path.abspath(args.varto)
        if not os.access(varto, os.X_OK):
            print(f"cannot run {varto}")
            return 1
    # Imported once here, so that a missing astropy is one clear message.
    try:
        import astropy.io.fits  # noqa: F401
    except ImportError as e:
        print(f"astropy is needed to read the output tables: {e}")
        return 1

    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        scratch = args.keep
        cleanup = None
    else:
        cleanup = tempfile.TemporaryDirectory(prefix="varto_conformance_")
        scratch = cleanup.name
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            results = list(pool.map(lambda c: run_case(varto, c, scratch, args.every), cases))
    finally:
        if cleanup:
            cleanup.cleanup()
    failed = [(os.path.basename(c), r) for c, r in zip(cases, results) if r]
    for name, reasons in failed:
        print(f"{name}: {'; '.join(reasons)}")
    print(f"{len(cases) - len(failed)} of {len(cases)} cases agree")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
