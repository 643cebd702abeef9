// The vector-math family: the worked examples, the destination rules and the matrix identities
// an application relies on when it projects and unprojects point clouds.
#include <tarvo/vecmath.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace {

void expect_near_all(const double *got, std::initializer_list<double> want, double tol = 1e-12) {
    size_t i = 0;
    for (double w : want) {
        EXPECT_NEAR(got[i], w, tol) << "element " << i;
        ++i;
    }
}

TEST(Vec3, Normalize) {
    double zero[3] = {0, 0, 0}, v[3] = {0, 3, 4}, unit[3] = {1, 0, 0}, out[3];
    expect_near_all(vec3_normalize(zero, out), {0, 0, 0});
    expect_near_all(vec3_normalize(v, out), {0, 0.6, 0.8});
    expect_near_all(vec3_normalize(unit, out), {1, 0, 0}, 0);
    EXPECT_EQ(vec3_normalize(v, nullptr), v);  // in place
    expect_near_all(v, {0, 0.6, 0.8});
}

TEST(Vec3, DirectionAndDistance) {
    double a[3] = {1, 2, 3}, b[3] = {1, 2, 0}, out[3];
    expect_near_all(vec3_direction(a, b, out), {0, 0, 1});
    expect_near_all(vec3_direction(a, a, out), {0, 0, 0});
    EXPECT_DOUBLE_EQ(vec3_dist(a, b), 3);
    double c[3] = {1, 0, 0}, d[3] = {0, 1, 0};
    expect_near_all(vec3_cross(c, d, out), {0, 0, 1});
    EXPECT_DOUBLE_EQ(vec3_dot(a, b), 5);
    expect_near_all(vec3_lerp(c, d, 0.25, out), {0.75, 0.25, 0});
}

TEST(Vec3, StrWritesTheBracketedText) {
    double v[3] = {1, 2, 3};
    char buf[64];
    EXPECT_EQ(vec3_str(v, buf), 30);
    EXPECT_STREQ(buf, "[1.000000, 2.000000, 3.000000]");
    double q[4] = {0, 0, 0, 1};
    EXPECT_EQ(quat_str(q, buf), 40);
    EXPECT_STREQ(buf, "[0.000000, 0.000000, 0.000000, 1.000000]");
    EXPECT_EQ(vec3_str(nullptr, buf), 0);
}

TEST(Mat3, InverseOfACameraMatrix) {
    double k[9] = {2, 0, 4, 0, 2, 6, 0, 0, 1}, inv[9];
    ASSERT_EQ(mat3_inverse(k, inv), inv);
    expect_near_all(inv, {0.5, 0, -2, 0, 0.5, -3, 0, 0, 1});
    ASSERT_EQ(mat3_inverse(k, nullptr), k);  // in place
    expect_near_all(k, {0.5, 0, -2, 0, 0.5, -3, 0, 0, 1});
}

TEST(Mat3, SingularInverseFailsAndLeavesTheDestination) {
    double s[9] = {1, 2, 3, 2, 4, 6, 0, 0, 1}, dest[9] = {7, 7, 7, 7, 7, 7, 7, 7, 7};
    EXPECT_EQ(mat3_inverse(s, dest), nullptr);
    for (double d : dest)
        EXPECT_EQ(d, 7);
}

TEST(Mat3, MultiplyAndTranspose) {
    double a[9] = {1, 2, 3, 4, 5, 6, 7, 8, 10}, inv[9], prod[9], t[9];
    ASSERT_NE(mat3_inverse(a, inv), nullptr);
    expect_near_all(mat3_multiply(a, inv, prod), {1, 0, 0, 0, 1, 0, 0, 0, 1}, 1e-12);
    expect_near_all(mat3_transpose(a, t), {1, 4, 7, 2, 5, 8, 3, 6, 10});
}

TEST(Mat4, BuildersAllocateWithoutADestination) {
    double *m = mat4_identity(nullptr);
    ASSERT_NE(m, nullptr);
    expect_near_all(m, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, 0);
    double *m3 = mat4_toMat3(m, nullptr);
    ASSERT_NE(m3, nullptr);
    expect_near_all(m3, {1, 0, 0, 0, 1, 0, 0, 0, 1}, 0);
    std::free(m3);
    std::free(m);
    double *v = vec3_create(nullptr);
    expect_near_all(v, {0, 0, 0}, 0);
    std::free(v);
}

TEST(Mat4, InverseTimesMatrixIsIdentity) {
    double m[16];
    mat4_identity(m);
    double axis[3] = {1, 2, 3}, shift[3] = {0.5, -1, 2}, scale[3] = {2, 3, 4};
    ASSERT_NE(mat4_rotate(m, 0.7, axis, nullptr), nullptr);
    mat4_translate(m, shift, nullptr);
    mat4_scale(m, scale, nullptr);
    double inv[16], prod[16];
    ASSERT_NE(mat4_inverse(m, inv), nullptr);
    expect_near_all(mat4_multiply(m, inv, prod), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
                    1e-12);
    EXPECT_NEAR(mat4_determinant(m), 24, 1e-9);
}

TEST(Mat4, SingularOrDegenerateInputsFail) {
    double zero[16] = {}, dest[16] = {9}, axis[3] = {0, 0, 0}, m[16];
    EXPECT_EQ(mat4_inverse(zero, dest), nullptr);
    EXPECT_EQ(dest[0], 9);
    EXPECT_EQ(mat4_toInverseMat3(zero, dest), nullptr);
    EXPECT_EQ(dest[0], 9);
    mat4_identity(m);
    EXPECT_EQ(mat4_rotate(m, 1.0, axis, nullptr), nullptr);
    expect_near_all(m, {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, 0);
}

TEST(Mat4, RotationsAboutTheAxes) {
    const double quarter = std::acos(0.0);
    double m[16], v[3] = {1, 0, 0}, out[3];
    mat4_identity(m);
    mat4_rotateZ(m, quarter, nullptr);
    expect_near_all(mat4_multiplyVec3(m, v, out), {0, 1, 0});
    double axis[3] = {0, 0, 2}, r[16];
    mat4_identity(r);
    mat4_rotate(r, quarter, axis, nullptr);  // an axis of length 2 is normalised
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(r[i], m[i], 1e-12) << i;
    double y[3] = {0, 0, 1};
    mat4_identity(m);
    mat4_rotateY(m, quarter, nullptr);
    expect_near_all(mat4_multiplyVec3(m, y, out), {1, 0, 0});
    double x[3] = {0, 1, 0};
    mat4_identity(m);
    mat4_rotateX(m, quarter, nullptr);
    expect_near_all(mat4_multiplyVec3(m, x, out), {0, 0, 1});
}

TEST(Mat4, LookAtWithTheEyeOnTheCentreIsIdentity) {
    double eye[3] = {1, 2, 3}, up[3] = {0, 1, 0}, m[16];
    expect_near_all(mat4_lookAt(eye, eye, up, m), {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1},
                    0);
    double centre[3] = {1, 2, 0}, p[3] = {1, 2, 0}, out[3];
    mat4_lookAt(eye, centre, up, m);
    expect_near_all(mat4_multiplyVec3(m, p, out), {0, 0, -3});  // 3 in front of the eye
}

// A point projected with proj x view to window coordinates comes back through vec3_unproject.
TEST(Vec3, UnprojectInvertsTheProjection) {
    double view[16], proj[16], eye[3] = {0.3, -0.2, 2}, centre[3] = {0, 0, 0}, up[3] = {0, 1, 0};
    mat4_lookAt(eye, centre, up, view);
    mat4_perspective(60, 4.0 / 3.0, 0.1, 100, proj);
    double viewport[4] = {0, 0, 320, 240};
    double world[4] = {0.25, 0.1, -0.5, 1}, clip[4], pv[16];
    mat4_multiply(proj, view, pv);
    mat4_multiplyVec4(pv, world, clip);
    double win[3] = {viewport[0] + (clip[0] / clip[3] + 1) * viewport[2] / 2,
                     viewport[1] + (clip[1] / clip[3] + 1) * viewport[3] / 2,
                     (clip[2] / clip[3] + 1) / 2};
    double out[3];
    ASSERT_EQ(vec3_unproject(win, view, proj, viewport, out), out);
    expect_near_all(out, {0.25, 0.1, -0.5}, 1e-9);
    double zero[16] = {};
    EXPECT_EQ(vec3_unproject(win, zero, proj, viewport, out), nullptr);
}

TEST(Quat, CalculateW) {
    double q[4] = {0.6, 0, 0, 7};
    quat_calculateW(q, nullptr);
    expect_near_all(q, {0.6, 0, 0, -0.8});
}

TEST(Quat, RotationAgreesWithItsMatrix) {
    const double half = std::asin(1.0) / 2;  // a quarter turn about z
    double q[4] = {0, 0, std::sin(half), std::cos(half)}, v[3] = {1, 0, 0}, out[3], m[16];
    expect_near_all(quat_multiplyVec3(q, v, out), {0, 1, 0});
    quat_toMat4(q, m);
    expect_near_all(mat4_multiplyVec3(m, v, out), {0, 1, 0});
    double shift[3] = {1, 2, 3};
    mat4_fromRotationTranslation(q, shift, m);
    expect_near_all(mat4_multiplyVec3(m, v, out), {1, 3, 3});
    double conj[4], prod[4];
    quat_conjugate(q, conj);
    expect_near_all(quat_multiply(q, conj, prod), {0, 0, 0, 1});
    double inv[4];
    expect_near_all(quat_inverse(q, inv), {conj[0], conj[1], conj[2], conj[3]});
}

TEST(Quat, SlerpEdges) {
    double a[4] = {0, 0, 0, 1}, b[4] = {0, 0, 1, 0}, out[4];
    expect_near_all(quat_slerp(a, b, 0.5, out), {0, 0, std::sqrt(0.5), std::sqrt(0.5)});
    expect_near_all(quat_slerp(a, a, 0.5, out), {0, 0, 0, 1});  // |cos| >= 1 copies a
    double c[4] = {0, 0, 0.0005, 1};
    quat_normalize(c, nullptr);
    expect_near_all(quat_slerp(a, c, 0.3, out),
                    {0, 0, c[2] * 0.5, 0.5 + c[3] * 0.5});  // tiny angle: halfway mean
}

}  // namespace
