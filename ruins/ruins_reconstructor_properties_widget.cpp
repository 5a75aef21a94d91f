#include "ruins/ruins_reconstructor_properties_widget.h"

#include "processors/fast_corner_detector.h"
#include "processors/klt_corner_detector.h"
#include "ruins/ruins_reconstructor_processor.h"
#include "ui_ruins_reconstructor_properties_widget.h"

namespace {

// Entries of "followingComboBox", in form order.
constexpr int kModelEntry = 0;
constexpr int kNearestEntry = 1;

}  // namespace

RuinsReconstructorPropertiesWidget::RuinsReconstructorPropertiesWidget(RuinsReconstructorProcessor* processor,
                                                                       QWidget* parent, Qt::WindowFlags flags)
    : QWidget(parent, flags), ui_(std::make_unique<Ui::RuinsReconstructorPropertiesWidget>()), processor_(processor)
{
    ui_->setupUi(this);  // also connects the slots by name
    resize(size().expandedTo(minimumSizeHint()));

    CornerDetector* current = processor_ ? processor_->detector() : nullptr;
    if (current) ui_->threshold->setValue(current->threshold());

    constexpr int capacity = RuinsReconstructorProcessor::kDetectorCapacity;
    if (current && !current->isTracker()) {
        fastDetector_ = current;
        kltDetector_ = processor_->adoptDetector(std::make_unique<KLTCornerDetector>(capacity));
        ui_->radioFAST->setChecked(true);
    } else if (processor_) {
        kltDetector_ = current;
        fastDetector_ = processor_->adoptDetector(std::make_unique<FASTCornerDetector>(capacity));
    }
    ui_->checkUseCalman->setChecked(processor_ && processor_->useKalman());
    const bool nearest = processor_ && processor_->reconstruction().following() == ruins::Following::Nearest;
    ui_->followingComboBox->setCurrentIndex(nearest ? kNearestEntry : kModelEntry);
}

RuinsReconstructorPropertiesWidget::~RuinsReconstructorPropertiesWidget() = default;

void RuinsReconstructorPropertiesWidget::on_threshold_valueChanged(int value)
{
    if (processor_ && processor_->detector()) processor_->detector()->setThreshold(value);
}

void RuinsReconstructorPropertiesWidget::on_radioFAST_toggled(bool checked)
{
    if (checked && processor_ && fastDetector_) processor_->setDetector(fastDetector_);
}

void RuinsReconstructorPropertiesWidget::on_radioKLT_toggled(bool checked)
{
    if (checked && processor_ && kltDetector_) processor_->setDetector(kltDetector_);
}

void RuinsReconstructorPropertiesWidget::on_btnRefresh_pressed()
{
    if (processor_ && processor_->detector()) processor_->detector()->reset();
}

void RuinsReconstructorPropertiesWidget::on_checkUseCalman_clicked(bool checked)
{
    if (processor_) processor_->setUseKalman(checked);
}

void RuinsReconstructorPropertiesWidget::on_followingComboBox_activated(int index)
{
    if (!processor_) return;
    processor_->reconstruction().setFollowing(index == kNearestEntry ? ruins::Following::Nearest
                                                                     : ruins::Following::Model);
}
