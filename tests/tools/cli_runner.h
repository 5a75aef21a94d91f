#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

// What a program run from a test said.
struct CliResult {
    int exitCode = -1;  // -1 when it crashed or did not finish
    QString out;
    QString err;
};

// Waits for a started process and collects what it said.
inline CliResult finishedProcess(QProcess& process, int timeoutMs) {
    process.waitForFinished(timeoutMs);
    CliResult result;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

// Runs castellan-cli as a script would and collects what it said.
inline CliResult runCli(const QStringList& args, int timeoutMs = 300000) {
    QProcess process;
    process.start(QStringLiteral(CASTELLAN_CLI), args);
    return finishedProcess(process, timeoutMs);
}

// Runs a bash script in `directory` as a user would type it, with $CLI the
// command-line program and $SRC the source tree; collects what it said.
inline CliResult runShell(const QString& script, const QString& directory, int timeoutMs = 300000) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("CLI"), QStringLiteral(CASTELLAN_CLI));
    environment.insert(QStringLiteral("SRC"), QStringLiteral(CASTELLAN_SOURCE_DIR));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(directory);
    process.start(QStringLiteral("bash"), {QStringLiteral("-c"), script});
    return finishedProcess(process, timeoutMs);
}

// A hostile but ordinary situation, as a script: `run` must exit with
// `status` and say `said` in its one line on standard error (nothing said when
// null); then `kept` (a script run in the same folder, e.g. cmp against a copy)
// must exit 0: nothing the user had is lost. A `run` that exits 77 could not set
// the situation up (e.g. no right to mount a full file system) and is skipped.
struct HostileRun {
    const char* name;
    const char* run;
    int status;
    const char* said;
    const char* kept;
};

// Runs `c` in a fresh folder holding in.png and arch.json with its arch.png.
inline void expectHostileRun(const HostileRun& c) {
    QTemporaryDir dir;
    const CliResult setup = runShell(QStringLiteral("cp \"$SRC\"/tests/data/scenes/arch.* . && cp arch.png in.png"),
                                     dir.path());
    ASSERT_EQ(setup.exitCode, 0) << setup.err.toStdString();
    const CliResult r = runShell(QString::fromUtf8(c.run), dir.path());
    const CliResult kept = runShell(QString::fromUtf8(c.kept ? c.kept : "true"), dir.path());
    runShell(QStringLiteral("! mountpoint -q full || umount full"), dir.path());
    if (r.exitCode == 77) GTEST_SKIP() << "cannot set up: " << r.err.toStdString();
    EXPECT_EQ(r.exitCode, c.status) << r.err.toStdString();
    if (c.said) {
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith("castellan-cli ")) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.said))) << r.err.toStdString();
    } else {
        EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    }
    EXPECT_EQ(kept.exitCode, 0) << c.kept << "\n" << kept.err.toStdString();
}
