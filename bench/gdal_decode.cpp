// The floor for GDAL rasters: GDAL alone decoding band 1 of each raster on one thread, block row
// by block row, into float64 cells, as the tool asks for them, and nothing else. A GDAL raster run
// can't cost much less.
//
//   zonalstats_gdal_decode RASTER...
#include <cstdint>
#include <cstdio>
#include <vector>

#include <cpl_conv.h>
#include <gdal.h>

int main(int argc, char **argv) {
    GDALAllRegister();
    GDALSetCacheMax64(std::int64_t{64} << 20);
    double checksum = 0;
    for (int i = 1; i < argc; ++i) {
        GDALDatasetH dataset = GDALOpen(argv[i], GA_ReadOnly);
        if (dataset == nullptr) {
            std::fprintf(stderr, "zonalstats_gdal_decode: cannot open %s\n", argv[i]);
            return 1;
        }
        GDALRasterBandH band = GDALGetRasterBand(dataset, 1);
        const int columns = GDALGetRasterXSize(dataset);
        const int rows = GDALGetRasterYSize(dataset);
        int block_columns = 0;
        int block_rows = 0;
        GDALGetBlockSize(band, &block_columns, &block_rows);
        std::vector<double> cells(static_cast<std::size_t>(columns) *
                                  static_cast<std::size_t>(block_rows));
        for (int row = 0; row < rows; row += block_rows) {
            const int band_rows = row + block_rows <= rows ? block_rows : rows - row;
            if (GDALRasterIO(band, GF_Read, 0, row, columns, band_rows, cells.data(), columns,
                             band_rows, GDT_Float64, 0, 0) != CE_None) {
                std::fprintf(stderr, "zonalstats_gdal_decode: cannot read %s\n", argv[i]);
                return 1;
            }
            checksum += cells[0];
        }
        GDALClose(dataset);
    }
    std::printf("checksum %.17g\n", checksum);
    return 0;
}
