#include "faces/common/system_platform.h"

namespace qks {

SystemPlatform MakeSystemPlatform(std::string& error) {
    error = "this build has no device access for this system; use --emulate PROFILE";
    return {};
}

}  // namespace qks
