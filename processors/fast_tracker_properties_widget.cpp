#include "processors/fast_tracker_properties_widget.h"

#include "processors/fast_tracker_processor.h"
#include "ui_fast_tracker_properties_widget.h"

FASTTrackerPropertiesWidget::FASTTrackerPropertiesWidget(FASTTrackerProcessor* processor,
                                                         QWidget* parent, Qt::WindowFlags flags)
    : QWidget(parent, flags), ui_(std::make_unique<Ui::FASTTrackerPropertiesWidget>()),
      processor_(processor) {
    ui_->setupUi(this);  // also connects the on_... slots by name
    resize(size().expandedTo(minimumSizeHint()));
    if (processor_ == nullptr) return;
    // The slots are connected already, so loading writes the same values back.
    ui_->thresholdSpinBox->setValue(processor_->detector().threshold());
    ui_->stdDeviationSpinBox->setValue(processor_->standardDeviation());
    ui_->lowerSpinBox->setValue(processor_->lowerThreshold());
    ui_->upperSpinBox->setValue(processor_->upperThreshold());
    ui_->cornerChoiceComboBox->setCurrentIndex(static_cast<int>(processor_->detector().keep()));
}

FASTTrackerPropertiesWidget::~FASTTrackerPropertiesWidget() = default;

void FASTTrackerPropertiesWidget::on_thresholdSpinBox_valueChanged(int value) {
    if (processor_ != nullptr) processor_->detector().setThreshold(value);
}

void FASTTrackerPropertiesWidget::on_enableCannyCheckBox_toggled(bool checked) {
    if (processor_ != nullptr) processor_->setCannyEnabled(checked);
}

void FASTTrackerPropertiesWidget::on_stdDeviationSpinBox_valueChanged(double value) {
    if (processor_ != nullptr) processor_->setStandardDeviation(static_cast<float>(value));
}

void FASTTrackerPropertiesWidget::on_lowerSpinBox_valueChanged(int value) {
    if (processor_ != nullptr) processor_->setLowerThreshold(value);
}

void FASTTrackerPropertiesWidget::on_upperSpinBox_valueChanged(int value) {
    if (processor_ != nullptr) processor_->setUpperThreshold(value);
}

// The entries are in the order of FASTCornerDetector::Keep.
void FASTTrackerPropertiesWidget::on_cornerChoiceComboBox_currentIndexChanged(int index) {
    if (processor_ != nullptr) processor_->detector().setKeep(static_cast<FASTCornerDetector::Keep>(index));
}
