// The two output streams of one run, and the progress bar that shares the
// terminal with them: every line first takes the bar off the screen and puts
// it back afterwards, so output and bar never overwrite each other.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace qks::cli {

class Console {
public:
    Console(std::ostream& out, std::ostream& err, bool errIsTerminal);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void Out(const std::string& line);
    void Err(const std::string& line);
    // Without a newline: the prompt the answer is typed after.
    void Prompt(const std::string& text);

    // The bar exists only on a terminal; elsewhere these do nothing. The
    // label follows the bar (the phase, its bytes, the time left), or stands
    // alone where a flow moves no bar.
    void ShowProgress(int percent);
    void ShowProgressLabel(const std::string& label);
    void HideProgress();
    bool DrawsProgress() const { return errIsTerminal_ && !quiet_; }

    // --quiet: no progress, and of the lines for the user on the error
    // stream only the causes ("qks970: ..." but for notes and warnings).
    void SetQuiet(bool quiet) { quiet_ = quiet; }
    bool Quiet() const { return quiet_; }

    std::ostream& OutStream() { return out_; }
    // Several lines redrawn in place on the error stream's terminal (one per
    // enclosure of a bench run); the first call draws them below the text.
    void DrawBlock(const std::vector<std::string>& lines);

private:
    void EraseBar();
    void DrawBar();

    std::ostream& out_;
    std::ostream& err_;
    bool errIsTerminal_;
    bool barShown_ = false;
    size_t blockLines_ = 0;
    int percent_ = 0;
    bool percentShown_ = false;
    std::string label_;
    bool quiet_ = false;
};

// Leading and trailing blanks and line ends off: the window's texts are laid
// out for fixed-width labels, not for a terminal.
std::string Trimmed(const std::string& text);

}  // namespace qks::cli
