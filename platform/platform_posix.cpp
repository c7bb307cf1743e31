#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file a signal removes, for the handler: it may touch nothing but these.
char pending_name[4096];
volatile std::sig_atomic_t pending = 0;

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Only async-signal-safe calls. The handler is reset on entry (SA_RESETHAND), so the signal,
// raised again, ends the process as it would have without one once the handler returns.
extern "C" void remove_pending_and_end(int number) {
    if (pending != 0) unlink(pending_name);
    raise(number);
}

// A signal ignored at the start (nohup, a shell's background job) stays ignored.
void install_handlers() noexcept {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (const int number : ending_signals) {
        struct sigaction previous {};
        if (sigaction(number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = remove_pending_and_end;
        sigemptyset(&action.sa_mask);
        action.sa_flags = static_cast<int>(SA_RESETHAND);
        sigaction(number, &action, nullptr);
    }
}

// Holds the ending signals off this thread while the name is set up or dropped, so that the
// handler never sees half a name. The run has no other threads at those times.
struct signals_held {
    sigset_t previous{};
    signals_held() noexcept {
        sigset_t held;
        sigemptyset(&held);
        for (const int number : ending_signals)
            sigaddset(&held, number);
        pthread_sigmask(SIG_BLOCK, &held, &previous);
    }
    signals_held(const signals_held &) = delete;
    signals_held &operator=(const signals_held &) = delete;
    ~signals_held() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
};

} // namespace

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

bool is_terminal(std::FILE *file) noexcept {
    return isatty(fileno(file)) == 1;
}

void report_broken_pipes_as_write_errors() noexcept {
    std::signal(SIGPIPE, SIG_IGN);
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

bool read_file_identity(const std::string &name, file_identity &identity) noexcept {
    struct stat info {};
    if (stat(name.c_str(), &info) != 0) return false;
    identity.device = static_cast<std::uint64_t>(info.st_dev);
    identity.file = static_cast<std::uint64_t>(info.st_ino);
    identity.size = static_cast<std::uint64_t>(info.st_size);
    identity.modified = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                        static_cast<std::int64_t>(info.st_mtim.tv_nsec);
    return true;
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

std::FILE *open_for_writing(const std::string &name, bool empty) noexcept {
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | (empty ? O_TRUNC : 0), 0666);
    if (fd < 0) return nullptr;
    std::FILE *const file = fdopen(fd, "w");
    if (file == nullptr) close(fd);
    return file;
}

std::FILE *create_temporary_file(std::string &name, std::FILE *like) {
    name += "/.zonalstats-XXXXXX";
    if (name.size() >= sizeof pending_name) return nullptr;
    struct stat info {};
    if (fstat(fileno(like), &info) != 0) return nullptr;
    install_handlers();
    const signals_held held;
    const int fd = mkstemp(name.data());
    if (fd < 0) return nullptr;
    std::memcpy(pending_name, name.c_str(), name.size() + 1);
    pending = 1;
    std::FILE *const file = fchmod(fd, info.st_mode & 0777) == 0 ? fdopen(fd, "w") : nullptr;
    if (file == nullptr) {
        close(fd);
        unlink(name.c_str());
        pending = 0;
    }
    return file;
}

// A target that is a mount point of its own (a file bound into a container) can't be renamed
// over; its bytes are copied in instead, as a run that writes it in place would.
bool copy_into(const std::string &temporary, const std::string &target) noexcept {
    const int from = open(temporary.c_str(), O_RDONLY);
    if (from < 0) return false;
    const int to = open(target.c_str(), O_WRONLY | O_TRUNC);
    bool copied = to >= 0;
    char chunk[1 << 16];
    while (copied) {
        const ssize_t got = read(from, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        for (ssize_t done = 0; copied && done < got;) {
            const ssize_t put = write(to, chunk + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            copied = put > 0;
            done += put;
        }
    }
    if (to >= 0 && close(to) != 0) copied = false;
    close(from);
    return copied && unlink(temporary.c_str()) == 0;
}

bool replace_with_temporary_file(const std::string &temporary, const std::string &target) noexcept {
    const signals_held held;
    if (std::rename(temporary.c_str(), target.c_str()) != 0 &&
        !((errno == EBUSY || errno == EXDEV) && copy_into(temporary, target)))
        return false;
    pending = 0;
    return true;
}

void remove_temporary_file(const std::string &temporary) noexcept {
    const signals_held held;
    unlink(temporary.c_str());
    pending = 0;
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
