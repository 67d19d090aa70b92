#!/usr/bin/python3
"""Draws a varto result as a PNG: the gain histogram (WEIGHT against GAIN as
steps, the mean gain AVG_GAIN marked, the exposure in the title) and, with
--maps and --time, the 32 x 32 gain map nearest that time beside it.

Usage: varto_plot.py varto.fits [--maps 'gain.fits[RHRI_GAIN]' --time MJD] [-o varto.png]
Exit status 0 when the PNG is written, 1 when an input cannot be read.
"""
import argparse
import re
import sys

import matplotlib

matplotlib.use("Agg")  # files only, never a window
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from astropy.io import fits  # noqa: E402

MAP_SIDE = 32  # gain maps hold 32 x 32 cells, cell (ix, iy) at ix*32 + iy


def split_spec(spec, default_block):
    """'file[block]' -> (file, block); a bare file name takes default_block."""
    m = re.fullmatch(r"(.*)\[([^\]]+)\]", spec)
    return (m.group(1), m.group(2)) if m else (spec, default_block)


def read_histogram(path):
    with fits.open(path) as hdul:
        table = hdul["GAIN_HIST"]
        gain = np.asarray(table.data["GAIN"], dtype=float)
        weight = np.asarray(table.data["WEIGHT"], dtype=float)
        exposure = np.asarray(table.data["EXPOSURE"], dtype=float)
        avg = float(table.header["AVG_GAIN"])
    return gain, weight, exposure, avg


def read_nearest_map(spec, mjd):
    path, block = split_spec(spec, "RHRI_GAIN")
    with fits.open(path) as hdul:
        data = hdul[block].data
        times = np.asarray(data["TIME"], dtype=float)
        if times.size == 0:
            raise ValueError(f"{spec} holds no gain maps")
        row = int(np.argmin(np.abs(times - mjd)))
        cells = np.asarray(data["GAIN_MAP"][row], dtype=float).reshape(MAP_SIDE, MAP_SIDE)
    return times[row], cells


def main(argv=None):
    parser = argparse.ArgumentParser(description="Draw a varto gain histogram as a PNG.")
    parser.add_argument("result", help="varto output file holding the GAIN_HIST table")
    parser.add_argument("--maps", help="gain-map table, file[block], to draw beside the histogram")
    parser.add_argument("--time", type=float, help="MJD whose nearest gain map is drawn")
    parser.add_argument("-o", "--output", default="varto.png", help="PNG to write (varto.png)")
    args = parser.parse_args(argv)
    if (args.maps is None) != (args.time is None):
        parser.error("--maps and --time go together")

    try:
        gain, weight, exposure, avg = read_histogram(args.result)
        nearest = read_nearest_map(args.maps, args.time) if args.maps else None
    except (OSError, KeyError, ValueError, IndexError) as e:
        print(f"varto_plot: cannot read the input: {e}", file=sys.stderr)
        return 1

    panels = 2 if nearest else 1
    fig, axes = plt.subplots(1, panels, figsize=(6.4 * panels, 4.8), squeeze=False)
    ax = axes[0][0]
    ax.step(gain, weight, where="mid", color="tab:blue")
    ax.axvline(avg, color="tab:red", linestyle="--", label=f"AVG_GAIN {avg:.2f}")
    ax.set_xlabel("Gain")
    ax.set_ylabel("Weight (fraction of good time)")
    ax.set_title(f"Gain histogram, exposure {exposure.sum():.1f} s")
    ax.legend()
    if nearest:
        map_time, cells = nearest
        ax = axes[0][1]
        # Rows of the stored map run along detector x; show x across, y up.
        image = ax.imshow(cells.T, origin="lower", cmap="viridis")
        ax.set_xlabel("Detector x cell")
        ax.set_ylabel("Detector y cell")
        ax.set_title(f"Gain map at MJD {map_time:.1f} (nearest to {args.time:.1f})")
        fig.colorbar(image, ax=ax, label="Gain")
    fig.tight_layout()
    try:
        fig.savefig(args.output, format="png")
    except OSError as e:
        print(f"varto_plot: cannot write {args.output}: {e}", file=sys.stderr)
        return 1
    print(args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
