// An interrupt during a write is held: the flow ends on its own, the flash
// ends as an uninterrupted run leaves it, and the way back was said before
// the first erase. A second program writing the same enclosure waits for the
// first. The commands run in child processes in real time, so a write lasts
// long enough to be interrupted by a real signal.
#ifndef _WIN32
#include <poll.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <iostream>

#include "cli/cli_harness.h"

namespace qks::cli::test {
namespace {

class InterruptTest : public CliTest {};

struct HeldCase {
    int signal;
    bool all;              // recover --all: the rows' writes are held together
    const char* trigger;   // the line after which the signal is sent
};

TEST_F(InterruptTest, AnInterruptDuringTheWriteLetsItFinish) {
    for (const HeldCase c : {HeldCase{SIGINT, false, "saved to "}, HeldCase{SIGTERM, false, "saved to "},
                             HeldCase{SIGINT, true, ": write"}}) {
        SCOPED_TRACE(std::string(::strsignal(c.signal)) + (c.all ? " --all" : ""));
        const std::string name = std::to_string(c.signal) + (c.all ? "all" : "");
        const std::string cut = "cut" + name + ".bin";
        const std::string whole = "whole" + name + ".bin";
        const std::string bridge = Bridge("q970", cut);
        CreateFlash(bridge, cut);
        std::filesystem::copy_file(File(cut), File(whole));
        ASSERT_EQ(Run({"recover", "--yes", "--emulate", Bridge("q970", whole)}).status, kExitSuccess);

        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(fds[1], STDERR_FILENO);
            ::close(fds[0]);
            ::close(fds[1]);
            std::ostringstream out;
            std::vector<std::string> args = {"--backup-dir", File("backups"), "recover", "--yes",
                                             "--emulate", bridge};
            if (c.all) args.push_back("--all");
            _exit(RunCli(args, out, std::cerr, CliEnvironment{}));
        }
        ::close(fds[1]);
        std::string err;
        bool sent = false;
        char buffer[512];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
            err.append(buffer, static_cast<size_t>(n));
            const size_t notice = err.find(c.trigger);
            if (!sent && notice != std::string::npos && err.find('\n', notice) != std::string::npos) {
                ::kill(child, c.signal);
                sent = true;
            }
        }
        ::close(fds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(sent) << err;
        ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal:\n" << err;
        EXPECT_EQ(WEXITSTATUS(status), kExitSuccess) << err;
        if (c.all) {
            EXPECT_NE(err.find("finishing the writes under way"), std::string::npos) << err;
        } else {
            const size_t at = err.find("saved to ") + std::strlen("saved to ");
            const std::string copy = err.substr(at, err.find('\n', at) - at);
            EXPECT_NE(err.find("finishing the write; the copy is at " + copy), std::string::npos) << err;
        }
        EXPECT_EQ(ReadBytes(File(cut)), ReadBytes(File(whole)));
    }
}


// `recover` in a child process, its standard error into `errFd`.
pid_t RecoverInChild(const std::string& backups, const std::string& bridge, int errFd) {
    const pid_t child = ::fork();
    if (child != 0) return child;
    ::dup2(errFd, STDERR_FILENO);
    std::ostringstream out;
    _exit(RunCli({"--backup-dir", backups, "recover", "--yes", "--emulate", bridge}, out, std::cerr,
                 CliEnvironment{}));
}

// Whether a writer lock in `journal` names `pid` as its holder.
bool HoldsAWriterLock(const std::filesystem::path& journal, pid_t pid) {
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(journal, ec)) {
        if (item.path().filename().string().rfind("writer-", 0) != 0) continue;
        std::ifstream in(item.path());
        std::string holder;
        if (in >> holder && holder == std::to_string(pid)) return true;
    }
    return false;
}

TEST_F(InterruptTest, ASecondProgramWaitsForTheFirstWriteToTheSameEnclosure) {
    const std::string bridge = Bridge("q970", "flash.bin");
    CreateFlash(bridge, "flash.bin");
    std::filesystem::copy_file(File("flash.bin"), File("whole.bin"));
    ASSERT_EQ(Run({"recover", "--yes", "--emulate", Bridge("q970", "whole.bin")}).status, kExitSuccess);

    // The first stops as soon as it holds the enclosure, before it reads or
    // erases anything, so the second starts from the same flash.
    const int quiet = ::open("/dev/null", O_WRONLY);
    const pid_t first = RecoverInChild(File("backups"), bridge, quiet);
    ASSERT_GE(first, 0);
    bool stopped = false;
    for (int i = 0; i < 20000 && !stopped; ++i) {
        if (HoldsAWriterLock(File("backups") + "/journal", first)) stopped = ::kill(first, SIGSTOP) == 0;
        else std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t second = stopped ? RecoverInChild(File("backups"), bridge, fds[1]) : -1;
    ::close(fds[1]);
    ::close(quiet);
    std::string err;
    bool resumed = false;
    char buffer[512];
    pollfd waiting{fds[0], POLLIN, 0};
    while (second > 0 && ::poll(&waiting, 1, 20000) > 0) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        err.append(buffer, static_cast<size_t>(n));
        if (!resumed && err.find("to finish\n") != std::string::npos) resumed = ::kill(first, SIGCONT) == 0;
    }
    if (!resumed) ::kill(first, SIGCONT);
    ::close(fds[0]);
    int firstStatus = 0, secondStatus = 0;
    ::waitpid(first, &firstStatus, 0);
    if (second > 0) ::waitpid(second, &secondStatus, 0);
    ASSERT_TRUE(stopped);
    EXPECT_NE(err.find("qks970: waiting for the other write to "), std::string::npos) << err;
    EXPECT_NE(err.find("(pid " + std::to_string(first) + ") to finish"), std::string::npos) << err;
    EXPECT_TRUE(WIFEXITED(firstStatus) && WEXITSTATUS(firstStatus) == kExitSuccess);
    EXPECT_TRUE(WIFEXITED(secondStatus) && WEXITSTATUS(secondStatus) == kExitSuccess) << err;
    EXPECT_EQ(ReadBytes(File("flash.bin")), ReadBytes(File("whole.bin")));
}

}  // namespace
}  // namespace qks::cli::test
#endif
