#pragma once

// The stages of the camera pose estimator, exposed for tests. Conventions as
// in pose/camera_pose.h.

namespace pose_internal {

// Borrowed view of the correspondences: count records of three doubles each.
struct Correspondences {
    int count = 0;
    const double* modelPoints = nullptr;
    const double* imagePoints = nullptr;
};

// Levenberg–Marquardt search state over p = (eye.x, eye.y, eye.z, look.x, look.y).
struct RefinementState {
    double parameters[5] = {};
    double lambda = -2.0;            // −2 requests initialisation on the next step
    double chiSquare = 0.0;          // cost returned by the last step
    double previousChiSquare = 0.0;  // cost of the last accepted point
    double alpha[25] = {};           // Gauss–Newton curvature at the accepted point, row-major
    double beta[5] = {};             // gradient at the accepted point
    bool settled = false;            // the last step was too small to change p
};

inline constexpr double kSolverTolerance = 1e-10;
inline constexpr double kInitialLambda = 1e-4;
inline constexpr int kMaxRefinementSteps = 2000;
inline constexpr double kLambdaFloor = 1e-20;
inline constexpr double kLambdaCeiling = 1e20;
inline constexpr double kLookAtTolerancePixels = 1e-6;
// A point nearer than this fraction of the farthest point's depth counts as
// at the camera: its image is whatever rounding makes of a ray through the eye.
inline constexpr double kFrontDepthFraction = 1e-6;
// |det M| over the product of its row norms for the left 3 × 3 M of a linear
// estimate. A camera gives 1; noise on a far, narrow view lowers it to about
// 1e-2; a matrix the solver made of the null space of points in one plane or of
// a few repeated points gives 1e-17 and means nothing.
inline constexpr double kRegularLeftBlockRatio = 1e-8;

bool allFinite(const double* values, int count);

// True when every model point lies in front of the camera of projection
// (3 × 4, third row d·(X − eye) with d a unit vector) by more than
// kFrontDepthFraction of the largest depth. A pose with a point at or behind
// the eye fits the images only because the cost cannot tell a ray from its
// reverse; it is not a camera of the points.
bool allPointsInFront(const double* projection, const Correspondences& correspondences);

// True when the look-at point (z = 0) projects to the image centre within
// kLookAtTolerancePixels. An eye so close to it that their difference is
// mostly rounding has no usable viewing direction, however low its cost.
bool lookAtLandsOnCentre(const double* projection, const double* lookAt);

// Solves A·x = b for a row-major n × n A by Gaussian elimination with scaled
// partial pivoting (tolerance kSolverTolerance; among equal pivot ratios the
// first row wins). x replaces b; A is destroyed. Returns 1, or 0 when the
// system is singular or holds a non-finite value (b may then be partly reduced).
int solveLinearSystem(int n, double* a, double* b);

// The linear stage: DLT with the centroid of the model points at projective
// depth 1, normalised so that the left 3 × 3 of row 3 is a unit vector and
// negated. Writes 12 doubles to projection; returns 0 if the Lagrange system
// is singular or the left 3 × 3 of its solution is (kRegularLeftBlockRatio).
int computeLinearProjection(const Correspondences& correspondences, double* projection);

// Camera centre of a 3 × 4 matrix: the solution of M·c = −p4. Returns 0 if singular.
int cameraCentre(const double* projection, double* eye);

// The ground point (X, Y, 0) that projection maps to (u, v). Returns the
// solver's status; x and y hold whatever the solver left when it is 0.
int backProjectToGround(const double* projection, double u, double v, double& x, double& y);

// Solves the symmetric 2 × 2 system [[n0, n1], [n1, n2]]·x = b by Cramer's
// rule. Returns false, leaving x untouched, when the matrix is singular relative
// to its diagonal (or not finite).
bool solveSymmetric2x2(const double* normal, const double* rightHandSide, double* solution);

// Roll and focal length fitted in closed form for one eye and look-at point.
struct PoseFit {
    double direction[3] = {};  // unit viewing direction d
    double m = 0.0;            // r1 = (m, l, q), q = −(l·dy + m·dx)/dz
    double l = 0.0;
    double chiSquare = 0.0;
    bool solved = false;       // false when the 2 × 2 normal equations are singular (m = l = 0)
};
PoseFit fitPose(const double* eye, const double* lookAt, const Correspondences& correspondences);

// χ² for eye (3 doubles) and look-at point (x, y; z taken as 0).
double poseCost(const double* eye, const double* lookAt, const Correspondences& correspondences);

// Analytic derivatives of poseCost at p, whose fit is `fit`: beta the
// gradient, alpha the Gauss–Newton approximation of the second derivatives
// (5 × 5 row-major, symmetric, positive semi-definite).
void poseCostDerivatives(const double* parameters, const PoseFit& fit, const Correspondences& correspondences,
                         double* alpha, double* beta);

// One Levenberg–Marquardt step; state.lambda == −2 initialises first.
// Accepts only a strictly lower cost; returns the current χ². A step that
// would leave p unchanged is not evaluated: it counts as rejected and sets
// state.settled.
double refinePoseStep(RefinementState& state, const Correspondences& correspondences);

// The final matrix and up vector from eye and look-at point. Returns 0 when
// the result is not finite, the fitted focal length is zero or a point is not
// in front of the camera.
int composeProjection(const double* eye, const double* lookAt, const Correspondences& correspondences,
                      double* projection, double* up);

// True when there are at least 6 correspondences, both arrays exist and every
// model point and image (u, v) is finite.
bool usableCorrespondences(int count, const double* modelPoints, const double* imagePoints);

// The Levenberg–Marquardt search from the linear stage's camera centre and
// look-at point. Writes eye and lookAt (z = 0) and returns 1, or returns 0,
// writing nothing, when there is no finite start, no finite result, or the
// search is still moving after kMaxRefinementSteps.
int refineFreePose(const Correspondences& correspondences, const double* linearProjection, double* eye,
                   double* lookAt);

// The camera with its focal length free, as estimateCameraPose finds it.
struct FreePose {
    double eye[3];
    double lookAt[3];
    double projection[12];
    double up[3];
};

// The search from a linear estimate and the final matrix. Returns 0 where a
// stage fails; `pose` is whole only on 1.
int refineLinearEstimate(const Correspondences& correspondences, const double* linearProjection, FreePose& pose);

// The linear stage, copied to linearProjection once it succeeds, then
// refineLinearEstimate.
int estimateFreePose(const Correspondences& correspondences, double* linearProjection, FreePose& pose);

}  // namespace pose_internal
