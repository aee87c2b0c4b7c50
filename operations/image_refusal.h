// A flow whose image file was refused stops before it sends anything; the
// other flows, and the other images, go on.
#pragma once

#include <optional>
#include <string>

#include "operations/operations.h"

namespace qks {

// The outcome of a flow that would write a refused image file: the file and
// why it was refused, nothing written; nothing when its image may be used.
std::optional<Outcome> RefusedImageFile(const DeviceServices& services, const DeviceRef& device,
                                        Flow flow, const std::string& operation);

}  // namespace qks
