#include "rig/ffs_gadget.h"

#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <thread>
#include <vector>

#include "rig/ffs_descriptors.h"

namespace qks::rig {

namespace {
std::atomic<bool> stopRequested{false};
const auto startTime = std::chrono::steady_clock::now();

double Seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - startTime).count();
}

constexpr size_t kChunkBytes = 16384;   // a multiple of both packet sizes
constexpr size_t kLoggedDataBytes = 32;

const char* EventName(uint8_t type) {
    switch (type) {
        case FUNCTIONFS_BIND: return "bind";
        case FUNCTIONFS_UNBIND: return "unbind";
        case FUNCTIONFS_ENABLE: return "enable";
        case FUNCTIONFS_DISABLE: return "disable";
        case FUNCTIONFS_SETUP: return "setup";
        case FUNCTIONFS_SUSPEND: return "suspend";
        case FUNCTIONFS_RESUME: return "resume";
        default: return "unknown event";
    }
}

// An error a transfer gets when the host resets, the bus goes away or the
// function is disabled: the command is lost, the next CBW starts afresh.
bool BusGone(int error) {
    return error == ESHUTDOWN || error == ECONNRESET || error == ENODEV || error == EPIPE ||
           error == EIO || error == EL2HLT || error == EBADMSG || error == EAGAIN;
}

const char* StatusName(CswStatus status) {
    switch (status) {
        case CswStatus::Passed: return "passed";
        case CswStatus::Failed: return "failed";
        case CswStatus::PhaseError: return "phase error";
    }
    return "?";
}
}  // namespace

void Log::Line(const char* format, ...) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(out_, "%9.3f ", Seconds());
    va_list args;
    va_start(args, format);
    std::vfprintf(out_, format, args);
    va_end(args);
    std::fputc('\n', out_);
    std::fflush(out_);
}

FfsGadget::~FfsGadget() {
    for (int fd : {in_, out_, ep0_})
        if (fd >= 0) ::close(fd);
}

void FfsGadget::RequestStop() { stopRequested = true; }

bool FfsGadget::Open(std::string& error) {
    const std::string ep0 = folder_ + "/ep0";
    ep0_ = ::open(ep0.c_str(), O_RDWR);
    if (ep0_ < 0) {
        error = ep0 + ": " + std::strerror(errno) + " (is functionfs mounted there?)";
        return false;
    }
    const std::vector<uint8_t> descriptors = FunctionDescriptors();
    if (::write(ep0_, descriptors.data(), descriptors.size()) !=
        static_cast<ssize_t>(descriptors.size())) {
        error = ep0 + ": the kernel refused the descriptors: " + std::strerror(errno);
        return false;
    }
    const std::vector<uint8_t> strings = FunctionStrings();
    if (::write(ep0_, strings.data(), strings.size()) != static_cast<ssize_t>(strings.size())) {
        error = ep0 + ": the kernel refused the strings: " + std::strerror(errno);
        return false;
    }
    const std::string in = folder_ + "/ep1";
    const std::string out = folder_ + "/ep2";
    in_ = ::open(in.c_str(), O_RDWR);
    if (in_ < 0) {
        error = in + ": " + std::strerror(errno);
        return false;
    }
    out_ = ::open(out.c_str(), O_RDWR);
    if (out_ < 0) {
        error = out + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void FfsGadget::Ep0Loop() {
    bool everUnbound = false;
    usb_functionfs_event events[4];
    for (;;) {
        const ssize_t n = ::read(ep0_, events, sizeof events);
        if (n < 0) {
            if (errno == EINTR) continue;
            log_.Line("ep0: read failed: %s; no more bus events", std::strerror(errno));
            return;
        }
        for (size_t i = 0; i < static_cast<size_t>(n) / sizeof events[0]; ++i) {
            const usb_functionfs_event& event = events[i];
            switch (event.type) {
                case FUNCTIONFS_BIND:
                    if (everUnbound) ++replugs_;
                    bound_ = true;
                    log_.Line("bus: bind");
                    break;
                case FUNCTIONFS_UNBIND:
                    everUnbound = true;
                    bound_ = false;
                    ++resets_;
                    log_.Line("bus: unbind");
                    break;
                case FUNCTIONFS_DISABLE:
                    ++resets_;
                    log_.Line("bus: disable");
                    break;
                case FUNCTIONFS_SETUP: {
                    const usb_ctrlrequest& setup = event.u.setup;
                    const uint16_t length = le16toh(setup.wLength);
                    if (setup.bRequestType == kResetRequestType &&
                        setup.bRequest == kResetRequest && length == 0) {
                        ++resets_;
                        log_.Line("ep0: Bulk-Only Mass Storage Reset");
                        if (::read(ep0_, nullptr, 0) < 0)
                            log_.Line("ep0: acknowledging the reset failed: %s",
                                      std::strerror(errno));
                    } else if (setup.bRequestType == kMaxLunRequestType &&
                               setup.bRequest == kMaxLunRequest && length >= 1) {
                        const uint8_t maxLun = maxLun_;
                        if (::write(ep0_, &maxLun, 1) != 1)
                            log_.Line("ep0: answering Get Max LUN failed: %s",
                                      std::strerror(errno));
                    } else {
                        log_.Line("ep0: stalling request type 0x%02x request 0x%02x length %u",
                                  setup.bRequestType, setup.bRequest, length);
                        // I/O against the request's direction is how FunctionFS stalls.
                        if (setup.bRequestType & USB_DIR_IN)
                            (void)!::read(ep0_, nullptr, 0);
                        else
                            (void)!::write(ep0_, nullptr, 0);
                    }
                    break;
                }
                default:
                    log_.Line("bus: %s", EventName(event.type));
                    break;
            }
            changed_.notify_all();
        }
    }
}

bool FfsGadget::HoldFor(uint32_t ms, uint64_t resetsBefore) {
    log_.Line("hold: %u ms before the command runs", ms);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(mutex_);
    while (std::chrono::steady_clock::now() < until) {
        if (resets_ != resetsBefore) {
            log_.Line("hold: the host reset the device; the command is dropped");
            return false;
        }
        if (stopRequested) return false;
        changed_.wait_for(lock, std::chrono::milliseconds(50));
    }
    return true;
}

bool FfsGadget::ReadAll(uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::read(out_, data + done, std::min(kChunkBytes, length - done));
        if (n < 0 && errno == EINTR && !stopRequested) continue;
        if (n <= 0) {
            log_.Line("bulk out: data phase ended after %zu of %zu bytes: %s", done, length,
                      n < 0 ? std::strerror(errno) : "short");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool FfsGadget::WriteAll(const uint8_t* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(in_, data + done, std::min(kChunkBytes, length - done));
        if (n < 0 && errno == EINTR && !stopRequested) continue;
        if (n <= 0) {
            log_.Line("bulk in: sending ended after %zu of %zu bytes: %s", done, length,
                      n < 0 ? std::strerror(errno) : "nothing taken");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

GadgetEnd FfsGadget::Serve(BotTarget& target, const std::function<void()>& onReplug) {
    // Only the serving thread takes the stop signals, so they interrupt its reads.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    maxLun_ = target.MaxLun();
    std::thread(&FfsGadget::Ep0Loop, this).detach();
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);

    uint64_t seenResets = resets_;
    uint64_t seenReplugs = replugs_;
    uint64_t commands = 0;
    int lastError = 0;
    std::vector<uint8_t> packet(kHighSpeedBulkPacket);
    std::vector<uint8_t> dataOut;
    while (!stopRequested) {
        const ssize_t n = ::read(out_, packet.data(), packet.size());
        if (n < 0) {
            const int error = errno;
            if (error == EINTR) continue;
            if (error != lastError)
                log_.Line("bulk out: waiting for a CBW: %s", std::strerror(error));
            lastError = error;
            if (!BusGone(error)) return GadgetEnd::Failed;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        lastError = 0;
        if (replugs_ != seenReplugs) {
            seenReplugs = replugs_;
            log_.Line("bridge: power cycle (the host saw the device go and come back)");
            onReplug();
        }
        if (resets_ != seenResets) {
            seenResets = resets_;
            target.Reset();
        }
        const CbwParse parsed = ParseCbw(std::span(packet.data(), static_cast<size_t>(n)), maxLun_);
        if (!parsed.cbw) {
            log_.Line("bulk out: %s; halting both endpoints until the host resets",
                      parsed.error.c_str());
            uint8_t byte = 0;
            (void)!::write(out_, &byte, 1);   // a write on OUT halts it
            (void)!::read(in_, &byte, 1);     // a read on IN halts it
            continue;
        }
        const Cbw& cbw = *parsed.cbw;
        ++commands;
        if (!cbw.dataIn && cbw.dataLength > 0) {
            dataOut.resize(cbw.dataLength);
            if (!ReadAll(dataOut.data(), dataOut.size())) continue;
        } else {
            dataOut.clear();
        }
        const uint64_t resetsAtStart = resets_;
        const double began = Seconds();
        const Reply reply =
            target.Run(cbw, dataOut, [&](uint32_t ms) { return HoldFor(ms, resetsAtStart); });
        const double tookMs = (Seconds() - began) * 1000;
        const std::string cdb = Hex(cbw.cdb);
        const char* direction = cbw.dataLength == 0 ? "none" : cbw.dataIn ? "in" : "out";
        if (reply.vanished) {
            log_.Line("cmd %llu tag %08x cdb %s %s %u: the device vanishes: %s",
                      static_cast<unsigned long long>(commands), cbw.tag, cdb.c_str(),
                      direction, cbw.dataLength, reply.note.c_str());
            return GadgetEnd::Vanished;
        }
        if (reply.abandoned) {
            log_.Line("cmd %llu tag %08x cdb %s %s %u: dropped: %s",
                      static_cast<unsigned long long>(commands), cbw.tag, cdb.c_str(),
                      direction, cbw.dataLength, reply.note.c_str());
            continue;
        }
        // The first bytes of a reply, so a log can be held against what the host received.
        const size_t moved = reply.dataIn.size() - std::min<size_t>(reply.dataIn.size(), reply.residue);
        const size_t shown = std::min(kLoggedDataBytes, moved);
        const std::string data = shown ? " data " + Hex(std::span(reply.dataIn.data(), shown)) : "";
        const std::string note = reply.note.empty() ? "" : ": " + reply.note;
        log_.Line("cmd %llu tag %08x lun %u cdb %s %s %u -> %s residue %u (%s, %.1f ms)%s%s",
                  static_cast<unsigned long long>(commands), cbw.tag, cbw.lun, cdb.c_str(), direction,
                  cbw.dataLength, StatusName(reply.status), reply.residue,
                  reply.answeredHere ? "rig" : "bridge", tookMs, data.c_str(), note.c_str());
        if (!reply.dataIn.empty() && !WriteAll(reply.dataIn.data(), reply.dataIn.size()))
            continue;
        const auto csw = BuildCsw(cbw.tag, reply.residue, reply.status);
        if (!WriteAll(csw.data(), csw.size())) continue;
    }
    return GadgetEnd::Stopped;
}

}  // namespace qks::rig
