#pragma once

#include <QString>

#include <string>
#include <vector>

// A picture loaded as the program loads it: grey frame, row 0 = bottom row.
struct GreyFrame {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> pixels;
};

// Loads `path` as "Open an image file" does. On failure prints one line
// "castellan-cli COMMAND: ..." on standard error and returns false.
bool loadGreyFrame(const std::string& command, const std::string& path, GreyFrame& frame);

// Writes a grey frame upright as PNG; one error line and false on failure.
bool saveGreyFrame(const std::string& command, const std::string& path, const GreyFrame& frame);

// Parses an integer option value; one error line and false when it is not one.
bool parseIntOption(const std::string& command, const std::string& option, const std::string& text, int& value);
