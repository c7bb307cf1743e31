#include "platform/platform.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
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

// The temporary file the console's Ctrl-C, Ctrl-Break or closing removes. The handler runs on a
// thread of its own while the run goes on, hence the lock.
CRITICAL_SECTION pending_lock;
std::string pending_name;
bool pending = false;

// The file was opened with FILE_SHARE_DELETE, so it can be deleted while open: it goes when the
// process ends. FALSE passes the event on to the default handler, which ends the process.
BOOL WINAPI remove_pending(DWORD) {
    EnterCriticalSection(&pending_lock);
    if (pending) DeleteFileA(pending_name.c_str());
    LeaveCriticalSection(&pending_lock);
    return FALSE;
}

void install_handler() noexcept {
    static bool installed = false;
    if (installed) return;
    installed = true;
    InitializeCriticalSection(&pending_lock);
    SetConsoleCtrlHandler(remove_pending, TRUE);
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

bool is_terminal(std::FILE *file) noexcept {
    return _isatty(_fileno(file)) != 0;
}

void report_broken_pipes_as_write_errors() noexcept {}

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

bool read_file_identity(const std::string &name, file_identity &identity) noexcept {
    // Opened for no access at all, as in is_standard_output_file.
    const HANDLE named =
        CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(named, &info) != 0;
    CloseHandle(named);
    if (!known) return false;
    const auto join = [](DWORD high, DWORD low) {
        return (static_cast<std::uint64_t>(high) << 32) | low;
    };
    identity.device = info.dwVolumeSerialNumber;
    identity.file = join(info.nFileIndexHigh, info.nFileIndexLow);
    identity.size = join(info.nFileSizeHigh, info.nFileSizeLow);
    identity.modified = static_cast<std::int64_t>(
        join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime));
    return true;
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

std::FILE *open_for_writing(const std::string &name, bool empty) noexcept {
    const int fd = _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_TEXT | (empty ? _O_TRUNC : 0),
                         _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE *const file = _fdopen(fd, "w");
    if (file == nullptr) _close(fd);
    return file;
}

// Windows keeps no permission bits beyond read-only, which a new file does not have: `like`
// has nothing to pass on.
std::FILE *create_temporary_file(std::string &name, std::FILE *) {
    install_handler();
    const std::string folder = name;
    // Reserved before the name exists, so that nothing allocates while it is pending.
    pending_name.reserve(folder.size() + 64);
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        name = folder + "\\.zonalstats-" + std::to_string(GetCurrentProcessId()) + "-" +
               std::to_string(attempt) + ".tmp";
        EnterCriticalSection(&pending_lock);
        const HANDLE handle = CreateFileA(name.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool taken = handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS;
        if (handle != INVALID_HANDLE_VALUE) {
            pending_name.assign(name);
            pending = true;
        }
        LeaveCriticalSection(&pending_lock);
        if (taken) continue;
        if (handle == INVALID_HANDLE_VALUE) return nullptr;
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_TEXT);
        std::FILE *const file = fd >= 0 ? _fdopen(fd, "w") : nullptr;
        if (file == nullptr) {
            if (fd >= 0)
                _close(fd);
            else
                CloseHandle(handle);
            remove_temporary_file(name);
        }
        return file;
    }
    return nullptr;
}

bool replace_with_temporary_file(const std::string &temporary, const std::string &target) noexcept {
    EnterCriticalSection(&pending_lock);
    const bool moved = MoveFileExA(temporary.c_str(), target.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
    if (moved) pending = false;
    LeaveCriticalSection(&pending_lock);
    return moved;
}

void remove_temporary_file(const std::string &temporary) noexcept {
    EnterCriticalSection(&pending_lock);
    DeleteFileA(temporary.c_str());
    pending = false;
    LeaveCriticalSection(&pending_lock);
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
