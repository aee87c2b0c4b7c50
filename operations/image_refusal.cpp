#include "operations/image_refusal.h"

#include "operations/chip_family.h"

namespace qks {

std::optional<Outcome> RefusedImageFile(const DeviceServices& services, const DeviceRef& device,
                                        Flow flow, const std::string& operation) {
    const char* image = flow == Flow::Recover ? YesImageFor(device.id.chip)
                        : flow == Flow::Run   ? RunImageFor(device.id.chip)
                                              : "";
    if (*image == '\0') return std::nullopt;
    const std::string refusal = services.images.RefusalOf(image);
    if (refusal.empty()) return std::nullopt;
    return Outcome::Fail(FailureKind::ImageRefused,
                         refusal + "; nothing was written (fix or remove the file)")
        .Within(operation);
}

}  // namespace qks
