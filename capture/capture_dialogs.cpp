#include "capture/capture_dialogs.h"
#include "capture/window_placement.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

CaptureDialogExecHook& execHook() {
    static CaptureDialogExecHook hook;
    return hook;
}

QDialogButtonBox* addOkCancel(QDialog* dialog, QVBoxLayout* layout) {
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    layout->addWidget(buttons);
    return buttons;
}

QWidget* integerEditor(const CaptureControl& control, QWidget* parent,
                       std::function<void(int)> changed, std::function<void(int)>& setter) {
    auto* row = new QWidget(parent);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* slider = new QSlider(Qt::Horizontal, row);
    slider->setMinimumWidth(180);
    auto* spin = new QSpinBox(row);
    for (auto* w : {static_cast<QWidget*>(slider), static_cast<QWidget*>(spin)})
        w->setObjectName(QString::fromStdString(control.name));
    slider->setRange(control.minimum, control.maximum);
    spin->setRange(control.minimum, control.maximum);
    slider->setSingleStep(std::max(control.step, 1));
    spin->setSingleStep(std::max(control.step, 1));
    slider->setValue(control.value);
    spin->setValue(control.value);
    QObject::connect(slider, &QSlider::valueChanged, spin, &QSpinBox::setValue);
    QObject::connect(spin, &QSpinBox::valueChanged, slider, &QSlider::setValue);
    QObject::connect(spin, &QSpinBox::valueChanged, row, [changed](int v) { changed(v); });
    layout->addWidget(slider, 1);
    layout->addWidget(spin);
    setter = [spin](int v) { spin->setValue(v); };
    return row;
}

QWidget* booleanEditor(const CaptureControl& control, QWidget* parent,
                       std::function<void(int)> changed, std::function<void(int)>& setter) {
    auto* box = new QCheckBox(parent);
    box->setObjectName(QString::fromStdString(control.name));
    box->setChecked(control.value != 0);
    QObject::connect(box, &QCheckBox::toggled, box, [changed](bool on) { changed(on ? 1 : 0); });
    setter = [box](int v) { box->setChecked(v != 0); };
    return box;
}

QWidget* menuEditor(const CaptureControl& control, QWidget* parent,
                    std::function<void(int)> changed, std::function<void(int)>& setter) {
    auto* combo = new QComboBox(parent);
    combo->setObjectName(QString::fromStdString(control.name));
    for (const auto& [value, label] : control.menuItems)
        combo->addItem(QString::fromStdString(label), value);
    combo->setCurrentIndex(std::max(combo->findData(control.value), 0));
    QObject::connect(combo, &QComboBox::currentIndexChanged, combo,
                     [combo, changed](int position) { changed(combo->itemData(position).toInt()); });
    setter = [combo](int v) {
        const int position = combo->findData(v);
        if (position >= 0)
            combo->setCurrentIndex(position);
    };
    return combo;
}

}  // namespace

CaptureFormatDialog::CaptureFormatDialog(const std::vector<FrameFormatChoice>& choices, int current,
                                         QWidget* parent)
    : QDialog(parent) {
    setWindowTitle("Format");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    formatComboBox_ = new QComboBox(this);
    formatComboBox_->setObjectName("formatComboBox");
    for (const FrameFormatChoice& choice : choices)
        formatComboBox_->addItem(QString::fromStdString(formatChoiceText(choice)));
    if (current >= 0 && current < formatComboBox_->count())
        formatComboBox_->setCurrentIndex(current);
    form->addRow("Frame size and rate:", formatComboBox_);
    layout->addLayout(form);
    addOkCancel(this, layout);
}

int CaptureFormatDialog::chosenIndex() const {
    return formatComboBox_->currentIndex();
}

void CaptureFormatDialog::choose(int index) {
    formatComboBox_->setCurrentIndex(index);
}

CaptureSourceDialog::CaptureSourceDialog(std::vector<CaptureControl> controls, Apply apply,
                                         QWidget* parent)
    : QDialog(parent), controls_(std::move(controls)), apply_(std::move(apply)) {
    setWindowTitle("Source");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    if (controls_.empty())
        form->addRow(new QLabel("The device reports no settings.", this));
    for (const CaptureControl& control : controls_) {
        const int id = control.id;
        auto changed = [this, id](int value) { applyValue(id, value); };
        std::function<void(int)> setter;
        QWidget* editor = nullptr;
        switch (control.kind) {
        case CaptureControl::Kind::Integer: editor = integerEditor(control, this, changed, setter); break;
        case CaptureControl::Kind::Boolean: editor = booleanEditor(control, this, changed, setter); break;
        case CaptureControl::Kind::Menu: editor = menuEditor(control, this, changed, setter); break;
        }
        setters_[id] = setter;
        form->addRow(QString::fromStdString(control.name) + ":", editor);
    }
    layout->addLayout(form);
    addOkCancel(this, layout);
    connect(this, &QDialog::rejected, this, &CaptureSourceDialog::restoreOpeningValues);
}

bool CaptureSourceDialog::setControlValue(int id, int value) {
    auto found = setters_.find(id);
    if (found == setters_.end())
        return false;
    found->second(value);
    return true;
}

void CaptureSourceDialog::applyValue(int id, int value) {
    if (apply_ && !apply_(id, value))
        refused_ = true;
}

void CaptureSourceDialog::restoreOpeningValues() {
    for (const CaptureControl& control : controls_)
        setControlValue(control.id, control.value);
}

CaptureCrossbarDialog::CaptureCrossbarDialog(const std::vector<CaptureInput>& inputs, int currentInput,
                                             QWidget* parent)
    : QDialog(parent) {
    setWindowTitle("Crossbar");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    inputComboBox_ = new QComboBox(this);
    inputComboBox_->setObjectName("inputComboBox");
    for (const CaptureInput& input : inputs)
        inputComboBox_->addItem(QString::fromStdString(input.name), input.index);
    inputComboBox_->setCurrentIndex(std::max(inputComboBox_->findData(currentInput), 0));
    form->addRow("Video input:", inputComboBox_);
    layout->addLayout(form);
    addOkCancel(this, layout);
}

int CaptureCrossbarDialog::chosenInput() const {
    return inputComboBox_->currentIndex() < 0 ? -1 : inputComboBox_->currentData().toInt();
}

void CaptureCrossbarDialog::choose(int position) {
    inputComboBox_->setCurrentIndex(position);
}

void setCaptureDialogExecHook(CaptureDialogExecHook hook) {
    execHook() = std::move(hook);
}

int execCaptureDialog(QDialog& dialog) {
    if (dialog.parentWidget() != nullptr) {
        dialog.adjustSize();
        placeBesideWindow(dialog, *dialog.parentWidget()->window());
    } else
        dialog.move(30, 30);
    if (execHook()) {
        const int result = execHook()(dialog);
        dialog.done(result);  // emits accepted/rejected as a person's answer would
        return result;
    }
    return dialog.exec();
}

namespace {

class WidgetDialogRunner final : public CaptureDialogRunner {
public:
    int chooseFrameFormat(const std::vector<FrameFormatChoice>& choices, int current, QWidget* parent) override {
        CaptureFormatDialog dialog(choices, current, parent);
        if (execCaptureDialog(dialog) != QDialog::Accepted)
            return -1;
        return dialog.chosenIndex();
    }

    int chooseCaptureInput(const std::vector<CaptureInput>& inputs, int currentInput, QWidget* parent) override {
        CaptureCrossbarDialog dialog(inputs, currentInput, parent);
        if (execCaptureDialog(dialog) != QDialog::Accepted)
            return -1;
        return dialog.chosenInput();
    }

    bool editCaptureControls(const std::vector<CaptureControl>& controls, const ApplyControl& apply,
                             QWidget* parent) override {
        CaptureSourceDialog dialog(controls, apply, parent);
        execCaptureDialog(dialog);
        return !dialog.anyRefused();
    }
};

}  // namespace

void installCaptureDialogs() {
    setCaptureDialogRunner(std::make_shared<WidgetDialogRunner>());
}
