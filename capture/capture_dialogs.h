#pragma once

#include <QDialog>

#include <functional>
#include <map>
#include <vector>

#include "capture/capture_dialog_runner.h"

class QComboBox;

// Configuration dialogs shared by the capture backends. They only show choices
// and report them; the backends apply what was chosen. GUI thread only.

// Makes the capture sources show these dialogs (see CaptureDialogRunner); a
// program with a window calls it once at start-up.
void installCaptureDialogs();

// "Format": picks one of the offered frame formats.
class CaptureFormatDialog : public QDialog {
public:
    CaptureFormatDialog(const std::vector<FrameFormatChoice>& choices, int current, QWidget* parent);
    int chosenIndex() const;
    void choose(int index);

private:
    QComboBox* formatComboBox_;
};

// "Source": one editor per control; every change is applied at once through
// `apply` (id, value -> accepted). Cancel puts back the values it opened with.
class CaptureSourceDialog : public QDialog {
public:
    using Apply = CaptureDialogRunner::ApplyControl;
    CaptureSourceDialog(std::vector<CaptureControl> controls, Apply apply, QWidget* parent);

    // Sets control `id` as if the user had; false for an unknown id.
    bool setControlValue(int id, int value);
    // True when the device refused at least one value.
    bool anyRefused() const { return refused_; }
    void restoreOpeningValues();

private:
    void applyValue(int id, int value);

    std::vector<CaptureControl> controls_;
    Apply apply_;
    std::map<int, std::function<void(int)>> setters_;
    bool refused_ = false;
};

// "Crossbar": picks the video input.
class CaptureCrossbarDialog : public QDialog {
public:
    CaptureCrossbarDialog(const std::vector<CaptureInput>& inputs, int currentInput, QWidget* parent);
    int chosenInput() const;  // the CaptureInput::index chosen
    void choose(int position);

private:
    QComboBox* inputComboBox_;
};

// Runs a capture dialog modally at (30, 30). Tests (and scripted runs) install a
// hook that answers the dialog instead of a person: it gets the dialog, may
// change its editors, and returns QDialog::Accepted or QDialog::Rejected.
using CaptureDialogExecHook = std::function<int(QDialog& dialog)>;
void setCaptureDialogExecHook(CaptureDialogExecHook hook);
int execCaptureDialog(QDialog& dialog);
