#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// Runs castellan-cli as a script would and collects what it said.
struct CliResult {
    int exitCode = -1;  // -1 when it crashed or did not finish
    QString out;
    QString err;
};

inline CliResult runCli(const QStringList& args, int timeoutMs = 300000) {
    QProcess process;
    process.start(QStringLiteral(CASTELLAN_CLI), args);
    process.waitForFinished(timeoutMs);
    CliResult result;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}
