// Timing lines and other lines written to the process's standard output.
#pragma once

#include <chrono>
#include <string>

namespace quibrel {

// "1.2346s", "12.0000ms", "345.6789µs", "512.0000ns": four decimals, half up,
// a carry stays in the unit.
std::string format_elapsed(std::chrono::nanoseconds elapsed);

// Writes text plus a line feed to the operating-system stdout and flushes,
// unless a QuietLines is alive on the calling thread.
void print_line(const std::string& text);

// Silences print_line on the calling thread for its lifetime: the library
// layer is quiet unless its caller asks for the lines.
class QuietLines {
public:
    QuietLines() noexcept;
    ~QuietLines();
    QuietLines(const QuietLines&) = delete;
    QuietLines& operator=(const QuietLines&) = delete;

private:
    bool previous_;
};

class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    std::string elapsed() const {
        return format_elapsed(std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now() - start_));
    }

private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace quibrel
