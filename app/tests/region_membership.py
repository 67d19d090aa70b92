#!/usr/bin/python3
"""varto's region positions against astropy's regions package, on the sample observation.

usage: region_membership.py VARTO VARTO_MAKE_SAMPLE WORKDIR

Generates region files from every shape, in physical and fk5, with exclusions and
sexagesimal values; runs varto on each and requires the SOURCE_POS table to hold
exactly the pixel centres that regions finds inside. Then checks the sky frame
(RA/Dec to pixel and back, and against astropy.wcs), the equivalences of point
files, fk5 circles and ra/dec with their pixel forms, and the thinning of a
3,000-pixel circle. Sky shapes are held in the event file's own equatorial frame,
as varto takes fk5, icrs and j2000 to be that frame.
"""
import os
import random
import shutil
import subprocess
import sys

import numpy as np
from astropy import units as u
from astropy.coordinates import Angle, SkyCoord
from astropy.io import fits
from astropy.wcs import WCS
from astropy.wcs.utils import wcs_to_celestial_frame
import regions as rg

VARTO, MAKE_SAMPLE, WORK = sys.argv[1:4]
FAILS = []


def check(ok, what):
    if not ok:
        FAILS.append(what)
        print("FAIL:", what)


def run(*words):
    r = subprocess.run([VARTO, *words], cwd=WORK, capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


def table(name, ext):
    with fits.open(os.path.join(WORK, name)) as f:
        return f[ext].header.copy(), np.array(f[ext].data)


def source_pos(name):
    _, data = table(name, "SOURCE_POS")
    return sorted(zip(data["X"].tolist(), data["Y"].tolist()))


shutil.rmtree(WORK, ignore_errors=True)
os.makedirs(WORK)
subprocess.run([MAKE_SAMPLE, WORK], check=True, capture_output=True)

# The event table's frame; CRPIX one up makes astropy's 0-based pixels the
# 1-based sky pixels (X, Y) of the event file.
with fits.open(os.path.join(WORK, "bas.fits")) as f:
    hdr = f["STDEVT"].header
    cols = [f["STDEVT"].columns.names.index(c) + 1 for c in ("X", "Y")]
wcs = WCS(hdr, keysel=["pixel"], colsel=cols)
wcs.wcs.crpix = wcs.wcs.crpix + 1
frame = wcs_to_celestial_frame(wcs)
X0, Y0 = np.round(wcs.wcs.crpix - 1)  # near the reference pixel, whole sky pixels
rng = random.Random(20240521)


def sky(x, y):
    c = wcs.pixel_to_world(x, y)
    return c.ra.deg, c.dec.deg


def sexa_ra(deg):
    h = deg / 15.0
    hh = int(h)
    mm = int((h - hh) * 60)
    ss = ((h - hh) * 60 - mm) * 60
    return "%d:%02d:%09.6f" % (hh, mm, ss)


def sexa_dec(deg):
    sign = "-" if deg < 0 else "+"
    d = abs(deg)
    dd = int(d)
    mm = int((d - dd) * 60)
    ss = ((d - dd) * 60 - mm) * 60
    return "%s%d:%02d:%08.5f" % (sign, dd, mm, ss)


def value_from(text, hours):
    """What the region file says, as astropy reads it."""
    if ":" in text:
        a = Angle(text, unit=u.hourangle if hours else u.deg)
        return a.deg
    return float(text)


def make_shape(kind, system, cx, cy, exclude, sexagesimal):
    """One line of a region file and the regions object it means."""
    scale = 0.5  # arcsec per pixel of the sample, for sky sizes
    if system == "physical":
        pos = lambda x, y: ("%.6f,%.6f" % (x, y), rg.PixCoord(float("%.6f" % x), float("%.6f" % y)))
        size = lambda p: ("%.5f" % p, float("%.5f" % p))
    else:
        def pos(x, y):
            ra, dec = sky(x, y)
            if sexagesimal:
                rt, dt = sexa_ra(ra), sexa_dec(dec)
            else:
                rt, dt = "%.9f" % ra, "%.9f" % dec
            c = SkyCoord(value_from(rt, True) * u.deg, value_from(dt, False) * u.deg, frame=frame)
            return rt + "," + dt, c

        def size(p):
            arcsec = p * scale
            unit = rng.choice(['"', "'", "d", ""])
            if unit == '"':
                return '%.5f"' % arcsec, float("%.5f" % arcsec) * u.arcsec
            if unit == "'":
                return "%.7f'" % (arcsec / 60), float("%.7f" % (arcsec / 60)) * u.arcmin
            text = "%.9f" % (arcsec / 3600)
            return text + unit, float(text) * u.deg

    angle = rng.uniform(0, 180)
    at, av = "%.4f" % angle, float("%.4f" % angle) * u.deg
    ct, c = pos(cx, cy)
    if kind == "point":
        text, reg = "point(%s)" % ct, c
    elif kind == "circle":
        rt, r = size(rng.uniform(2.5, 9))
        text = "circle(%s,%s)" % (ct, rt)
        reg = (rg.CirclePixelRegion if system == "physical" else rg.CircleSkyRegion)(c, r)
    elif kind == "ellipse":
        r1t, r1 = size(rng.uniform(2.5, 10))
        r2t, r2 = size(rng.uniform(2.5, 6))
        text = "ellipse(%s,%s,%s,%s)" % (ct, r1t, r2t, at)
        cls = rg.EllipsePixelRegion if system == "physical" else rg.EllipseSkyRegion
        reg = cls(c, 2 * r1, 2 * r2, angle=av)
    elif kind == "box":
        wt, w = size(rng.uniform(3, 16))
        ht, h = size(rng.uniform(3, 10))
        text = "box(%s,%s,%s,%s)" % (ct, wt, ht, at)
        cls = rg.RectanglePixelRegion if system == "physical" else rg.RectangleSkyRegion
        reg = cls(c, w, h, angle=av)
    elif kind == "annulus":
        r1t, r1 = size(rng.uniform(1.5, 4))
        r2t, r2 = size(rng.uniform(5, 10))
        text = "annulus(%s,%s,%s)" % (ct, r1t, r2t)
        cls = rg.CircleAnnulusPixelRegion if system == "physical" else rg.CircleAnnulusSkyRegion
        reg = cls(c, r1, r2)
    else:  # polygon round the centre
        n = rng.randint(3, 7)
        angles = sorted(rng.uniform(0, 2 * np.pi) for _ in range(n))
        texts, xs, ys, ras, decs = [], [], [], [], []
        for a in angles:
            rad = rng.uniform(3, 10)
            t, v = pos(cx + rad * np.cos(a), cy + rad * np.sin(a))
            texts.append(t)
            if system == "physical":
                xs.append(v.x), ys.append(v.y)
            else:
                ras.append(v.ra.deg), decs.append(v.dec.deg)
        text = "polygon(%s)" % ",".join(texts)
        if system == "physical":
            reg = rg.PolygonPixelRegion(rg.PixCoord(xs, ys))
        else:
            reg = rg.PolygonSkyRegion(SkyCoord(ras * u.deg, decs * u.deg, frame=frame))
    if system != "physical" and kind != "point":
        reg = reg.to_pixel(wcs)
    elif system != "physical":
        x, y = wcs.world_to_pixel(reg)
        reg = rg.PixCoord(float(x), float(y))
    return ("-" if exclude else "") + text, reg


def reference(shapes):
    """Pixel centres inside the included shapes less the excluded ones, and the points."""
    areas = [(e, r) for e, k, r in shapes if k != "point"]
    pts = [r for e, k, r in shapes if k == "point"]
    boxes = [r.bounding_box for e, r in areas if not e]
    x0 = min(b.ixmin for b in boxes) - 2
    x1 = max(b.ixmax for b in boxes) + 2
    y0 = min(b.iymin for b in boxes) - 2
    y1 = max(b.iymax for b in boxes) + 2
    gx, gy = np.meshgrid(np.arange(x0, x1 + 1, dtype=float), np.arange(y0, y1 + 1, dtype=float))
    grid = rg.PixCoord(gx.ravel(), gy.ravel())
    inside = np.zeros(gx.size, bool)
    out = np.zeros(gx.size, bool)
    for e, r in areas:
        if e:
            out |= r.contains(grid)
        else:
            inside |= r.contains(grid)
    keep = inside & ~out
    result = list(zip(gx.ravel()[keep].tolist(), gy.ravel()[keep].tolist()))
    for p in pts:
        excluded = any(e and r.contains(p) for e, r in areas)
        if not excluded:
            result.append((p.x, p.y))
    return sorted(result)


# --- membership: 36 generated region files -----------------------------------
kinds = ["circle", "ellipse", "box", "polygon", "annulus", "point"]
for n in range(36):
    system = "physical" if n % 2 == 0 else rng.choice(["fk5", "icrs", "j2000"])
    sexagesimal = system != "physical" and n % 4 == 1
    cx = X0 + rng.uniform(-300, 300)
    cy = Y0 + rng.uniform(-300, 300)
    lines = ["# Region file format: DS9 version 4.1",
             'global color=green dashlist=8 3 width=1 font="helvetica 10 normal roman"']
    inline = n % 3 == 0
    if not inline:
        lines.append(system)
    shapes = []
    main = kinds[n % 5]
    for k, kind in enumerate([main, rng.choice(kinds[:5]), "point"][: 1 + n % 3]):
        ox, oy = (0, 0) if k == 0 else (rng.uniform(-8, 8), rng.uniform(-8, 8))
        text, reg = make_shape(kind, system, cx + ox, cy + oy, False, sexagesimal)
        shapes.append((False, kind, reg))
        lines.append((system + ";" if inline else "") + text + (" # color=red" if k else ""))
    if n % 2 == 1 or n % 5 == 0:
        kind = rng.choice(["circle", "box", "ellipse", "polygon"])
        text, reg = make_shape(kind, system, cx + rng.uniform(-3, 3), cy + rng.uniform(-3, 3),
                               True, sexagesimal)
        # Small enough to leave some of the included area.
        shapes.append((True, kind, reg))
        lines.append((system + ";" if inline else "") + text)
    name = "m%02d.reg" % n
    with open(os.path.join(WORK, name), "w") as f:
        f.write("\n".join(lines) + "\n")
    expected = reference(shapes)
    status, out = run("pos=" + name, "outfile=m%02d.fits" % n)
    if not expected:
        check(status == 1 and "no position is left" in out, name + ": empty region refused")
        continue
    check(status == 0, name + ": exit status 0\n" + out)
    if status != 0:
        continue
    got = source_pos("m%02d.fits" % n)
    # Pixel centres exactly; points through two builds of WCSLIB, to 1e-9 pixel.
    centres = lambda ps: [p for p in ps if p[0] == int(p[0]) and p[1] == int(p[1])]
    others = lambda ps: np.array([p for p in ps if p not in centres(ps)]).reshape(-1, 2)
    same_points = others(got).shape == others(expected).shape and np.allclose(
        others(got), others(expected), rtol=0, atol=1e-9)
    check(centres(got) == centres(expected) and same_points,
          "%s (%s): %d positions from varto, %d from regions"
          % (name, system, len(got), len(expected)))

# --- the sky frame ---------------------------------------------------------------
for ra_text, dec_text in [("83.6331", "22.0145"), ("5:34:25.1", "+22:03:10.5"),
                          ("83.58", "21.97"), ("5h34m40.0s", "22d01m00s")]:
    status, out = run("ra=" + ra_text, "dec=" + dec_text, "outfile=sky.fits")
    check(status == 0, "ra/dec run " + ra_text + "\n" + out)
    _, data = table("sky.fits", "SOURCE_POS")
    ra = value_from(ra_text, True) if ":" in ra_text else Angle(ra_text, unit=u.hourangle).deg \
        if "h" in ra_text else float(ra_text)
    dec = Angle(dec_text, unit=u.deg).deg
    check(abs(data["RA"][0] - ra) < 1e-9 and abs(data["DEC"][0] - dec) < 1e-9,
          "round trip of %s %s: %r %r" % (ra_text, dec_text, data["RA"][0], data["DEC"][0]))
    x, y = wcs.world_to_pixel(SkyCoord(ra * u.deg, dec * u.deg, frame=frame))
    check(abs(data["X"][0] - x) < 1e-6 and abs(data["Y"][0] - y) < 1e-6,
          "pixel of %s %s: varto %r %r, astropy %r %r" % (ra_text, dec_text, data["X"][0],
                                                          data["Y"][0], x, y))
    # The same table as the xpos and ypos astropy computes.
    status, _ = run("xpos=%r" % float(x), "ypos=%r" % float(y), "outfile=xy.fits")
    check(table("sky.fits", "GAIN_HIST")[1].tobytes() == table("xy.fits", "GAIN_HIST")[1].tobytes(),
          "ra/dec and xpos/ypos give the same GAIN_HIST for " + ra_text)

# --- equivalences ------------------------------------------------------------------
points = [(X0 + rng.uniform(-40, 40), Y0 + rng.uniform(-40, 40)) for _ in range(7)]
with open(os.path.join(WORK, "points.reg"), "w") as f:
    f.write("physical\n" + "".join("point(%r,%r)\n" % p for p in points))
with open(os.path.join(WORK, "points.txt"), "w") as f:
    f.write("".join("%r %r\n" % p for p in points))
run("pos=points.reg", "outfile=points_reg.fits")
run("pos=points.txt", "outfile=points_txt.fits")
check(table("points_reg.fits", "GAIN_HIST")[1].tobytes()
      == table("points_txt.fits", "GAIN_HIST")[1].tobytes(),
      "point region and plain position file give the same GAIN_HIST")
check(source_pos("points_reg.fits") == sorted(points), "point region positions as given")

ra, dec = sky(X0 + 23.4, Y0 - 17.8)
sky_circle = rg.CircleSkyRegion(SkyCoord(ra * u.deg, dec * u.deg, frame=frame), 7.3 * u.arcsec)
pix = sky_circle.to_pixel(wcs)
with open(os.path.join(WORK, "fk5.reg"), "w") as f:
    f.write('fk5;circle(%.12f,%.12f,7.3")\n' % (ra, dec))
with open(os.path.join(WORK, "phys.reg"), "w") as f:
    f.write("physical;circle(%r,%r,%r)\n" % (pix.center.x, pix.center.y, pix.radius))
run("pos=fk5.reg", "outfile=fk5.fits")
run("pos=phys.reg", "outfile=phys.fits")
check(table("fk5.fits", "GAIN_HIST")[1].tobytes() == table("phys.fits", "GAIN_HIST")[1].tobytes()
      and source_pos("fk5.fits") == source_pos("phys.fits"),
      "fk5 circle and the physical circle astropy converts it to give the same tables")

# --- thinning: a circle of about 3,000 pixels ----------------------------------------------
circle = rg.CirclePixelRegion(rg.PixCoord(X0 + 0.3, Y0 - 0.2), 30.9)
with open(os.path.join(WORK, "c3000.reg"), "w") as f:
    f.write("physical;circle(%r,%r,30.9)\n" % (X0 + 0.3, Y0 - 0.2))
status, out = run("pos=c3000.reg", "outfile=c3000.fits")
gx, gy = np.meshgrid(np.arange(X0 - 40, X0 + 41), np.arange(Y0 - 40, Y0 + 41))
inside = circle.contains(rg.PixCoord(gx.ravel(), gy.ravel()))
xs, ys = gx.ravel()[inside], gy.ravel()[inside]  # in scan order: row by row, then X
step = -(-len(xs) // 999)
keep = np.arange(len(xs)) % step == 0
line = "Region c3000.reg: %d pixels, one in every %d used: %d positions" % (
    inside.sum(), step, keep.sum())
check(status == 0 and line in out, "3,000-pixel circle: " + line + "\n" + out)
hdr, _ = table("c3000.fits", "SOURCE_POS")
check(hdr.get("STEP") == step and hdr.get("REGION") == "c3000.reg",
      "SOURCE_POS keys STEP and REGION")
check(source_pos("c3000.fits") == sorted(zip(xs[keep].astype(float).tolist(),
                                             ys[keep].astype(float).tolist())),
      "3,000-pixel circle: one centre in every %d in scan order" % step)

print("%d failures" % len(FAILS))
sys.exit(1 if FAILS else 0)
