// Message boxes and debugger output leave the core only through this
// interface; the window model implements it and hands it to its face.
#pragma once

#include <string>

namespace qks {

enum class MessageIcon : uint8_t { None, Error, Information, Warning };

class UserMessages {
public:
    virtual ~UserMessages() = default;
    // Modal: returns once the user has closed the box.
    virtual void ShowMessageBox(const std::string& text, const std::string& caption,
                                MessageIcon icon) = 0;
    virtual void DebugOutput(const std::string& text) = 0;
};

}  // namespace qks
