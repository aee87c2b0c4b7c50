// What the engines' last status text says about their run. Run ignores the
// engines' results, so the text the user would read is all there is.
#pragma once

#include <string>

namespace qks::cli {

enum class RunOutcome {
    Nothing,  // no engine wrote anything: the chip has none
    Success,
    Failure,
};

// A text counts as success only when it says so and names no failure; every
// other text, a bare "!!" ending or an unknown wording, counts as failure.
RunOutcome ClassifyStatus(const std::string& text);

// The text names a failure ("fail", "error"): worth showing as the reason.
bool NamesFailure(const std::string& text);

}  // namespace qks::cli
