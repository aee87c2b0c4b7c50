#include "device/command_trace.h"

#include <nlohmann/json.hpp>
#include <ostream>

namespace qks {

std::string HexBytes(const uint8_t* bytes, size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

std::string TraceLine(const TraceRecord& r) {
    nlohmann::ordered_json line;
    line["seq"] = r.seq;
    line["path"] = r.path;
    line["dir"] = r.direction == DataDirection::In ? "in" : "out";
    line["cdb"] = HexBytes(r.cdb.data(), r.cdb.size());
    line["len"] = r.length;
    line["ok"] = r.ok;
    line["status"] = r.status;
    line["xfer"] = r.transferred;
    line["time_us"] = r.timeMicros;
    line["duration_us"] = r.durationMicros;
    if (!r.opened) line["opened"] = false;
    if (r.hostStatus != 0) line["host_status"] = r.hostStatus;
    if (r.driverStatus != 0) line["driver_status"] = r.driverStatus;
    if (!r.sense.empty()) line["sense"] = HexBytes(r.sense.data(), r.sense.size());
    if (!r.error.empty()) line["error"] = r.error;
    // Error texts carry the system's own words (strerror in the user's
    // locale, which need not be UTF-8): a byte JSON cannot hold must not
    // throw out of the command that is being traced.
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void JsonLinesTrace::Record(const TraceRecord& record) {
    const std::string line = TraceLine(record);
    const std::lock_guard<std::mutex> hold(lock_);
    out_ << line << '\n';
    out_.flush();
}

}  // namespace qks
