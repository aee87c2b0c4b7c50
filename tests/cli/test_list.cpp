// `list`: every path of both enumeration passes, identified, as text and as
// one JSON document.
#include <set>

#include "app/tq71x_fw_tool.h"
#include "cli/cli_harness.h"
#include "device/clock.h"
#include "firmware/image_store.h"

namespace qks::cli::test {
namespace {

using nlohmann::json;

json ParseList(const CliResult& result) {
    EXPECT_EQ(result.status, kExitSuccess) << result.err;
    return json::parse(result.out);
}

const json* DeviceAt(const json& document, const std::string& path) {
    for (const auto& device : document.at("devices"))
        if (device.at("path") == path) return &device;
    return nullptr;
}

class ListTest : public CliTest {};

struct Expected {
    std::string path;
    std::string interface;
    int type;
    std::string series;
    bool target;
    json row;          // null when the recovery window does not list it
    json panelRow;     // null when the engineering panel does not list it
    json flashVendor;  // null for a disk without vendor commands
};

TEST_F(ListTest, JsonIdentifiesEveryPathOfBothPasses) {
    const auto result = Run({"list", "--json", "--emulate", "q970:iface=both", "--emulate", "q719",
                             "--emulate", "plain", "--emulate", "q970:content=updated"});
    const json document = ParseList(result);
    // Disks first, then the CD-ROM pass.
    const std::vector<Expected> expected = {
        {"emu:usbstor#disk&ven_tavrel&prod_q970#0", "disk", 10, "QKS970/958 Series", true, 0, 0,
         "WINBOND"},
        {"emu:usbstor#disk&ven_tavrel&prod_q719#1", "disk", 4, "QK60719 Series", false, nullptr, 1,
         "SST"},
        {"emu:usbstor#disk&ven_generic&prod_plain#2", "disk", 0, "Unknown Chip", false, nullptr,
         nullptr, nullptr},
        // Already updated: not for recovery, but the panel lists it (a restore, say).
        {"emu:usbstor#disk&ven_tavrel&prod_q970#3", "disk", 10, "QKS970/958 Series", true, nullptr,
         2, "WINBOND"},
        {"emu:usbstor#cdrom&ven_tavrel&prod_q970#0", "cdrom", 10, "QKS970/958 Series", true, 1, 3,
         "WINBOND"},
    };
    EXPECT_EQ(document.at("device_count"), expected.size());
    ASSERT_EQ(document.at("devices").size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].path);
        const json& device = document.at("devices").at(i);
        EXPECT_EQ(device.at("path"), expected[i].path);
        EXPECT_EQ(device.at("interface"), expected[i].interface);
        EXPECT_EQ(device.at("chip").at("type"), expected[i].type);
        EXPECT_EQ(device.at("chip").at("series"), expected[i].series);
        EXPECT_EQ(device.at("target"), expected[i].target);
        EXPECT_EQ(device.at("row"), expected[i].row);
        EXPECT_EQ(device.at("panel_row"), expected[i].panelRow);
        if (expected[i].flashVendor.is_null())
            EXPECT_TRUE(device.at("flash_vendor").is_null());
        else
            EXPECT_EQ(device.at("flash_vendor").at("name"), expected[i].flashVendor);
    }
    EXPECT_EQ(document.at("devices").at(3).at("already_updated"), true);
    EXPECT_EQ(document.at("devices").at(0).at("already_updated"), false);
    EXPECT_EQ(document.at("screen"), "Confirm");
    EXPECT_EQ(document.at("screen_text"), "Please ensure to update the firmware");
}

TEST_F(ListTest, JsonReportsTheRevisionAndTheAlreadyUpdatedScreen) {
    const auto document =
        ParseList(Run({"list", "--json", "--emulate", "q970:late=1,content=updated"}));
    const json& device = document.at("devices").at(0);
    EXPECT_EQ(device.at("chip").at("revision"), 9);
    EXPECT_EQ(device.at("chip").at("id"), 10 | (9 << 8));
    EXPECT_EQ(device.at("already_updated"), true);
    EXPECT_TRUE(device.at("row").is_null());
    EXPECT_EQ(document.at("screen"), "AlreadyUpdated");
    EXPECT_EQ(document.at("screen_text"), "The chip already updated!!");
}

// The screen is the recovery window's, even though the panel lists more.
TEST_F(ListTest, AnOlderBridgeIsListedForThePanelOnly) {
    const auto document = ParseList(Run({"list", "--json", "--emulate", "q719"}));
    const json& device = document.at("devices").at(0);
    EXPECT_TRUE(device.at("row").is_null());
    EXPECT_EQ(device.at("panel_row"), 0);
    EXPECT_EQ(document.at("screen"), "NoDevice");
    EXPECT_EQ(document.at("screen_text"), "No device found!!");
}

// The version is worded by the list itself for paths the window never
// selects; it must read exactly as the window's own field does.
TEST_F(ListTest, FirmwareVersionReadsAsTheWindowShowsIt) {
    const std::vector<std::string> bridges = {"q970", "q719",     "q715", "q743:rev=2",
                                              "q742", "qk60717w", "q716"};
    std::vector<std::string> args = {"list", "--json"};
    for (const auto& bridge : bridges) args.insert(args.end(), {"--emulate", bridge});
    const json document = ParseList(Run(args));

    VirtualClock clock;
    emu::EmulatorPlatform platform(clock, EmbeddedImages().Find(kTargetImageName));
    for (const auto& bridge : bridges) ASSERT_TRUE(platform.AddBridge(bridge).ok());
    NullFace face;
    TQ71xFwTool window(
        DeviceServices(platform, platform, clock, EmbeddedImages()), face);
    window.EnableEngineeringMode();  // lists every identified bridge
    const auto& items = window.Control(ControlId::DeviceList).items;
    ASSERT_EQ(items.size(), bridges.size());
    for (size_t row = 0; row < items.size(); ++row) {
        window.UserSelect(ControlId::DeviceList, static_cast<int>(row));
        const std::string path = window.DeviceTable()[row].Path;
        SCOPED_TRACE(path);
        const json* device = DeviceAt(document, path);
        ASSERT_NE(device, nullptr);
        const std::string shown = window.Control(ControlId::FwVerLableEdit).text;
        if (shown.empty())
            EXPECT_TRUE(device->at("firmware_version").is_null());
        else
            EXPECT_EQ(device->at("firmware_version"), shown);
    }
}

TEST_F(ListTest, TextNamesEachPathWithItsIdentity) {
    const auto result = Run({"list", "--emulate", "q970", "--emulate", "plain"});
    ASSERT_EQ(result.status, kExitSuccess) << result.err;
    const std::vector<std::string> expected = {
        "2 USB storage paths found.",
        "emu:usbstor#disk&ven_tavrel&prod_q970#0 (disk)",
        "  chip:      QKS970/958 Series (type 10, revision 0)",
        "  flash:     WINBOND (vendor code 6)",
        "  target:    yes",
        "  updated:   no",
        "  recover:   --device 0  <<USB>> Tavrel  QKS970 USB Disk",
        "  panel:     --device 0",
        "emu:usbstor#disk&ven_generic&prod_plain#1 (disk)",
        "  chip:      Unknown Chip (type 0, revision 0)",
        "  target:    no",
        "Please ensure to update the firmware",
    };
    size_t from = 0;
    for (const auto& line : expected) {
        const size_t at = result.out.find(line + "\n", from);
        ASSERT_NE(at, std::string::npos) << "missing, in order: " << line << "\n" << result.out;
        from = at + line.size();
    }
}

// A present device nobody may open is not "no device": the fix is printed
// once and the status says access was refused.
TEST_F(ListTest, ALockedNodeIsReportedWithItsFixAndItsOwnStatus) {
    RunSettings settings;
    settings.adaptServices = NodeLocked();
    for (const std::string command : {"list", "recover"}) {
        std::vector<std::string> args = {command, "--emulate", "q970"};
        if (command == "recover") args.push_back("--yes");
        const auto result = Run(args, settings);
        EXPECT_EQ(result.status, kExitNoAccess) << command;
        const std::string all = result.out + result.err;
        const auto first = all.find("/dev/sg3");
        ASSERT_NE(first, std::string::npos) << all;
        EXPECT_NE(all.find("join the group disk"), std::string::npos);
        EXPECT_EQ(all.find("/dev/sg3", first + 1), std::string::npos) << "said more than once:\n" << all;
    }
}

TEST_F(ListTest, NothingPluggedInIsNoDevice) {
    RunSettings settings;
    settings.adaptServices = NothingPlugged();
    for (const bool json : {false, true}) {
        std::vector<std::string> args = {"list", "--emulate", "q970"};
        if (json) args.push_back("--json");
        const auto result = Run(args, settings);
        EXPECT_EQ(result.status, kExitNoDevice);
        EXPECT_EQ(result.commandsSent, 0u);
        if (json) {
            const auto document = json::parse(result.out);
            EXPECT_TRUE(document.at("devices").empty());
            EXPECT_EQ(document.at("screen"), "NoDevice");
        } else {
            EXPECT_NE(result.out.find("No USB storage device found."), std::string::npos);
            EXPECT_NE(result.out.find("No device found!!"), std::string::npos);
        }
    }
}

// With --json a message box must not break the document: it goes into it.
TEST_F(ListTest, JsonCarriesMessageBoxesInsteadOfPrintingThem) {
    const auto result = Run({"list", "--json", "--emulate", "q743:rev=3"});
    const json document = ParseList(result);
    std::set<std::string> texts;
    for (const auto& message : document.at("messages"))
        texts.insert(message.at("caption").get<std::string>() + ": " +
                     message.at("text").get<std::string>());
    EXPECT_TRUE(texts.count("Error: Get chip information fail !")) << result.out;
    EXPECT_EQ(result.out.find("[Error]"), std::string::npos);
}

TEST_F(ListTest, TextPrintsMessageBoxesWithTheirCaption) {
    const auto result = Run({"list", "--emulate", "q743:rev=3"});
    EXPECT_NE(result.out.find("[Error] Get chip information fail !\n"), std::string::npos)
        << result.out;
}

}  // namespace
}  // namespace qks::cli::test
