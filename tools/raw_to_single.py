#!/usr/bin/env python3
"""Turns a one-band float32 raster in EHdr or ENVI layout into a "single" grid for zonalstats.

    python3 raw_to_single.py SOURCE OUTPUT

SOURCE is the raw data file (.bil, .flt, .img, ...) or its .hdr; the header is looked for as
SOURCE with its extension replaced by .hdr, then as SOURCE.hdr. Make one with GDAL:

    gdal_translate -of EHdr -ot Float32 heights.tif heights.bil
    gdal_translate -of ENVI -ot Float32 heights.tif heights.img

A "single" grid is twelve little-endian float32 numbers (ncols, nrows, x and y of the lower
left corner, cellsize, -9999, six zeros) followed by the cells, row after row, top row first.
Its no-data value is always -9999, so cells holding the source's no-data value, and NaN cells,
are written as -9999. Values at or below -9999 that are not no-data in the source would not be
counted by zonalstats either; the script warns about them.

Big-endian sources are turned little-endian. Cell sizes that agree to a relative 1e-10 count
as square, with the x size. Non-square cells, rotated grids, several bands and types other
than float32 are refused: resample or convert them with GDAL first.
"""

import array
import math
import os
import re
import struct
import sys

MISSING = -9999.0
LARGEST_EXACT_COUNT = 2**24  # ncols and nrows are float32 numbers in the header
# GDAL writes cell sizes with 15 significant digits, so the x and y sizes of a square grid can
# differ in the last digit (gdalwarp -ts gives XDIM 0.00833333333333334, YDIM
# 0.00833333333333333); GDAL takes them as square. Far more than that rounding, and far less than
# any real difference in cell sizes.
SQUARE_TOLERANCE = 1e-10


def square_cell_size(xsize, ysize, describe):
    """The cell size of square cells: the x size, if the y size equals it to SQUARE_TOLERANCE."""
    if not math.isclose(xsize, ysize, rel_tol=SQUARE_TOLERANCE, abs_tol=0.0):
        raise SourceError(f"cells are not square ({describe})")
    return xsize


class SourceError(Exception):
    pass


def header_path(source):
    if source.lower().endswith(".hdr"):
        return source
    for candidate in (os.path.splitext(source)[0] + ".hdr", source + ".hdr"):
        if os.path.exists(candidate):
            return candidate
    raise SourceError(f"no .hdr file found beside {source}")


def data_path(header, source):
    if source != header:
        return source
    stem = header[:-4]
    for extension in ("", ".bil", ".bip", ".bsq", ".flt", ".img", ".dat", ".raw"):
        if os.path.isfile(stem + extension) and stem + extension != header:
            return stem + extension
    raise SourceError(f"no data file found beside {header}")


def parse_number(text, key):
    try:
        return float(text)
    except ValueError:
        raise SourceError(f"{key} is not a number: {text!r}") from None


def header_number(fields):
    """A reader of numeric header fields: number(key) or number(key, default)."""

    def number(key, default=None):
        if key not in fields:
            if default is None:
                raise SourceError(f"the header has no {key}")
            return default
        return parse_number(fields[key], key)

    return number


def read_ehdr(text):
    """Geometry and layout from an EHdr header: KEY VALUE lines, keys in any case."""
    fields = {}
    for line in text.splitlines():
        parts = line.split(None, 1)
        if len(parts) == 2:
            fields[parts[0].upper()] = parts[1].strip()

    number = header_number(fields)

    if int(number("NBANDS", 1)) != 1:
        raise SourceError("only one band can be converted")
    pixel_type = fields.get("PIXELTYPE", "").upper()
    if int(number("NBITS", 8)) != 32 or pixel_type != "FLOAT":
        raise SourceError("cells are not float32: export with -ot Float32")
    ncols, nrows = int(number("NCOLS")), int(number("NROWS"))
    for key in ("BANDROWBYTES", "TOTALROWBYTES"):
        if key in fields and int(number(key)) != 4 * ncols:
            raise SourceError(f"padded rows ({key}) are not handled")
    byte_order = fields.get("BYTEORDER", "I").upper()
    if byte_order not in ("I", "M", "LSBFIRST", "MSBFIRST"):
        raise SourceError(f"unknown BYTEORDER {byte_order}")
    xdim, ydim = number("XDIM"), number("YDIM")
    size = square_cell_size(xdim, ydim, f"XDIM {xdim}, YDIM {ydim}")
    # ULXMAP and ULYMAP give the centre of the upper left cell.
    nodata = None
    for key in ("NODATA", "NODATA_VALUE"):
        if key in fields:
            nodata = parse_number(fields[key], key)
    return {
        "ncols": ncols,
        "nrows": nrows,
        "xll": number("ULXMAP") - size / 2,
        "yll": number("ULYMAP") + size / 2 - nrows * size,
        "cellsize": size,
        "big_endian": byte_order in ("M", "MSBFIRST"),
        "offset": int(number("SKIPBYTES", 0)),
        "nodata": nodata,
    }


def read_envi(text):
    """Geometry and layout from an ENVI header: key = value, values in braces may span lines."""
    fields = {}
    for match in re.finditer(r"^\s*([^=\n]+?)\s*=\s*(\{[^}]*\}|[^\n]*)", text, re.MULTILINE):
        fields[match.group(1).lower()] = match.group(2).strip()

    number = header_number(fields)

    if int(number("bands", 1)) != 1:
        raise SourceError("only one band can be converted")
    if int(number("data type")) != 4:
        raise SourceError("cells are not float32 (data type 4): export with -ot Float32")
    ncols, nrows = int(number("samples")), int(number("lines"))
    if "map info" not in fields:
        raise SourceError("the header has no map info")
    info = [item.strip() for item in fields["map info"].strip("{}").split(",")]
    if any(item.lower().startswith("rotation") for item in info):
        raise SourceError("rotated grids are not handled")
    ref_x, ref_y, easting, northing, xsize, ysize = (
        parse_number(item, "map info") for item in info[1:7]
    )
    size = square_cell_size(xsize, ysize, f"{xsize} by {ysize}")
    # The reference pixel is 1-based and (1, 1) is the upper left corner of the upper left cell.
    left = easting - (ref_x - 1) * size
    top = northing + (ref_y - 1) * size
    nodata = None
    if "data ignore value" in fields:
        nodata = parse_number(fields["data ignore value"], "data ignore value")
    return {
        "ncols": ncols,
        "nrows": nrows,
        "xll": left,
        "yll": top - nrows * size,
        "cellsize": size,
        "big_endian": int(number("byte order", 0)) == 1,
        "offset": int(number("header offset", 0)),
        "nodata": nodata,
    }


def as_float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def convert(source, output, warn=lambda message: print(message, file=sys.stderr)):
    header = header_path(source)
    with open(header, encoding="latin-1") as hdr:
        text = hdr.read()
    grid = read_envi(text) if text.startswith("ENVI") else read_ehdr(text)
    ncols, nrows = grid["ncols"], grid["nrows"]
    if ncols <= 0 or nrows <= 0:
        raise SourceError("the grid has no cells")
    if max(ncols, nrows) > LARGEST_EXACT_COUNT:
        raise SourceError(f"more than {LARGEST_EXACT_COUNT} columns or rows: a float32 header "
                          "can't hold that count exactly; use a text grid")

    geometry = [grid["xll"], grid["yll"], grid["cellsize"]]
    if any(as_float32(v) != v for v in geometry):
        warn(
            "note: corner or cell size is not exact in float32; only grids converted the same "
            "way will have the same geometry"
        )
    nodata = grid["nodata"]
    nodata32 = as_float32(nodata) if nodata is not None and not math.isnan(nodata) else None
    swap = grid["big_endian"] != (sys.byteorder == "big")
    swap_out = sys.byteorder == "big"

    data_file = data_path(header, source)
    if os.path.exists(output) and any(os.path.samefile(output, f) for f in (header, data_file)):
        raise SourceError(f"{output} is the source itself")

    not_counted = 0  # real values at or below -9999, which zonalstats skips
    with open(data_file, "rb") as data:
        data.seek(grid["offset"])
        try:
            with open(output, "wb") as out:
                out.write(struct.pack("<12f", ncols, nrows, *geometry, MISSING, 0, 0, 0, 0, 0, 0))
                for row in range(nrows):
                    raw = data.read(4 * ncols)
                    if len(raw) != 4 * ncols:
                        raise SourceError(f"the data file ends in row {row + 1} of {nrows}")
                    cells = array.array("f", raw)
                    if swap:
                        cells.byteswap()
                    for i, value in enumerate(cells):
                        if value != value or value == nodata32:  # NaN is unequal to itself
                            cells[i] = MISSING
                        elif value <= MISSING:
                            not_counted += 1
                    if swap_out:
                        cells.byteswap()
                    out.write(cells.tobytes())
        except BaseException:
            # Half a grid is of no use: leave none behind.
            if os.path.exists(output):
                os.remove(output)
            raise
    if not_counted:
        warn(
            f"warning: {not_counted} cells hold values at or below -9999 that are not no-data "
            "in the source; zonalstats will not count them"
        )


def main(argv):
    if len(argv) != 3:
        print("usage: raw_to_single.py SOURCE OUTPUT", file=sys.stderr)
        return 2
    try:
        convert(argv[1], argv[2])
    except (OSError, SourceError) as error:
        print(f"raw_to_single: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
