#pragma once

#include <QDialog>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

class QComboBox;

// Configuration dialogs shared by the capture backends. They only show choices
// and report them; the backends apply what was chosen. GUI thread only.

// One frame size and rate a device offers; framesPerSecond 0 when unknown.
struct FrameFormatChoice {
    int width = 0;
    int height = 0;
    double framesPerSecond = 0.0;
};

// "640 x 480, 30 fps" (rates that are not whole get two decimals: "29.97 fps";
// an unknown rate is left out).
std::string formatChoiceText(const FrameFormatChoice& choice);

// A device setting shown in the "Source..." dialog.
struct CaptureControl {
    enum class Kind { Integer, Boolean, Menu };
    int id = 0;
    std::string name;
    Kind kind = Kind::Integer;
    int minimum = 0;
    int maximum = 0;
    int step = 1;
    int defaultValue = 0;
    int value = 0;
    std::vector<std::pair<int, std::string>> menuItems;  // value, label (Kind::Menu)
};

// One selectable video input ("Crossbar...").
struct CaptureInput {
    int index = 0;
    std::string name;
};

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
    using Apply = std::function<bool(int id, int value)>;
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

// Whole dialog runs, for backends. chooseFrameFormat and chooseCaptureInput
// return the chosen position / input index, or -1 when cancelled.
int chooseFrameFormat(const std::vector<FrameFormatChoice>& choices, int current, QWidget* parent);
int chooseCaptureInput(const std::vector<CaptureInput>& inputs, int currentInput, QWidget* parent);
// False when the device refused a value (the dialog was shown either way).
bool editCaptureControls(const std::vector<CaptureControl>& controls,
                         const CaptureSourceDialog::Apply& apply, QWidget* parent);
