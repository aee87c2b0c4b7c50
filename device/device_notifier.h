// Device arrival and removal notices, delivered as the platform's event
// codes. A face wires the source into its event loop.
#pragma once

#include <cstdint>
#include <functional>

namespace qks {

inline constexpr uint32_t kDeviceArrival = 0x8000;         // DBT_DEVICEARRIVAL
inline constexpr uint32_t kDeviceQueryRemove = 0x8001;     // DBT_DEVICEQUERYREMOVE
inline constexpr uint32_t kDeviceRemoveComplete = 0x8004;  // DBT_DEVICEREMOVECOMPLETE

// The notices of one plug (a disk and a CD-ROM node, the LUNs of a card
// reader, the USB device and then its interfaces) come within this time of
// each other; a source waits this long after the last before it tells its
// listener once, so that one plug costs one refresh.
inline constexpr uint32_t kNoticeSettleMillis = 500;

// One notice for a batch: arrival when anything arrived, else removal.
inline uint32_t BatchNotice(bool anyArrival) {
    return anyArrival ? kDeviceArrival : kDeviceRemoveComplete;
}

class DeviceNotifier {
public:
    using Listener = std::function<void(uint32_t eventCode)>;
    virtual ~DeviceNotifier() = default;
    // Called on the thread that runs the event loop, one notice at a time.
    virtual void Subscribe(Listener listener) = 0;
    // A source backed by the system hands its readable descriptor to the
    // face's event loop, which calls DispatchEvents when it is readable.
    // -1: the source calls its listeners by itself.
    virtual int EventFd() const { return -1; }
    virtual void DispatchEvents() {}
};

}  // namespace qks
