// run_measured PROGRAM [ARGS...]: runs a program and prints its wall time,
// CPU time and peak memory to stderr, for machines without /usr/bin/time.
// Exits with the program's status.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: run_measured PROGRAM [ARGS...]\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) return 127;
    if (child == 0) {
        execvp(argv[1], argv + 1);
        std::perror(argv[1]);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) return 127;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    std::fprintf(stderr,
                 "\tUser time (seconds): %.4f\n\tSystem time (seconds): %.4f\n"
                 "\tElapsed (wall clock) seconds: %.4f\n"
                 "\tMaximum resident set size (kbytes): %ld\n",
                 seconds(usage.ru_utime), seconds(usage.ru_stime), wall, usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
