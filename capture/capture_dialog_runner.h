#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "capture/capture_formats.h"

class QWidget;

// The configuration dialogs the sources show, behind an interface so that the
// capture core needs no widgets. A program with a window installs the real
// dialogs (installCaptureDialogs in capture/capture_dialogs.h); without them,
// as on the command line, every dialog counts as cancelled. GUI thread only.
class CaptureDialogRunner {
public:
    // Applies control `id` = `value` at once; false when the device refused it.
    using ApplyControl = std::function<bool(int id, int value)>;

    virtual ~CaptureDialogRunner() = default;
    // The position chosen among `choices`, or -1 when cancelled.
    virtual int chooseFrameFormat(const std::vector<FrameFormatChoice>& choices, int current, QWidget* parent) = 0;
    // The CaptureInput::index chosen, or -1 when cancelled.
    virtual int chooseCaptureInput(const std::vector<CaptureInput>& inputs, int currentInput, QWidget* parent) = 0;
    // Lets the user change the controls, each change applied through `apply`;
    // false when the device refused a value.
    virtual bool editCaptureControls(const std::vector<CaptureControl>& controls, const ApplyControl& apply,
                                     QWidget* parent) = 0;
};

// The dialogs shown from now on; null: none.
void setCaptureDialogRunner(std::shared_ptr<CaptureDialogRunner> runner);

// What the sources call: the installed dialogs, or without them -1 (cancelled)
// and true (nothing refused).
int chooseFrameFormat(const std::vector<FrameFormatChoice>& choices, int current, QWidget* parent);
int chooseCaptureInput(const std::vector<CaptureInput>& inputs, int currentInput, QWidget* parent);
bool editCaptureControls(const std::vector<CaptureControl>& controls, const CaptureDialogRunner::ApplyControl& apply,
                         QWidget* parent);
