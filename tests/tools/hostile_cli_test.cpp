// castellan-cli grey on the hostile files of scripts/make-hostile-files.sh: a
// one-line error naming the file, exit status 1, and no output file.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include <unistd.h>

namespace {

class HostileCliTest : public ::testing::TestWithParam<const char*> {
protected:
    static void SetUpTestSuite() {
        dir = new QTemporaryDir;
        QProcess make;
        make.start(QStringLiteral("bash"), {QStringLiteral(CASTELLAN_SOURCE_DIR "/scripts/make-hostile-files.sh"),
                                            dir->filePath(QStringLiteral("hostile"))});
        made = make.waitForFinished(30000) && make.exitStatus() == QProcess::NormalExit && make.exitCode() == 0;
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
    static QString hostileFile(const char* name) {
        return dir->filePath(QStringLiteral("hostile/") + QString::fromLatin1(name));
    }

    static QTemporaryDir* dir;
    static bool made;
};

QTemporaryDir* HostileCliTest::dir = nullptr;
bool HostileCliTest::made = false;

TEST_P(HostileCliTest, GreyFailsWithOneLineAndStatus1) {
    ASSERT_TRUE(made) << "scripts/make-hostile-files.sh failed";
    const QString input = hostileFile(GetParam());
    ASSERT_TRUE(QFileInfo::exists(input));
    if (QString::fromLatin1(GetParam()) == QStringLiteral("unreadable.png") && access(qPrintable(input), R_OK) == 0)
        GTEST_SKIP() << "running with privileges that read a file without read permission; nothing to refuse";

    const QString output = dir->filePath(QStringLiteral("out-") + QString::fromLatin1(GetParam()) + ".png");
    QProcess cli;
    cli.start(QStringLiteral(CASTELLAN_CLI), {QStringLiteral("grey"), input, output});
    ASSERT_TRUE(cli.waitForFinished(60000));
    const QString err = QString::fromLocal8Bit(cli.readAllStandardError());
    EXPECT_EQ(cli.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(cli.exitCode(), 1);
    // Exactly one line of our own; the image plugins may not add to it.
    EXPECT_EQ(err.count(QLatin1Char('\n')), 1) << err.toStdString();
    EXPECT_TRUE(err.startsWith(QStringLiteral("castellan-cli grey: "))) << err.toStdString();
    EXPECT_TRUE(err.contains(input)) << err.toStdString();
    EXPECT_TRUE(cli.readAllStandardOutput().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(output));
}

INSTANTIATE_TEST_SUITE_P(HostileFiles, HostileCliTest,
                         ::testing::Values("huge.png", "truncated.jpg", "zero-frames.gif", "empty.png",
                                           "directory.png", "unreadable.png", "text.jpg", "truncated.bmp",
                                           "truncated.ppm", "short.pgm", "device.png"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
