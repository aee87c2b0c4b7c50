// The system's own wording for a Win32 error code, on one line.
#pragma once

#include <cstdint>
#include <string>

namespace qks::win {

// "error 5 (Access is denied.)"; just the number when the system has no text.
std::string Win32ErrorText(uint32_t error);

}  // namespace qks::win
