#include "tools/cli_command.h"

#include <charconv>

namespace {
std::vector<const CliCommand*>& table() {
    static std::vector<const CliCommand*> commands;
    return commands;
}
}  // namespace

CliCommand::CliCommand(std::string name, std::string usage, std::string summary, Run run)
    : name(std::move(name)), usage(std::move(usage)), summary(std::move(summary)), run(std::move(run)) {
    table().push_back(this);
}

const std::vector<const CliCommand*>& CliCommand::all() { return table(); }

namespace {
bool parseSide(const std::string& text, int minSide, int maxSide, int& value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end && value >= minSide && value <= maxSide;
}
}  // namespace

bool parseFrameSize(const std::string& text, int minSide, int maxSide, int& width, int& height) {
    const std::size_t x = text.find('x');
    int w = 0, h = 0;
    if (x == std::string::npos || !parseSide(text.substr(0, x), minSide, maxSide, w) ||
        !parseSide(text.substr(x + 1), minSide, maxSide, h))
        return false;
    width = w;
    height = h;
    return true;
}
