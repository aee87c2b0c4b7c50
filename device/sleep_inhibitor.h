// Keeps the computer awake while a flash is being written: a laptop that
// suspends between an erase and its write leaves the enclosure without
// firmware. One implementation per system; none where there is nothing to
// ask (an emulated bridge, a system without such a service).
#pragma once

#include <memory>
#include <string>

namespace qks {

class SleepInhibitor {
public:
    // Sleep and shutdown stay held off while this lives.
    class Hold {
    public:
        virtual ~Hold() = default;
    };

    virtual ~SleepInhibitor() = default;
    // `who` names the program and `why` the enclosure, where the system shows
    // them to the user (systemd-inhibit --list). Nothing, with `error` set,
    // when the system refuses or cannot be reached.
    virtual std::unique_ptr<Hold> HoldOff(const std::string& who, const std::string& why,
                                          std::string& error) = 0;
};

}  // namespace qks
