// Device arrival and removal notices, delivered as the platform's event
// codes. A face wires the source into its event loop.
#pragma once

#include <cstdint>
#include <functional>

namespace qks {

inline constexpr uint32_t kDeviceArrival = 0x8000;         // DBT_DEVICEARRIVAL
inline constexpr uint32_t kDeviceQueryRemove = 0x8001;     // DBT_DEVICEQUERYREMOVE
inline constexpr uint32_t kDeviceRemoveComplete = 0x8004;  // DBT_DEVICEREMOVECOMPLETE

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
