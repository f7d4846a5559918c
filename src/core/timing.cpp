#include "core/timing.hpp"

#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace quibrel {

std::string format_elapsed(std::chrono::nanoseconds elapsed) {
    const std::uint64_t ns = static_cast<std::uint64_t>(elapsed.count() < 0 ? 0 : elapsed.count());
    std::uint64_t whole;
    std::uint64_t frac4;  // four decimals
    const char* unit;
    if (ns >= 1'000'000'000) {
        whole = ns / 1'000'000'000;
        frac4 = (ns % 1'000'000'000 + 50'000) / 100'000;
        unit = "s";
    } else if (ns >= 1'000'000) {
        whole = ns / 1'000'000;
        frac4 = (ns % 1'000'000 + 50) / 100;
        unit = "ms";
    } else if (ns >= 1'000) {
        whole = ns / 1'000;
        frac4 = (ns % 1'000) * 10;
        unit = "\u00b5s";
    } else {
        whole = ns;
        frac4 = 0;
        unit = "ns";
    }
    if (frac4 >= 10'000) {
        whole += 1;
        frac4 -= 10'000;
    }
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%llu.%04llu%s", static_cast<unsigned long long>(whole),
                  static_cast<unsigned long long>(frac4), unit);
    return buffer;
}

namespace {
thread_local bool quiet_lines = false;
}

QuietLines::QuietLines() noexcept : previous_(quiet_lines) { quiet_lines = true; }
QuietLines::~QuietLines() { quiet_lines = previous_; }

void print_line(const std::string& text) {
    if (quiet_lines) return;
    // Straight to file descriptor 1: the lines belong to the process's stdout,
    // not to whatever Python has bound to sys.stdout.
    std::string line = text;
    line.push_back('\n');
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(1, p, left);
        if (written <= 0) break;
        p += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace quibrel
