// The pieces every --json document is built from, so that a device, a
// cause or an image has one shape whatever command prints it. docs/json.md
// describes the documents; docs/schema holds one JSON Schema for each.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "faces/cli/session.h"
#include "firmware/image_store.h"
#include "operations/operations.h"
#include "operations/outcome.h"

namespace qks::cli {

// Keys stay in the order a document is built: schema_version first.
using Json = nlohmann::ordered_json;

// Raised whenever a document changes shape; every command prints the same.
inline constexpr int kJsonSchemaVersion = 2;

// The opening every document shares: {"schema_version": 2, "command": ...}.
Json JsonDocument(const std::string& command);
// Indented, with bytes that are not UTF-8 replaced.
std::string DumpJson(const Json& document, int indent = 2);

// One device as `list` shows it; "updated" is null for a device that is no
// target, as only a target can hold the embedded firmware.
Json DeviceJson(const IdentifyReport& device);
// A failure's cause: its kind, the contexts, the command and address, what
// the device answered (null when unknown), whether the device was changed,
// the copy to restore, and the one-line message.
Json CauseJson(const Outcome& failed);
// The image of that name as the store hands it out: where it came from and
// its SHA-256; "refused" says why a file put in place was not taken.
Json ImageJson(const ImageStore& store, std::string_view name);
// A file written to the device as it is (restore): named by its file.
Json FileImageJson(const std::string& path);
Json MessagesJson(const std::vector<ShownMessage>& messages);
// A path, or null when empty.
Json PathOrNull(const std::string& path);

}  // namespace qks::cli
