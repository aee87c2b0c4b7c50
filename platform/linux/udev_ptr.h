// Owning pointers for libudev objects. libudev hands out referenced objects
// from its constructors and borrowed ones from its getters (parents, list
// entries); only the former go into these.
#pragma once

#include <libudev.h>

#include <memory>

namespace qks::udevptr {

struct Unref {
    void operator()(udev* p) const { udev_unref(p); }
    void operator()(udev_device* p) const { udev_device_unref(p); }
    void operator()(udev_enumerate* p) const { udev_enumerate_unref(p); }
    void operator()(udev_monitor* p) const { udev_monitor_unref(p); }
};

using Context = std::unique_ptr<udev, Unref>;
using Device = std::unique_ptr<udev_device, Unref>;
using Enumerate = std::unique_ptr<udev_enumerate, Unref>;
using Monitor = std::unique_ptr<udev_monitor, Unref>;

}  // namespace qks::udevptr
