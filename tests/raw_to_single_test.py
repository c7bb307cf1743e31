#!/usr/bin/env python3
"""tools/raw_to_single.py on GDAL's EHdr and ENVI exports of the coast fixture: each converted
grid, run through the tool, must give the same figures as GDAL's text export of the same raster.

Needs the environment variable ZONALSTATS, the path of the built tool.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "fixtures", "gdal")
SCRIPT = os.path.join(HERE, "..", "tools", "raw_to_single.py")


def figures(folder, grid):
    """The report for grid with the fixture's zones, without its title line."""
    result = subprocess.run(
        [os.environ["ZONALSTATS"], grid, "zones.asc", "report.txt"],
        cwd=folder,
        stdout=subprocess.PIPE,
        stdin=subprocess.DEVNULL,
        check=False,
    )
    if result.returncode != 0:
        raise AssertionError(f"zonalstats {grid}: exit {result.returncode}\n{result.stdout}")
    with open(os.path.join(folder, "report.txt"), encoding="ascii") as report:
        return report.read().split("\n", 1)[1]


def swap_bytes(path):
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(b"".join(data[i : i + 4][::-1] for i in range(0, len(data), 4)))


def edit(path, old, new):
    with open(path, encoding="latin-1") as f:
        text = f.read()
    if old not in text:
        raise AssertionError(f"{old!r} not in {path}")
    with open(path, "w", encoding="latin-1") as f:
        f.write(text.replace(old, new))


def big_endian_ehdr(folder):
    swap_bytes(os.path.join(folder, "heights_ehdr.bil"))
    edit(os.path.join(folder, "heights_ehdr.hdr"), "BYTEORDER      I", "BYTEORDER      M")


def big_endian_envi(folder):
    swap_bytes(os.path.join(folder, "heights_envi.img"))
    edit(os.path.join(folder, "heights_envi.hdr"), "byte order = 0", "byte order = 1")


def without_nodata_line(folder):
    edit(os.path.join(folder, "heights_ehdr.hdr"), "NODATA         -9999\n", "")


def envi_header_beside_data(folder):
    # ENVI's own naming: heights_envi.img with heights_envi.img.hdr.
    os.rename(
        os.path.join(folder, "heights_envi.hdr"), os.path.join(folder, "heights_envi.img.hdr")
    )


class RawToSingle(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="raw-to-single-")
        self.addCleanup(shutil.rmtree, self.folder)
        for name in os.listdir(FIXTURES):
            shutil.copy(os.path.join(FIXTURES, name), self.folder)

    def convert(self, source):
        return subprocess.run(
            [sys.executable, SCRIPT, source, "converted.single"],
            cwd=self.folder,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            check=False,
        )

    def test_exports_give_the_figures_of_the_text_export(self):
        expected = figures(self.folder, "heights_float32.asc")
        no_warning = ""
        cases = [
            # (name, source to convert, change made to the fixtures first, stderr expected)
            ("EHdr", "heights_ehdr.bil", None, no_warning),
            ("EHdr named by its .hdr", "heights_ehdr.hdr", None, no_warning),
            ("EHdr big-endian", "heights_ehdr.bil", big_endian_ehdr, no_warning),
            ("EHdr no-data 32767 rewritten", "heights_nodata32767.bil", None, no_warning),
            ("EHdr without no-data", "heights_ehdr.bil", without_nodata_line, "2 cells"),
            ("ENVI", "heights_envi.img", None, no_warning),
            ("ENVI big-endian", "heights_envi.img", big_endian_envi, no_warning),
            ("ENVI no-data NaN rewritten", "heights_nan_envi.img", None, no_warning),
            ("ENVI header named data.hdr", "heights_envi.img", envi_header_beside_data, no_warning),
        ]
        for name, source, change, warning in cases:
            with self.subTest(name):
                self.setUp()
                if change:
                    change(self.folder)
                result = self.convert(source)
                self.assertEqual(result.returncode, 0, result.stderr)
                if warning:
                    self.assertIn(warning, result.stderr)
                else:
                    self.assertEqual(result.stderr, "")
                self.assertEqual(figures(self.folder, "converted.single"), expected)

    def test_cell_sizes_equal_to_a_relative_1e10_count_as_square(self):
        # GDAL writes 15 significant digits, so the sizes of square cells can differ in the last
        # one. The x size is written: where only that one is not exact in float32, the script
        # notes it; where only the y size is not, it says nothing.
        expected = figures(self.folder, "heights_float32.asc")
        ehdr = ("heights_ehdr.bil", "heights_ehdr.hdr")
        envi = ("heights_envi.img", "heights_envi.hdr")
        cases = [
            # (name, source and header, text replaced, by, part of stderr or "" for none)
            ("EHdr YDIM a step up in the 15th digit", ehdr, "YDIM           3711",
             "YDIM 3711.0000000000005", ""),
            ("EHdr YDIM 1e-11 down", ehdr, "YDIM           3711", "YDIM 3710.99999996", ""),
            ("EHdr XDIM 1e-11 up, x size written", ehdr, "XDIM           3711",
             "XDIM 3711.00000004", "not exact in float32"),
            ("ENVI y size a step up in the 15th digit", envi, "3711, 3711}",
             "3711, 3711.0000000000005}", ""),
            ("ENVI x size 1e-11 up, x size written", envi, "3711, 3711}",
             "3711.00000004, 3711}", "not exact in float32"),
        ]
        for name, (source, header), old, new, message in cases:
            with self.subTest(name):
                self.setUp()
                edit(os.path.join(self.folder, header), old, new)
                result = self.convert(source)
                self.assertEqual(result.returncode, 0, result.stderr)
                if message:
                    self.assertIn(message, result.stderr)
                else:
                    self.assertEqual(result.stderr, "")
                self.assertEqual(figures(self.folder, "converted.single"), expected)

    def test_degree_cells_as_gdalwarp_ts_writes_them(self):
        edit(os.path.join(self.folder, "heights_ehdr.hdr"),
             "XDIM           3711\nYDIM           3711",
             "XDIM 0.00833333333333334\nYDIM 0.00833333333333333")
        result = self.convert("heights_ehdr.bil")
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(self.folder, "converted.single"), "rb") as f:
            header = struct.unpack("<12f", f.read(48))
        self.assertEqual(header[4], struct.unpack("<f", struct.pack("<f", 0.00833333333333334))[0])

    def test_the_header_holds_the_lower_left_corner(self):
        self.assertEqual(self.convert("heights_ehdr.bil").returncode, 0)
        with open(os.path.join(self.folder, "converted.single"), "rb") as f:
            data = f.read()
        self.assertEqual(len(data), 48 + 4 * 7 * 5)
        self.assertEqual(
            struct.unpack("<12f", data[:48]),
            (7, 5, -14000276, 6274718, 3711, -9999, 0, 0, 0, 0, 0, 0),
        )

    def test_sources_it_cannot_convert_are_refused(self):
        cases = [
            # (source, file, text replaced, by, message expected)
            ("heights_ehdr.bil", "heights_ehdr.hdr", "YDIM           3711", "YDIM 1855.5",
             "not square"),
            # 2.7e-10 apart: more than GDAL's rounding of a size, refused as before
            ("heights_ehdr.bil", "heights_ehdr.hdr", "YDIM           3711", "YDIM 3711.000001",
             "not square"),
            ("heights_envi.img", "heights_envi.hdr", "3711, 3711}", "3711, 3711.000001}",
             "not square"),
            ("heights_ehdr.bil", "heights_ehdr.hdr", "NBITS          32", "NBITS 16",
             "not float32"),
            ("heights_ehdr.bil", "heights_ehdr.hdr", "NBANDS         1", "NBANDS 2", "one band"),
            ("heights_ehdr.bil", "heights_ehdr.hdr", "ULXMAP         -13998420.5\n", "",
             "no ULXMAP"),
            ("heights_envi.img", "heights_envi.hdr", "data type = 4", "data type = 2",
             "not float32"),
            ("heights_envi.img", "heights_envi.hdr", "3711, 3711}", "3711, 3711, rotation=30}",
             "rotated"),
            ("heights_envi.img", "heights_envi.hdr", "lines   = 5", "lines   = 6",
             "ends in row 6 of 6"),
            ("heights_envi.img", "heights_envi.hdr", "samples = 7", "samples = 16777217",
             "float32 header"),
        ]
        for source, header, old, new, message in cases:
            with self.subTest(f"{header}: {new}"):
                self.setUp()
                edit(os.path.join(self.folder, header), old, new)
                result = self.convert(source)
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, result.stderr)
                self.assertNotIn("Traceback", result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.folder, "converted.single")))

    def test_the_source_is_never_overwritten(self):
        for source, target in [("heights_ehdr.bil", "heights_ehdr.bil"),
                               ("heights_ehdr.bil", "./heights_ehdr.hdr"),
                               ("heights_envi.hdr", "heights_envi.img")]:
            with self.subTest(f"{source} to {target}"):
                before = {}
                for name in ("heights_ehdr.bil", "heights_ehdr.hdr", "heights_envi.img"):
                    with open(os.path.join(self.folder, name), "rb") as f:
                        before[name] = f.read()
                result = subprocess.run(
                    [sys.executable, SCRIPT, source, target], cwd=self.folder,
                    stderr=subprocess.PIPE, text=True, check=False)
                self.assertEqual(result.returncode, 1)
                self.assertIn("is the source itself", result.stderr)
                for name, content in before.items():
                    with open(os.path.join(self.folder, name), "rb") as f:
                        self.assertEqual(f.read(), content, name)


if __name__ == "__main__":
    unittest.main()
