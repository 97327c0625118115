// A tool's progress display made into lines for a pipe or a log. Tools
// such as fh_loader redraw one status line with carriage returns ("\r...
// 40%"); on a terminal that is one line that moves, anywhere else it is a
// stream of fragments. The filter turns the stream back into lines, each
// without the blanks around it: every line the tool ends with a line feed
// that carries no percentage is kept; of the redrawn status, a line is kept
// when its phase (the text apart from the percentage) changes and each time
// the percentage reaches another step of ten (a fall back to a lower step
// starts the phase again). Redrawn text without a percentage is kept once
// per change.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace host {

class ProgressLines {
  public:
    // line gets each kept line without its line end.
    explicit ProgressLines(std::function<void(const std::string &line)> line);

    // Bytes as the tool wrote them, split anywhere.
    void feed(std::string_view bytes);
    // The tool has ended: a last fragment without its line end is judged too.
    void finish();

  private:
    void fragment(bool redrawn);

    std::function<void(const std::string &)> line_;
    std::string pending_;
    std::string phase_; // phase of the last status kept
    int step_ = -1;     // tens of its percentage; -1 for none
    std::string shown_; // the last redrawn line kept
};

// The percentage a status line shows ("... 42%" or "42.5 %"): its whole
// part, or -1 when it shows none. phase gets the text with the percentage
// and the blanks around it left out.
int percentage(std::string_view text, std::string &phase);

} // namespace host
