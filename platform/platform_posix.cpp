#include "platform/platform.h"

#include <filesystem>
#include <system_error>

#include <fcntl.h>
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
