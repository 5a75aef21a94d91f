// The KLT outputs against those of the full float passes (full-frame float
// smoothing, a pyramid level made from it, window sums in window order, the
// middle-pivot quicksort), which were kept bit for bit until faster passes
// replaced them. Their outputs on the golden pictures and sequences, written by
// those passes themselves, are kept in tests/data/klt/float-reference.txt; the
// passes in use may differ from them only within the tolerances below:
// - selection: at least 95 % of the features are the same, and each other one
//   has a trackability within 2 % of the one it replaces;
// - tracking, from the same features: a median difference of at most 0.05
//   pixel and a largest of at most 0.2 pixel over the features both track.
// Each case prints its figures.

#include "features/klt.h"
#include "tests/support/textured_picture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Features = std::vector<KLTFeature>;

const char* const kReferencePath = CASTELLAN_SOURCE_DIR "/tests/data/klt/float-reference.txt";

std::unique_ptr<KLTTrackingContext> detectorContext(bool sequential) {
    KLTSetVerbosity(0);
    auto tc = createTrackingContext();
    tc->sequentialMode = sequential;
    tc->mindist = 10;
    return tc;
}

std::vector<unsigned char> picture(int width, int height, uint32_t seed, int shiftX = 0, int shiftY = 0) {
    return castellan_test::texturedPicture(width, height, seed, shiftX, shiftY);
}

// The quarter-pixel path of the golden sequence and its frame.
constexpr int kPath[][2] = {{0, 0}, {5, -3}, {9, -7}, {16, -8}, {19, -4}, {27, 2}, {30, 9}};
constexpr int kSteps = static_cast<int>(sizeof kPath / sizeof kPath[0]);

struct SelectCase {
    int width, height;
    uint32_t seed;
};
// The golden pictures, and the first frame of the golden sequence.
constexpr SelectCase kSelectCases[] = {{320, 240, 1}, {333, 199, 7}, {640, 480, 3}, {320, 240, 11}};

std::string selectName(const SelectCase& c) {
    return "select/" + std::to_string(c.width) + "x" + std::to_string(c.height) + "/" + std::to_string(c.seed);
}
std::string sequenceName(int step) { return "sequence/" + std::to_string(step); }
const char* const kPairName = "pair";

Features select(const SelectCase& c) {
    auto tc = detectorContext(false);
    auto fl = createFeatureList(78);
    const auto p = picture(c.width, c.height, c.seed);
    selectGoodFeatures(*tc, p.data(), c.width, c.height, *fl);
    return fl->feature;
}

// The golden sequence as the KLT detector runs it, from the given selection:
// the first frame against itself, then each next frame against the stored one.
std::vector<Features> trackSequence(const Features& selected) {
    auto tc = detectorContext(true);
    KLTFeatureList fl(0);
    fl.feature = selected;
    std::vector<Features> steps;
    for (int step = 0; step < kSteps; ++step) {
        const auto p = picture(320, 240, 11, kPath[step][0], kPath[step][1]);
        KLTTrackFeatures(*tc, step == 0 ? p.data() : nullptr, p.data(), 320, 240, fl);
        steps.push_back(fl.feature);
    }
    return steps;
}

// Two-image tracking with a larger jump, from the given selection on the first.
Features trackPair(const Features& selected) {
    auto tc = detectorContext(false);
    KLTFeatureList fl(0);
    fl.feature = selected;
    const auto a = picture(640, 480, 3);
    const auto b = picture(640, 480, 3, 14, -10);
    KLTTrackFeatures(*tc, a.data(), b.data(), 640, 480, fl);
    return fl.feature;
}

// --- The reference file: a "case" line, then one "x y val" line per feature (hex floats).

std::map<std::string, Features> readReference() {
    std::map<std::string, Features> cases;
    std::ifstream in(kReferencePath);
    std::string line;
    Features* current = nullptr;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        if (line.rfind("case ", 0) == 0) {
            current = &cases[line.substr(5)];
            continue;
        }
        if (!current) continue;
        KLTFeature f;
        std::istringstream fields(line);
        std::string x, y;
        fields >> x >> y >> f.val;
        f.x = std::strtof(x.c_str(), nullptr);
        f.y = std::strtof(y.c_str(), nullptr);
        current->push_back(f);
    }
    return cases;
}

// --- Comparisons

struct SelectionFigures {
    int count = 0;       // features of the reference (val >= 0)
    int same = 0;        // of those, selected again at the same place
    double worst = 0.0;  // largest relative trackability difference of a replacement
};

// The features only one side selected, each side in order of decreasing value,
// are paired one to one: each new one replaces the reference one of its rank.
SelectionFigures compareSelection(const Features& reference, const Features& ours) {
    SelectionFigures figures;
    const auto at = [](const Features& list, const KLTFeature& f) {
        return std::any_of(list.begin(), list.end(),
                           [&](const KLTFeature& g) { return g.val >= 0 && g.x == f.x && g.y == f.y; });
    };
    std::vector<int> dropped, added;
    for (const KLTFeature& f : reference) {
        if (f.val < 0) continue;
        ++figures.count;
        if (at(ours, f))
            ++figures.same;
        else
            dropped.push_back(f.val);
    }
    for (const KLTFeature& f : ours)
        if (f.val >= 0 && !at(reference, f)) added.push_back(f.val);
    std::sort(dropped.rbegin(), dropped.rend());
    std::sort(added.rbegin(), added.rend());
    for (size_t i = 0; i < std::max(dropped.size(), added.size()); ++i) {
        // A feature without a counterpart differs by all of its value.
        const double a = i < dropped.size() ? dropped[i] : 0.0;
        const double b = i < added.size() ? added[i] : 0.0;
        figures.worst = std::max(figures.worst, std::abs(a - b) / std::max(a, b));
    }
    return figures;
}

struct TrackingFigures {
    std::vector<double> distances;  // of the features both track
    int statusDiffers = 0;          // features one side tracks and the other loses
    int live = 0;                   // features the reference tracks

    void add(const Features& reference, const Features& ours) {
        for (size_t i = 0; i < reference.size() && i < ours.size(); ++i) {
            const bool a = reference[i].val == KLT_TRACKED;
            const bool b = ours[i].val == KLT_TRACKED;
            live += a ? 1 : 0;
            if (a != b) ++statusDiffers;
            if (a && b) distances.push_back(std::hypot(reference[i].x - ours[i].x, reference[i].y - ours[i].y));
        }
    }
    double median() const {
        if (distances.empty()) return 0.0;
        std::vector<double> d = distances;
        std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
        return d[d.size() / 2];
    }
    double largest() const { return distances.empty() ? 0.0 : *std::max_element(distances.begin(), distances.end()); }
};

enum class Kind { select, sequence, pair };
struct ReferenceCase {
    Kind kind;
    SelectCase picture;  // for selection
};

class KLTFloatReference : public testing::TestWithParam<ReferenceCase> {};

TEST_P(KLTFloatReference, StaysWithinTheTolerances) {
    const std::map<std::string, Features> reference = readReference();
    ASSERT_FALSE(reference.empty()) << kReferencePath;
    const ReferenceCase& c = GetParam();
    if (c.kind == Kind::select) {
        const std::string name = selectName(c.picture);
        ASSERT_TRUE(reference.count(name)) << name;
        const SelectionFigures f = compareSelection(reference.at(name), select(c.picture));
        std::printf("%s: %d of %d features the same, replacements within %.2f %%\n", name.c_str(), f.same,
                    f.count, 100.0 * f.worst);
        EXPECT_GE(f.same * 100, f.count * 95);
        EXPECT_LE(f.worst, 0.02);
        return;
    }
    TrackingFigures figures;
    std::string name;
    if (c.kind == Kind::sequence) {
        name = "sequence";
        ASSERT_TRUE(reference.count("select/320x240/11"));
        const std::vector<Features> steps = trackSequence(reference.at("select/320x240/11"));
        for (int step = 0; step < kSteps; ++step) {
            ASSERT_TRUE(reference.count(sequenceName(step)));
            figures.add(reference.at(sequenceName(step)), steps[step]);
        }
    } else {
        name = kPairName;
        ASSERT_TRUE(reference.count(kPairName) && reference.count("select/640x480/3"));
        figures.add(reference.at(kPairName), trackPair(reference.at("select/640x480/3")));
    }
    std::printf("%s: %zu positions compared, median %.4f px, largest %.4f px; %d of %d tracked features "
                "lost or gained\n",
                name.c_str(), figures.distances.size(), figures.median(), figures.largest(), figures.statusDiffers,
                figures.live);
    EXPECT_LE(figures.median(), 0.05);
    EXPECT_LE(figures.largest(), 0.2);
    EXPECT_LE(figures.statusDiffers * 100, figures.live * 2);
}

INSTANTIATE_TEST_SUITE_P(Cases, KLTFloatReference,
                         testing::Values(ReferenceCase{Kind::select, kSelectCases[0]},
                                         ReferenceCase{Kind::select, kSelectCases[1]},
                                         ReferenceCase{Kind::select, kSelectCases[2]},
                                         ReferenceCase{Kind::select, kSelectCases[3]},
                                         ReferenceCase{Kind::sequence, {}}, ReferenceCase{Kind::pair, {}}));

}  // namespace
