// Runs qks970 in-process against emulated bridges, each test in a folder of
// its own, with the emulator in virtual time so nothing sleeps.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/enumerators.h"
#include "device/vendor_commands.h"
#include "emulator/platform.h"
#include "faces/cli/cli.h"
#include "faces/common/runtime.h"

namespace qks::cli::test {
using qks::test::EmptyEnumerator;
using qks::test::RealLookingEnumerator;

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
    bool runtimeBuilt = false;
    uint64_t commandsSent = 0;  // to the emulated bridges, once the model was gone
};

struct RunSettings {
    std::string input;  // what the user types
    bool inputIsTerminal = false;
    bool errIsTerminal = false;
    std::function<DeviceServices(DeviceServices)> adaptServices;
    std::function<void(Runtime&)> startedRuntime;
    // Called while the runtime still lives, after the command has ended.
    std::function<void(Runtime&)> endingRuntime;
};

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline size_t CountLines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A node the user may not open: nothing listed, and the fix to tell.
class LockedEnumerator final : public DeviceEnumerator {
public:
    std::vector<InterfaceInfo> ListUsbStorage(InterfaceClass) override { return {}; }
    std::vector<std::string> TakeProblems() override {
        return {"cannot open /dev/sg3 (owner root, group disk, mode 0660): permission denied; "
                "join the group disk or add a udev rule"};
    }
};

inline void SetVariable(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
        dir_ = std::filesystem::temp_directory_path() / ("qks970-cli-" + name);
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        // Image files the machine has in its data folders stay out of the tests.
        for (const char* variable : {"XDG_DATA_HOME", "XDG_DATA_DIRS", "LOCALAPPDATA"})
            SetVariable(variable, File("no-images"));
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string File(const std::string& name) const { return (dir_ / name).string(); }

    CliResult Run(std::vector<std::string> args, RunSettings settings = {}) {
        args.insert(args.begin(), {"--virtual-time", "--backup-dir", File("backups")});
        CliResult result;
        std::istringstream input(settings.input);
        std::ostringstream out;
        std::ostringstream err;
        CliEnvironment environment;
        environment.input = &input;
        environment.inputIsTerminal = settings.inputIsTerminal;
        environment.errIsTerminal = settings.errIsTerminal;
        environment.adaptServices = settings.adaptServices;
        environment.startedRuntime = settings.startedRuntime;
        environment.inspectRuntime = [&result, &settings](Runtime& runtime) {
            if (settings.endingRuntime) settings.endingRuntime(runtime);
            result.runtimeBuilt = true;
            if (runtime.Emulator()) result.commandsSent = runtime.Emulator()->CommandsSent();
        };
        result.status = RunCli(args, out, err, environment);
        result.out = out.str();
        result.err = err.str();
        return result;
    }

    // An emulated bridge whose flash lives in a file of the test's folder.
    std::string Bridge(const std::string& profile, const std::string& file,
                       const std::string& keys = "") const {
        return profile + ":flash=" + File(file) + (keys.empty() ? "" : "," + keys);
    }
    // The flash file as a first look at the bridge creates it.
    std::vector<uint8_t> CreateFlash(const std::string& description, const std::string& file) {
        const auto listed = Run({"list", "--emulate", description});
        EXPECT_EQ(listed.status, kExitSuccess) << listed.err;
        return ReadBytes(File(file));
    }
    // A firmware file whose tag record names a chip: signature, then the
    // chip number and the revision digit.
    std::string TaggedFile(const std::string& name, const std::string& tag) {
        std::vector<uint8_t> bytes = {0x55, 0xAA, 0xAA, 0x55};
        bytes.insert(bytes.end(), tag.begin(), tag.end());
        bytes.resize(4096, 0xFF);
        WriteBytes(File(name), bytes);
        return File(name);
    }

    // The model is built over the adapted services; the wrapper must outlive it.
    static std::function<DeviceServices(DeviceServices)> LooksReal() {
        auto holder = std::make_shared<std::unique_ptr<RealLookingEnumerator>>();
        return [holder](DeviceServices services) {
            *holder = std::make_unique<RealLookingEnumerator>(services.enumerator);
            return services.WithEnumerator(**holder);
        };
    }
    static std::function<DeviceServices(DeviceServices)> NodeLocked() {
        auto locked = std::make_shared<LockedEnumerator>();
        return [locked](DeviceServices services) { return services.WithEnumerator(*locked); };
    }
    static std::function<DeviceServices(DeviceServices)> NothingPlugged() {
        auto empty = std::make_shared<EmptyEnumerator>();
        return [empty](DeviceServices services) {
            return services.WithEnumerator(*empty);
        };
    }

    // Every traced command, one JSON object each; none when nothing was traced.
    static std::vector<nlohmann::json> Traced(const std::string& trace) {
        std::vector<nlohmann::json> records;
        std::ifstream in(trace);
        for (std::string line; std::getline(in, line);)
            records.push_back(nlohmann::json::parse(line));
        return records;
    }

    // The sequence number of the n-th traced command (from 1) whose CDB starts so.
    static std::optional<uint64_t> NthCommand(const std::string& trace,
                                              const std::string& cdbPrefix, int n = 1) {
        for (const auto& record : Traced(trace))
            if (record.at("cdb").get<std::string>().rfind(cdbPrefix, 0) == 0 && --n == 0)
                return record.at("seq").get<uint64_t>();
        return std::nullopt;
    }

    // The traced commands that change a flash or a ROM (erase, write, program).
    static std::vector<std::string> ModifyingCommands(const std::string& trace) {
        std::vector<std::string> found;
        for (const auto& record : Traced(trace)) {
            const std::string hex = record.at("cdb");
            std::vector<uint8_t> cdb;
            for (size_t i = 0; i + 1 < hex.size(); i += 2)
                cdb.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
            if (SummarizeCommand(cdb.data(), cdb.size()).modifiesMemory) found.push_back(hex);
        }
        return found;
    }

    std::filesystem::path dir_;
};

// Vendor CDB openings, as the trace spells them.
inline constexpr const char* kEraseSectorCdb = "ff0414";
inline constexpr const char* kWriteFlashCdb = "ff0411";

}  // namespace qks::cli::test
