// What GDAL may open for the tool, internal to grid/ (gdal_raster.cpp uses it).
//
// A raster is read from the files its name reaches and from nothing else: no memory of the
// process (MEM:::), no FIFO, device or standard input (those wait for ever or never end), no
// network connection that a file's content asks for. The rules:
// - the drivers that open memory or network services are not registered;
// - a GDAL virtual path on the command line may be an archive (/vsizip/, /vsigzip/, /vsitar/,
//   /vsi7z/, /vsirar/), /vsisubfile/ or a network path (/vsicurl/, /vsis3/ ...); the local file
//   at its bottom must be a regular file. Other virtual paths are refused;
// - a network path is read only where the name the user gave is that path: the content of a
//   file never opens a connection, and connections time out;
// - a VRT is checked before GDAL opens it: each of its sources must be a regular file (a VRT
//   checked the same way), and raw bands (VRTRawRasterBand) are refused;
// - every file of the opened raster, as GDAL lists them, must be a regular file or folder;
// - complex cells are refused: they have no order.
#pragma once

#include <string>
#include <vector>

#include <gdal.h>

#include "platform/platform.h"

// Resolves the functions the checks use and gives GDAL its settings: called once, after
// libgdal is loaded and before its drivers are registered. False where the library lacks one
// of them.
bool prepare_gdal_access(void *library) noexcept;

// One file a raster reads, as GDAL lists it; where it is (or lies in) a local file, that file's
// identity, so that a raster opened again can be held against the first.
struct raster_file {
    std::string name;
    bool local = false;
    file_identity identity;
    bool operator==(const raster_file &) const = default;
};

enum class raster_access {
    opened,
    not_opened,    // GDAL doesn't take the name
    refused,       // the name, or a file it reaches, is one the tool does not read
    complex_values // the band to be read holds complex numbers
};

// Opens the named raster, read-only, after the checks above; on `opened`, `files` lists its
// files. `band` is the band to be read (one the raster lacks is no complex one). Any thread.
// Throws std::bad_alloc when memory runs out.
raster_access open_raster_dataset(const std::string &name, GDALDatasetH &dataset,
                                  std::vector<raster_file> &files, int band = 1);
