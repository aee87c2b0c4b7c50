// A umockdev testbed for one test: a private /sys and /dev that libudev and
// open()/ioctl() in this process see instead of the real ones. It needs the
// umockdev preload library in the process, which main() arranges.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qks::test {

// Why the umockdev tests cannot run here, or empty when they can.
std::string UmockdevUnavailableReason();

// Re-runs the test program with the preload library when it is missing;
// returns only when no re-run is needed or possible.
void EnterUmockdevEnvironment(char** argv);

// What the fake sg device saw of one SG_IO request.
struct SgRequest {
    char interfaceId = 0;
    int direction = 0;
    unsigned timeoutMillis = 0;
    std::vector<uint8_t> cdb;
    unsigned length = 0;
    bool dataPointerNull = false;
    std::vector<uint8_t> dataOut;
    unsigned senseCapacity = 0;
};

// How the fake sg device answers it.
struct SgReply {
    int error = 0;                 // non-zero: the ioctl fails with this errno
    std::vector<uint8_t> dataIn;   // copied to the caller's buffer (clipped)
    uint8_t status = 0;
    uint16_t hostStatus = 0;
    uint16_t driverStatus = 0;
    std::vector<uint8_t> sense;
    int resid = 0;
};

class Testbed {
public:
    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // umockdev's record format (P:, N:, E:, A:, L: lines; blank line between
    // devices); each device added sends an "add" uevent.
    void Add(const std::string& records);
    void Uevent(const std::string& syspath, const char* action);
    void Remove(const std::string& syspath);

    // Answers SG_IO (and BLKSECTGET with `sectGetBytes`, when non-zero) on
    // an emulated node.
    using SgHandler = std::function<SgReply(const SgRequest&)>;
    void EmulateSg(const std::string& devnode, SgHandler handler, int sectGetBytes = 0);
    std::vector<SgRequest> SgRequests();

    struct Impl;

private:
    Impl* impl_;
};

// Record builders for the trees the tests need. Paths are below /devices.
std::string UsbDeviceRecord(const std::string& path, uint16_t vendor, uint16_t product,
                            const std::string& serial);
std::string UsbInterfaceRecord(const std::string& path, const std::string& driver);
// The sysfs path of SCSI device host:0:target:lun below `parent`, and its
// record with peripheral `type` (host and target directories come implied).
std::string ScsiDevicePath(const std::string& parent, int host, int target, int lun);
std::string ScsiDeviceRecord(const std::string& path, int type,
                             const std::string& extraRecordLines = "");
std::string SgRecord(const std::string& scsiDevicePath, int index);
std::string BlockRecord(const std::string& scsiDevicePath, const std::string& name,
                        int maxHwSectorsKb);

}  // namespace qks::test

// For tests that need the testbed: skipped, with the reason, where it cannot run.
#define QKS_REQUIRE_UMOCKDEV()                                               \
    do {                                                                     \
        const std::string qksUmockdevReason = ::qks::test::UmockdevUnavailableReason(); \
        if (!qksUmockdevReason.empty()) GTEST_SKIP() << qksUmockdevReason;   \
    } while (0)
