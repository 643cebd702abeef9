// The virtual camera's scenes: their text form and the lens they are seen through.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "scene.h"

namespace {

namespace sc = tarvo::scene;

TEST(SceneSpec, TextNamesTheScene) {
    const sc::Camera cam;
    struct Case {
        std::string spec;
        bool ok;
        int centre_pixel_depth_mm;  // depth along the axis at the image centre
    };
    const Case cases[] = {
        {"sphere:1.25", true, 1250}, {"wall:2.5", true, 2500}, {"tilted:2:30", true, 2000},
        {"box", true, 1200},         {"wall", false, 0},       {"wall:0", false, 0},
        {"wall:-1", false, 0},       {"wall:2m", false, 0},    {"tilted:2", false, 0},
        {"box:1", false, 0},         {"cube", false, 0},       {"", false, 0},
        {"sphere:1:2", false, 0},
    };
    for (const Case &c : cases) {
        sc::Scene s;
        std::string error;
        ASSERT_EQ(sc::parse_scene(c.spec, cam, 0.5, s, error), c.ok) << c.spec;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.spec;
            continue;
        }
        ASSERT_EQ(s.width * s.height, 320 * 240) << c.spec;
        const int u = 157, v = 122;  // the principal point, rounded
        const sc::Ray r = sc::ray_of(cam, u, v);
        EXPECT_NEAR(s.distance_m[v * 320 + u] * r.z * 1000.0, c.centre_pixel_depth_mm, 2.0)
            << c.spec;
    }
    sc::Scene sphere;
    std::string error;
    ASSERT_TRUE(sc::parse_scene("sphere:1.25", cam, 0.7, sphere, error));
    for (size_t i = 0; i < sphere.distance_m.size(); ++i) {
        ASSERT_EQ(sphere.distance_m[i], 1.25);
        ASSERT_EQ(sphere.reflectivity[i], 0.7);
    }
}

// Each pixel's ray, projected back through the lens with its distortion, lands on the pixel.
TEST(SceneLens, RaysProjectBackOntoTheirPixels) {
    const sc::Camera c;
    double worst = 0.0;
    for (int v = 0; v < 240; v += 7) {
        for (int u = 0; u < 320; u += 7) {
            const sc::Ray r = sc::ray_of(c, u, v);
            const double x = r.x / r.z, y = r.y / r.z;
            const double r2 = x * x + y * y;
            const double kr = 1 + c.k1 * r2 + c.k2 * r2 * r2 + c.k3 * r2 * r2 * r2;
            const double pu = c.fx * (x * kr + 2 * c.p1 * x * y + c.p2 * (r2 + 2 * x * x)) + c.cx;
            const double pv = c.fy * (y * kr + c.p1 * (r2 + 2 * y * y) + 2 * c.p2 * x * y) + c.cy;
            worst = std::max(worst, std::hypot(pu - u, pv - v));
        }
    }
    EXPECT_LT(worst, 1e-6);
    // Barrel distortion: a corner pixel sees further out than a pinhole would.
    const sc::Ray corner = sc::ray_of(c, 0, 0);
    EXPECT_LT(corner.x / corner.z, -c.cx / c.fx - 0.1);
}

}  // namespace
