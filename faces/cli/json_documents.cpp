#include "faces/cli/json_documents.h"

#include <filesystem>

#include "device/block_transfers.h"
#include "device/chip_id.h"
#include "device/command_trace.h"
#include "faces/cli/console.h"
#include "firmware/flash_backup.h"
#include "operations/chip_family.h"

namespace qks::cli {

Json JsonDocument(const std::string& command) {
    return {{"schema_version", kJsonSchemaVersion}, {"command", command}};
}

std::string DumpJson(const Json& document, int indent) {
    return document.dump(indent, ' ', false, Json::error_handler_t::replace);
}

Json PathOrNull(const std::string& path) {
    return path.empty() ? Json(nullptr) : Json(path);
}

Json DeviceJson(const IdentifyReport& r) {
    Json device = {
        {"id", r.number},
        {"enclosure", r.enclosure},
        {"path", r.info.path},
        {"interface", r.iface == InterfaceClass::Disk ? "disk" : "cdrom"},
        {"serial", r.info.serial},
        {"emulated", r.info.emulated},
        {"chip",
         {{"id", r.id.chip},
          {"type", ChipTypeOf(r.id.chip)},
          {"revision", ChipRevisionOf(r.id.chip)},
          {"series", FamilyOf(r.id.chip).series}}},
        {"flash_vendor", nullptr},
        {"firmware_version", nullptr},
        {"target", r.target},
        {"updated", r.target ? Json(r.updated) : Json(nullptr)},
    };
    if (r.flashVendor)
        device["flash_vendor"] = {{"code", *r.flashVendor},
                                  {"name", FlashVendorName(*r.flashVendor)}};
    if (r.version)
        device["firmware_version"] = {{"major", (*r.version)[0]},
                                      {"minor", (*r.version)[1]},
                                      {"build", (*r.version)[2]},
                                      {"text", r.versionText.value_or("")}};
    else if (r.versionText)
        device["firmware_version"] = {
            {"major", nullptr}, {"minor", nullptr}, {"build", nullptr}, {"text", *r.versionText}};
    return device;
}

Json CauseJson(const Outcome& failed) {
    const Failure& failure = *failed.failure;
    Json cause = {{"kind", FailureKindName(failure.kind)},
                  {"chain", failure.chain},
                  {"command", failure.command.empty() ? Json(nullptr) : Json(failure.command)},
                  {"address", nullptr},
                  {"device_answer", nullptr},
                  {"device_changed", failure.deviceChanged},
                  {"restore_path", PathOrNull(failure.restorePath)},
                  {"message", failed.CauseText()}};
    if (failure.address) cause["address"] = *failure.address;
    if (failure.answer)
        cause["device_answer"] = {
            {"scsi_status", failure.answer->scsiStatus},
            {"sense", HexBytes(failure.answer->sense.data(), failure.answer->sense.size())},
            {"decoded", failure.answer->decoded}};
    return cause;
}

namespace {
Json ImageOf(const std::string& name, const std::string& file, std::span<const uint8_t> bytes,
             const std::string& refusal) {
    return {{"name", name},
            {"source", file.empty() ? "embedded" : "file"},
            {"path", PathOrNull(file)},
            {"size", bytes.size()},
            {"sha256", bytes.empty() ? Json(nullptr) : Json(Sha256Hex(bytes))},
            {"development", IsDevelopmentImage(bytes)},
            {"refused", refusal.empty() ? Json(nullptr) : Json(refusal)}};
}
}  // namespace

Json ImageJson(const ImageStore& store, std::string_view name) {
    const std::string refusal = store.RefusalOf(name);
    const auto bytes = refusal.empty() ? store.Find(name) : std::span<const uint8_t>();
    return ImageOf(std::string(name), store.SourceOf(name), bytes, refusal);
}

Json FileImageJson(const std::string& path) {
    const auto bytes = ReadBackupStart(path, kImageBytes).value_or(std::vector<uint8_t>());
    return ImageOf(std::filesystem::path(path).filename().string(), path, bytes, "");
}

Json MessagesJson(const std::vector<ShownMessage>& messages) {
    Json list = Json::array();
    for (const auto& m : messages) list.push_back({{"caption", m.caption}, {"text", m.text}});
    return list;
}

}  // namespace qks::cli
