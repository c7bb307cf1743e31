// Runs one command and prints its wall-clock seconds and peak resident memory:
//
//   zonalstats_measure OUTPUT PROGRAM [ARGUMENT...]
//
// prints "seconds S cpu_seconds C peak_kib K", with the command's standard output sent to
// OUTPUT. cpu_seconds (user plus system time) is less disturbed than seconds when other work
// competes for the cores.
// The peak is ru_maxrss of the child as wait4 reports it. Linux carries the resident size of
// the process that started the child into that figure, so the child is started from this small
// program rather than from the benchmark script, whose own size would hide the child's.
#include <chrono>
#include <cstdio>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: zonalstats_measure OUTPUT PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    const int error = posix_spawnp(&child, argv[2], &actions, nullptr, argv + 2, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        std::fprintf(stderr, "zonalstats_measure: cannot start %s\n", argv[2]);
        return 127;
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) {
        std::perror("zonalstats_measure: wait4");
        return 127;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "zonalstats_measure: %s ended with status %d\n", argv[2], status);
        return 1;
    }
    const auto seconds = [](const timeval &t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
    };
    std::printf("seconds %.6f cpu_seconds %.6f peak_kib %ld\n", elapsed.count(),
                seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_maxrss);
    return 0;
}
