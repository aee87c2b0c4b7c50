// `list`: every path of both enumeration passes, identified once, numbered
// as --device takes them, as text and as one JSON document.
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

std::set<std::string> Keys(const json& object) {
    std::set<std::string> keys;
    for (const auto& item : object.items()) keys.insert(item.key());
    return keys;
}

class ListTest : public CliTest {};

// Disks first, then the CD-ROM pass; the position is the id --device takes,
// and the two interfaces of one bridge are one enclosure.
TEST_F(ListTest, JsonIdentifiesEveryPathOfBothPasses) {
    const auto result = Run({"list", "--json", "--emulate", "q970:iface=both", "--emulate", "q719",
                             "--emulate", "plain", "--emulate", "q970:late=1,content=updated"});
    const json document = ParseList(result);
    struct Expected {
        std::string path;   // after "emu:usbstor#"
        int type, revision;
        bool target, updated;
        size_t enclosure;
        json flashVendor;   // null for a disk without vendor commands
    };
    const std::vector<Expected> expected = {
        {"disk&ven_tavrel&prod_q970#0", 10, 0, true, false, 0, "WINBOND"},
        {"disk&ven_tavrel&prod_q719#1", 4, 1, false, false, 1, "SST"},
        {"disk&ven_generic&prod_plain#2", 0, 0, false, false, 2, nullptr},
        {"disk&ven_tavrel&prod_q970#3", 10, 9, true, true, 3, "WINBOND"},
        {"cdrom&ven_tavrel&prod_q970#0", 10, 0, true, false, 0, "WINBOND"},
    };
    EXPECT_EQ(Keys(document), (std::set<std::string>{"schema_version", "command", "device_count",
                                                     "enclosure_count", "screen_text", "devices",
                                                     "messages", "problems"}));
    EXPECT_EQ(document.at("enclosure_count"), 4);
    EXPECT_EQ(document.at("screen_text"), "Please ensure to update the firmware");
    ASSERT_EQ(document.at("devices").size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const Expected& e = expected[i];
        const json& device = document.at("devices").at(i);
        SCOPED_TRACE(e.path);
        EXPECT_EQ(device.at("id"), i);
        EXPECT_EQ(device.at("path"), "emu:usbstor#" + e.path);
        EXPECT_EQ(device.at("chip").at("id"), e.type | (e.revision << 8));
        EXPECT_EQ(device.at("target"), e.target);
        // Only a target can hold the embedded firmware: the others are neither.
        EXPECT_EQ(device.at("updated"), e.target ? json(e.updated) : json(nullptr));
        EXPECT_EQ(device.at("enclosure"), e.enclosure);
        EXPECT_EQ(device.at("flash_vendor").is_null() ? json(nullptr)
                                                      : device.at("flash_vendor").at("name"),
                  e.flashVendor);
    }
}

// Each device under the number --device takes, with what tells it apart.
TEST_F(ListTest, TextNumbersEachPathWithItsIdentity) {
    const auto result = Run({"list", "--emulate", "q970", "--emulate", "q719", "--emulate",
                             "q970:content=updated"});
    ASSERT_EQ(result.status, kExitSuccess) << result.err;
    for (const char* line : {"[0] emu:usbstor#disk&ven_tavrel&prod_q970#0 (disk)\n  enclosure: 0\n  serial:    EMU0-Q970\n",
                             "[1] emu:usbstor#disk&ven_tavrel&prod_q719#1 (disk)\n",
                             "  chip:      QK60719 Series (type 4, revision 1)\n",
                             "  updated:   yes, it holds the embedded firmware\n",
                             "\nPlease ensure to update the firmware\n"})
        EXPECT_NE(result.out.find(line), std::string::npos) << line << result.out;
    EXPECT_TRUE(result.err.empty()) << result.err;
}

struct ScreenCase {
    std::string name;
    std::vector<std::string> bridges;
    bool unplugged;  // the enumerator lists nothing
    std::string screenText;
    int status;
};

class ListScreenTest : public ListTest, public ::testing::WithParamInterface<ScreenCase> {};

// The recovery window's line for the devices present closes the text and
// is the document's screen_text.
TEST_P(ListScreenTest, EndsWithTheWindowsLine) {
    RunSettings settings;
    if (GetParam().unplugged) settings.adaptServices = NothingPlugged();
    for (const bool asJson : {false, true}) {
        std::vector<std::string> args = {"list"};
        if (asJson) args.push_back("--json");
        for (const auto& bridge : GetParam().bridges)
            args.insert(args.end(), {"--emulate", bridge});
        const auto result = Run(args, settings);
        EXPECT_EQ(result.status, GetParam().status) << result.err;
        EXPECT_EQ(result.commandsSent == 0, GetParam().unplugged);
        if (asJson) {
            const json document = json::parse(result.out);
            EXPECT_EQ(document.at("screen_text"), GetParam().screenText);
            EXPECT_EQ(document.at("device_count"),
                      GetParam().unplugged ? 0 : GetParam().bridges.size());
        } else {
            const std::string last = "\n" + GetParam().screenText + "\n";
            ASSERT_GE(result.out.size(), last.size()) << result.out;
            EXPECT_EQ(result.out.substr(result.out.size() - last.size()), last) << result.out;
            EXPECT_EQ(result.out.rfind("No USB storage device found.\n", 0) == 0,
                      GetParam().unplugged)
                << result.out;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Screens, ListScreenTest,
    ::testing::Values(
        ScreenCase{"WaitingTarget", {"q970"}, false, "Please ensure to update the firmware", 0},
        ScreenCase{"UpdatedTarget", {"q970:content=updated"}, false,
                   "The chip already updated!!", 0},
        // An older bridge is listed, but the window has nothing to recover.
        ScreenCase{"OlderBridgeOnly", {"q719"}, false, "No device found!!", 0},
        ScreenCase{"NothingPlugged", {"q970"}, true, "No device found!!", kExitNoDevice}),
    [](const auto& info) { return info.param.name; });

// One enumeration and one identification: no window refreshing behind it.
TEST_F(ListTest, OneTargetCostsAtMostTwentyOneCommands) {
    const auto result = Run({"list", "--trace", File("t.jsonl"), "--emulate", "q970"});
    ASSERT_EQ(result.status, kExitSuccess) << result.err;
    const auto traced = Traced(File("t.jsonl"));
    EXPECT_GT(traced.size(), 0u);
    EXPECT_LE(traced.size(), 21u);
    EXPECT_TRUE(ModifyingCommands(File("t.jsonl")).empty());
}

// The version is worded by the list itself; it must read exactly as the
// window's own field does.
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
    size_t compared = 0;
    for (size_t row = 0; row < items.size(); ++row) {
        window.UserSelect(ControlId::DeviceList, static_cast<int>(row));
        const std::string path = window.DeviceTable()[row].Path;
        SCOPED_TRACE(path);
        for (const auto& device : document.at("devices")) {
            if (device.at("path") != path) continue;
            ++compared;
            const std::string shown = window.Control(ControlId::FwVerLableEdit).text;
            if (shown.empty())
                EXPECT_TRUE(device.at("firmware_version").is_null());
            else
                EXPECT_EQ(device.at("firmware_version").at("text"), shown);
        }
    }
    EXPECT_EQ(compared, bridges.size());
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

// A message box goes to stderr with its caption; with --json it goes into
// the document instead, so that stdout stays one document.
TEST_F(ListTest, MessageBoxesGoToStderrOrIntoTheDocument) {
    const auto text = Run({"list", "--emulate", "q743:rev=3"});
    EXPECT_NE(text.err.find("[Error] Get chip information fail !\n"), std::string::npos)
        << text.err;
    EXPECT_EQ(text.out.find("[Error]"), std::string::npos) << text.out;

    const auto result = Run({"list", "--json", "--emulate", "q743:rev=3"});
    const json document = ParseList(result);
    std::set<std::string> texts;
    for (const auto& message : document.at("messages"))
        texts.insert(message.at("caption").get<std::string>() + ": " +
                     message.at("text").get<std::string>());
    EXPECT_TRUE(texts.count("Error: Get chip information fail !")) << result.out;
    EXPECT_EQ(result.err.find("[Error]"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace qks::cli::test
