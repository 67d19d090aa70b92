#!/usr/bin/python3
"""Draws a varto result as a PNG: the gain histogram (WEIGHT against GAIN as
steps, the mean gain AVG_GAIN marked, the exposure in the title), with --maps
and --time the 32 x 32 gain map nearest that time beside it, and with --region
the events near the source (X, Y of the event file) with the region's outline
and the positions varto used (its SOURCE_POS table).

Usage: varto_plot.py varto.fits [--maps 'gain.fits[RHRI_GAIN]' --time MJD]
                     [--region src.reg [--events bas.fits]] [-o varto.png]
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


def read_events_near(spec, xs, ys, margin=20):
    """Counts of the events per sky pixel in a window round the positions."""
    path, block = split_spec(spec, None)
    with fits.open(path) as hdul:
        blocks = [block] if block else [h.name for h in hdul if h.name in ("STDEVT", "EVENTS")]
        if not blocks:
            raise KeyError(f"{spec} has no STDEVT or EVENTS table")
        table = hdul[blocks[0]]
        header = table.header.copy()
        x = np.asarray(table.data["X"], dtype=float)
        y = np.asarray(table.data["Y"], dtype=float)
        cols = [table.columns.names.index(c) + 1 for c in ("X", "Y")]
    x0, x1 = np.floor(xs.min()) - margin, np.ceil(xs.max()) + margin
    y0, y1 = np.floor(ys.min()) - margin, np.ceil(ys.max()) + margin
    # Pixel n covers n - 0.5 to n + 0.5.
    counts, xe, ye = np.histogram2d(x, y, bins=[np.arange(x0 - 0.5, x1 + 1.5),
                                                np.arange(y0 - 0.5, y1 + 1.5)])
    return counts, (xe[0], xe[-1], ye[0], ye[-1]), header, cols


def region_outlines(path, header, cols):
    """The region's shapes as matplotlib patches in sky pixels; none without
    astropy's regions package. Physical is read as image coordinates, 1-based."""
    try:
        import warnings

        from astropy.wcs import WCS
        from regions import PixelRegion, Regions
    except ImportError:
        return []
    with open(path) as f:
        text = "image\n" + re.sub(r"\bphysical\b", "image", f.read())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        shapes = Regions.parse(text, format="ds9")
        wcs = WCS(header, keysel=["pixel"], colsel=cols)
    patches = []
    for shape in shapes:
        if not isinstance(shape, PixelRegion):
            shape = shape.to_pixel(wcs)
        try:
            # Both forms are 0-based; the event file's pixels start at 1.
            patches.append(shape.as_artist(origin=(-1, -1)))
        except (AttributeError, NotImplementedError, TypeError):
            continue
    return patches


def read_positions(path):
    with fits.open(path) as hdul:
        data = hdul["SOURCE_POS"].data
        return np.asarray(data["X"], dtype=float), np.asarray(data["Y"], dtype=float)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Draw a varto gain histogram as a PNG.")
    parser.add_argument("result", help="varto output file holding the GAIN_HIST table")
    parser.add_argument("--maps", help="gain-map table, file[block], to draw beside the histogram")
    parser.add_argument("--time", type=float, help="MJD whose nearest gain map is drawn")
    parser.add_argument("--region", help="region file of the run: draws the events near the source")
    parser.add_argument("--events", default="bas.fits",
                        help="event file, file[block], for --region (bas.fits)")
    parser.add_argument("-o", "--output", default="varto.png", help="PNG to write (varto.png)")
    args = parser.parse_args(argv)
    if (args.maps is None) != (args.time is None):
        parser.error("--maps and --time go together")

    try:
        gain, weight, exposure, avg = read_histogram(args.result)
        nearest = read_nearest_map(args.maps, args.time) if args.maps else None
        near = None
        if args.region:
            xs, ys = read_positions(args.result)
            counts, extent, header, cols = read_events_near(args.events, xs, ys)
            near = (xs, ys, counts, extent, region_outlines(args.region, header, cols))
    except (OSError, KeyError, ValueError, IndexError) as e:
        print(f"varto_plot: cannot read the input: {e}", file=sys.stderr)
        return 1

    panels = 1 + (1 if nearest else 0) + (1 if near else 0)
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
    if near:
        xs, ys, counts, extent, patches = near
        ax = axes[0][panels - 1]
        image = ax.imshow(counts.T, origin="lower", extent=extent, cmap="Greys")
        for patch in patches:
            patch.set_edgecolor("tab:orange")
            patch.set_facecolor("none")
            ax.add_patch(patch)
        ax.plot(xs, ys, ".", color="tab:red", markersize=3, label=f"{xs.size} positions used")
        ax.set_xlim(extent[0], extent[1])
        ax.set_ylim(extent[2], extent[3])
        ax.set_xlabel("Sky X (pixels)")
        ax.set_ylabel("Sky Y (pixels)")
        ax.set_title(f"Events near the source, {args.region}")
        ax.legend(loc="upper right")
        fig.colorbar(image, ax=ax, label="Events per pixel")
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
