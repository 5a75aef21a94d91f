#include "tools/cli_command.h"

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
