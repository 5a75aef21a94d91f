#pragma once

#include <QWidget>
#include <memory>

namespace Ui {
class FASTTrackerPropertiesWidget;
}
class FASTTrackerProcessor;

// The FAST tracker's panel: the FAST threshold, which corners are kept, and the
// Canny parameters. Each
// change is written straight into the processor and applies from its next frame.
// Built from its form, then loaded with the processor's current values (the
// "Preprocess with Canny" box starts unchecked, as a fresh processor is).
// GUI thread only; must not outlive its processor.
class FASTTrackerPropertiesWidget : public QWidget {
    Q_OBJECT

public:
    FASTTrackerPropertiesWidget(FASTTrackerProcessor* processor, QWidget* parent = nullptr,
                                Qt::WindowFlags flags = {});
    ~FASTTrackerPropertiesWidget() override;

private slots:
    void on_thresholdSpinBox_valueChanged(int value);
    void on_enableCannyCheckBox_toggled(bool checked);
    void on_stdDeviationSpinBox_valueChanged(double value);
    void on_lowerSpinBox_valueChanged(int value);
    void on_upperSpinBox_valueChanged(int value);
    void on_cornerChoiceComboBox_currentIndexChanged(int index);

private:
    std::unique_ptr<Ui::FASTTrackerPropertiesWidget> ui_;
    FASTTrackerProcessor* processor_;  // not owned
};
