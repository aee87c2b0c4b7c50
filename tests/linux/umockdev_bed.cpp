#include "umockdev_bed.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

#if QKS_HAVE_UMOCKDEV
#include <linux/fs.h>
#include <scsi/sg.h>
#include <umockdev.h>

#include <algorithm>
#include <cstddef>
#endif

namespace qks::test {

namespace {
constexpr const char* kPreload = "libumockdev-preload.so.0";
constexpr const char* kReexecMarker = "QKS_TEST_UMOCKDEV_REEXEC";

std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}
}  // namespace

std::string UmockdevUnavailableReason() {
#if QKS_HAVE_UMOCKDEV
    if (dlopen(kPreload, RTLD_NOW | RTLD_NOLOAD) != nullptr) return {};
    return std::string("umockdev's preload library ") + kPreload +
           " is not loaded in this process (install the umockdev package, or run the "
           "tests under umockdev-wrapper)";
#else
    return "this test program was built without umockdev (install libumockdev-dev and "
           "reconfigure)";
#endif
}

void EnterUmockdevEnvironment(char** argv) {
#if QKS_HAVE_UMOCKDEV
    if (dlopen(kPreload, RTLD_NOW | RTLD_NOLOAD) != nullptr) return;
    if (std::getenv(kReexecMarker) != nullptr) return;   // tried once already
    // Without the library the re-run would only fail the same way.
    void* probe = dlopen(kPreload, RTLD_LAZY | RTLD_LOCAL);
    if (probe == nullptr) return;
    dlclose(probe);
    setenv(kReexecMarker, "1", 1);
    std::string preload = kPreload;
    if (const char* existing = std::getenv("LD_PRELOAD"); existing && *existing)
        preload += std::string(":") + existing;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    // A sanitizer build wants its runtime first; the preload library comes
    // ahead of it, which is harmless here.
    std::string asan = "verify_asan_link_order=0";
    if (const char* existing = std::getenv("ASAN_OPTIONS"); existing && *existing)
        asan = std::string(existing) + ":" + asan;
    setenv("ASAN_OPTIONS", asan.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("re-running the tests with umockdev failed");
#else
    (void)argv;
#endif
}

std::string UsbDeviceRecord(const std::string& path, uint16_t vendor, uint16_t product,
                            const std::string& serial) {
    std::string record = "P: " + path + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" +
                         "A: idVendor=" + Hex4(vendor) + "\nA: idProduct=" + Hex4(product) +
                         "\n";
    if (!serial.empty()) record += "A: serial=" + serial + "\n";
    return record + "\n";
}

std::string UsbInterfaceRecord(const std::string& path, const std::string& driver) {
    std::string record =
        "P: " + path + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=08\n";
    if (!driver.empty())
        record += "E: DRIVER=" + driver + "\nL: driver=../../../../../../bus/usb/drivers/" +
                  driver + "\n";
    return record + "\n";
}

std::string ScsiDevicePath(const std::string& parent, int host, int target, int lun) {
    const std::string h = std::to_string(host);
    const std::string t = std::to_string(target);
    return parent + "/host" + h + "/target" + h + ":0:" + t + "/" + h + ":0:" + t + ":" +
           std::to_string(lun);
}

std::string ScsiDeviceRecord(const std::string& path, int type,
                             const std::string& extraRecordLines) {
    return "P: " + path + "\nE: SUBSYSTEM=scsi\nE: DEVTYPE=scsi_device\nA: type=" +
           std::to_string(type) + "\n" + extraRecordLines + "\n";
}

std::string SgRecord(const std::string& scsiDevicePath, int index) {
    const std::string n = std::to_string(index);
    return "P: " + scsiDevicePath + "/scsi_generic/sg" + n + "\nN: sg" + n +
           "\nE: SUBSYSTEM=scsi_generic\nE: DEVNAME=/dev/sg" + n + "\nE: MAJOR=21\nE: MINOR=" +
           n + "\nA: dev=21:" + n + "\n\n";
}

std::string BlockRecord(const std::string& scsiDevicePath, const std::string& name,
                        int maxHwSectorsKb) {
    return "P: " + scsiDevicePath + "/block/" + name + "\nN: " + name +
           "\nE: SUBSYSTEM=block\nE: DEVTYPE=disk\nE: DEVNAME=/dev/" + name +
           "\nA: queue/max_hw_sectors_kb=" + std::to_string(maxHwSectorsKb) +
           "\nA: queue/max_sectors_kb=" + std::to_string(maxHwSectorsKb / 2) + "\n\n";
}

#if QKS_HAVE_UMOCKDEV

struct SgEmulation {
    Testbed::SgHandler handler;
    int sectGetBytes = 0;
    std::mutex* mutex = nullptr;
    std::vector<SgRequest>* seen = nullptr;
};

struct Testbed::Impl {
    UMockdevTestbed* bed = nullptr;
    std::vector<UMockdevIoctlBase*> handlers;
    std::vector<SgEmulation*> emulations;
    std::mutex mutex;
    std::vector<SgRequest> seen;
};

namespace {

// Runs on umockdev's ioctl thread while the client waits in ioctl().
gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* emulation = static_cast<SgEmulation*>(data);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;

    if (request == BLKSECTGET) {
        if (emulation->sectGetBytes == 0) return FALSE;
        UMockdevIoctlData* value = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &error);
        if (value == nullptr) return FALSE;
        std::memcpy(value->data, &emulation->sectGetBytes, sizeof(int));
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(value);
        return TRUE;
    }
    if (request != SG_IO) return FALSE;

    UMockdevIoctlData* headerData =
        umockdev_ioctl_data_resolve(arg, 0, sizeof(sg_io_hdr), &error);
    if (headerData == nullptr) return FALSE;
    auto* header = reinterpret_cast<sg_io_hdr*>(headerData->data);

    SgRequest seen;
    seen.interfaceId = static_cast<char>(header->interface_id);
    seen.direction = header->dxfer_direction;
    seen.timeoutMillis = header->timeout;
    seen.length = header->dxfer_len;
    seen.dataPointerNull = header->dxferp == nullptr;
    seen.senseCapacity = header->mx_sb_len;
    UMockdevIoctlData* cdb = nullptr;
    if (header->cmd_len > 0 && header->cmdp != nullptr) {
        cdb = umockdev_ioctl_data_resolve(headerData, offsetof(sg_io_hdr, cmdp),
                                          header->cmd_len, &error);
        if (cdb) seen.cdb.assign(cdb->data, cdb->data + header->cmd_len);
    }
    UMockdevIoctlData* buffer = nullptr;
    if (header->dxfer_len > 0 && header->dxferp != nullptr) {
        buffer = umockdev_ioctl_data_resolve(headerData, offsetof(sg_io_hdr, dxferp),
                                             header->dxfer_len, &error);
        if (buffer && header->dxfer_direction == SG_DXFER_TO_DEV)
            seen.dataOut.assign(buffer->data, buffer->data + header->dxfer_len);
    }

    const SgReply reply = emulation->handler ? emulation->handler(seen) : SgReply{};
    {
        std::lock_guard<std::mutex> lock(*emulation->mutex);
        emulation->seen->push_back(seen);
    }

    UMockdevIoctlData* sense = nullptr;
    if (reply.error != 0) {
        umockdev_ioctl_client_complete(client, -1, reply.error);
    } else {
        if (buffer && header->dxfer_direction == SG_DXFER_FROM_DEV) {
            const size_t n = std::min<size_t>(reply.dataIn.size(), header->dxfer_len);
            if (n > 0) std::memcpy(buffer->data, reply.dataIn.data(), n);
        }
        header->status = reply.status;
        header->masked_status = static_cast<unsigned char>((reply.status >> 1) & 0x7F);
        header->host_status = reply.hostStatus;
        header->driver_status = reply.driverStatus;
        header->resid = reply.resid;
        header->sb_len_wr = 0;
        if (!reply.sense.empty() && header->sbp != nullptr && header->mx_sb_len > 0) {
            sense = umockdev_ioctl_data_resolve(headerData, offsetof(sg_io_hdr, sbp),
                                                header->mx_sb_len, &error);
            if (sense) {
                const size_t n = std::min<size_t>(reply.sense.size(), header->mx_sb_len);
                std::memcpy(sense->data, reply.sense.data(), n);
                header->sb_len_wr = static_cast<unsigned char>(n);
            }
        }
        umockdev_ioctl_client_complete(client, 0, 0);
    }
    for (UMockdevIoctlData* piece : {sense, buffer, cdb, headerData})
        if (piece) g_object_unref(piece);
    if (error) g_error_free(error);
    return TRUE;
}

std::string TakeError(GError* error) {
    std::string text = error ? error->message : "unknown error";
    if (error) g_error_free(error);
    return text;
}

}  // namespace

Testbed::Testbed() : impl_(new Impl) { impl_->bed = umockdev_testbed_new(); }

Testbed::~Testbed() {
    g_object_unref(impl_->bed);
    for (UMockdevIoctlBase* handler : impl_->handlers) g_object_unref(handler);
    for (SgEmulation* emulation : impl_->emulations) delete emulation;
    delete impl_;
}

void Testbed::Add(const std::string& records) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(impl_->bed, records.c_str(), &error))
        throw std::runtime_error("umockdev rejected the device records: " + TakeError(error));
}

void Testbed::Uevent(const std::string& syspath, const char* action) {
    umockdev_testbed_uevent(impl_->bed, syspath.c_str(), action);
}

void Testbed::Remove(const std::string& syspath) {
    umockdev_testbed_remove_device(impl_->bed, syspath.c_str());
}

void Testbed::EmulateSg(const std::string& devnode, SgHandler handler, int sectGetBytes) {
    auto* emulation = new SgEmulation{std::move(handler), sectGetBytes, &impl_->mutex,
                                      &impl_->seen};
    impl_->emulations.push_back(emulation);
    UMockdevIoctlBase* base = umockdev_ioctl_base_new();
    impl_->handlers.push_back(base);
    g_signal_connect(base, "handle-ioctl", G_CALLBACK(HandleIoctl), emulation);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(impl_->bed, devnode.c_str(), base, &error))
        throw std::runtime_error("umockdev cannot emulate " + devnode + ": " +
                                 TakeError(error));
}

std::vector<SgRequest> Testbed::SgRequests() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->seen;
}

#else  // no umockdev: every test that would build a testbed skips before it

struct Testbed::Impl {};
Testbed::Testbed() : impl_(nullptr) {}
Testbed::~Testbed() = default;
void Testbed::Add(const std::string&) {}
void Testbed::Uevent(const std::string&, const char*) {}
void Testbed::Remove(const std::string&) {}
void Testbed::EmulateSg(const std::string&, SgHandler, int) {}
std::vector<SgRequest> Testbed::SgRequests() { return {}; }

#endif

}  // namespace qks::test
