// castellan-cli: the program's engine without a window, for scripts, tests and
// benchmarks. Dispatches on the first argument to a registered subcommand.
#include "processors/klt_corner_detector.h"
#include "tools/cli_command.h"

#include <QGuiApplication>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

void printHelp() {
    std::printf("Usage: castellan-cli COMMAND [ARGS...]\n\n"
                "Runs Castellan's image processing without a window. Images are read as the\n"
                "program reads them (buffer row 0 is the picture's bottom row); coordinates are\n"
                "printed in buffer coordinates, one record per line, comma-separated.\n\n"
                "Commands:\n");
    std::vector<const CliCommand*> commands = CliCommand::all();
    std::sort(commands.begin(), commands.end(),
              [](const CliCommand* a, const CliCommand* b) { return a->name < b->name; });
    for (const CliCommand* command : commands)
        std::printf("  %s %s  --  %s\n", command->name.c_str(), command->usage.c_str(), command->summary.c_str());
    std::printf("\nOptions:\n  --help, -h  --  Show this help and exit.\n"
                "  --version, -v  --  Show the version and exit.\n"
                "  --verbose  --  With any command: print the KLT tracking context on standard error.\n");
}

void quietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg) std::fprintf(stderr, "castellan-cli: %s\n", qPrintable(message));
}

// Output that never arrived is a failure, not a success: a full disk or a
// closed pipe shows only when the buffered rows are flushed.
int checkStandardOutput(const std::string& name, int status) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0;
    const int reason = errno;
    if (status != 0 || (flushed && !std::ferror(stdout))) return status;
    std::fprintf(stderr, "castellan-cli %s: cannot write the standard output: %s\n", name.c_str(),
                 reason ? std::strerror(reason) : "write error");
    return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    // A closed pipe or a file-size limit must not kill a run half-way: the
    // failed write then reports itself and recordings are closed properly.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        printHelp();
        return argc < 2 ? 1 : 0;
    }
    if (!std::strcmp(argv[1], "--version") || !std::strcmp(argv[1], "-v")) {
        std::printf("castellan-cli %s\n", CASTELLAN_VERSION);
        return checkStandardOutput("--version", 0);
    }
    // Image reading and writing need a GUI application object but no display.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Scripts read standard error line by line: only the tool's own messages go there.
    qInstallMessageHandler(quietQtMessages);
    QGuiApplication app(argc, argv);

    const std::string name = argv[1];
    for (const CliCommand* command : CliCommand::all()) {
        if (command->name != name) continue;
        std::vector<std::string> args(argv + 2, argv + argc);
        // The KLT settings are noise in a script's output unless asked for.
        const auto verbose = std::remove(args.begin(), args.end(), std::string("--verbose"));
        KLTCornerDetector::setPrintsContext(verbose != args.end());
        args.erase(verbose, args.end());
        return checkStandardOutput(name, command->run(args));
    }
    std::fprintf(stderr, "castellan-cli: unknown command '%s' (see --help)\n", name.c_str());
    return 1;
}
