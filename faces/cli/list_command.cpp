// `qks970 list`: every USB storage path of both enumeration passes, each
// identified through the window model, and where the model listed it.
#include <cstdio>

#include <nlohmann/json.hpp>

#include "app/device_texts.h"
#include "device/chip_id.h"
#include "device/enumeration.h"
#include "faces/cli/commands.h"

namespace qks::cli {

namespace {

struct PathReport {
    InterfaceInfo info;
    InterfaceClass cls = InterfaceClass::Disk;
    ChipIdValue chip = 0;
    std::optional<uint8_t> flashVendor;
    std::optional<std::string> firmwareVersion;
    bool target = false;
    bool alreadyUpdated = false;
    int row = -1;       // the recovery window's row, -1 when not listed
    int panelRow = -1;  // the engineering panel's row
    std::string listedAs;
};

std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

int ListedRow(const TQ71xFwTool& window, const DevicePath& path) {
    const size_t listed =
        window.SelectedRow() ? window.Control(ControlId::DeviceList).items.size() : 0;
    for (size_t row = 0; row < listed && row < window.DeviceTable().size(); ++row)
        if (window.DeviceTable()[row].Path == LowerAscii(path)) return static_cast<int>(row);
    return -1;
}

std::vector<PathReport> ReportPaths(TQ71xFwTool& window, DeviceEnumerator& enumerator) {
    PathSlots slots;
    const int diskCount = EnumerateUsbDisks(enumerator, slots);
    const int total = diskCount + EnumerateUsbCdroms(enumerator, slots, diskCount);
    // The refresh reported these already.
    (void)enumerator.TakeProblems();

    const ControlState& list = window.Control(ControlId::DeviceList);
    std::vector<PathReport> reports;
    for (int i = 0; i < total; ++i) {
        PathReport report;
        report.info = slots.slot[static_cast<size_t>(i)];
        report.cls = i < diskCount ? InterfaceClass::Disk : InterfaceClass::Cdrom;
        const DevicePath& path = report.info.path;
        report.chip = GetChipId(window.Commands(), window, path);
        const uint8_t type = ChipTypeOf(report.chip);
        report.target = window.IsTargetChip(path) != 0;
        report.alreadyUpdated = report.target && window.IsAlreadyUpdated(path) != 0;
        if (type != 0) {
            uint8_t vendor[4] = {};
            if (window.Commands().ReadFlashVendor(path, vendor)) report.flashVendor = vendor[0];
            report.firmwareVersion = FirmwareVersionText(window.Commands(), path, type);
        }
        report.row = ListedRow(window, path);
        if (report.row >= 0) report.listedAs = list.items[static_cast<size_t>(report.row)];
        reports.push_back(std::move(report));
    }
    // The panel lists more bridges than the recovery window, in rows of its own.
    window.EnableEngineeringMode();
    for (auto& report : reports) report.panelRow = ListedRow(window, report.info.path);
    return reports;
}

const char* InterfaceName(InterfaceClass cls) {
    return cls == InterfaceClass::Disk ? "disk" : "cdrom";
}

nlohmann::json ToJson(const PathReport& r) {
    const uint8_t type = ChipTypeOf(r.chip);
    nlohmann::json device = {
        {"path", r.info.path},
        {"interface", InterfaceName(r.cls)},
        {"serial", r.info.serial},
        {"emulated", r.info.emulated},
        {"chip",
         {{"id", r.chip},
          {"type", type},
          {"revision", ChipRevisionOf(r.chip)},
          {"series", type < ChipSeriesNames.size() ? ChipSeriesNames[type] : ChipSeriesNames[0]}}},
        {"flash_vendor", nullptr},
        {"firmware_version", nullptr},
        {"target", r.target},
        {"already_updated", r.alreadyUpdated},
        {"row", nullptr},
        {"panel_row", nullptr},
    };
    if (r.flashVendor)
        device["flash_vendor"] = {{"code", *r.flashVendor},
                                  {"name", FlashVendorName(*r.flashVendor)}};
    if (r.firmwareVersion) device["firmware_version"] = *r.firmwareVersion;
    if (r.row >= 0) {
        device["row"] = r.row;
        device["listed_as"] = r.listedAs;
    }
    if (r.panelRow >= 0) device["panel_row"] = r.panelRow;
    return device;
}

void PrintText(Console& console, const std::vector<PathReport>& reports,
               const std::string& screenText) {
    const size_t count = reports.size();
    console.Out(count == 0 ? "No USB storage device found."
                           : std::to_string(count) + " USB storage path" + (count == 1 ? "" : "s") +
                                 " found.");
    for (const auto& r : reports) {
        const uint8_t type = ChipTypeOf(r.chip);
        console.Out("");
        console.Out(r.info.path + " (" + InterfaceName(r.cls) + ")");
        console.Out("  chip:      " +
                    std::string(type < ChipSeriesNames.size() ? ChipSeriesNames[type]
                                                              : ChipSeriesNames[0]) +
                    " (type " + std::to_string(type) + ", revision " +
                    std::to_string(ChipRevisionOf(r.chip)) + ")");
        if (r.flashVendor)
            console.Out("  flash:     " + std::string(FlashVendorName(*r.flashVendor)) +
                        " (vendor code " + std::to_string(*r.flashVendor) + ")");
        if (type != 0)
            console.Out("  firmware:  " +
                        (r.firmwareVersion ? *r.firmwareVersion : "(not a Tavrel chip record)"));
        console.Out(std::string("  target:    ") + (r.target ? "yes" : "no"));
        console.Out(std::string("  updated:   ") +
                    (r.alreadyUpdated ? "yes, it holds the embedded firmware" : "no"));
        if (r.row >= 0)
            console.Out("  recover:   --device " + std::to_string(r.row) + "  " +
                        Trimmed(r.listedAs));
        if (r.panelRow >= 0) console.Out("  panel:     --device " + std::to_string(r.panelRow));
    }
    console.Out("");
    console.Out(screenText);
}

}  // namespace

int ListCommand(const GlobalOptions& global, bool json, Console& console,
                const CliEnvironment& environment) {
    if (const auto error = CheckEmulatorDescriptions(global.emulate); !error.empty())
        return Fail(console, json, kExitUsage, error);
    FaceOptions face;
    face.collectMessages = json;
    std::string error;
    auto session = Session::Open(MakeSessionOptions(global, face), console, environment, error);
    if (!session) return Fail(console, json, kExitUsage, error);
    TQ71xFwTool& window = session->Window();
    // The recovery window's screen, before the panel's refresh replaces it.
    const Screen screen = window.CurrentScreen();
    const std::string screenText = Trimmed(window.Control(ControlId::devLable).text);
    const auto reports = ReportPaths(window, session->Services().enumerator);

    if (json) {
        nlohmann::json document = {
            {"device_count", window.DeviceCount()},
            {"screen", ScreenName(screen)},
            {"screen_text", screenText},
            {"devices", nlohmann::json::array()},
            {"messages", nlohmann::json::array()},
            {"problems", window.Problems()},
        };
        for (const auto& r : reports) document["devices"].push_back(ToJson(r));
        for (const auto& m : session->Face().Messages())
            document["messages"].push_back({{"caption", m.caption}, {"text", m.text}});
        console.Out(document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
    } else {
        PrintText(console, reports, screenText);
    }
    if (!window.Problems().empty()) return kExitNoAccess;
    return reports.empty() ? kExitNoDevice : kExitSuccess;
}

}  // namespace qks::cli
