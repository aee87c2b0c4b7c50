#include "platform/windows/win_error.h"

#include <windows.h>

namespace qks::win {

std::string Win32ErrorText(uint32_t error) {
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        text, sizeof text, nullptr);
    std::string message(text, length);
    // The system ends its texts with a line break; the trace wants one line.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' '))
        message.pop_back();
    std::string result = "error " + std::to_string(error);
    if (!message.empty()) result += " (" + message + ")";
    return result;
}

}  // namespace qks::win
