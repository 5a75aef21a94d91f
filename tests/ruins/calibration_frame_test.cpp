// Where the reconstructor finds its calibration frame.
#include "ruins_test_support.h"
#include "scene/calibration_frame.h"

#include <QFileInfo>
#include <QImage>

#include <gtest/gtest.h>

TEST(CalibrationFrameLookup, WorkingDirectoryPictureWinsOverTheBundledOne) {
    ruins_test::WorkingDirectory cwd;
    ruins::offerBundledCalibrationFrame(true);
    const QString bundled = ruins::calibrationFramePath();
    EXPECT_TRUE(bundled.endsWith("data/CalibrationFrame.png")) << bundled.toStdString();
    EXPECT_TRUE(QFileInfo(bundled).isFile());
    EXPECT_EQ(ruins::loadCalibrationFrame().width(), 320);

    QImage own(64, 48, QImage::Format_RGB32);
    own.fill(Qt::white);
    ASSERT_TRUE(own.save("CalibrationFrame.png"));
    EXPECT_EQ(ruins::calibrationFramePath(), QStringLiteral("CalibrationFrame.png"));
    EXPECT_EQ(ruins::loadCalibrationFrame().width(), 64);
}

TEST(CalibrationFrameLookup, WithoutBundledPictureAMissingFileStaysMissing) {
    ruins_test::WorkingDirectory cwd;  // turns the bundled picture off
    EXPECT_EQ(ruins::calibrationFramePath(), QStringLiteral("CalibrationFrame.png"));
    EXPECT_TRUE(ruins::loadCalibrationFrame().picture.isNull());
}
