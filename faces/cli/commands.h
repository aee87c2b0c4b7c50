// The commands of `qks970`, each over a session of its own, and the checks
// of their input that run before anything is sent to a device.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "faces/cli/cli.h"
#include "faces/cli/console.h"
#include "faces/cli/session.h"
#include "resources/form_description.h"

namespace qks::cli {

struct GlobalOptions {
    std::vector<std::string> emulate;
    std::string traceFile;
    std::string backupFolder;   // empty: the runtime's default
    std::string imagesFolder;   // --images: looked in before the search path
    // The number `list` shows, a path or a USB serial; the first that fits by default.
    std::optional<std::string> device;
    int verbosity = 0;
    bool virtualTime = false;
    bool forceInUse = false;    // write even while the host uses the device's disk
    bool quiet = false;         // the outcome line alone
};

// What every command that writes takes.
struct RecoverOptions {
    bool yes = false;
    bool allowDevelopmentImage = false;
    bool json = false;
    std::string headerFrom;   // a saved copy whose header stands in for an unsigned one
    std::string journalEntry; // the unfinished write to finish when several match
};

enum class PanelAction : uint8_t { Run, Erase, Backup };

// The engineering panel's settings as its controls take them: item indices
// of its lists, names for its fields, ticks for its boxes.
struct PanelChoices {
    std::string firmwareFile;
    std::string backupFile;
    bool a1Chip = false;
    std::optional<int> romTypeItem;
    std::optional<int> firmwareSizeItem;
    std::optional<int> pageSizeItem;
    bool force = false;   // backup: replace an existing FILE
};

int ListCommand(const GlobalOptions& global, bool json, Console& console,
                const CliEnvironment& environment);
int RecoverCommand(const GlobalOptions& global, const RecoverOptions& options, Console& console,
                   const CliEnvironment& environment);
int PanelCommand(const GlobalOptions& global, PanelAction action, const PanelChoices& choices,
                 const RecoverOptions& options, Console& console, const CliEnvironment& environment);
int ImagesCommand(const GlobalOptions& global, bool json, Console& console,
                  const CliEnvironment& environment);
int RestoreCommand(const GlobalOptions& global, const std::string& file,
                   const RecoverOptions& options, Console& console,
                   const CliEnvironment& environment);
// Every bridge at once; and station mode, which recovers each one that arrives.
int RecoverAllCommand(const GlobalOptions& global, const RecoverOptions& options,
                      Console& console, const CliEnvironment& environment);
int StationCommand(const GlobalOptions& global, double seconds, const RecoverOptions& options,
                   Console& console, const CliEnvironment& environment);
// Until interrupted, or for `seconds` when above 0.
// With `json`, one JSON document per refresh, one a line.
int WatchCommand(const GlobalOptions& global, double seconds, bool json, Console& console,
                 const CliEnvironment& environment);

// One line on stderr; with JSON output also the document {"error": ...} on
// stdout, so that stdout never holds anything but JSON.
int Fail(Console& console, bool json, int status, const std::string& message);

SessionOptions MakeSessionOptions(const GlobalOptions& global, FaceOptions face);

// Sizes as a user types them ("64KB", "1mb", "8 KB") against a size list's
// items; nothing when the list has no such item.
std::optional<int> FindListItem(ControlId list, const std::string& text);
std::string ListChoices(ControlId list);

// Before the model is built: every description names a known profile and
// parses, every file named can be used. An error text, empty when all hold.
std::string CheckEmulatorDescriptions(const std::vector<std::string>& descriptions);
std::string CheckReadableFile(const std::string& what, const std::string& name);
std::string CheckWritableFile(const std::string& what, const std::string& name);

}  // namespace qks::cli
