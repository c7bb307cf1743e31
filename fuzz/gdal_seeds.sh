#!/usr/bin/env bash
# Makes the seed corpus of the gdal_run target, fuzz/corpus/gdal_run/, with GDAL's own tools
# (Debian: gdal-bin): small GeoTIFFs, most of 20 x 18 cells, in the layouts, compressions and
# types GDAL writes, each a few KiB at most. The corpus is committed; run this only to remake it, and
# check that the replay test passes on it (ctest -R fuzz_corpus.gdal_run) before committing.
set -euo pipefail
cd "$(dirname "$0")"
out=corpus/gdal_run
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Values from -3 to 9 with a no-data value of -9999 here and there; as floats with halves too.
python3 - "$work" <<'EOF'
import sys
ncols, nrows = 20, 18
head = (f"ncols {ncols}\nnrows {nrows}\nxllcorner 0.1\nyllcorner 0.1\ncellsize 0.1\n"
        "NODATA_value -9999\n")
def grid(cell):
    return head + "\n".join(" ".join(cell(r, c) for c in range(ncols)) for r in range(nrows)) + "\n"
def whole(r, c):
    return "-9999" if (r * 7 + c) % 23 == 0 else str((r + 2 * c) % 13 - 3)
def real(r, c):
    return whole(r, c) if (r + c) % 3 else str((r + 2 * c) % 13 - 3 + 0.5)
with open(f"{sys.argv[1]}/whole.asc", "w") as f:
    f.write(grid(whole))
with open(f"{sys.argv[1]}/real.asc", "w") as f:
    f.write(grid(real))
# The first 16 x 16 tile all no-data: a sparse file leaves it out.
with open(f"{sys.argv[1]}/sparse.asc", "w") as f:
    f.write(grid(lambda r, c: "-9999" if r < 16 and c < 16 else whole(r, c)))
EOF

make() {
    local name=$1 source=$2
    shift 2
    gdal_translate -q "$@" "$work/$source" "$work/$name.tif"
    cp "$work/$name.tif" "$out/$name"
}

rm -rf "$out"
mkdir -p "$out"
make strip-float32 real.asc -ot Float32
make strip-float64-deflate real.asc -ot Float64 -co COMPRESS=DEFLATE -co PREDICTOR=3
make strip-int16-lzw whole.asc -ot Int16 -co COMPRESS=LZW -co PREDICTOR=2
make single-strip-int32 whole.asc -ot Int32 -co BLOCKYSIZE=18
make single-strip-deflate whole.asc -ot Int16 -co BLOCKYSIZE=18 -co COMPRESS=DEFLATE
make rows-of-5-uint16 whole.asc -ot UInt16 -a_nodata 0 -co BLOCKYSIZE=5
make tiled-float32-deflate real.asc -ot Float32 -co TILED=YES -co BLOCKXSIZE=16 \
    -co BLOCKYSIZE=16 -co COMPRESS=DEFLATE
make tiled-int16-packbits whole.asc -ot Int16 -co TILED=YES -co BLOCKXSIZE=16 \
    -co BLOCKYSIZE=16 -co COMPRESS=PACKBITS
make tiled-uint32 whole.asc -ot UInt32 -a_nodata none -co TILED=YES -co BLOCKXSIZE=16 \
    -co BLOCKYSIZE=16
make byte-no-nodata whole.asc -ot Byte -a_nodata none
make byte-nodata-0 whole.asc -ot Byte -a_nodata 0
make signed-byte whole.asc -ot Byte -a_nodata none -co PIXELTYPE=SIGNEDBYTE
make sparse-tiled sparse.asc -ot Int16 -co TILED=YES -co BLOCKXSIZE=16 -co BLOCKYSIZE=16 \
    -co SPARSE_OK=TRUE
# The no-data cells as NaN, and NaN the no-data value.
gdalwarp -q -ot Float32 -srcnodata -9999 -dstnodata nan "$work/real.asc" "$work/nan.tif"
make float32-nan-nodata nan.tif
make float64-big-endian real.asc -ot Float64 -co ENDIANNESS=BIG
make bigtiff-int16 whole.asc -ot Int16 -co BIGTIFF=YES
make cint16 whole.asc -ot CInt16
# Two bands, of which band 1 is read: apart and pixel by pixel.
gdalbuildvrt -q -separate "$work/two.vrt" "$work/strip-int16-lzw.tif" "$work/strip-float32.tif"
make two-bands-separate two.vrt -ot Float32 -co INTERLEAVE=BAND
make two-bands-interleaved two.vrt -ot Float32 -co INTERLEAVE=PIXEL -co COMPRESS=DEFLATE
# Block rows of more than 256K cells, which the tool reads whole and cuts into cell blocks,
# with GDAL decoding on several threads.
make wide-single-strip whole.asc -ot Byte -outsize 640 576 -r nearest -co BLOCKYSIZE=576 \
    -co COMPRESS=DEFLATE
make wide-tiles whole.asc -ot Byte -outsize 1020 918 -r nearest -co TILED=YES \
    -co BLOCKXSIZE=512 -co BLOCKYSIZE=512 -co COMPRESS=DEFLATE
# No-data as an internal mask band rather than a value.
make internal-mask whole.asc -ot Int16 -a_nodata none -mask 1 \
    --config GDAL_TIFF_INTERNAL_MASK YES
ls -l "$out"
