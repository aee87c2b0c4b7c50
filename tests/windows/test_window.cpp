// The Win32 window over the model, through its own messages: built from the
// form description, kept in step with the model on every screen, and the
// user's events forwarded. Needs a display (xvfb-run under Wine).
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/tq71x_fw_tool.h"
#include "device/clock.h"
#include "emulator/platform.h"
#include "faces/win32/command_line.h"
#include "faces/win32/power_switches.h"
#include "faces/win32/self_test.h"
#include "faces/win32/win32_face.h"
#include "firmware/image_store.h"

namespace qks::win32 {
namespace {

// A window over emulated bridges, as the program composes it.
struct EmulatedWindow {
    explicit EmulatedWindow(std::vector<std::string> bridges)
        : platform(clock, EmbeddedImages().Find(kTargetImageName)), face(GetModuleHandleA(nullptr)) {
        for (const auto& description : bridges) EXPECT_TRUE(platform.AddBridge(description).ok());
        face.RecordMessageBoxes(&boxes);
        platform.Subscribe([this](uint32_t code) { face.PostDeviceChange(code); });
        DeviceServices services(platform, platform, clock, EmbeddedImages());
        model = std::make_unique<TQ71xFwTool>(services, face);
        face.Bind(model.get());
        face.AddPowerSwitches(platform);
        face.Show(SW_SHOWNOACTIVATE);
        face.ProcessPendingEvents();
    }
    ~EmulatedWindow() { face.CloseWindow(); }

    void ExpectMatchesModel(const std::string& when) {
        CheckList checks;
        CompareWithModel(face, *model, checks, when);
        for (const auto& failure : checks.Failures()) ADD_FAILURE() << failure;
    }

    VirtualClock clock;
    emu::EmulatorPlatform platform;
    std::vector<std::pair<std::string, std::string>> boxes;
    Win32Face face;
    std::unique_ptr<TQ71xFwTool> model;
};

TEST(Window, OpensOnConfirmWithEveryControlAsTheModelHasIt) {
    EmulatedWindow w({"q970"});
    EXPECT_EQ(w.model->CurrentScreen(), Screen::Confirm);
    w.ExpectMatchesModel("Confirm");
    char caption[128] = {};
    GetWindowTextA(w.face.Window(), caption, sizeof caption);
    EXPECT_STREQ(caption, "Tavrel QKS970 Firmware Update Utility v0.1");
    // A fixed dialog border: no sizing frame, no minimise or maximise box.
    const LONG_PTR style = GetWindowLongPtrA(w.face.Window(), GWL_STYLE);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    EXPECT_NE(style & WS_CAPTION, 0);
    RECT form;
    GetClientRect(w.face.Form(), &form);
    EXPECT_EQ(form.right, 338);
    EXPECT_EQ(form.bottom, 100);
    EXPECT_TRUE(w.boxes.empty());
}

TEST(Window, ControlsAreTheKindsTheFormNames) {
    EmulatedWindow w({"q970"});
    auto classOf = [&](ControlId id) {
        char name[64] = {};
        GetClassNameA(w.face.Native(id), name, sizeof name);
        return std::string(name);
    };
    auto style = [&](ControlId id) { return GetWindowLongPtrA(w.face.Native(id), GWL_STYLE); };
    EXPECT_EQ(classOf(ControlId::devLable), "Static");
    EXPECT_EQ(classOf(ControlId::EraseButton), "Button");
    EXPECT_EQ(style(ControlId::RdCheckBox) & BS_TYPEMASK, BS_AUTOCHECKBOX);
    EXPECT_EQ(classOf(ControlId::FwSizeCheck), "ComboBox");
    EXPECT_EQ(style(ControlId::FwSizeCheck) & 3, CBS_DROPDOWNLIST);
    EXPECT_EQ(classOf(ControlId::StatusEdit), "Edit");
    EXPECT_NE(style(ControlId::StatusEdit) & ES_READONLY, 0);
    EXPECT_EQ(style(ControlId::FwFilenameEdit) & ES_READONLY, 0);
    EXPECT_EQ(classOf(ControlId::FwUpdatBar), "msctls_progress32");
    // Children of the engineering panel live in it.
    EXPECT_EQ(GetParent(w.face.Native(ControlId::BackupBtn)), w.face.Native(ControlId::RdPanel));
    EXPECT_EQ(GetParent(w.face.Native(ControlId::EraseButton)), w.face.Form());
    EXPECT_EQ(w.face.Native(ControlId::OpenDialog1), nullptr);
}

TEST(Window, ControlsUseTheDesignedFonts) {
    EmulatedWindow w({"q970"});
    auto font = [&](ControlId id) {
        LOGFONTA f{};
        GetObjectA(reinterpret_cast<HFONT>(SendMessageA(w.face.Native(id), WM_GETFONT, 0, 0)),
                   sizeof f, &f);
        return f;
    };
    EXPECT_STREQ(font(ControlId::devLable).lfFaceName, "Arial");
    EXPECT_EQ(font(ControlId::devLable).lfHeight, -19);
    EXPECT_EQ(font(ControlId::devLable).lfCharSet, ANSI_CHARSET);
    EXPECT_STREQ(font(ControlId::EraseButton).lfFaceName, "Arial");
    EXPECT_EQ(font(ControlId::EraseButton).lfHeight, -13);
    EXPECT_STREQ(font(ControlId::FwSizeCheck).lfFaceName, "MS Sans Serif");
    EXPECT_EQ(font(ControlId::FwSizeCheck).lfHeight, -13);
    EXPECT_STREQ(font(ControlId::BackupBtn).lfFaceName, "MS Sans Serif");
    EXPECT_EQ(font(ControlId::BackupBtn).lfHeight, -11);
}

TEST(Window, YesRecoversAndThePowerCycleEndsInAlreadyUpdated) {
    EmulatedWindow w({"q970"});
    ClickNative(w.face.Native(ControlId::EraseButton));
    EXPECT_EQ(w.model->CurrentScreen(), Screen::Success);
    w.ExpectMatchesModel("Success");
    const auto& bar = w.face.BarRepaints();
    ASSERT_FALSE(bar.empty());
    EXPECT_EQ(bar.front(), 20);
    EXPECT_TRUE(std::is_sorted(bar.begin(), bar.end()));
    EXPECT_LE(bar.back(), 100);

    ASSERT_NE(w.face.Switches(), nullptr);
    ClickNative(w.face.Switches()->Switch(0));
    EXPECT_TRUE(PumpUntil(w.face, [&] { return w.model->CurrentScreen() == Screen::NoDevice; }));
    EXPECT_EQ(SendMessageA(w.face.Switches()->Switch(0), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(DrawnTextColor(w.face, ControlId::devLable), RGB(255, 0, 0));
    w.ExpectMatchesModel("NoDevice");

    ClickNative(w.face.Switches()->Switch(0));
    EXPECT_TRUE(PumpUntil(w.face, [&] { return w.model->CurrentScreen() == Screen::AlreadyUpdated; }));
    w.ExpectMatchesModel("AlreadyUpdated");
    EXPECT_TRUE(w.boxes.empty());
}

TEST(Window, WithoutADeviceOnlyExitShows) {
    EmulatedWindow w({});
    EXPECT_EQ(w.model->CurrentScreen(), Screen::NoDevice);
    w.ExpectMatchesModel("NoDevice");
    EXPECT_TRUE(IsWindowVisible(w.face.Native(ControlId::ExtBtn)));
    EXPECT_FALSE(IsWindowVisible(w.face.Native(ControlId::EraseButton)));
    EXPECT_FALSE(IsWindowVisible(w.face.Native(ControlId::ExitBtn)));
    EXPECT_EQ(DrawnTextColor(w.face, ControlId::devLable), RGB(255, 0, 0));
}

TEST(Window, SystemNoticesRefreshAndOthersAreIgnored) {
    EmulatedWindow w({"q970"});
    w.platform.Unplug(0);
    // Its own notice (posted) is taken off the queue: only the system's count here.
    MSG own;
    while (PeekMessageA(&own, w.face.Window(), kPostedDeviceChange, kPostedDeviceChange, PM_REMOVE)) {
    }
    // A removal query changes nothing; a removal refreshes, once its batch
    // has settled.
    SendMessageA(w.face.Window(), WM_DEVICECHANGE, 0x8001, 0);
    EXPECT_FALSE(PumpUntil(w.face, [&] { return w.model->CurrentScreen() != Screen::Confirm; }, 80));
    SendMessageA(w.face.Window(), WM_DEVICECHANGE, 0x8004, 0);
    EXPECT_EQ(w.model->CurrentScreen(), Screen::Confirm) << "not before the batch has settled";
    const ULONGLONG until = GetTickCount64() + 5000;
    bool refreshed = false;
    while (!refreshed && GetTickCount64() < until)
        refreshed = PumpUntil(w.face, [&] { return w.model->CurrentScreen() == Screen::NoDevice; }, 10);
    EXPECT_TRUE(refreshed);
    w.ExpectMatchesModel("NoDevice after a removal");
}

TEST(Window, CtrlShiftROpensTheEngineeringControls) {
    EmulatedWindow w({"q719", "q970"});
    ACCEL accel[4] = {};
    ASSERT_EQ(CopyAcceleratorTableA(w.face.Accelerators(), accel, 4), 1);
    EXPECT_EQ(accel[0].key, 'R');
    EXPECT_EQ(accel[0].fVirt & (FCONTROL | FSHIFT | FVIRTKEY), FCONTROL | FSHIFT | FVIRTKEY);
    EXPECT_EQ(accel[0].cmd, kEngineeringCommand);

    SendMessageA(w.face.Window(), WM_COMMAND, MAKEWPARAM(kEngineeringCommand, 1), 0);
    EXPECT_TRUE(w.model->EngineeringMode());
    EXPECT_TRUE(IsWindowVisible(w.face.Native(ControlId::DeviceList)));
    EXPECT_TRUE(IsWindowVisible(w.face.EditLabel(ControlId::StatusEdit)));
    w.ExpectMatchesModel("engineering");
    RECT form;
    GetClientRect(w.face.Form(), &form);
    EXPECT_GT(form.bottom, 100);
}

TEST(Window, UserEventsReachTheModelAndItsAnswersComeBack) {
    EmulatedWindow w({"q719", "q970"});
    SendMessageA(w.face.Window(), WM_COMMAND, MAKEWPARAM(kEngineeringCommand, 1), 0);
    ASSERT_TRUE(w.model->EngineeringMode());

    // Typing a file name that is no firmware of this chip: once the edit
    // ends the selection check runs and says so.
    const HWND file = w.face.Native(ControlId::FwFilenameEdit);
    SetWindowTextA(file, "C:\\nothing-here.bin");
    EXPECT_EQ(w.model->Control(ControlId::FwFilenameEdit).text, "C:\\nothing-here.bin");
    EXPECT_TRUE(w.boxes.empty());
    SendMessageA(GetParent(file), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(file), EN_KILLFOCUS),
                 reinterpret_cast<LPARAM>(file));
    using Box = std::pair<std::string, std::string>;
    EXPECT_EQ(w.boxes, (std::vector<Box>{{"Error", "Open Firmware File Error!!"},
                                         {"Message", kMismatchText}}));

    // A choice in a drop-down list, as CBN_SELCHANGE reports it.
    const HWND sizes = w.face.Native(ControlId::FwSizeCheck);
    SendMessageA(sizes, CB_SETCURSEL, 3, 0);
    SendMessageA(GetParent(sizes), WM_COMMAND,
                 MAKEWPARAM(GetDlgCtrlID(sizes), CBN_SELCHANGE), reinterpret_cast<LPARAM>(sizes));
    EXPECT_EQ(w.model->Control(ControlId::FwSizeCheck).selected, 3);
    EXPECT_EQ(w.model->FirmwareSize(), 262144u);

    // A tick the model takes; the panel opens below.
    ClickNative(w.face.Native(ControlId::RdCheckBox));
    EXPECT_TRUE(w.model->Control(ControlId::RdCheckBox).checked);
    EXPECT_TRUE(IsWindowVisible(w.face.Native(ControlId::RdPanel)));
    w.ExpectMatchesModel("panel open");
}

TEST(Window, ProgrammaticTextIsNotTakenForTyping) {
    EmulatedWindow w({"q719", "q970"});
    SendMessageA(w.face.Window(), WM_COMMAND, MAKEWPARAM(kEngineeringCommand, 1), 0);
    // The model writes its status; the face must not hand it back as input
    // (the read-only field would refuse it, the model would recurse).
    const size_t before = w.boxes.size();
    w.model->SetStatusText("Working ...");
    EXPECT_EQ(w.model->StatusText(), "Working ...");
    char text[64] = {};
    GetWindowTextA(w.face.Native(ControlId::StatusEdit), text, sizeof text);
    EXPECT_STREQ(text, "Working ...");
    EXPECT_EQ(w.boxes.size(), before);
}

TEST(Window, CloseBoxClosesLikeNo) {
    EmulatedWindow w({"q970"});
    SendMessageA(w.face.Window(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(w.face.Destroyed());
    EXPECT_TRUE(w.model->CloseRequested());
    MSG quit;
    EXPECT_TRUE(PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST(WindowPieces, FileDialogFilterTakesTheSystemsForm) {
    using namespace std::string_literals;
    EXPECT_EQ(OpenFileNameFilter("BinaryFile|*.bin|All Files|*.*"),
              "BinaryFile\0*.bin\0All Files\0*.*\0\0"s);
    EXPECT_EQ(OpenFileNameFilter("Images|*.bin;*.img|Dangling"), "Images\0*.bin;*.img\0\0"s);
    EXPECT_EQ(OpenFileNameFilter(""), "\0"s);
}

TEST(WindowPieces, FormColoursBecomeColorRefs) {
    EXPECT_EQ(ColorRefFor(kRed), RGB(255, 0, 0));
    EXPECT_EQ(ColorRefFor(kBlack), RGB(0, 0, 0));
    EXPECT_EQ(ColorRefFor(kNavy), RGB(0, 0, 128));
    EXPECT_EQ(ColorRefFor(kWindowText), GetSysColor(COLOR_WINDOWTEXT));
    EXPECT_EQ(ColorRefFor(kButtonFace), GetSysColor(COLOR_BTNFACE));
}

TEST(CommandLine, OptionsOfTheProgram) {
    auto parse = [](std::vector<std::string> args) {
        args.insert(args.begin(), "qks970-recovery.exe");
        return ParseCommandLine(args);
    };
    auto ok = parse({"--emulate", "q970", "--emulate=q719:content=blank", "--trace", "t.jsonl",
                     "--engineering", "-v", "--images=imgs"});
    ASSERT_TRUE(ok.line) << ok.error;
    EXPECT_EQ(ok.line->emulate, (std::vector<std::string>{"q970", "q719:content=blank"}));
    EXPECT_EQ(ok.line->traceFile, "t.jsonl");
    EXPECT_EQ(ok.line->imagesFolder, "imgs");
    EXPECT_TRUE(ok.line->engineering);
    EXPECT_FALSE(ok.line->selfTest);
    EXPECT_TRUE(ok.line->verbose);
    const auto selfTest = parse({"--emulate", "q970", "--self-test", "--virtual-time"});
    ASSERT_TRUE(selfTest.line) << selfTest.error;
    EXPECT_TRUE(selfTest.line->selfTest);
    EXPECT_TRUE(selfTest.line->virtualTime);

    EXPECT_TRUE(parse({}).line);
    EXPECT_TRUE(parse({"--help"}).line->help);
    EXPECT_NE(parse({"--emulate"}).error.find("needs a device description"), std::string::npos);
    EXPECT_NE(parse({"--emulate", "q999"}).error.find("q999"), std::string::npos);
    EXPECT_NE(parse({"--trace"}).error.find("file name"), std::string::npos);
    EXPECT_NE(parse({"--trace="}).error.find("file name"), std::string::npos);
    EXPECT_NE(parse({"--frobnicate"}).error.find("unknown option"), std::string::npos);
    EXPECT_NE(parse({"stray"}).error.find("unexpected argument"), std::string::npos);
    // The self-test works on an emulated bridge only.
    EXPECT_FALSE(parse({"--self-test"}).line);
    EXPECT_FALSE(parse({"--emulate", "q970", "--self-test", "--engineering"}).line);
}

}  // namespace
}  // namespace qks::win32
