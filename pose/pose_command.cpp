#include "pose/pose_command.h"

#include "pose/camera_pose.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <ostream>

namespace {

constexpr int kMinimumCorrespondences = 6;
constexpr int kExitUsage = 2;
constexpr int kExitInput = 1;

// Parses one field as a whole double; surrounding blanks are allowed.
bool parseNumber(const std::string& text, double& value)
{
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    value = std::strtod(begin, &end);
    if (end == begin || errno == ERANGE)
        return false;
    while (*end == ' ' || *end == '\t' || *end == '\r')
        ++end;
    return *end == '\0';
}

bool parseCorrespondence(const std::string& line, double* model, double* image)
{
    double fields[5];
    std::size_t start = 0;
    for (int i = 0; i < 5; ++i) {
        const std::size_t comma = line.find(',', start);
        const bool last = i == 4;
        if (last != (comma == std::string::npos))
            return false;
        const std::string field = line.substr(start, last ? std::string::npos : comma - start);
        if (!parseNumber(field, fields[i]))
            return false;
        start = comma + 1;
    }
    model[0] = fields[0];
    model[1] = fields[1];
    model[2] = fields[2];
    image[0] = fields[3];
    image[1] = fields[4];
    image[2] = 0.0;
    return true;
}

bool isSkipped(const std::string& line)
{
    const std::size_t first = line.find_first_not_of(" \t\r");
    return first == std::string::npos || line[first] == '#';
}

void printNumbers(std::ostream& out, const char* label, const double* values, int count)
{
    out << label;
    char buffer[40];
    for (int i = 0; i < count; ++i) {
        std::snprintf(buffer, sizeof buffer, " %.17g", values[i]);
        out << buffer;
    }
    out << '\n';
}

bool parseHeight(const std::string& text, int& height)
{
    double value = 0.0;
    if (!parseNumber(text, value) || value != std::floor(value) || value < 1.0 || value > 1e6)
        return false;
    height = static_cast<int>(value);
    return true;
}

}  // namespace

int runPoseCommand(std::istream& csv, const std::string& sourceName, int imageHeight, std::ostream& out,
                   std::ostream& err)
{
    std::vector<double> modelPoints;
    std::vector<double> imagePoints;
    std::string line;
    int lineNumber = 0;
    while (std::getline(csv, line)) {
        ++lineNumber;
        if (isSkipped(line))
            continue;
        double model[3];
        double image[3];
        if (!parseCorrespondence(line, model, image)) {
            err << "castellan-cli pose: " << sourceName << ":" << lineNumber
                << ": expected five numbers X,Y,Z,u,v\n";
            return kExitInput;
        }
        modelPoints.insert(modelPoints.end(), model, model + 3);
        imagePoints.insert(imagePoints.end(), image, image + 3);
    }

    const int count = static_cast<int>(modelPoints.size() / 3);
    double linear[12];
    double refined[12];
    double eye[3];
    double lookAt[3];
    double up[3];
    const int status = count >= kMinimumCorrespondences
                           ? estimateCameraPose(count, modelPoints.data(), imagePoints.data(), linear, refined, eye,
                                                lookAt, up)
                           : 0;
    if (!status) {
        out << "status 0\n";
        return 0;
    }
    const double fieldOfView = verticalFieldOfView(imageHeight, refined, eye, lookAt);
    out << "status 1\n";
    printNumbers(out, "eye", eye, 3);
    printNumbers(out, "look_at", lookAt, 3);
    printNumbers(out, "up", up, 3);
    printNumbers(out, "fov_deg", &fieldOfView, 1);
    printNumbers(out, "linear", linear, 12);
    printNumbers(out, "refined", refined, 12);
    return 0;
}

int runPoseCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
    std::string path;
    int height = 0;
    bool hasHeight = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--height") {
            if (i + 1 >= arguments.size() || !parseHeight(arguments[i + 1], height)) {
                err << "castellan-cli pose: --height needs a positive whole number of pixels\n";
                return kExitUsage;
            }
            hasHeight = true;
            ++i;
        } else if (path.empty()) {
            path = argument;
        } else {
            err << "castellan-cli pose: unexpected argument " << argument << "\n";
            return kExitUsage;
        }
    }
    if (path.empty() || !hasHeight) {
        err << "castellan-cli pose: usage: pose FILE.csv --height H\n";
        return kExitUsage;
    }
    std::ifstream csv(path);
    if (!csv) {
        err << "castellan-cli pose: cannot read " << path << "\n";
        return kExitInput;
    }
    return runPoseCommand(csv, path, height, out, err);
}
