#include "capture/capture_dialog_runner.h"

#include <utility>

namespace {

std::shared_ptr<CaptureDialogRunner>& installedRunner() {
    static std::shared_ptr<CaptureDialogRunner> runner;
    return runner;
}

}  // namespace

void setCaptureDialogRunner(std::shared_ptr<CaptureDialogRunner> runner) {
    installedRunner() = std::move(runner);
}

int chooseFrameFormat(const std::vector<FrameFormatChoice>& choices, int current, QWidget* parent) {
    const auto& runner = installedRunner();
    return runner ? runner->chooseFrameFormat(choices, current, parent) : -1;
}

int chooseCaptureInput(const std::vector<CaptureInput>& inputs, int currentInput, QWidget* parent) {
    const auto& runner = installedRunner();
    return runner ? runner->chooseCaptureInput(inputs, currentInput, parent) : -1;
}

bool editCaptureControls(const std::vector<CaptureControl>& controls, const CaptureDialogRunner::ApplyControl& apply,
                         QWidget* parent) {
    const auto& runner = installedRunner();
    return runner ? runner->editCaptureControls(controls, apply, parent) : true;
}
