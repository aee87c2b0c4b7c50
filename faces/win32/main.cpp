// The program: options, the platform below the window, the window model and
// its Win32 face, and the message loop.
#include <windows.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/tq71x_fw_tool.h"
#include "faces/common/runtime.h"
#include "faces/win32/command_line.h"
#include "faces/win32/self_test.h"
#include "faces/win32/win32_face.h"

namespace {

using qks::win32::kProgramName;

// A window program has no console of its own. Started from one, it writes
// into that; with its output redirected, into the file; otherwise nowhere,
// and a message box says what the console would have.
bool ConnectConsole() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) return true;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return false;
    std::freopen("CONOUT$", "w", stdout);
    std::freopen("CONOUT$", "w", stderr);
    return true;
}

void Say(bool console, std::FILE* stream, const std::string& text, UINT icon) {
    if (console) {
        std::fputs(text.c_str(), stream);
        std::fflush(stream);
    } else {
        MessageBoxA(nullptr, text.c_str(), qks::kWindowDescription.applicationTitle, MB_OK | icon);
    }
}

std::string ProgramFolder() {
    char path[MAX_PATH * 4] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder(path, length);
    const size_t slash = folder.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

// The self-test keeps its backups apart from the user's.
std::string SelfTestBackupFolder() {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("qks970-self-test-" + std::to_string(GetCurrentProcessId()));
    return folder.string();
}

int Run(const qks::win32::CommandLine& line, bool console) {
    qks::RuntimeOptions options;
    options.emulate = line.emulate;
    options.traceFile = line.traceFile;
    options.imagesFolder = line.imagesFolder;
    options.virtualTime = line.virtualTime;
    options.programFolder = ProgramFolder();
    if (line.selfTest) options.backupFolder = SelfTestBackupFolder();
    std::string error;
    qks::RuntimeFailure failure = qks::RuntimeFailure::System;
    std::unique_ptr<qks::Runtime> runtime = qks::Runtime::Create(options, error, &failure);
    if (!runtime && failure == qks::RuntimeFailure::Image) {
        // A refused image file is the user's to fix: a box names it even
        // when a console is there too.
        if (console) Say(true, stderr, std::string(kProgramName) + ": " + error + "\n", 0);
        Say(false, nullptr, error, MB_ICONERROR);
        return 2;
    }
    if (!runtime) {
        Say(console, stderr, std::string(kProgramName) + ": " + error + "\n", MB_ICONERROR);
        return line.emulate.empty() ? 1 : 2;
    }
    if (line.verbose && !runtime->Warning().empty())
        std::fprintf(stderr, "%s: %s\n", kProgramName, runtime->Warning().c_str());

    qks::win32::Win32Face face(GetModuleHandleA(nullptr));
    face.SetVerbose(line.verbose);
    std::vector<std::pair<std::string, std::string>> boxes;
    if (line.selfTest) face.RecordMessageBoxes(&boxes);
    // The emulator's notices take the road of the system's: WM_DEVICECHANGE.
    if (runtime->Notifier())
        runtime->Notifier()->Subscribe([&face](uint32_t code) { face.PostDeviceChange(code); });

    qks::TQ71xFwTool window(runtime->Services(), face);
    face.Bind(&window);
    if (runtime->Emulator()) face.AddPowerSwitches(*runtime->Emulator());
    if (line.engineering) window.EnableEngineeringMode();
    window.FormCreate(nullptr);
    face.RegisterForDeviceNotices();
    face.Show(SW_SHOWNORMAL);

    int status = 0;
    if (line.selfTest) {
        status = qks::win32::RunSelfTest(face, window, *runtime->Emulator(), boxes, stdout);
        std::error_code ignored;
        std::filesystem::remove_all(options.backupFolder, ignored);
    } else {
        face.RunMessageLoop();
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    const qks::win32::CommandLineParse parsed = qks::win32::ParseCommandLine(arguments);
    const bool wantsConsole = !parsed.line || parsed.line->help || parsed.line->version ||
                              parsed.line->selfTest || parsed.line->verbose;
    const bool console = wantsConsole && ConnectConsole();
    if (const auto answer = qks::AnswerBeforeWindow(
            kProgramName, parsed.error, parsed.line ? &*parsed.line : nullptr,
            qks::win32::UsageText())) {
        Say(console, answer->onErrorStream ? stderr : stdout, answer->text,
            answer->onErrorStream ? MB_ICONERROR : MB_ICONINFORMATION);
        return answer->status;
    }
    // The message loop's last word on an error nobody handled: shown, then the end.
    try {
        return Run(*parsed.line, console);
    } catch (const std::exception& e) {
        Say(console && parsed.line->selfTest, stderr, std::string(e.what()) + "\n", MB_ICONERROR);
    } catch (...) {
        Say(console && parsed.line->selfTest, stderr, "\n", MB_ICONERROR);
    }
    return 1;
}
