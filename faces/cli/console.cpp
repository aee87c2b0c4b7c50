#include "faces/cli/console.h"

#include <algorithm>
#include <ostream>

namespace qks::cli {

namespace {
constexpr int kBarCells = 30;
constexpr const char* kEraseLine = "\r\033[K";
}  // namespace

Console::Console(std::ostream& out, std::ostream& err, bool errIsTerminal)
    : out_(out), err_(err), errIsTerminal_(errIsTerminal) {}

Console::~Console() {
    HideProgress();
}

void Console::Out(const std::string& line) {
    EraseBar();
    out_ << line << '\n';
    out_.flush();
    DrawBar();
}

void Console::Err(const std::string& line) {
    if (quiet_ && (line.rfind("qks970: ", 0) != 0 || line.rfind("qks970: note: ", 0) == 0 ||
                   line.rfind("qks970: warning: ", 0) == 0))
        return;
    EraseBar();
    err_ << line << '\n';
    err_.flush();
    DrawBar();
}

void Console::DrawBlock(const std::vector<std::string>& lines) {
    if (quiet_) return;
    EraseBar();
    if (blockLines_ > 0) err_ << "\x1b[" << blockLines_ << 'A';
    for (const auto& line : lines) err_ << "\r\x1b[2K" << line << '\n';
    blockLines_ = lines.size();
    err_.flush();
}

// Questions share the error stream with the other words for the user, so
// that standard output holds results only (one JSON document with --json).
void Console::Prompt(const std::string& text) {
    EraseBar();
    err_ << text;
    err_.flush();
}

void Console::ShowProgress(int percent) {
    if (!DrawsProgress()) return;
    EraseBar();
    percent_ = std::clamp(percent, 0, 100);
    percentShown_ = true;
    barShown_ = true;
    DrawBar();
}

void Console::ShowProgressLabel(const std::string& label) {
    if (!DrawsProgress()) return;
    EraseBar();
    label_ = label;
    barShown_ = true;
    DrawBar();
}

void Console::HideProgress() {
    if (!barShown_) return;
    EraseBar();
    barShown_ = false;
    percentShown_ = false;
    label_.clear();
}

void Console::EraseBar() {
    if (!barShown_) return;
    err_ << kEraseLine;
    err_.flush();
}

void Console::DrawBar() {
    if (!barShown_) return;
    if (!percentShown_) {
        err_ << '\r' << label_;
        err_.flush();
        return;
    }
    const int filled = percent_ * kBarCells / 100;
    std::string bar = "\r[";
    bar.append(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarCells - filled), '.');
    bar += "] ";
    const std::string number = std::to_string(percent_);
    bar.append(3 - std::min<size_t>(3, number.size()), ' ');
    bar += number + "%";
    if (!label_.empty()) bar += "  " + label_;
    err_ << bar;
    err_.flush();
}

std::string Trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

}  // namespace qks::cli
