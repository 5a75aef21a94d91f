#include "pose/camera_pose.h"
#include "pose/camera_pose_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace pose_internal {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kConvergedCostChange = 1e-15;
constexpr int kParameterCount = 5;
constexpr int kLagrangeSize = 13;

// Accumulates row·rowᵀ into the upper triangle of a 12 × 12 block stored with
// the given stride.
void accumulateOuterProduct(const double* row, double* block, int stride)
{
    for (int i = 0; i < 12; ++i) {
        if (row[i] == 0.0)
            continue;  // adding row[i]·row[k] = ±0 would not change the sum
        for (int k = i; k < 12; ++k)
            block[i * stride + k] += row[i] * row[k];
    }
}

// The four projection coefficients of one model point for a unit viewing
// direction d: u = m·a + l·b and v = m·c + l·d.
struct ProjectionCoefficients {
    double a, b, c, d;
};

struct DirectionTerms {
    double dx, dy, dz;
    double dxOverDz, dyOverDz, dxDyOverDz, dzPlusDx2OverDz, dzPlusDy2OverDz;

    explicit DirectionTerms(const double* direction)
        : dx(direction[0]), dy(direction[1]), dz(direction[2]), dxOverDz(dx / dz), dyOverDz(dy / dz),
          dxDyOverDz(dx * dy / dz), dzPlusDx2OverDz(dz + dx * dx / dz), dzPlusDy2OverDz(dz + dy * dy / dz)
    {
    }

    ProjectionCoefficients at(const double* eye, const double* point) const
    {
        const double fx = point[0] - eye[0];
        const double fy = point[1] - eye[1];
        const double fz = point[2] - eye[2];
        const double inverseDepth = 1.0 / (dx * fx + dy * fy + dz * fz);
        return {(fx - fz * dxOverDz) * inverseDepth, (fy - fz * dyOverDz) * inverseDepth,
                (dxDyOverDz * fx - dzPlusDx2OverDz * fy + dy * fz) * inverseDepth,
                (dzPlusDy2OverDz * fx - dxDyOverDz * fy - dx * fz) * inverseDepth};
    }
};

void viewingDirection(const double* eye, const double* lookAt, double* direction)
{
    direction[0] = lookAt[0] - eye[0];
    direction[1] = lookAt[1] - eye[1];
    direction[2] = 0.0 - eye[2];
    const double squaredLength =
        direction[0] * direction[0] + direction[1] * direction[1] + direction[2] * direction[2];
    if (squaredLength != 0.0) {
        const double length = std::sqrt(squaredLength);
        for (int i = 0; i < 3; ++i)
            direction[i] /= length;
    }
}

void parametersToPose(const double* parameters, double* eye, double* lookAt)
{
    eye[0] = parameters[0];
    eye[1] = parameters[1];
    eye[2] = parameters[2];
    lookAt[0] = parameters[3];
    lookAt[1] = parameters[4];
    lookAt[2] = 0.0;
}

double rowLength(const double* projection, int row)
{
    const double* r = projection + 4 * row;
    return std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
}

// The left 3 × 3 of a camera is K·R, regular whatever the camera's scale;
// the ratio to the row norms makes the test independent of that scale.
bool leftBlockRegular(const double* projection)
{
    const double* p = projection;
    const double determinant = p[0] * (p[5] * p[10] - p[6] * p[9]) - p[1] * (p[4] * p[10] - p[6] * p[8]) +
                               p[2] * (p[4] * p[9] - p[5] * p[8]);
    const double bound = rowLength(p, 0) * rowLength(p, 1) * rowLength(p, 2);
    return std::fabs(determinant) > kRegularLeftBlockRatio * bound;
}

PoseFit fitAt(const double* parameters, const Correspondences& correspondences)
{
    double eye[3];
    double lookAt[3];
    parametersToPose(parameters, eye, lookAt);
    return fitPose(eye, lookAt, correspondences);
}

}  // namespace

int solveLinearSystem(int n, double* a, double* b)
{
    if (n <= 0 || a == nullptr || b == nullptr)
        return 0;
    const auto at = [a, n](int row, int column) -> double& { return a[row * n + column]; };

    for (int i = 0; i < n - 1; ++i) {
        int pivotRow = -1;
        double bestRatio = 0.0;
        for (int j = i; j < n; ++j) {
            double rowScale = 0.0;
            for (int k = i; k < n; ++k)
                rowScale = std::max(rowScale, std::fabs(at(j, k)));
            // Written as !(x >= τ) so that a NaN also counts as singular.
            if (!(rowScale >= kSolverTolerance))
                return 0;
            const double magnitude = std::fabs(at(j, i));
            if (!(magnitude >= kSolverTolerance))
                continue;
            const double ratio = magnitude / rowScale;
            if (pivotRow < 0 || ratio > bestRatio) {
                pivotRow = j;
                bestRatio = ratio;
            }
        }
        if (pivotRow < 0)
            return 0;
        if (pivotRow != i) {
            for (int k = i; k < n; ++k)
                std::swap(at(pivotRow, k), at(i, k));
            std::swap(b[pivotRow], b[i]);
        }
        for (int j = i + 1; j < n; ++j) {
            const double factor = at(j, i) / at(i, i);
            for (int k = i + 1; k < n; ++k)
                at(j, k) -= factor * at(i, k);
            b[j] -= factor * b[i];
        }
    }
    if (!(std::fabs(at(n - 1, n - 1)) > kSolverTolerance))
        return 0;

    b[n - 1] /= at(n - 1, n - 1);
    for (int i = n - 2; i >= 0; --i) {
        double sum = b[i];
        for (int k = i + 1; k < n; ++k)
            sum -= at(i, k) * b[k];
        b[i] = sum / at(i, i);
    }
    return 1;
}

int computeLinearProjection(const Correspondences& correspondences, double* projection)
{
    const int n = correspondences.count;
    if (n <= 0)
        return 0;

    // AᵀA is accumulated row by row (u rows, then v rows) straight into the
    // Lagrange system, so the 2n × 12 matrix is never stored.
    double system[kLagrangeSize * kLagrangeSize] = {};
    double rightHandSide[kLagrangeSize] = {};
    double row[12];
    for (int pass = 0; pass < 2; ++pass) {
        for (int j = 0; j < n; ++j) {
            const double* x = correspondences.modelPoints + 3 * j;
            const double image = correspondences.imagePoints[3 * j + pass];
            std::fill(row, row + 12, 0.0);
            const int offset = 4 * pass;
            row[offset + 0] = x[0];
            row[offset + 1] = x[1];
            row[offset + 2] = x[2];
            row[offset + 3] = 1.0;
            row[8] = -image * x[0];
            row[9] = -image * x[1];
            row[10] = -image * x[2];
            row[11] = -image;
            accumulateOuterProduct(row, system, kLagrangeSize);
        }
    }
    for (int i = 0; i < 12; ++i) {
        for (int k = 0; k < i; ++k)
            system[i * kLagrangeSize + k] = system[k * kLagrangeSize + i];
    }

    double centroid[3] = {0.0, 0.0, 0.0};
    for (int j = 0; j < n; ++j) {
        for (int c = 0; c < 3; ++c)
            centroid[c] += correspondences.modelPoints[3 * j + c];
    }
    const double constraint[12] = {0, 0, 0, 0, 0, 0, 0, 0, centroid[0] / n, centroid[1] / n, centroid[2] / n, 1.0};
    for (int i = 0; i < 12; ++i) {
        system[i * kLagrangeSize + 12] = constraint[i];
        system[12 * kLagrangeSize + i] = constraint[i];
    }
    system[12 * kLagrangeSize + 12] = 0.0;
    rightHandSide[12] = 1.0;

    if (!solveLinearSystem(kLagrangeSize, system, rightHandSide))
        return 0;

    const double scale = std::sqrt(rightHandSide[8] * rightHandSide[8] + rightHandSide[9] * rightHandSide[9] +
                                   rightHandSide[10] * rightHandSide[10]);
    // A zero third row has no viewing direction; dividing by it would give NaN.
    if (!(scale > 0.0) || !std::isfinite(scale))
        return 0;
    double result[12];
    for (int k = 0; k < 12; ++k)
        result[k] = -rightHandSide[k] / scale;
    if (!allFinite(result, 12) || !leftBlockRegular(result))
        return 0;
    std::copy(result, result + 12, projection);
    return 1;
}

int cameraCentre(const double* projection, double* eye)
{
    double m[9] = {projection[0], projection[1], projection[2], projection[4], projection[5],
                   projection[6], projection[8], projection[9], projection[10]};
    double centre[3] = {-projection[3], -projection[7], -projection[11]};
    if (!solveLinearSystem(3, m, centre))
        return 0;
    std::copy(centre, centre + 3, eye);
    return 1;
}

int backProjectToGround(const double* projection, double u, double v, double& x, double& y)
{
    double m[9] = {projection[0], projection[1], -u, projection[4], projection[5], -v, projection[8], projection[9], -1.0};
    double rhs[3] = {-projection[3], -projection[7], -projection[11]};
    const int status = solveLinearSystem(3, m, rhs);
    x = rhs[0];
    y = rhs[1];
    return status;
}

namespace {

// Coefficients of up to this many points are computed once per fit and kept on
// the stack; larger sets recompute them in each pass (same values either way).
constexpr int kCachedPoints = 256;

struct CoefficientCache {
    double a[kCachedPoints], b[kCachedPoints], c[kCachedPoints], d[kCachedPoints];
};

// The normal equations and the fit's χ² from coefficient source `at(i)`. The u
// rows are summed first, then the v rows, in the order G lists them.
template <typename Coefficients>
void solveFit(const Correspondences& correspondences, Coefficients at, PoseFit& fit)
{
    const int n = correspondences.count;
    const double* image = correspondences.imagePoints;
    double normal[3] = {0.0, 0.0, 0.0};  // GᵀG: (0,0), (0,1), (1,1)
    double projected[2] = {0.0, 0.0};
    for (int i = 0; i < n; ++i) {
        const ProjectionCoefficients k = at(i);
        const double observed = image[3 * i];
        normal[0] += k.a * k.a;
        normal[1] += k.a * k.b;
        normal[2] += k.b * k.b;
        projected[0] += k.a * observed;
        projected[1] += k.b * observed;
    }
    for (int i = 0; i < n; ++i) {
        const ProjectionCoefficients k = at(i);
        const double observed = image[3 * i + 1];
        normal[0] += k.c * k.c;
        normal[1] += k.c * k.d;
        normal[2] += k.d * k.d;
        projected[0] += k.c * observed;
        projected[1] += k.d * observed;
    }
    // A singular fit leaves no usable focal length; m = l = 0 makes the cost
    // that of predicting every point at the image centre, which is honest.
    double solution[2];
    fit.solved = solveSymmetric2x2(normal, projected, solution);
    fit.m = fit.solved ? solution[0] : 0.0;
    fit.l = fit.solved ? solution[1] : 0.0;

    double chiSquare = 0.0;
    for (int i = 0; i < n; ++i) {
        const ProjectionCoefficients k = at(i);
        const double residual = (fit.m * k.a + fit.l * k.b) - image[3 * i];
        chiSquare += residual * residual;
    }
    for (int i = 0; i < n; ++i) {
        const ProjectionCoefficients k = at(i);
        const double residual = (fit.m * k.c + fit.l * k.d) - image[3 * i + 1];
        chiSquare += residual * residual;
    }
    fit.chiSquare = chiSquare;
}

}  // namespace

PoseFit fitPose(const double* eye, const double* lookAt, const Correspondences& correspondences)
{
    PoseFit fit;
    viewingDirection(eye, lookAt, fit.direction);
    const DirectionTerms terms(fit.direction);
    const int n = correspondences.count;
    const double* model = correspondences.modelPoints;
    if (n > kCachedPoints) {
        solveFit(correspondences, [&](int i) { return terms.at(eye, model + 3 * i); }, fit);
        return fit;
    }
    CoefficientCache cache;
    for (int i = 0; i < n; ++i) {
        const ProjectionCoefficients k = terms.at(eye, model + 3 * i);
        cache.a[i] = k.a;
        cache.b[i] = k.b;
        cache.c[i] = k.c;
        cache.d[i] = k.d;
    }
    solveFit(correspondences,
             [&cache](int i) { return ProjectionCoefficients{cache.a[i], cache.b[i], cache.c[i], cache.d[i]}; },
             fit);
    return fit;
}

double poseCost(const double* eye, const double* lookAt, const Correspondences& correspondences)
{
    return fitPose(eye, lookAt, correspondences).chiSquare;
}

namespace {

// A value with its derivatives along the five parameters, carried through the
// arithmetic of the cost (forward-mode differentiation): exact derivatives
// without the rounding that the finite-difference quotients of a 1e-6 step
// amplify.
struct Dual {
    double value = 0.0;
    double slope[kParameterCount] = {};

    static Dual parameter(double value, int index)
    {
        Dual result{value};
        result.slope[index] = 1.0;
        return result;
    }
};

Dual operator+(const Dual& a, const Dual& b)
{
    Dual r{a.value + b.value};
    for (int k = 0; k < kParameterCount; ++k)
        r.slope[k] = a.slope[k] + b.slope[k];
    return r;
}

Dual operator-(const Dual& a, const Dual& b)
{
    Dual r{a.value - b.value};
    for (int k = 0; k < kParameterCount; ++k)
        r.slope[k] = a.slope[k] - b.slope[k];
    return r;
}

Dual operator-(double a, const Dual& b)
{
    Dual r{a - b.value};
    for (int k = 0; k < kParameterCount; ++k)
        r.slope[k] = -b.slope[k];
    return r;
}

Dual operator*(const Dual& a, const Dual& b)
{
    Dual r{a.value * b.value};
    for (int k = 0; k < kParameterCount; ++k)
        r.slope[k] = a.slope[k] * b.value + a.value * b.slope[k];
    return r;
}


Dual operator/(const Dual& a, const Dual& b)
{
    const double quotient = a.value / b.value;
    Dual r{quotient};
    for (int k = 0; k < kParameterCount; ++k)
        r.slope[k] = (a.slope[k] - quotient * b.slope[k]) / b.value;
    return r;
}

Dual sqrt(const Dual& a)
{
    const double root = std::sqrt(a.value);
    Dual r{root};
    for (int k = 0; k < kParameterCount; ++k)
        r.slope[k] = a.slope[k] / (2.0 * root);
    return r;
}

// The derivative rows of one residual, accumulated for the Gauss–Newton
// matrices: J0 is the derivative of the prediction with m and l held, G the
// row of the 2 × 2 fit.
struct NormalSums {
    double jj[kParameterCount * kParameterCount] = {};  // J0ᵀJ0, upper triangle
    double gj[2][kParameterCount] = {};                 // GᵀJ0
    double gg[3] = {};                                  // GᵀG: (0,0), (0,1), (1,1)
    double jr[kParameterCount] = {};                    // J0ᵀr

    void add(const Dual& first, const Dual& second, double m, double l, double observed)
    {
        double row[kParameterCount];
        for (int k = 0; k < kParameterCount; ++k)
            row[k] = m * first.slope[k] + l * second.slope[k];
        const double residual = (m * first.value + l * second.value) - observed;
        for (int j = 0; j < kParameterCount; ++j) {
            for (int k = j; k < kParameterCount; ++k)
                jj[j * kParameterCount + k] += row[j] * row[k];
            gj[0][j] += first.value * row[j];
            gj[1][j] += second.value * row[j];
            jr[j] += row[j] * residual;
        }
        gg[0] += first.value * first.value;
        gg[1] += first.value * second.value;
        gg[2] += second.value * second.value;
    }
};

}  // namespace

bool solveSymmetric2x2(const double* normal, const double* rightHandSide, double* solution)
{
    const double determinant = normal[0] * normal[2] - normal[1] * normal[1];
    // Also false for NaN; a relative test, as the entries scale with the data.
    if (!(determinant > kSolverTolerance * normal[0] * normal[2]) || !std::isfinite(determinant))
        return false;
    solution[0] = (normal[2] * rightHandSide[0] - normal[1] * rightHandSide[1]) / determinant;
    solution[1] = (normal[0] * rightHandSide[1] - normal[1] * rightHandSide[0]) / determinant;
    return true;
}

void poseCostDerivatives(const double* parameters, const PoseFit& fit, const Correspondences& correspondences,
                         double* alpha, double* beta)
{
    const Dual eye[3] = {Dual::parameter(parameters[0], 0), Dual::parameter(parameters[1], 1),
                         Dual::parameter(parameters[2], 2)};
    Dual dx = Dual::parameter(parameters[3], 3) - eye[0];
    Dual dy = Dual::parameter(parameters[4], 4) - eye[1];
    Dual dz = 0.0 - eye[2];
    const Dual squaredLength = dx * dx + dy * dy + dz * dz;
    if (squaredLength.value != 0.0) {
        const Dual length = sqrt(squaredLength);
        dx = dx / length;
        dy = dy / length;
        dz = dz / length;
    }
    const Dual dxOverDz = dx / dz, dyOverDz = dy / dz, dxDyOverDz = dx * dy / dz;
    const Dual dzPlusDx2OverDz = dz + dx * dx / dz, dzPlusDy2OverDz = dz + dy * dy / dz;

    NormalSums sums;
    for (int i = 0; i < correspondences.count; ++i) {
        const double* point = correspondences.modelPoints + 3 * i;
        const double* image = correspondences.imagePoints + 3 * i;
        const Dual fx = point[0] - eye[0], fy = point[1] - eye[1], fz = point[2] - eye[2];
        const Dual inverseDepth = Dual{1.0} / (dx * fx + dy * fy + dz * fz);
        const Dual a = (fx - fz * dxOverDz) * inverseDepth;
        const Dual b = (fy - fz * dyOverDz) * inverseDepth;
        const Dual c = (dxDyOverDz * fx - dzPlusDx2OverDz * fy + dy * fz) * inverseDepth;
        const Dual d = (dzPlusDy2OverDz * fx - dxDyOverDz * fy - dx * fz) * inverseDepth;
        sums.add(a, b, fit.m, fit.l, image[0]);
        sums.add(c, d, fit.m, fit.l, image[1]);
    }

    // Gauss–Newton on χ² with m and l eliminated (they are refitted at every
    // point): α = 2·(J0ᵀJ0 − (GᵀJ0)ᵀ(GᵀG)⁻¹(GᵀJ0)), the curvature left once the
    // fit has absorbed what it can; β = 2·J0ᵀr, the exact gradient, since the
    // fit's residual is orthogonal to G.
    double eliminated[2][kParameterCount] = {};
    for (int k = 0; k < kParameterCount; ++k) {
        const double column[2] = {sums.gj[0][k], sums.gj[1][k]};
        double solved[2];
        if (solveSymmetric2x2(sums.gg, column, solved)) {
            eliminated[0][k] = solved[0];
            eliminated[1][k] = solved[1];
        }
    }
    for (int j = 0; j < kParameterCount; ++j) {
        beta[j] = 2.0 * sums.jr[j];
        for (int k = j; k < kParameterCount; ++k) {
            const double coupled = sums.gj[0][j] * eliminated[0][k] + sums.gj[1][j] * eliminated[1][k];
            const double value = 2.0 * (sums.jj[j * kParameterCount + k] - coupled);
            alpha[j * kParameterCount + k] = value;
            alpha[k * kParameterCount + j] = value;
        }
    }
}

double refinePoseStep(RefinementState& state, const Correspondences& correspondences)
{
    if (state.lambda == -2.0) {
        state.lambda = kInitialLambda;
        const PoseFit fit = fitAt(state.parameters, correspondences);
        state.chiSquare = fit.chiSquare;
        state.previousChiSquare = state.chiSquare;
        state.settled = false;
        poseCostDerivatives(state.parameters, fit, correspondences, state.alpha, state.beta);
    }

    double damped[kParameterCount * kParameterCount];
    double step[kParameterCount];
    std::copy(state.alpha, state.alpha + kParameterCount * kParameterCount, damped);
    std::copy(state.beta, state.beta + kParameterCount, step);
    for (int k = 0; k < kParameterCount; ++k)
        damped[k * kParameterCount + k] *= 1.0 + state.lambda;

    double trial[kParameterCount];
    const bool solved = solveLinearSystem(kParameterCount, damped, step) == 1;
    for (int k = 0; k < kParameterCount; ++k)
        trial[k] = state.parameters[k] - step[k];
    // A singular damped system gives no step; more damping will make it regular.
    // A step too small to change p has nothing to evaluate, and more damping
    // only makes it smaller: the search has settled.
    const bool moved = !std::equal(trial, trial + kParameterCount, state.parameters);
    if (!solved || !moved) {
        state.settled = solved;
        state.lambda *= 10.0;
        state.chiSquare = state.previousChiSquare;
        return state.chiSquare;
    }

    const PoseFit fit = fitAt(trial, correspondences);
    state.chiSquare = fit.chiSquare;
    if (fit.chiSquare < state.previousChiSquare) {
        state.lambda *= 0.1;
        state.previousChiSquare = fit.chiSquare;
        std::copy(trial, trial + kParameterCount, state.parameters);
        poseCostDerivatives(state.parameters, fit, correspondences, state.alpha, state.beta);
    } else {
        state.lambda *= 10.0;
        state.chiSquare = state.previousChiSquare;
    }
    return state.chiSquare;
}

int composeProjection(const double* eye, const double* lookAt, const Correspondences& correspondences,
                      double* projection, double* up)
{
    const PoseFit fit = fitPose(eye, lookAt, correspondences);
    const double dx = fit.direction[0];
    const double dy = fit.direction[1];
    const double dz = fit.direction[2];
    const double m = fit.m;
    const double l = fit.l;
    const double q = -(l * dy + m * dx) / dz;
    const double r1[3] = {m, l, q};
    const double r2[3] = {dz * l - dy * q, dx * q - dz * m, dy * m - dx * l};
    const double* rows[3] = {r1, r2, fit.direction};

    double result[12];
    for (int r = 0; r < 3; ++r) {
        const double* axis = rows[r];
        result[4 * r + 0] = axis[0];
        result[4 * r + 1] = axis[1];
        result[4 * r + 2] = axis[2];
        result[4 * r + 3] = -(axis[0] * eye[0] + axis[1] * eye[1] + axis[2] * eye[2]);
    }

    const double squaredLength = r2[0] * r2[0] + r2[1] * r2[1] + r2[2] * r2[2];
    // dz = 0 (looking parallel to the ground) or a point at zero depth shows up
    // here as inf or NaN; a zero r2 is a zero focal length. Neither is a camera.
    if (!allFinite(result, 12) || !(squaredLength > 0.0) || !std::isfinite(squaredLength))
        return 0;
    if (!lookAtLandsOnCentre(result, lookAt) || !allPointsInFront(result, correspondences))
        return 0;
    const double length = std::sqrt(squaredLength);
    std::copy(result, result + 12, projection);
    for (int i = 0; i < 3; ++i)
        up[i] = r2[i] / length;
    return 1;
}

bool allFinite(const double* values, int count)
{
    for (int i = 0; i < count; ++i) {
        if (!std::isfinite(values[i]))
            return false;
    }
    return true;
}

bool allPointsInFront(const double* projection, const Correspondences& correspondences)
{
    const auto depth = [projection, &correspondences](int i) {
        const double* x = correspondences.modelPoints + 3 * i;
        return projection[8] * x[0] + projection[9] * x[1] + projection[10] * x[2] + projection[11];
    };
    double largest = 0.0;
    for (int i = 0; i < correspondences.count; ++i)
        largest = std::max(largest, depth(i));
    const double nearest = kFrontDepthFraction * largest;
    for (int i = 0; i < correspondences.count; ++i) {
        // Written as !(x > ...) so that a NaN depth counts as not in front.
        if (!(depth(i) > nearest))
            return false;
    }
    return largest > 0.0;
}

bool lookAtLandsOnCentre(const double* projection, const double* lookAt)
{
    const double depth = projection[8] * lookAt[0] + projection[9] * lookAt[1] + projection[11];
    for (int r = 0; r < 2; ++r) {
        const double centre =
            (projection[4 * r] * lookAt[0] + projection[4 * r + 1] * lookAt[1] + projection[4 * r + 3]) / depth;
        if (!(std::fabs(centre) <= kLookAtTolerancePixels))
            return false;
    }
    return true;
}

bool usableCorrespondences(int count, const double* modelPoints, const double* imagePoints)
{
    if (count < 6 || !modelPoints || !imagePoints)
        return false;
    for (int i = 0; i < count; ++i) {
        const double* x = modelPoints + 3 * i;
        const double* image = imagePoints + 3 * i;
        if (!allFinite(x, 3) || !std::isfinite(image[0]) || !std::isfinite(image[1]))
            return false;
    }
    return true;
}

int refineFreePose(const Correspondences& correspondences, const double* linearProjection, double* eye,
                   double* lookAt)
{
    RefinementState state;
    if (!cameraCentre(linearProjection, state.parameters) || !allFinite(state.parameters, 3))
        return 0;
    // A singular back-projection means the linear camera looks parallel to the
    // ground: there is no look-at point to start from.
    if (!backProjectToGround(linearProjection, 0.0, 0.0, state.parameters[3], state.parameters[4]) ||
        !allFinite(state.parameters + 3, 2))
        return 0;

    state.lambda = -2.0;
    double chiSquare = refinePoseStep(state, correspondences);
    // Converging runs stop long before the step cap. A search still moving at
    // the cap is drifting along a valley (the eye receding without end, say),
    // and where it happens to be is no answer.
    bool stopped = false;
    for (int steps = 1; steps < kMaxRefinementSteps && !stopped; ++steps) {
        const double previousLambda = state.lambda;
        const double previousChiSquare = chiSquare;
        chiSquare = refinePoseStep(state, correspondences);
        stopped = (std::fabs(previousChiSquare - chiSquare) < kConvergedCostChange && state.lambda < previousLambda) ||
                  state.lambda < kLambdaFloor || state.lambda > kLambdaCeiling || state.settled;
    }
    if (!stopped || !std::isfinite(state.previousChiSquare) || !allFinite(state.parameters, kParameterCount))
        return 0;
    parametersToPose(state.parameters, eye, lookAt);
    return 1;
}

int refineLinearEstimate(const Correspondences& correspondences, const double* linearProjection, FreePose& pose)
{
    return refineFreePose(correspondences, linearProjection, pose.eye, pose.lookAt) &&
           composeProjection(pose.eye, pose.lookAt, correspondences, pose.projection, pose.up);
}

int estimateFreePose(const Correspondences& correspondences, double* linearProjection, FreePose& pose)
{
    double linear[12];
    if (!computeLinearProjection(correspondences, linear))
        return 0;
    std::copy(linear, linear + 12, linearProjection);
    return refineLinearEstimate(correspondences, linear, pose);
}

}  // namespace pose_internal

using namespace pose_internal;

int estimateCameraPose(int correspondenceCount, const double* modelPoints, const double* imagePoints,
                       double* linearProjection, double* refinedProjection, double* eye, double* lookAtPoint,
                       double* up)
{
    if (!usableCorrespondences(correspondenceCount, modelPoints, imagePoints) || !linearProjection ||
        !refinedProjection || !eye || !lookAtPoint || !up)
        return 0;
    const Correspondences correspondences{correspondenceCount, modelPoints, imagePoints};
    FreePose pose;
    if (!estimateFreePose(correspondences, linearProjection, pose))
        return 0;

    std::copy(pose.projection, pose.projection + 12, refinedProjection);
    std::copy(pose.eye, pose.eye + 3, eye);
    std::copy(pose.lookAt, pose.lookAt + 3, lookAtPoint);
    std::copy(pose.up, pose.up + 3, up);
    return 1;
}

bool projectPoint(const double* projection, const Vector3& point, double& u, double& v)
{
    const auto row = [&](int r) {
        const double* p = projection + 4 * r;
        return p[0] * point.x + p[1] * point.y + p[2] * point.z + p[3];
    };
    const double depth = row(2);
    if (!(depth > 0.0)) return false;
    u = row(0) / depth;
    v = row(1) / depth;
    return std::isfinite(u) && std::isfinite(v);
}

double verticalFieldOfView(int imageHeight, const double* refinedProjection, const double* eye,
                           const double* lookAtPoint)
{
    const double halfHeight = imageHeight / 2.0;
    double viewing[3] = {lookAtPoint[0] - eye[0], lookAtPoint[1] - eye[1], lookAtPoint[2] - eye[2]};

    double rays[2][3];
    bool solved = true;
    const double edges[2] = {-halfHeight, halfHeight};
    for (int r = 0; r < 2; ++r) {
        double x = 0.0;
        double y = 0.0;
        solved = backProjectToGround(refinedProjection, 0.0, edges[r], x, y) == 1 && solved;
        double* ray = rays[r];
        ray[0] = x - eye[0];
        ray[1] = y - eye[1];
        ray[2] = -eye[2];
        // A ray above the horizon meets the ground behind the camera; turn it
        // to the front so the angle is the one the image spans, not its supplement.
        if (ray[0] * viewing[0] + ray[1] * viewing[1] + ray[2] * viewing[2] < 0.0) {
            for (double& component : rays[r])
                component = -component;
        }
        const double squaredLength = ray[0] * ray[0] + ray[1] * ray[1] + ray[2] * ray[2];
        if (squaredLength != 0.0) {
            const double length = std::sqrt(squaredLength);
            for (double& component : rays[r])
                component /= length;
        }
    }
    const double cosine = rays[0][0] * rays[1][0] + rays[0][1] * rays[1][1] + rays[0][2] * rays[1][2];
    const double degrees = std::acos(std::clamp(cosine, -1.0, 1.0)) * 180.0 / kPi;
    if (solved && std::isfinite(degrees))
        return degrees;

    // An edge ray exactly parallel to the ground has no ground point; the
    // focal length |r1| gives the same angle in closed form.
    return 2.0 * std::atan(halfHeight / projectionFocalLength(refinedProjection)) * 180.0 / kPi;
}

double focalLengthForFieldOfView(int imageHeight, double verticalFieldOfViewDegrees)
{
    if (!(imageHeight > 0) || !(verticalFieldOfViewDegrees > 0.0 && verticalFieldOfViewDegrees < 180.0))
        return std::numeric_limits<double>::quiet_NaN();
    return (imageHeight / 2.0) / std::tan(verticalFieldOfViewDegrees * kPi / 360.0);
}
