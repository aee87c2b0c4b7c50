// What the commands share: failure reporting, the session's options, row
// selection and the input checks.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "emulator/description.h"
#include "faces/cli/commands.h"
#include "faces/cli/json_documents.h"

namespace qks::cli {

int Fail(Console& console, bool json, int status, const std::string& message) {
    console.Err("qks970: " + message);
    if (json)
        console.Out(DumpJson(
            {{"schema_version", kJsonSchemaVersion}, {"error", message}, {"exit_status", status}}));
    return status;
}

SessionOptions MakeSessionOptions(const GlobalOptions& global, FaceOptions face) {
    SessionOptions options;
    options.emulate = global.emulate;
    options.traceFile = global.traceFile;
    options.backupFolder = global.backupFolder;
    options.imagesFolder = global.imagesFolder;
    options.virtualTime = global.virtualTime;
    options.forceInUse = global.forceInUse;
    face.verbosity = global.verbosity;
    options.face = face;
    return options;
}

namespace {
std::string Compact(const std::string& text) {
    std::string compact;
    for (char c : text)
        if (c != ' ') compact += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return compact;
}
}  // namespace

std::optional<int> FindListItem(ControlId list, const std::string& text) {
    const auto& items = Describe(list).items;
    const std::string wanted = Compact(text);
    for (size_t i = 0; i < items.size(); ++i)
        if (!wanted.empty() && Compact(items[i]) == wanted) return static_cast<int>(i);
    return std::nullopt;
}

std::string ListChoices(ControlId list) {
    std::string choices;
    for (const char* item : Describe(list).items) {
        if (!choices.empty()) choices += ", ";
        choices += Compact(item);
    }
    return choices;
}

std::string CheckEmulatorDescriptions(const std::vector<std::string>& descriptions) {
    for (const auto& text : descriptions) {
        const auto parsed = emu::ParseDescription(text);
        if (!parsed.description) return "--emulate '" + text + "': " + parsed.error;
    }
    return {};
}

std::string CheckReadableFile(const std::string& what, const std::string& name) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::is_directory(name, error))
        return "cannot open the " + what + " '" + name + "': it is a folder";
    std::ifstream in(name, std::ios::binary);
    if (!in) return "cannot open the " + what + " '" + name + "': " + std::strerror(errno);
    return {};
}

// The engines write the file at the very end, after minutes of device work:
// find out now whether that write can succeed, without touching the file.
std::string CheckWritableFile(const std::string& what, const std::string& name) {
    namespace fs = std::filesystem;
    const std::string prefix = "cannot write the " + what + " '" + name + "': ";
    if (name.empty()) return "the " + what + " name is empty";
    std::error_code error;
    const fs::path path(name);
    if (fs::is_directory(path, error)) return prefix + "it is a folder";
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    if (!fs::is_directory(folder, error))
        return prefix + "the folder '" + folder.string() + "' does not exist";
    if (::access(folder.string().c_str(), W_OK) != 0) return prefix + std::strerror(errno);
    if (fs::exists(path, error) && ::access(path.string().c_str(), W_OK) != 0)
        return prefix + std::strerror(errno);
    return {};
}

}  // namespace qks::cli
