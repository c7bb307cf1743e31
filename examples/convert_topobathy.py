#!/usr/bin/env python3
"""Turns the topography and bathymetry sample grid topobathy.npz into the example grids.

Writes, into the folder given (default: this script's folder):
  topobathy.asc     the heights and depths as a text grid
  topobathy.single  the same cells as a "single" grid (float32 header and cells)
  bands.asc         a zone grid of height and depth bands, see BANDS

topobathy.npz comes with Debian's python-matplotlib-data package. An .npz file is a zip
archive of .npy arrays; this script reads them with the standard library alone.

The sample's rows are evenly spaced in spherical ("web") Mercator y, not in latitude, and its
columns evenly spaced in longitude, so the grid is square in Mercator metres. The headers give
that geometry rounded to whole metres, which a float32 header holds exactly, so the text and
the "single" grid have the very same geometry.

Run it once: python3 convert_topobathy.py [path/to/topobathy.npz] [output folder]
"""

import ast
import math
import os
import struct
import sys
import zipfile

DEFAULT_SOURCE = "/usr/share/matplotlib/mpl-data/sample_data/topobathy.npz"
EARTH_RADIUS = 6378137.0  # the sphere of web Mercator

# Zone value and the half-open range [low, high) of heights in metres it covers. Cells deeper
# than the lowest band (the continental slope and the deep basins) get zone -1, so the tool
# does not count them.
BANDS = [
    (1, -200, -50),  # outer shelf
    (2, -50, 0),  # near-shore water
    (3, 0, 200),  # coast and lowland
    (4, 200, 500),
    (5, 500, 1000),
    (6, 1000, 1500),
    (7, 1500, math.inf),  # high mountains
]
BELOW_BANDS = -1


def read_npy(data):
    """Returns (shape, values) of a one- or two-dimensional float32 .npy array."""
    if data[:6] != b"\x93NUMPY":
        raise ValueError("not an .npy array")
    major = data[6]
    if major == 1:
        (header_length,) = struct.unpack("<H", data[8:10])
        header_start = 10
    else:
        (header_length,) = struct.unpack("<I", data[8:12])
        header_start = 12
    header = ast.literal_eval(data[header_start : header_start + header_length].decode("latin-1"))
    if header["fortran_order"]:
        raise ValueError("column-major arrays are not handled")
    byte_order = {"<": "<", ">": ">", "=": "<"}[header["descr"][0]]
    if header["descr"][1:] != "f4":
        raise ValueError("expected float32 values, found " + header["descr"])
    shape = header["shape"]
    count = math.prod(shape)
    body = data[header_start + header_length :]
    values = struct.unpack(f"{byte_order}{count}f", body[: 4 * count])
    return shape, values


def mercator_x(longitude):
    return EARTH_RADIUS * math.radians(longitude)


def mercator_y(latitude):
    return EARTH_RADIUS * math.log(math.tan(math.pi / 4 + math.radians(latitude) / 2))


def even_spacing(centres, what):
    """The mean spacing of the cell centres, after checking that they are evenly spaced."""
    spacing = (centres[-1] - centres[0]) / (len(centres) - 1)
    worst = max(abs(b - a - spacing) for a, b in zip(centres, centres[1:]))
    # The coordinates are float32: about 3 m of rounding at these magnitudes is expected.
    if worst > 0.01 * abs(spacing):
        raise ValueError(f"{what} are not evenly spaced (off by {worst:.1f} m)")
    return spacing


def zone_of(height):
    for zone, low, high in BANDS:
        if low <= height < high:
            return zone
    return BELOW_BANDS


def cell_text(value):
    # Nine significant digits give back every float32 exactly; whole numbers print as such.
    return format(value, ".9g")


def write_text_grid(path, ncols, nrows, xll, yll, cellsize, rows):
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.write(f"ncols         {ncols}\n")
        out.write(f"nrows         {nrows}\n")
        out.write(f"xllcorner     {xll}\n")
        out.write(f"yllcorner     {yll}\n")
        out.write(f"cellsize      {cellsize}\n")
        out.write("NODATA_value  -9999\n")
        for row in rows:
            out.write(" ".join(cell_text(v) for v in row) + "\n")


def write_single_grid(path, ncols, nrows, xll, yll, cellsize, rows):
    header = [ncols, nrows, xll, yll, cellsize, -9999, 0, 0, 0, 0, 0, 0]
    with open(path, "wb") as out:
        out.write(struct.pack("<12f", *header))
        for row in rows:
            out.write(struct.pack(f"<{len(row)}f", *row))


def main(argv):
    source = argv[1] if len(argv) > 1 else DEFAULT_SOURCE
    folder = argv[2] if len(argv) > 2 else os.path.dirname(os.path.abspath(__file__))
    with zipfile.ZipFile(source) as archive:
        (nrows, ncols), topo = read_npy(archive.read("topo.npy"))
        _, longitudes = read_npy(archive.read("longitude.npy"))
        _, latitudes = read_npy(archive.read("latitude.npy"))
    if len(longitudes) != ncols or len(latitudes) != nrows:
        raise ValueError("coordinates do not fit the grid")
    if longitudes[0] > longitudes[-1]:
        raise ValueError("columns run from east to west")

    # Longitudes run from 234 to 238 degrees east; Mercator x wants them within +-180.
    xs = [mercator_x(lon - 360 if lon > 180 else lon) for lon in longitudes]
    ys = [mercator_y(lat) for lat in latitudes]
    cellsize = round((even_spacing(xs, "columns") + even_spacing(ys, "rows")) / 2)
    xll = round(xs[0] - cellsize / 2)
    yll = round(min(ys[0], ys[-1]) - cellsize / 2)

    rows = [topo[r * ncols : (r + 1) * ncols] for r in range(nrows)]
    if latitudes[0] < latitudes[-1]:
        rows.reverse()  # the sample starts with its southern row; grids start at the top
    zone_rows = [[zone_of(v) for v in row] for row in rows]

    write_text_grid(os.path.join(folder, "topobathy.asc"), ncols, nrows, xll, yll, cellsize, rows)
    write_single_grid(
        os.path.join(folder, "topobathy.single"), ncols, nrows, xll, yll, cellsize, rows
    )
    write_text_grid(os.path.join(folder, "bands.asc"), ncols, nrows, xll, yll, cellsize, zone_rows)
    print(f"{ncols} x {nrows} cells of {cellsize} m, lower left corner {xll} {yll}")


if __name__ == "__main__":
    main(sys.argv)
