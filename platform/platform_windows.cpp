#include "platform/platform.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include <io.h>
#include <windows.h>

namespace {

// The handle behind a C runtime descriptor; INVALID_HANDLE_VALUE where there is none.
HANDLE descriptor_handle(int fd) noexcept {
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// A standard handle counts as open only where it names something: a process started without
// one has a null or invalid handle, whose file type is unknown with an error set.
bool is_usable_handle(HANDLE handle) noexcept {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    SetLastError(NO_ERROR);
    return GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

// Whether two handles refer to one file: the volume's serial number and the file's ID on it
// tell, as device and inode do elsewhere. The 128-bit IDs (Windows 8 on) are asked first: they
// need no access right on the handle, and standard output may be open for writing only. The
// older 64-bit file index is taken only when a handle can't give them, for both handles, as the
// two kinds of serial number differ.
bool is_same_file_handle(HANDLE a, HANDLE b) noexcept {
    if (GetFileType(a) != FILE_TYPE_DISK || GetFileType(b) != FILE_TYPE_DISK) return false;
    FILE_ID_INFO a_id{};
    FILE_ID_INFO b_id{};
    if (GetFileInformationByHandleEx(a, FileIdInfo, &a_id, sizeof a_id) &&
        GetFileInformationByHandleEx(b, FileIdInfo, &b_id, sizeof b_id)) {
        // Wine gives the handles it makes of inherited Unix descriptors volume 0: a volume it
        // does not know, not another one.
        return (a_id.VolumeSerialNumber == b_id.VolumeSerialNumber ||
                a_id.VolumeSerialNumber == 0 || b_id.VolumeSerialNumber == 0) &&
               std::memcmp(&a_id.FileId, &b_id.FileId, sizeof a_id.FileId) == 0;
    }
    BY_HANDLE_FILE_INFORMATION a_info{};
    BY_HANDLE_FILE_INFORMATION b_info{};
    return GetFileInformationByHandle(a, &a_info) && GetFileInformationByHandle(b, &b_info) &&
           a_info.dwVolumeSerialNumber == b_info.dwVolumeSerialNumber &&
           a_info.nFileIndexHigh == b_info.nFileIndexHigh &&
           a_info.nFileIndexLow == b_info.nFileIndexLow;
}

} // namespace

void open_closed_standard_streams() noexcept {
    struct standard_stream {
        DWORD handle_id;
        std::FILE *stream;
        const char *mode;
    };
    const standard_stream standard[] = {{STD_INPUT_HANDLE, stdin, "r"},
                                        {STD_OUTPUT_HANDLE, stdout, "w"},
                                        {STD_ERROR_HANDLE, stderr, "w"}};
    for (int fd = 0; fd <= 2; ++fd) {
        const standard_stream &s = standard[fd];
        if (is_usable_handle(GetStdHandle(s.handle_id)) && _fileno(s.stream) == fd) continue;
        // A C runtime that gave the stream no descriptor at all (-2) may refuse to reopen it
        // (wine's does): then its reads end at once and its writes fail, and no file the run
        // opens can be reached through it.
        if (std::freopen("NUL", s.mode, s.stream) == nullptr) continue;
        // The open took the lowest free descriptor: fd, as the ones below it are open by now.
        const int opened = _fileno(s.stream);
        if (opened != fd && opened >= 0) _dup2(opened, fd);
        SetStdHandle(s.handle_id, descriptor_handle(fd));
    }
}

bool is_same_file(const std::string &a, const std::string &b) {
    std::error_code error;
    return std::filesystem::equivalent(a, b, error) && !error;
}

bool is_standard_output_file(const std::string &name) noexcept {
    const HANDLE out = descriptor_handle(_fileno(stdout));
    if (GetFileType(out) != FILE_TYPE_DISK) return false;
    // Opened for no access at all: only to learn which file the name refers to.
    const HANDLE named =
        CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    const bool same = is_same_file_handle(out, named);
    CloseHandle(named);
    return same;
}

bool is_regular_file(std::FILE *file) noexcept {
    return GetFileType(descriptor_handle(_fileno(file))) == FILE_TYPE_DISK;
}

// ReadFile with an offset on a handle opened for ordinary (not overlapped) input reads at that
// offset from any thread, but leaves the handle's file position behind the bytes it read: a
// stream read at offsets is not read one byte after another as well.
std::size_t read_file_at(std::FILE *file, std::uint64_t offset, char *into,
                         std::size_t size) noexcept {
    const HANDLE handle = descriptor_handle(_fileno(file));
    std::size_t done = 0;
    while (done < size) {
        const std::uint64_t at = offset + done;
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
        DWORD got = 0;
        // Past the end of the file ReadFile fails with ERROR_HANDLE_EOF: that ends it too.
        if (!ReadFile(handle, into + done, wanted, &got, &where) || got == 0) break;
        done += got;
    }
    return done;
}

unsigned usable_cpu_count() noexcept {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        const int count = std::popcount(static_cast<std::uint64_t>(process));
        if (count > 0) return static_cast<unsigned>(count);
    }
    const unsigned online = std::thread::hardware_concurrency();
    return online > 0 ? online : 1;
}

void *open_shared_library(const char *name) noexcept {
    // The current folder leaves the search, so that a DLL of that name beside the grids is not
    // loaded; the tool's own folder, the system's and PATH (where OSGeo4W puts its bin folder)
    // stay.
    SetDllDirectoryA("");
    // A library that can't be loaded must not open a dialog box on a console run.
    DWORD previous_mode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous_mode);
    const HMODULE library = LoadLibraryA(name);
    SetThreadErrorMode(previous_mode, nullptr);
    return reinterpret_cast<void *>(library);
}

void *shared_library_symbol(void *library, const char *name) noexcept {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}
