#include "capture/capture_dialogs.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QSpinBox>

#include <map>

#include "capture_test_support.h"

namespace {

std::vector<CaptureControl> sampleControls() {
    CaptureControl gain;
    gain.id = 10;
    gain.name = "Gain";
    gain.minimum = 0;
    gain.maximum = 100;
    gain.value = 40;
    CaptureControl autoExposure;
    autoExposure.id = 11;
    autoExposure.name = "Auto Exposure";
    autoExposure.kind = CaptureControl::Kind::Boolean;
    autoExposure.maximum = 1;
    autoExposure.value = 1;
    CaptureControl flicker;
    flicker.id = 12;
    flicker.name = "Flicker";
    flicker.kind = CaptureControl::Kind::Menu;
    flicker.value = 3;
    flicker.menuItems = {{0, "Off"}, {1, "50 Hz"}, {3, "Auto"}};
    return {gain, autoExposure, flicker};
}

TEST(CaptureDialogs, SourceDialogAppliesEveryChangeAtOnce) {
    std::map<int, int> applied;
    CaptureSourceDialog dialog(sampleControls(), [&](int id, int value) {
        applied[id] = value;
        return true;
    }, nullptr);
    EXPECT_EQ(dialog.windowTitle(), "Source");
    EXPECT_TRUE(applied.empty()) << "opening applies nothing";

    dialog.findChild<QSpinBox*>("Gain")->setValue(75);
    dialog.findChild<QCheckBox*>("Auto Exposure")->setChecked(false);
    dialog.findChild<QComboBox*>("Flicker")->setCurrentIndex(1);
    EXPECT_EQ(applied, (std::map<int, int>{{10, 75}, {11, 0}, {12, 1}}));
    EXPECT_FALSE(dialog.anyRefused());
    EXPECT_FALSE(dialog.setControlValue(99, 1));

    // Cancel puts back what the device had when the dialog opened.
    dialog.reject();
    EXPECT_EQ(applied, (std::map<int, int>{{10, 40}, {11, 1}, {12, 3}}));
}

TEST(CaptureDialogs, RefusedValueIsRemembered) {
    CaptureSourceDialog dialog(sampleControls(), [](int id, int) { return id != 10; }, nullptr);
    EXPECT_TRUE(dialog.setControlValue(11, 0));
    EXPECT_FALSE(dialog.anyRefused());
    EXPECT_TRUE(dialog.setControlValue(10, 5));
    EXPECT_TRUE(dialog.anyRefused());
}

TEST(CaptureDialogs, HookAnswersInsteadOfAPerson) {
    CaptureTestScope scope;
    const std::vector<FrameFormatChoice> choices = {{160, 120, 30}, {320, 240, 30}, {640, 480, 15}};
    int shown = 0;
    setCaptureDialogExecHook([&](QDialog& dialog) {
        ++shown;
        EXPECT_EQ(dialog.windowTitle(), "Format");
        auto* combo = dialog.findChild<QComboBox*>("formatComboBox");
        EXPECT_EQ(combo->currentIndex(), 1) << "the current format is preselected";
        EXPECT_EQ(combo->itemText(2), "640 x 480, 15 fps");
        combo->setCurrentIndex(2);
        return int(QDialog::Accepted);
    });
    EXPECT_EQ(chooseFrameFormat(choices, 1, nullptr), 2);
    setCaptureDialogExecHook([](QDialog&) { return int(QDialog::Rejected); });
    EXPECT_EQ(chooseFrameFormat(choices, 1, nullptr), -1);
    EXPECT_EQ(shown, 1);
}

TEST(CaptureDialogs, CrossbarReportsTheInputIndexNotThePosition) {
    CaptureTestScope scope;
    const std::vector<CaptureInput> inputs = {{0, "Composite"}, {2, "S-Video"}, {5, "Tuner"}};
    setCaptureDialogExecHook([](QDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "Crossbar");
        auto* combo = dialog.findChild<QComboBox*>("inputComboBox");
        EXPECT_EQ(combo->currentText(), "S-Video");
        combo->setCurrentIndex(2);
        return int(QDialog::Accepted);
    });
    EXPECT_EQ(chooseCaptureInput(inputs, 2, nullptr), 5);
}

TEST(CaptureDialogs, CancelledControlsDialogRestoresValues) {
    CaptureTestScope scope;
    std::map<int, int> device = {{10, 40}, {11, 1}, {12, 3}};
    setCaptureDialogExecHook([](QDialog& dialog) {
        dynamic_cast<CaptureSourceDialog&>(dialog).setControlValue(10, 90);
        return int(QDialog::Rejected);
    });
    EXPECT_TRUE(editCaptureControls(sampleControls(), [&](int id, int value) {
        device[id] = value;
        return true;
    }, nullptr));
    EXPECT_EQ(device[10], 40);
}

}  // namespace
