#pragma once
// The log lines that reach the system-log sink while a LogCapture lives.
//
// The logger reads its system-log seam without a lock, from every thread that logs, so
// the seam is set once, before main, and never swapped while event-loop threads run: a
// capture only switches the recording on and off. Lines logged while no capture lives
// go on to the system log, as without the seam.
#include <string>

namespace testsupport {

class LogCapture {
public:
    // Starts recording with an empty text; a level name also sets a finer threshold for
    // the capture's life (the level line itself is recorded).
    explicit LogCapture(const char* level = nullptr);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const;                    // every line, each ended by '\n'
    bool has(const std::string& part) const;     // some line holds `part`
    bool has_line(const std::string& line) const;  // some line is exactly `line`

private:
    int saved_level_;
};

}  // namespace testsupport
