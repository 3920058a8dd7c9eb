// Runs one command as a fresh child process and prints what it cost:
//
//   peer_measure OUT -- COMMAND [ARGS...]
//
// The child's standard output goes to the file OUT. Printed on one line: the wall time in
// seconds, the child's user and system CPU seconds, its peak resident set in KiB and its
// exit status (128 + the signal when a signal ended it). A child's peak counts the memory
// of the process it was forked from, so the launcher is this small program and not the
// benchmark's driver with its server and pages; what it adds shows by running /bin/true.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

double seconds(const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4 || std::strcmp(argv[2], "--") != 0) {
        std::fprintf(stderr, "usage: peer_measure OUT -- COMMAND [ARGS...]\n");
        return 2;
    }
    int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) {
        std::fprintf(stderr, "peer_measure: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    double start = now();
    pid_t child = fork();
    if (child == 0) {
        dup2(out, STDOUT_FILENO);
        execvp(argv[3], argv + 3);
        std::fprintf(stderr, "peer_measure: %s: %s\n", argv[3], std::strerror(errno));
        _exit(127);
    }
    if (child < 0) {
        std::fprintf(stderr, "peer_measure: fork: %s\n", std::strerror(errno));
        return 1;
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::fprintf(stderr, "peer_measure: wait4: %s\n", std::strerror(errno));
            return 1;
        }
    }
    double wall = now() - start;
    close(out);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::printf("%.6f %.6f %.6f %ld %d\n", wall, seconds(usage.ru_utime), seconds(usage.ru_stime),
                usage.ru_maxrss, code);
    return 0;
}
