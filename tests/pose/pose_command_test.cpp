#include "pose/pose_command.h"
#include "synthetic_camera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>

namespace {

struct CommandRun {
    int exitStatus = -1;
    std::string out;
    std::string err;
};

CommandRun run(const std::string& csv, int height = 480)
{
    std::istringstream input(csv);
    std::ostringstream out, err;
    CommandRun result;
    result.exitStatus = runPoseCommand(input, "points.csv", height, out, err);
    result.out = out.str();
    result.err = err.str();
    return result;
}

std::string csvOf(const SyntheticScene& scene)
{
    std::string csv;
    char line[200];
    for (int i = 0; i < scene.count(); ++i) {
        const Vector3& x = scene.modelPoints[i];
        const Vector3& p = scene.imagePoints[i];
        std::snprintf(line, sizeof line, "%.17g,%.17g,%.17g,%.17g,%.17g\n", x.x, x.y, x.z, p.x, p.y);
        csv += line;
    }
    return csv;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

}  // namespace

TEST(PoseCommand, PrintsThePoseWithSeventeenDigits)
{
    std::mt19937 random(5);
    const SyntheticScene scene = randomScene(random, 20);
    const CommandRun result = run("# X,Y,Z,u,v\n\n" + csvOf(scene), 480);
    ASSERT_EQ(result.exitStatus, 0) << result.err;
    const std::vector<std::string> output = lines(result.out);
    ASSERT_EQ(output.size(), 7u) << result.out;
    EXPECT_EQ(output[0], "status 1");
    const char* labels[] = {"eye ", "look_at ", "up ", "fov_deg ", "linear ", "refined "};
    const int counts[] = {3, 3, 3, 1, 12, 12};
    for (int i = 0; i < 6; ++i) {
        const std::string& line = output[i + 1];
        ASSERT_EQ(line.rfind(labels[i], 0), 0u) << line;
        std::istringstream numbers(line.substr(std::string(labels[i]).size()));
        int count = 0;
        for (double value; numbers >> value;)
            ++count;
        EXPECT_EQ(count, counts[i]) << line;
    }
    double x, y, z;
    ASSERT_EQ(std::sscanf(output[1].c_str(), "eye %lf %lf %lf", &x, &y, &z), 3);
    EXPECT_NEAR(x, scene.camera.eye.x, 1e-6 * std::fabs(scene.camera.eye.z));
    EXPECT_NEAR(z, scene.camera.eye.z, 1e-6 * std::fabs(scene.camera.eye.z));
    double fieldOfView;
    ASSERT_EQ(std::sscanf(output[4].c_str(), "fov_deg %lf", &fieldOfView), 1);
    EXPECT_NEAR(fieldOfView, 2 * std::atan(240.0 / scene.camera.focal) * 180 / 3.141592653589793, 1e-6);
}

TEST(PoseCommand, UnusableDataPrintsOnlyStatusZero)
{
    std::mt19937 random(6);
    const SyntheticScene scene = randomScene(random, 5);
    const std::string fivePoints = csvOf(scene);
    const std::string repeated = fivePoints.substr(0, fivePoints.find('\n') + 1);  // six rows, five points
    for (const std::string& csv : {fivePoints, std::string(), repeated + fivePoints,
                                   std::string("nan,1,2,3,4\n") + csvOf(randomScene(random, 10))}) {
        const CommandRun result = run(csv);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.out, "status 0\n");
    }
}

TEST(PoseCommand, MalformedLinesAreReportedWithTheirNumber)
{
    const char* bad[] = {"1,2,3,4\n", "1,2,3,4,5,6\n", "1,2,x,4,5\n", "1,2,3,4,\n", "1;2;3;4;5\n", ",,,,\n",
                         "1e999,2,3,4,5\n"};
    for (const char* line : bad) {
        const CommandRun result = run(std::string("# header\n1,2,3,4,5\n") + line);
        EXPECT_NE(result.exitStatus, 0) << line;
        EXPECT_EQ(result.out, "") << line;
        EXPECT_NE(result.err.find("points.csv:3:"), std::string::npos) << result.err;
    }
}

TEST(PoseCommand, ArgumentsAreChecked)
{
    std::ostringstream out, err;
    EXPECT_NE(runPoseCommand({"points.csv"}, out, err), 0);
    EXPECT_NE(runPoseCommand({"points.csv", "--height"}, out, err), 0);
    EXPECT_NE(runPoseCommand({"points.csv", "--height", "-3"}, out, err), 0);
    EXPECT_NE(runPoseCommand({"points.csv", "--height", "2.5"}, out, err), 0);
    EXPECT_NE(runPoseCommand({"/nonexistent/points.csv", "--height", "480"}, out, err), 0);
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find("cannot read"), std::string::npos);
}
