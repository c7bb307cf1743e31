#include "platform/platform.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

void open_closed_standard_streams() noexcept {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        // open takes the lowest free number, which is fd: the ones below it are open by now.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

bool is_same_file(const std::string &a, const std::string &b) {
    std::error_code error;
    return std::filesystem::equivalent(a, b, error) && !error;
}

bool is_standard_output_file(const std::string &name) noexcept {
    struct stat out {};
    struct stat named {};
    return fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode) &&
           stat(name.c_str(), &named) == 0 && named.st_dev == out.st_dev &&
           named.st_ino == out.st_ino;
}

bool is_regular_file(std::FILE *file) noexcept {
    struct stat info {};
    return fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode);
}

std::size_t read_file_at(std::FILE *file, std::uint64_t offset, char *into,
                         std::size_t size) noexcept {
    const int fd = fileno(file);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, into + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

unsigned usable_cpu_count() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

void *open_shared_library(const char *name) noexcept {
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void *shared_library_symbol(void *library, const char *name) noexcept {
    return dlsym(library, name);
}
