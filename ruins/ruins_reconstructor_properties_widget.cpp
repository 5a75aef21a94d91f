#include "ruins/ruins_reconstructor_properties_widget.h"

#include "processors/corner_detector.h"
#include "ruins/ruins_reconstructor_processor.h"
#include "scene/scene.h"
#include "ui_ruins_reconstructor_properties_widget.h"

#include <QFile>
#include <QFileDialog>
#include <QMessageBox>

#include <filesystem>

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
    showScene();
    resize(size().expandedTo(minimumSizeHint()));

    CornerDetector* current = processor_ ? processor_->detector() : nullptr;
    if (current) ui_->threshold->setValue(current->threshold());

    if (current && !current->isTracker()) ui_->radioFAST->setChecked(true);
    ui_->checkUseCalman->setChecked(processor_ && processor_->useKalman());
    const bool nearest = processor_ && processor_->reconstruction().following() == ruins::Following::Nearest;
    ui_->followingComboBox->setCurrentIndex(nearest ? kNearestEntry : kModelEntry);
    if (processor_)
        connect(processor_, &RuinsReconstructorProcessor::referenceCaptureFinished, this,
                &RuinsReconstructorPropertiesWidget::showCaptureOutcome);
}

CornerDetector* RuinsReconstructorPropertiesWidget::fastDetector() const
{
    return processor_ ? processor_->detectorOfKind(false) : nullptr;
}

CornerDetector* RuinsReconstructorPropertiesWidget::kltDetector() const
{
    return processor_ ? processor_->detectorOfKind(true) : nullptr;
}

void RuinsReconstructorPropertiesWidget::showScene()
{
    if (!processor_) return;
    const ruins::SceneModel& scene = processor_->scene();
    ui_->sceneLabel->setText(tr("%1\n%2 points, %3 real and %4 virtual bricks")
                                 .arg(QString::fromStdString(scene.scene.name))
                                 .arg(scene.pointCount())
                                 .arg(scene.scene.realBricks.size())
                                 .arg(scene.scene.virtualBricks.size()));
    resize(size().expandedTo(minimumSizeHint()));
}

void RuinsReconstructorPropertiesWidget::on_btnOpenScene_clicked()
{
    if (!processor_) return;
    const QString file = QFileDialog::getOpenFileName(this, tr("Open Scene"), QString(), tr("Scenes (*.json)"));
    if (file.isEmpty()) return;
    const QString error = processor_->openScene(file);
    if (!error.isEmpty()) QMessageBox::warning(this, tr("Open Scene"), error);
    showScene();
}

bool RuinsReconstructorPropertiesWidget::mayReplacePictureOf(const QString& sceneFile)
{
    const std::string file = QFile::encodeName(sceneFile).toStdString();
    const ruins::SceneLoad load = ruins::loadScene(file, ruins::PictureCheck::Skipped);
    if (!load.scene) return true;  // the capture itself says what is wrong
    const std::filesystem::path picture = ruins::picturePath(*load.scene, file);
    std::error_code error;
    if (!std::filesystem::exists(picture, error)) return true;
    return QMessageBox::question(this, tr("Capture Reference Picture"),
                                 tr("%1 already exists. Replace it with this frame?").arg(QFile::decodeName(picture.c_str()))) ==
           QMessageBox::Yes;
}

void RuinsReconstructorPropertiesWidget::on_btnCaptureReference_clicked()
{
    if (!processor_) return;
    // The scene whose picture this frame becomes: the one in use unless it is the bundled ruins.
    const ruins::SceneModel& scene = processor_->scene();
    const QString current = scene.bundled() ? QString() : QFile::decodeName(scene.file.c_str());
    const QString file =
        QFileDialog::getOpenFileName(this, tr("Capture Reference Picture For"), current, tr("Scenes (*.json)"));
    if (file.isEmpty() || !mayReplacePictureOf(file)) return;
    const QString error = processor_->captureReferencePicture(file);
    if (!error.isEmpty()) QMessageBox::warning(this, tr("Capture Reference Picture"), error);
}

void RuinsReconstructorPropertiesWidget::showCaptureOutcome(const QString& message, bool written)
{
    if (written)
        QMessageBox::information(this, tr("Capture Reference Picture"), message);
    else
        QMessageBox::warning(this, tr("Capture Reference Picture"), message);
    showScene();
}

RuinsReconstructorPropertiesWidget::~RuinsReconstructorPropertiesWidget() = default;

void RuinsReconstructorPropertiesWidget::on_threshold_valueChanged(int value)
{
    if (processor_ && processor_->detector()) processor_->detector()->setThreshold(value);
}

void RuinsReconstructorPropertiesWidget::on_radioFAST_toggled(bool checked)
{
    if (checked && processor_) processor_->setDetector(fastDetector());
}

void RuinsReconstructorPropertiesWidget::on_radioKLT_toggled(bool checked)
{
    if (checked && processor_) processor_->setDetector(kltDetector());
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
