#include "faces/cli/status_text.h"

#include <cctype>

#include "faces/cli/console.h"

namespace qks::cli {

namespace {
bool Has(const std::string& text, const char* word) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find(word) != std::string::npos;
}
}  // namespace

bool NamesFailure(const std::string& text) {
    return Has(text, "fail") || Has(text, "error");
}

RunOutcome ClassifyStatus(const std::string& text) {
    if (Trimmed(text).empty()) return RunOutcome::Nothing;
    if (NamesFailure(text)) return RunOutcome::Failure;
    return Has(text, "success") ? RunOutcome::Success : RunOutcome::Failure;
}

}  // namespace qks::cli
