// The per-frame paths (pose estimation, free or with the focal length held,
// and the pose filter) allocate nothing: global operator new is counted while
// they run. Sanitizer builds replace the allocator themselves, so the check
// runs only in plain builds.

#include "pose/camera_pose.h"
#include "pose/pose_filter.h"
#include "synthetic_camera.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define CASTELLAN_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CASTELLAN_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef CASTELLAN_COUNT_ALLOCATIONS
#define CASTELLAN_COUNT_ALLOCATIONS 1
#endif

#if CASTELLAN_COUNT_ALLOCATIONS
namespace {
int allocationCount = 0;
}

void* operator new(std::size_t size)
{
    ++allocationCount;
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

TEST(Allocations, PoseEstimationAndFilteringAllocateNothing)
{
    std::mt19937 random(99);
    const SyntheticScene scene = randomScene(random, 39);
    double linear[12], refined[12];
    Vector3 eye, lookAt, up;
    double rotation[9];
    rotationFromEuler(0.1, 0.2, 0.3, rotation);
    const double eye0[3] = {1, 2, 30};
    auto filter = createPoseFilter(0.5, 0.5, 1.0, rotation, eye0, 30.0);
    ASSERT_TRUE(filter);

    const int before = allocationCount;
    const int status = estimateCameraPose(scene.count(), scene.modelPoints.data(), scene.imagePoints.data(), linear,
                                          refined, eye, lookAt, up);
    const double fieldOfView0 = verticalFieldOfView(480, refined, eye, lookAt);
    double filteredEye[3] = {eye.x, eye.y, eye.z};
    double fieldOfView = fieldOfView0;
    for (int call = 0; call < 10; ++call)
        filterPose(1.0, 0.1, 50.0, rotation, filteredEye, fieldOfView, 1.0, filter.get());
    const int during = allocationCount - before;

    EXPECT_EQ(status, 1);
    EXPECT_EQ(during, 0);
}

TEST(Allocations, PoseWithHeldFocalLengthAllocatesNothingForAHundredPoints)
{
    std::mt19937 random(7);
    SyntheticScene scene = randomScene(random, 100);
    scene.addNoise(random, 1.0);
    double linear[12], refined[12];
    Vector3 eye, lookAt, up;

    const int before = allocationCount;
    const int status = estimateCameraPoseWithFocalLength(scene.count(), scene.modelPoints.data(),
                                                         scene.imagePoints.data(), scene.camera.focal, linear,
                                                         refined, eye, lookAt, up);
    const int during = allocationCount - before;

    EXPECT_EQ(status, 1);
    EXPECT_EQ(during, 0);
}
#endif
