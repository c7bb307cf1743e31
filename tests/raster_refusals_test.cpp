// What a raster read through GDAL must not reach, end to end: the process's memory, FIFOs,
// devices and standard input (through a VRT, an archive path or a data file a header names),
// the network where no name on the command line asks for it, complex cells; a network server
// that never answers; and a raster replaced while the run waits at a prompt. The rasters are
// made at test time with GDAL's command line tools or written as VRT XML.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::banner;
using test_support::read_file;
using test_support::run_tool;
using test_support::write_file;

const fs::path source_dir = ZONALSTATS_SOURCE_DIR;

std::string unknown_format(const std::string &name) {
    return "could not recognise file format (ascii, single or double) for " + name + "\n";
}

// A 7 x 5 VRT on the geometry of heights.tif and zones.asc, with the band given.
std::string vrt(const std::string &band) {
    return "<VRTDataset rasterXSize=\"7\" rasterYSize=\"5\">\n"
           "  <GeoTransform>-14000276, 3711, 0, 6293273, 0, -3711</GeoTransform>\n" +
           band + "</VRTDataset>\n";
}

std::string simple_source(const std::string &source, bool relative = true) {
    return "  <VRTRasterBand dataType=\"Float32\" band=\"1\"><SimpleSource>\n"
           "    <SourceFilename relativeToVRT=\"" +
           std::string(relative ? "1" : "0") + "\">" + source +
           "</SourceFilename>\n"
           "    <SourceBand>1</SourceBand></SimpleSource></VRTRasterBand>\n";
}

std::string raw_band(const std::string &file) {
    return "  <VRTRasterBand dataType=\"Byte\" band=\"1\" subClass=\"VRTRawRasterBand\">\n"
           "    <SourceFilename relativeToVRT=\"0\">" +
           file +
           "</SourceFilename>\n"
           "    <ImageOffset>0</ImageOffset><PixelOffset>1</PixelOffset>"
           "<LineOffset>7</LineOffset>\n"
           "  </VRTRasterBand>\n";
}

// A socket on 127.0.0.1 that takes connections (the system completes them) and never answers.
struct silent_server {
    int fd = -1;
    int port = 0;
    silent_server() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
            listen(fd, 64) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
            ADD_FAILURE() << "no socket to listen on";
            return;
        }
        port = ntohs(address.sin_port);
        fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    ~silent_server() {
        if (fd >= 0) close(fd);
    }
    std::string url(const std::string &file) const {
        return "/vsicurl/http://127.0.0.1:" + std::to_string(port) + "/" + file;
    }
    // The connections made since the last call.
    int connections() const {
        int count = 0;
        for (int taken; (taken = accept(fd, nullptr, nullptr)) >= 0; ++count)
            close(taken);
        return count;
    }
};

// Sets an environment variable for the runs of one scope, or clears it (value nullptr).
struct scoped_environment {
    std::string name;
    std::string before;
    bool was_set;
    scoped_environment(const char *variable, const char *value) : name(variable) {
        const char *old = std::getenv(variable);
        was_set = old != nullptr;
        if (was_set) before = old;
        if (value != nullptr)
            setenv(variable, value, 1);
        else
            unsetenv(variable);
    }
    ~scoped_environment() {
        if (was_set)
            setenv(name.c_str(), before.c_str(), 1);
        else
            unsetenv(name.c_str());
    }
};

class RasterRefusals : public test_support::scratch_test {
  protected:
    void SetUp() override {
        scratch_test::SetUp();
        ZONALSTATS_SKIP_ON_WINDOWS("the Windows build reads no GDAL raster");
        if (!ZONALSTATS_WITH_GDAL) GTEST_SKIP() << "the build reads no GDAL raster";
        for (const char *name : {"heights_float32.asc", "zones.asc", "heights.tif"})
            fs::copy_file(source_dir / "tests/fixtures/gdal" / name, dir / name);
    }

    bool tools_installed() { return std::system("command -v gdal_translate >/dev/null 2>&1") == 0; }

    void gdal(const std::string &command) {
        const std::string line = "cd '" + dir.string() + "' && " + command + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(line.c_str()), 0) << command;
    }

    // The run on input and zones.asc, at every thread count, against the console it must give
    // behind the banner; GDAL must not speak on standard error.
    void expect_refusal(const std::string &input, const std::string &console,
                        const std::string &standard_input = "") {
        SCOPED_TRACE(input);
        test_support::run_options options;
        options.capture_errors = true;
        options.input = standard_input;
        options.deadline_seconds = 20;
        const auto run = run_tool(dir, {input, "zones.asc", "report.txt"}, options);
        EXPECT_EQ(run.exit_code, 98);
        EXPECT_EQ(run.console, banner + console);
        EXPECT_EQ(run.errors, "");
    }
};

TEST_F(RasterRefusals, NothingButFilesIsRead) {
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(path("fifo.gz").c_str(), 0600), 0);
    fs::create_directory(dir / "sub");
    // Memory at an address no process maps: read, it would end the run on a signal.
    const std::string memory = "MEM:::DATAPOINTER=0x10,PIXELS=7,LINES=5,DATATYPE=Byte";
    write_file(path("memory.vrt"), vrt(simple_source(memory, false)));
    write_file(path("sub/fifo.vrt"), vrt(simple_source("../fifo")));
    for (const char *device : {"/dev/stdin", "/dev/urandom", "/etc/passwd"})
        write_file(path(std::string("raw_") + fs::path(device).filename().string() + ".vrt"),
                   vrt(raw_band(device)));
    // A VRT whose source is a VRT with a raw band.
    write_file(path("nested.vrt"), vrt(simple_source("raw_passwd.vrt")));
    // A header whose data file, named in it, is a device: the VRT check can't see this one.
    write_file(path("zero.ers"),
               "DatasetHeader Begin\n\tVersion = \"6.0\"\n\tDataSetType = ERStorage\n"
               "\tDataType = Raster\n\tByteOrder = LSBFirst\n"
               "\tDataFile = \"../../../../../../../../../../../../dev/zero\"\n"
               "\tCoordinateSpace Begin\n\t\tDatum = \"RAW\"\n\t\tProjection = \"RAW\"\n"
               "\t\tCoordinateType = EN\n\tCoordinateSpace End\n"
               "\tRasterInfo Begin\n\t\tCellType = Unsigned8BitInteger\n"
               "\t\tCellInfo Begin\n\t\t\tXdimension = 3711\n\t\t\tYdimension = 3711\n"
               "\t\tCellInfo End\n\t\tNrOfLines = 5\n\t\tNrOfCellsPerLine = 7\n"
               "\t\tRegistrationCoord Begin\n\t\t\tEastings = -14000276\n"
               "\t\t\tNorthings = 6293273\n\t\tRegistrationCoord End\n"
               "\t\tNrOfBands = 1\n\tRasterInfo End\nDatasetHeader End\n");
    // Standard input holds a raster GDAL reads (the native reader takes no upper-case
    // keywords), so that a run that reads it gets through.
    std::string upper = read_file(path("zones.asc"));
    for (const auto &[lower, capitals] : {std::pair{"ncols", "NCOLS"}, {"nrows", "NROWS"}})
        upper.replace(upper.find(lower), std::string(lower).size(), capitals);

    for (const std::string &input :
         {memory, std::string("memory.vrt"), std::string("sub/fifo.vrt"),
          std::string("/vsigzip/fifo.gz"), std::string("raw_stdin.vrt"),
          std::string("raw_urandom.vrt"), std::string("raw_passwd.vrt"), std::string("nested.vrt"),
          std::string("zero.ers"), std::string("/vsistdin/")})
        expect_refusal(input, unknown_format(input), upper);
    // The same sources that are regular files are read.
    fs::copy_file(dir / "heights.tif", dir / "sub/heights.tif");
    write_file(path("sub/plain.vrt"), vrt(simple_source("heights.tif")));
    write_file(path("outer.vrt"), vrt(simple_source("sub/plain.vrt")));
    const auto run = run_tool(dir, {"outer.vrt", "zones.asc", "report.txt"});
    EXPECT_EQ(run.exit_code, 0) << run.console;
}

TEST_F(RasterRefusals, ComplexCellsHaveNoOrder) {
    if (!tools_installed()) GTEST_SKIP() << "needs GDAL's tools (Debian: gdal-bin)";
    for (const std::string type : {"CInt16", "CInt32", "CFloat32", "CFloat64"}) {
        const std::string name = "complex_" + type + ".tif";
        gdal("gdal_translate -q -ot " + type + " heights.tif " + name);
        expect_refusal(name, name + " holds complex values, which have no minimum or maximum: the "
                                    "statistics need real ones\n");
    }
}

TEST_F(RasterRefusals, NetworkOnlyWhereTheCommandLineNamesIt) {
    const silent_server server;
    const scoped_environment timeout("GDAL_HTTP_TIMEOUT", "1");
    const scoped_environment connect("GDAL_HTTP_CONNECTTIMEOUT", "1");
    // Named in a VRT, also in one named on the command line as a network path.
    write_file(path("network.vrt"), vrt(simple_source(server.url("heights.tif"), false)));
    expect_refusal("network.vrt", unknown_format("network.vrt"));
    EXPECT_EQ(server.connections(), 0) << "a file's content made a connection";
    // Named on the command line: asked for, and given up when the server does not answer
    // within the time the environment sets.
    const auto start = std::chrono::steady_clock::now();
    expect_refusal(server.url("heights.tif"),
                   "could not open input file " + server.url("heights.tif") + "\n");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(server.connections(), 4) << "one run or more made no connection";
    EXPECT_LT(seconds, 40) << "the environment's timeouts were not taken";
}

// Without timeouts in the environment the tool's own end the wait: a minute for an answer.
TEST_F(RasterRefusals, AServerThatNeverAnswersTimesOutByDefault) {
    const silent_server server;
    const scoped_environment timeout("GDAL_HTTP_TIMEOUT", nullptr);
    const scoped_environment connect("GDAL_HTTP_CONNECTTIMEOUT", nullptr);
    const scoped_environment retries("GDAL_HTTP_MAX_RETRY", nullptr);
    test_support::run_options options;
    options.threads = {1};
    options.deadline_seconds = 240;
    const std::string url = server.url("heights.tif");
    const auto run = run_tool(dir, {url, "zones.asc", "report.txt"}, options);
    EXPECT_EQ(run.exit_code, 98);
    EXPECT_EQ(run.console, banner + "could not open input file " + url + "\n");
}

// The raster is opened before the report's prompt and read after it: a raster put in its
// place meanwhile, of another size, is not the one read.
TEST_F(RasterRefusals, ARasterReplacedAtThePromptIsNotRead) {
    if (!tools_installed()) GTEST_SKIP() << "needs GDAL's tools (Debian: gdal-bin)";
    for (const char *name : {"topobathy.asc", "bands.asc"})
        fs::copy_file(source_dir / "examples" / name, dir / name);
    struct replaced {
        std::string what;
        std::string creation; // of the raster and of its replacement
        std::string size;
        std::string other_size;
    } cases[] = {
        // Cell blocks read by several threads, each through a handle of its own.
        {"strips", "", "1200 910", "1300 910"},
        // Block rows read whole, with GDAL decoding on several threads: opened again for it.
        {"wide tiles", "-co TILED=YES -co COMPRESS=DEFLATE", "1200 910", "1300 910"},
    };
    for (const replaced &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string translate = "gdal_translate -q -r nearest -ot Float32 " + c.creation;
        gdal(translate + " -outsize " + c.size + " topobathy.asc original.tif");
        gdal(translate + " -outsize " + c.other_size + " topobathy.asc other.tif");
        gdal("gdal_translate -q -r nearest -ot Int16 -outsize " + c.size +
             " bands.asc band_zones.tif");
        for (const unsigned threads : test_support::thread_counts) {
            SCOPED_TRACE(std::to_string(threads) + " threads");
            fs::copy_file(dir / "original.tif", dir / "in.tif",
                          fs::copy_options::overwrite_existing);
            test_support::run_options options;
            options.threads = {threads};
            const auto expected =
                run_tool(dir, {"in.tif", "band_zones.tif", "expected.txt"}, options);
            ASSERT_EQ(expected.exit_code, 0) << expected.console;
            // The report can't be created in a missing folder: the tool asks for another
            // name, and the raster is replaced before the answer.
            fs::copy_file(dir / "other.tif", dir / "next.tif",
                          fs::copy_options::overwrite_existing);
            fs::remove(dir / "report.txt");
            fs::remove(dir / "console.txt"); // the prompt of the run before must not count
            const std::string line =
                "cd '" + dir.string() +
                "' && ( until grep -q 'please enter file' console.txt 2>/dev/null; do sleep "
                "0.01; done; mv next.tif in.tif; echo report.txt ) | timeout 60 '" +
                ZONALSTATS_BINARY + "' --threads=" + std::to_string(threads) +
                " in.tif band_zones.tif missing/report.txt > console.txt";
            const int status = std::system(line.c_str());
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(path("console.txt"));
            EXPECT_EQ(read_file(path("report.txt")), read_file(path("expected.txt")));
        }
    }
}

} // namespace
