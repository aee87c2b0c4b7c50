// qks_gadget: one emulated bridge as a USB mass-storage device through
// FunctionFS, so the program can be run against it through a real kernel's
// usb-storage, sd and sg drivers (see rig/README.md).
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device/clock.h"
#include "emulator/platform.h"
#include "firmware/image_store.h"
#include "rig/bot.h"
#include "rig/ffs_gadget.h"

namespace {

constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitVanished = 3;

const char* const kUsage =
    "usage: qks_gadget --ffs DIR --emulate DESCRIPTION [options]\n"
    "       qks_gadget --usb-ids DESCRIPTION\n"
    "Serves one emulated bridge as a Bulk-Only mass-storage function on the\n"
    "FunctionFS mounted at DIR. DESCRIPTION is what qks970 --emulate takes; with\n"
    "iface=both the device has a second LUN, an empty CD-ROM drive.\n"
    "  --flash FILE        keep the bridge's flash in FILE (same as flash=FILE)\n"
    "  --log FILE          one line per command and bus event (default stderr)\n"
    "  --hold PREFIX[@N]:MS  hold the Nth command whose CDB starts with the hex\n"
    "                      PREFIX for MS ms before it runs (a host reset drops it)\n"
    "  --vanish PREFIX[@N] drop off the bus when that command's data has arrived\n"
    "  --medium-mb N       size of the zero-filled disk the kernel sees (default 4)\n"
    "  --disk FILE         the disk the kernel sees is FILE (whole 512-byte blocks),\n"
    "                      read and written in place\n"
    "  --virtual-time      the bridge's erase and program times pass at once\n"
    "  --usb-ids DESC      print the device's USB identity as shell assignments\n"
    "Exit status: 0 stopped by a signal, 1 failure, 2 bad usage, 3 the device vanished.\n";

class EmulatorBackend final : public qks::rig::CommandBackend {
public:
    // One path per LUN: the disk interface, then the CD-ROM interface.
    EmulatorBackend(qks::emu::EmulatorPlatform& platform, std::vector<qks::DevicePath> paths)
        : platform_(platform), paths_(std::move(paths)) {}

    qks::ScsiOutcome Execute(const qks::ScsiCommand& command, uint8_t lun) override {
        const qks::OpenMode mode = command.direction == qks::DataDirection::In
                                       ? qks::OpenMode::Shared
                                       : qks::OpenMode::Exclusive;
        qks::OpenResult opened = platform_.Open(paths_.at(lun), mode);
        if (!opened.handle) {
            qks::ScsiOutcome outcome;
            outcome.osError = opened.osError;
            outcome.diagnostic = opened.diagnostic;
            return outcome;
        }
        return opened.handle->Execute(command);
    }

private:
    qks::emu::EmulatorPlatform& platform_;
    std::vector<qks::DevicePath> paths_;
};

// The backing disk, mapped shared: what the kernel writes is in the file.
struct MappedDisk {
    uint8_t* data = nullptr;
    size_t size = 0;
    ~MappedDisk() {
        if (data) {
            msync(data, size, MS_SYNC);
            munmap(data, size);
        }
    }
};

bool MapDisk(const std::string& file, MappedDisk& disk, std::string& error) {
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        error = file + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    if (info.st_size < static_cast<off_t>(qks::rig::BotTarget::kBlockBytes)) {
        ::close(fd);
        error = file + ": smaller than one 512-byte block";
        return false;
    }
    void* mapped = mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ | PROT_WRITE,
                        MAP_SHARED, fd, 0);
    const int mapError = errno;
    ::close(fd);
    if (mapped == MAP_FAILED) {
        error = file + ": cannot map: " + std::strerror(mapError);
        return false;
    }
    disk.data = static_cast<uint8_t*>(mapped);
    disk.size = static_cast<size_t>(info.st_size);
    return true;
}

std::string WithFlash(std::string description, const std::string& flash) {
    if (flash.empty()) return description;
    return description + (description.find(':') == std::string::npos ? ":" : ",") +
           "flash=" + flash;
}

std::string Trim(std::string_view text) {
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return std::string(text);
}

void OnStop(int) { qks::rig::FfsGadget::RequestStop(); }

int Usage(const std::string& why) {
    std::fprintf(stderr, "qks_gadget: %s\n%s", why.c_str(), kUsage);
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder, description, flash, logFile, idsOf, diskFile;
    std::vector<qks::rig::CommandFault> faults;
    uint32_t mediumMb = 4;
    bool virtualTime = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        std::string text, error;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return kExitStopped;
        } else if (arg == "--ffs") {
            if (!value(folder)) return Usage("--ffs needs a folder");
        } else if (arg == "--emulate") {
            if (!description.empty()) return Usage("one --emulate only: the rig serves one bridge");
            if (!value(description)) return Usage("--emulate needs a description");
        } else if (arg == "--flash") {
            if (!value(flash)) return Usage("--flash needs a file");
        } else if (arg == "--disk") {
            if (!value(diskFile)) return Usage("--disk needs a file");
        } else if (arg == "--log") {
            if (!value(logFile)) return Usage("--log needs a file");
        } else if (arg == "--usb-ids") {
            if (!value(idsOf)) return Usage("--usb-ids needs a description");
        } else if (arg == "--hold" || arg == "--vanish") {
            if (!value(text)) return Usage(std::string(arg) + " needs a fault");
            const auto kind = arg == "--hold" ? qks::rig::CommandFault::Kind::Hold
                                              : qks::rig::CommandFault::Kind::Vanish;
            auto fault = qks::rig::ParseCommandFault(text, kind, error);
            if (!fault) return Usage(std::string(arg) + " " + error);
            faults.push_back(std::move(*fault));
        } else if (arg == "--medium-mb") {
            if (!value(text)) return Usage("--medium-mb needs a number");
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), mediumMb);
            if (ec != std::errc{} || end != text.data() + text.size() || mediumMb == 0 ||
                mediumMb > 1024)
                return Usage("--medium-mb '" + text + "': a number of megabytes, 1 to 1024");
        } else if (arg == "--virtual-time") {
            virtualTime = true;
        } else {
            return Usage("unknown argument '" + std::string(arg) + "'");
        }
    }

    std::unique_ptr<qks::Clock> clock;
    if (virtualTime)
        clock = std::make_unique<qks::VirtualClock>();
    else
        clock = std::make_unique<qks::SystemClock>();
    qks::emu::EmulatorPlatform platform(*clock,
                                        qks::EmbeddedImages().Find(qks::kTargetImageName));

    if (!idsOf.empty()) {
        const auto added = platform.AddBridge(idsOf);
        if (!added.ok()) return Usage(added.error);
        const auto& profile = platform.Bridge(0).GetProfile();
        std::printf("USB_VENDOR=0x%04x\nUSB_PRODUCT=0x%04x\nUSB_SERIAL='%s'\n"
                    "USB_MANUFACTURER='%s'\nUSB_PRODUCT_NAME='%s'\n",
                    profile.usbVendor, profile.usbProduct, platform.SerialOf(0).c_str(),
                    profile.tavrel ? "Tavrel" : "Generic", Trim(profile.product).c_str());
        return kExitStopped;
    }
    if (folder.empty()) return Usage("--ffs is required");
    if (description.empty()) return Usage("--emulate is required");

    std::FILE* logOut = stderr;
    if (!logFile.empty()) {
        logOut = std::fopen(logFile.c_str(), "a");
        if (!logOut) {
            std::fprintf(stderr, "qks_gadget: cannot open the log %s: %s\n", logFile.c_str(),
                         std::strerror(errno));
            return kExitFailed;
        }
    }
    qks::rig::Log log(logOut);

    const std::string full = WithFlash(description, flash);
    const auto added = platform.AddBridge(full);
    if (!added.ok()) {
        std::fprintf(stderr, "qks_gadget: %s\n", added.error.c_str());
        return kExitUsage;
    }
    const std::vector<qks::DevicePath> paths = platform.PathsOf(0);
    if (paths.empty() || paths.front().find("disk") == std::string::npos)
        return Usage("the rig serves a bridge's disk interface (iface=disk or iface=both)");
    EmulatorBackend backend(platform, paths);
    MappedDisk disk;
    std::unique_ptr<qks::rig::BotTarget> made;
    if (!diskFile.empty()) {
        std::string error;
        if (!MapDisk(diskFile, disk, error)) {
            std::fprintf(stderr, "qks_gadget: %s\n", error.c_str());
            return kExitFailed;
        }
        made = std::make_unique<qks::rig::BotTarget>(backend, std::span(disk.data, disk.size));
    } else {
        made = std::make_unique<qks::rig::BotTarget>(
            backend, mediumMb * (1024 * 1024 / qks::rig::BotTarget::kBlockBytes));
    }
    qks::rig::BotTarget& target = *made;
    if (paths.size() > 1) target.AddCdromLun();
    for (auto& fault : faults) target.AddFault(std::move(fault));

    struct sigaction action {};
    action.sa_handler = OnStop;   // no SA_RESTART: a blocked read returns EINTR
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    qks::rig::FfsGadget gadget(folder, log);
    std::string error;
    if (!gadget.Open(error)) {
        log.Line("cannot start: %s", error.c_str());
        std::fprintf(stderr, "qks_gadget: %s\n", error.c_str());
        return kExitFailed;
    }
    log.Line("serving '%s' (%s) on %s", full.c_str(), paths.front().c_str(), folder.c_str());
    const qks::rig::GadgetEnd end = gadget.Serve(target, [&] { platform.PowerCycle(0); });
    for (const std::string& problem : platform.TakeProblems())
        log.Line("bridge: %s", problem.c_str());
    switch (end) {
        case qks::rig::GadgetEnd::Stopped:
            log.Line("stopped");
            return kExitStopped;
        case qks::rig::GadgetEnd::Vanished:
            log.Line("gone from the bus");
            return kExitVanished;
        case qks::rig::GadgetEnd::Failed:
            log.Line("the endpoints failed; giving up");
            return kExitFailed;
    }
    return kExitFailed;
}
