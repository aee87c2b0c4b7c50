// An interrupt during a write is held: the flow ends on its own, the flash
// ends as an uninterrupted run leaves it, and the way back was said before
// the first erase. The command runs in a child process in real time, so the
// write lasts long enough to be interrupted by a real signal.
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "cli/cli_harness.h"

namespace qks::cli::test {
namespace {

class InterruptTest : public CliTest {};

TEST_F(InterruptTest, AnInterruptDuringTheWriteLetsItFinish) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(::strsignal(signal));
        const std::string cut = "cut" + std::to_string(signal) + ".bin";
        const std::string whole = "whole" + std::to_string(signal) + ".bin";
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
            _exit(RunCli({"--backup-dir", File("backups"), "recover", "--yes", "--emulate", bridge},
                         out, std::cerr, CliEnvironment{}));
        }
        ::close(fds[1]);
        std::string err;
        bool sent = false;
        char buffer[512];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
            err.append(buffer, static_cast<size_t>(n));
            const size_t notice = err.find("saved to ");
            if (!sent && notice != std::string::npos && err.find('\n', notice) != std::string::npos) {
                ::kill(child, signal);
                sent = true;
            }
        }
        ::close(fds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(sent) << err;
        ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal:\n" << err;
        EXPECT_EQ(WEXITSTATUS(status), kExitSuccess) << err;
        const size_t at = err.find("saved to ") + std::strlen("saved to ");
        const std::string copy = err.substr(at, err.find('\n', at) - at);
        EXPECT_NE(err.find("finishing the write; the copy is at " + copy), std::string::npos) << err;
        EXPECT_EQ(ReadBytes(File(cut)), ReadBytes(File(whole)));
    }
}

}  // namespace
}  // namespace qks::cli::test
#endif
