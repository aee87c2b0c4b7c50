// The options every window program takes (--emulate, --trace, --images,
// --engineering, -v, --help, --version), read before any window or toolkit exists, and the
// texts --help and --version print. Each face adds its own options through
// a callback and its own lines to the usage text.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qks {

struct WindowCommandLine {
    std::vector<std::string> emulate;   // one emulated bridge each
    std::string traceFile;
    std::string imagesFolder;           // looked in for image files before the search path
    bool engineering = false;
    bool verbose = false;
    bool help = false;
    bool version = false;
};

// What a face made of an argument the shared options do not know: taken
// (its index moved past any value it consumed), or refused with a one-line
// error, or neither, when it is nobody's option.
struct FaceArgument {
    bool taken = false;
    std::string error;
};
using FaceArguments =
    std::function<FaceArgument(const std::vector<std::string>& arguments, size_t& index)>;

// Reads `arguments` as main receives them (the program name first) into
// `line`. The error is one line without the program name; empty on success.
std::string ParseWindowCommandLine(const std::vector<std::string>& arguments,
                                   WindowCommandLine& line, const FaceArguments& faceArguments = {});

// "--name=value" or "--name value" at `index`. `matched` says whether the
// argument was this option; false is returned when its value is missing.
bool TakeOptionValue(const std::vector<std::string>& arguments, size_t& index,
                     const std::string& name, std::string& value, bool& matched);

// The usage text: the shared options, with `faceOptions` (whole lines in the
// same columns) after --engineering, and `note` (a paragraph, may be empty)
// before the exit statuses.
std::string WindowUsageText(const std::string& program, const std::string& faceOptions,
                            const std::string& note);
std::string WindowVersionText(const std::string& program);

// What a program says before it opens a window: after a mistake (one line
// on the error stream, status 2), for --help or --version (on the output,
// status 0). Nothing when the window is to be opened.
struct EarlyAnswer {
    int status = 0;
    bool onErrorStream = false;
    std::string text;
};
std::optional<EarlyAnswer> AnswerBeforeWindow(const std::string& program, const std::string& error,
                                              const WindowCommandLine* line,
                                              const std::string& usage);

}  // namespace qks
