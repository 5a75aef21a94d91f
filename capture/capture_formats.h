#pragma once

#include <string>
#include <utility>
#include <vector>

// What a device offers to choose from: frame formats, settings and inputs.
// Plain data, shared by the sources and their dialogs.

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
