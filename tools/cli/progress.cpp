#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace orvex::cli {

ProgressLine::ProgressLine() : terminal_(isatty(STDERR_FILENO) == 1) {}

ProgressLine::~ProgressLine() {
    Break();
}

void ProgressLine::Update(const std::string& text, int step) {
    if (terminal_) {
        std::fprintf(stderr, "\r%s\033[K", text.c_str());
        open_ = true;
    } else if (step != last_step_) {
        std::fprintf(stderr, "%s\n", text.c_str());
        last_line_ = text;
    }
    last_step_ = step;
    std::fflush(stderr);
}

void ProgressLine::Finish(const std::string& text) {
    if (terminal_) {
        std::fprintf(stderr, "\r%s\033[K\n", text.c_str());
    } else if (text != last_line_) {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    open_ = false;
    std::fflush(stderr);
}

void ProgressLine::Break() {
    if (open_) std::fputc('\n', stderr);
    open_ = false;
    std::fflush(stderr);
}

}  // namespace orvex::cli
