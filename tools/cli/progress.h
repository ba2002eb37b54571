// A live progress line on stderr while the CLI waits for a drive. On a terminal the line is
// redrawn in place; otherwise (logs, tests) a line is printed only when the step changes, so the
// output stays short.
#pragma once

#include <string>

namespace orvex::cli {

class ProgressLine {
  public:
    ProgressLine();
    ~ProgressLine();

    // Shows `text`; `step` is a coarse measure of progress (e.g. tens of percent).
    void Update(const std::string& text, int step);
    // Shows `text` as the final state and ends the line.
    void Finish(const std::string& text);
    // Ends the line so that a message can follow.
    void Break();

  private:
    bool terminal_;
    bool open_ = false;
    int last_step_ = -1;
    std::string last_line_;  // the last line printed when not on a terminal
};

}  // namespace orvex::cli
