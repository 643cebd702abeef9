// Column-major OpenGL conventions throughout: element (row r, column c) of a mat4 is m[c * 4 + r].
// Every result is computed into locals before it is stored, so a destination may alias an input.
#include <tarvo/vecmath.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <numbers>

namespace {

double *allocate(size_t n, const double *src) {
    auto *p = static_cast<double *>(std::calloc(n, sizeof(double)));
    if (p != nullptr && src != nullptr)
        std::memcpy(p, src, n * sizeof(double));
    return p;
}

// The destination of an operation that works in place when none is given.
double *in_place(double *dest, double *first) {
    return dest != nullptr ? dest : first;
}

// The destination of an operation that builds a new array when none is given.
double *or_new(double *dest, size_t n) {
    return dest != nullptr ? dest : allocate(n, nullptr);
}

template <size_t N>
double *store(const std::array<double, N> &values, double *dest) {
    if (dest != nullptr)
        std::memcpy(dest, values.data(), N * sizeof(double));
    return dest;
}

template <size_t N>
std::array<double, N> load(const double *p) {
    std::array<double, N> a;
    std::memcpy(a.data(), p, N * sizeof(double));
    return a;
}

using V3 = std::array<double, 3>;
using V4 = std::array<double, 4>;
using M3 = std::array<double, 9>;
using M4 = std::array<double, 16>;

// An operation from N values to N values: nothing without the input; the result into `dest`, or
// over the input without one.
template <size_t N, typename Fn>
double *apply(double *src, double *dest, Fn fn) {
    if (src == nullptr)
        return nullptr;
    return store(fn(load<N>(src)), in_place(dest, src));
}

template <size_t N>
std::array<double, N> same(const std::array<double, N> &v) {
    return v;
}

// `op` of the elements of a and b, pair by pair.
template <size_t N, typename Op>
std::array<double, N> zip(const double *a, const double *b, Op op) {
    std::array<double, N> r;
    for (size_t i = 0; i < N; ++i)
        r[i] = op(a[i], b[i]);
    return r;
}

// Summed from the first product on, as a0 * b0 + a1 * b1 + ... is written: the sign of a zero
// result stays that of the written sum.
template <size_t N>
double dot(const double *a, const double *b) {
    double sum = a[0] * b[0];
    for (size_t i = 1; i < N; ++i)
        sum += a[i] * b[i];
    return sum;
}

template <size_t N>
double length(const double *v) {
    return std::sqrt(dot<N>(v, v));
}

// Square matrices, column-major.
template <size_t N>
std::array<double, N * N> multiply(const std::array<double, N * N> &a,
                                   const std::array<double, N * N> &b) {
    std::array<double, N * N> r{};
    for (size_t c = 0; c < N; ++c)
        for (size_t row = 0; row < N; ++row)
            for (size_t k = 0; k < N; ++k)
                r[c * N + row] += a[k * N + row] * b[c * N + k];
    return r;
}

V4 multiply4_vec(const M4 &m, const V4 &v) {
    V4 r{};
    for (int row = 0; row < 4; ++row)
        r[row] = m[row] * v[0] + m[4 + row] * v[1] + m[8 + row] * v[2] + m[12 + row] * v[3];
    return r;
}

// Inverse of a mat4 by its 2 x 2 sub-determinants; false when singular.
bool invert4(const M4 &a, M4 &out, double *determinant = nullptr) {
    const double b00 = a[0] * a[5] - a[1] * a[4], b01 = a[0] * a[6] - a[2] * a[4];
    const double b02 = a[0] * a[7] - a[3] * a[4], b03 = a[1] * a[6] - a[2] * a[5];
    const double b04 = a[1] * a[7] - a[3] * a[5], b05 = a[2] * a[7] - a[3] * a[6];
    const double b06 = a[8] * a[13] - a[9] * a[12], b07 = a[8] * a[14] - a[10] * a[12];
    const double b08 = a[8] * a[15] - a[11] * a[12], b09 = a[9] * a[14] - a[10] * a[13];
    const double b10 = a[9] * a[15] - a[11] * a[13], b11 = a[10] * a[15] - a[11] * a[14];
    const double d = b00 * b11 - b01 * b10 + b02 * b09 + b03 * b08 - b04 * b07 + b05 * b06;
    if (determinant != nullptr)
        *determinant = d;
    if (d == 0)
        return false;
    const double id = 1 / d;
    out = {(a[5] * b11 - a[6] * b10 + a[7] * b09) * id,
           (-a[1] * b11 + a[2] * b10 - a[3] * b09) * id,
           (a[13] * b05 - a[14] * b04 + a[15] * b03) * id,
           (-a[9] * b05 + a[10] * b04 - a[11] * b03) * id,
           (-a[4] * b11 + a[6] * b08 - a[7] * b07) * id,
           (a[0] * b11 - a[2] * b08 + a[3] * b07) * id,
           (-a[12] * b05 + a[14] * b02 - a[15] * b01) * id,
           (a[8] * b05 - a[10] * b02 + a[11] * b01) * id,
           (a[4] * b10 - a[5] * b08 + a[7] * b06) * id,
           (-a[0] * b10 + a[1] * b08 - a[3] * b06) * id,
           (a[12] * b04 - a[13] * b02 + a[15] * b00) * id,
           (-a[8] * b04 + a[9] * b02 - a[11] * b00) * id,
           (-a[4] * b09 + a[5] * b07 - a[6] * b06) * id,
           (a[0] * b09 - a[1] * b07 + a[2] * b06) * id,
           (-a[12] * b03 + a[13] * b01 - a[14] * b00) * id,
           (a[8] * b03 - a[9] * b01 + a[10] * b00) * id};
    return true;
}

M4 identity4() {
    M4 m{};
    m[0] = m[5] = m[10] = m[15] = 1;
    return m;
}

// The rotation part of a unit quaternion, as the columns of a 3 x 3.
M3 quat_rotation(const double *q) {
    const double x = q[0], y = q[1], z = q[2], w = q[3];
    const double x2 = x + x, y2 = y + y, z2 = z + z;
    const double xx = x * x2, xy = x * y2, xz = x * z2, yy = y * y2, yz = y * z2, zz = z * z2;
    const double wx = w * x2, wy = w * y2, wz = w * z2;
    return {1 - (yy + zz), xy + wz, xz - wy, xy - wz,      1 - (xx + zz),
            yz + wx,       xz + wy, yz - wx, 1 - (xx + yy)};
}

M4 to_mat4(const M3 &m) {
    return {m[0], m[1], m[2], 0, m[3], m[4], m[5], 0, m[6], m[7], m[8], 0, 0, 0, 0, 1};
}

// The zero vector stays zero.
template <size_t N>
std::array<double, N> normalized(const std::array<double, N> &v) {
    const double len = length<N>(v.data());
    if (len == 0)
        return {};
    if (len == 1)
        return v;
    std::array<double, N> r;
    for (size_t i = 0; i < N; ++i)
        r[i] = v[i] / len;
    return r;
}

V3 cross(const V3 &a, const V3 &b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Post-multiplies the columns c0 and c1 of mat by a rotation in their plane.
double *rotate_columns(double *mat, int c0, int c1, double angle, double *dest) {
    if (mat == nullptr)
        return nullptr;
    const M4 m = load<16>(mat);
    const double s = std::sin(angle), c = std::cos(angle);
    M4 r = m;
    for (int row = 0; row < 4; ++row) {
        const double a = m[c0 * 4 + row], b = m[c1 * 4 + row];
        r[c0 * 4 + row] = a * c + b * s;
        r[c1 * 4 + row] = a * -s + b * c;
    }
    return store(r, in_place(dest, mat));
}

M4 frustum(double l, double r, double b, double t, double n, double f) {
    const double rl = r - l, tb = t - b, fn = f - n;
    return {n * 2 / rl,
            0,
            0,
            0,
            0,
            n * 2 / tb,
            0,
            0,
            (r + l) / rl,
            (t + b) / tb,
            -(f + n) / fn,
            -1,
            0,
            0,
            -(f * n * 2) / fn,
            0};
}

template <size_t N>
int format(const double *values, char *buf) {
    if (values == nullptr || buf == nullptr)
        return 0;
    int len = std::sprintf(buf, "[");
    for (size_t i = 0; i < N; ++i)
        len += std::sprintf(buf + len, i + 1 < N ? "%f, " : "%f", values[i]);
    len += std::sprintf(buf + len, "]");
    return len;
}

}  // namespace

extern "C" {

// ---- vec3

TARVO_API vec3 vec3_create(const double *src) {
    return allocate(3, src);
}

TARVO_API vec3 vec3_set(vec3 vec, vec3 dest) {
    return apply<3>(vec, dest, same<3>);
}

TARVO_API vec3 vec3_add(vec3 vec, vec3 vec2, vec3 dest) {
    if (vec == nullptr || vec2 == nullptr)
        return nullptr;
    return store(zip<3>(vec, vec2, std::plus<>()), in_place(dest, vec));
}

TARVO_API vec3 vec3_subtract(vec3 vec, vec3 vec2, vec3 dest) {
    if (vec == nullptr || vec2 == nullptr)
        return nullptr;
    return store(zip<3>(vec, vec2, std::minus<>()), in_place(dest, vec));
}

TARVO_API vec3 vec3_multiply(vec3 vec, vec3 vec2, vec3 dest) {
    if (vec == nullptr || vec2 == nullptr)
        return nullptr;
    return store(zip<3>(vec, vec2, std::multiplies<>()), in_place(dest, vec));
}

TARVO_API vec3 vec3_negate(vec3 vec, vec3 dest) {
    if (vec == nullptr)
        return nullptr;
    return store(V3{-vec[0], -vec[1], -vec[2]}, in_place(dest, vec));
}

TARVO_API vec3 vec3_scale(vec3 vec, double val, vec3 dest) {
    if (vec == nullptr)
        return nullptr;
    return store(V3{vec[0] * val, vec[1] * val, vec[2] * val}, in_place(dest, vec));
}

TARVO_API vec3 vec3_normalize(vec3 vec, vec3 dest) {
    return apply<3>(vec, dest, normalized<3>);
}

TARVO_API vec3 vec3_cross(vec3 vec, vec3 vec2, vec3 dest) {
    if (vec == nullptr || vec2 == nullptr)
        return nullptr;
    return store(cross(load<3>(vec), load<3>(vec2)), in_place(dest, vec));
}

TARVO_API double vec3_length(vec3 vec) {
    if (vec == nullptr)
        return 0;
    return length<3>(vec);
}

TARVO_API double vec3_dot(vec3 vec, vec3 vec2) {
    if (vec == nullptr || vec2 == nullptr)
        return 0;
    return dot<3>(vec, vec2);
}

TARVO_API vec3 vec3_direction(vec3 vec, vec3 vec2, vec3 dest) {
    if (vec == nullptr || vec2 == nullptr)
        return nullptr;
    return store(normalized(zip<3>(vec, vec2, std::minus<>())), in_place(dest, vec));
}

TARVO_API vec3 vec3_lerp(vec3 vec, vec3 vec2, double lerp, vec3 dest) {
    if (vec == nullptr || vec2 == nullptr)
        return nullptr;
    const auto step = [lerp](double a, double b) { return a + lerp * (b - a); };
    return store(zip<3>(vec, vec2, step), in_place(dest, vec));
}

TARVO_API double vec3_dist(vec3 vec, vec3 vec2) {
    if (vec == nullptr || vec2 == nullptr)
        return 0;
    return length<3>(zip<3>(vec2, vec, std::minus<>()).data());
}

// The temporaries live on the stack: nothing to release on any path.
TARVO_API vec3 vec3_unproject(vec3 vec, mat4 view, mat4 proj, quat viewport, vec3 dest) {
    if (vec == nullptr || view == nullptr || proj == nullptr || viewport == nullptr)
        return nullptr;
    const V4 ndc{(vec[0] - viewport[0]) * 2.0 / viewport[2] - 1.0,
                 (vec[1] - viewport[1]) * 2.0 / viewport[3] - 1.0, 2.0 * vec[2] - 1.0, 1.0};
    M4 inverse;
    if (!invert4(multiply<4>(load<16>(proj), load<16>(view)), inverse))
        return nullptr;
    const V4 world = multiply4_vec(inverse, ndc);
    if (world[3] == 0)
        return nullptr;
    return store(V3{world[0] / world[3], world[1] / world[3], world[2] / world[3]},
                 in_place(dest, vec));
}

// ---- mat3

TARVO_API mat3 mat3_create(const double *src) {
    return allocate(9, src);
}

TARVO_API mat3 mat3_set(mat3 mat, mat3 dest) {
    return apply<9>(mat, dest, same<9>);
}

TARVO_API mat3 mat3_identity(mat3 dest) {
    return store(M3{1, 0, 0, 0, 1, 0, 0, 0, 1}, or_new(dest, 9));
}

TARVO_API mat3 mat3_transpose(mat3 mat, mat3 dest) {
    if (mat == nullptr)
        return nullptr;
    const M3 m = load<9>(mat);
    return store(M3{m[0], m[3], m[6], m[1], m[4], m[7], m[2], m[5], m[8]}, in_place(dest, mat));
}

TARVO_API mat4 mat3_toMat4(mat3 mat, mat4 dest) {
    if (mat == nullptr)
        return nullptr;
    return store(to_mat4(load<9>(mat)), or_new(dest, 16));
}

TARVO_API mat3 mat3_inverse(mat3 mat, mat3 dest) {
    if (mat == nullptr)
        return nullptr;
    M4 tmp = to_mat4(load<9>(mat));
    return mat4_toInverseMat3(tmp.data(), in_place(dest, mat));
}

TARVO_API mat3 mat3_multiply(mat3 mat, mat3 mat2, mat3 dest) {
    if (mat == nullptr || mat2 == nullptr)
        return nullptr;
    return store(multiply<3>(load<9>(mat), load<9>(mat2)), in_place(dest, mat));
}

// ---- mat4

TARVO_API mat4 mat4_create(const double *src) {
    return allocate(16, src);
}

TARVO_API mat4 mat4_set(mat4 mat, mat4 dest) {
    return apply<16>(mat, dest, same<16>);
}

TARVO_API mat4 mat4_identity(mat4 dest) {
    return store(identity4(), or_new(dest, 16));
}

TARVO_API mat4 mat4_transpose(mat4 mat, mat4 dest) {
    if (mat == nullptr)
        return nullptr;
    const M4 m = load<16>(mat);
    M4 t;
    for (int c = 0; c < 4; ++c)
        for (int row = 0; row < 4; ++row)
            t[c * 4 + row] = m[row * 4 + c];
    return store(t, in_place(dest, mat));
}

TARVO_API double mat4_determinant(mat4 mat) {
    if (mat == nullptr)
        return 0;
    M4 unused;
    double d = 0;
    invert4(load<16>(mat), unused, &d);
    return d;
}

TARVO_API mat4 mat4_inverse(mat4 mat, mat4 dest) {
    if (mat == nullptr)
        return nullptr;
    M4 inverse;
    if (!invert4(load<16>(mat), inverse))
        return nullptr;
    return store(inverse, in_place(dest, mat));
}

TARVO_API mat4 mat4_toRotationMat(mat4 mat, mat4 dest) {
    if (mat == nullptr)
        return nullptr;
    M4 m = load<16>(mat);
    m[12] = m[13] = m[14] = 0;
    m[15] = 1;
    return store(m, or_new(dest, 16));
}

TARVO_API mat3 mat4_toMat3(mat4 mat, mat3 dest) {
    if (mat == nullptr)
        return nullptr;
    const M4 m = load<16>(mat);
    return store(M3{m[0], m[1], m[2], m[4], m[5], m[6], m[8], m[9], m[10]}, or_new(dest, 9));
}

TARVO_API mat3 mat4_toInverseMat3(mat4 mat, mat3 dest) {
    if (mat == nullptr)
        return nullptr;
    const double a00 = mat[0], a01 = mat[1], a02 = mat[2];
    const double a10 = mat[4], a11 = mat[5], a12 = mat[6];
    const double a20 = mat[8], a21 = mat[9], a22 = mat[10];
    const double b01 = a22 * a11 - a12 * a21;
    const double b11 = -a22 * a10 + a12 * a20;
    const double b21 = a21 * a10 - a11 * a20;
    const double d = a00 * b01 + a01 * b11 + a02 * b21;
    if (d == 0)
        return nullptr;
    const double id = 1 / d;
    return store(M3{b01 * id, (-a22 * a01 + a02 * a21) * id, (a12 * a01 - a02 * a11) * id, b11 * id,
                    (a22 * a00 - a02 * a20) * id, (-a12 * a00 + a02 * a10) * id, b21 * id,
                    (-a21 * a00 + a01 * a20) * id, (a11 * a00 - a01 * a10) * id},
                 or_new(dest, 9));
}

TARVO_API mat4 mat4_multiply(mat4 mat, mat4 mat2, mat4 dest) {
    if (mat == nullptr || mat2 == nullptr)
        return nullptr;
    return store(multiply<4>(load<16>(mat), load<16>(mat2)), in_place(dest, mat));
}

TARVO_API vec3 mat4_multiplyVec3(mat4 mat, vec3 vec, vec3 dest) {
    if (mat == nullptr || vec == nullptr)
        return nullptr;
    const V4 r = multiply4_vec(load<16>(mat), V4{vec[0], vec[1], vec[2], 1});
    return store(V3{r[0], r[1], r[2]}, in_place(dest, vec));
}

TARVO_API quat mat4_multiplyVec4(mat4 mat, quat vec, quat dest) {
    if (mat == nullptr || vec == nullptr)
        return nullptr;
    return store(multiply4_vec(load<16>(mat), load<4>(vec)), in_place(dest, vec));
}

TARVO_API mat4 mat4_translate(mat4 mat, vec3 vec, mat4 dest) {
    if (mat == nullptr || vec == nullptr)
        return nullptr;
    M4 m = load<16>(mat);
    for (int row = 0; row < 4; ++row)
        m[12 + row] += m[row] * vec[0] + m[4 + row] * vec[1] + m[8 + row] * vec[2];
    return store(m, in_place(dest, mat));
}

TARVO_API mat4 mat4_scale(mat4 mat, vec3 vec, mat4 dest) {
    if (mat == nullptr || vec == nullptr)
        return nullptr;
    M4 m = load<16>(mat);
    for (int c = 0; c < 3; ++c)
        for (int row = 0; row < 4; ++row)
            m[c * 4 + row] *= vec[c];
    return store(m, in_place(dest, mat));
}

TARVO_API mat4 mat4_rotate(mat4 mat, double angle, vec3 axis, mat4 dest) {
    if (mat == nullptr || axis == nullptr)
        return nullptr;
    const V3 u = normalized(load<3>(axis));
    if (u[0] == 0 && u[1] == 0 && u[2] == 0)
        return nullptr;
    const double x = u[0], y = u[1], z = u[2];
    const double s = std::sin(angle), c = std::cos(angle), t = 1 - c;
    const M3 b{x * x * t + c,     y * x * t + z * s, z * x * t - y * s,
               x * y * t - z * s, y * y * t + c,     z * y * t + x * s,
               x * z * t + y * s, y * z * t - x * s, z * z * t + c};
    const M4 m = load<16>(mat);
    M4 r = m;
    for (int c3 = 0; c3 < 3; ++c3)
        for (int row = 0; row < 4; ++row)
            r[c3 * 4 + row] =
                m[row] * b[c3 * 3] + m[4 + row] * b[c3 * 3 + 1] + m[8 + row] * b[c3 * 3 + 2];
    return store(r, in_place(dest, mat));
}

TARVO_API mat4 mat4_rotateX(mat4 mat, double angle, mat4 dest) {
    return rotate_columns(mat, 1, 2, angle, dest);
}

TARVO_API mat4 mat4_rotateY(mat4 mat, double angle, mat4 dest) {
    return rotate_columns(mat, 2, 0, angle, dest);
}

TARVO_API mat4 mat4_rotateZ(mat4 mat, double angle, mat4 dest) {
    return rotate_columns(mat, 0, 1, angle, dest);
}

TARVO_API mat4 mat4_frustum(double left, double right, double bottom, double top, double znear,
                            double zfar, mat4 dest) {
    return store(frustum(left, right, bottom, top, znear, zfar), or_new(dest, 16));
}

TARVO_API mat4 mat4_perspective(double fovy, double aspect, double znear, double zfar, mat4 dest) {
    const double top = znear * std::tan(fovy * std::numbers::pi / 360.0);
    const double right = top * aspect;
    return store(frustum(-right, right, -top, top, znear, zfar), or_new(dest, 16));
}

TARVO_API mat4 mat4_ortho(double left, double right, double bottom, double top, double znear,
                          double zfar, mat4 dest) {
    const double rl = right - left, tb = top - bottom, fn = zfar - znear;
    return store(M4{2 / rl, 0, 0, 0, 0, 2 / tb, 0, 0, 0, 0, -2 / fn, 0, -(left + right) / rl,
                    -(top + bottom) / tb, -(zfar + znear) / fn, 1},
                 or_new(dest, 16));
}

TARVO_API mat4 mat4_lookAt(vec3 eye, vec3 center, vec3 up, mat4 dest) {
    if (eye == nullptr || center == nullptr || up == nullptr)
        return nullptr;
    const V3 e = load<3>(eye);
    if (e == load<3>(center))
        return store(identity4(), or_new(dest, 16));
    const V3 z = normalized(zip<3>(eye, center, std::minus<>()));
    const V3 x = normalized(cross(load<3>(up), z));
    const V3 y = normalized(cross(z, x));
    auto along = [&e](const V3 &a) { return dot<3>(a.data(), e.data()); };
    return store(M4{x[0], y[0], z[0], 0, x[1], y[1], z[1], 0, x[2], y[2], z[2], 0, -along(x),
                    -along(y), -along(z), 1},
                 or_new(dest, 16));
}

TARVO_API mat4 mat4_fromRotationTranslation(quat q, vec3 vec, mat4 dest) {
    if (q == nullptr || vec == nullptr)
        return nullptr;
    M4 m = to_mat4(quat_rotation(q));
    m[12] = vec[0], m[13] = vec[1], m[14] = vec[2];
    return store(m, or_new(dest, 16));
}

// ---- quat

TARVO_API quat quat_create(const double *src) {
    return allocate(4, src);
}

TARVO_API quat quat_set(quat q, quat dest) {
    return apply<4>(q, dest, same<4>);
}

TARVO_API quat quat_calculateW(quat q, quat dest) {
    if (q == nullptr)
        return nullptr;
    const double x = q[0], y = q[1], z = q[2];
    return store(V4{x, y, z, -std::sqrt(std::fabs(1.0 - x * x - y * y - z * z))},
                 in_place(dest, q));
}

TARVO_API double quat_dot(quat q, quat q2) {
    if (q == nullptr || q2 == nullptr)
        return 0;
    return dot<4>(q, q2);
}

TARVO_API quat quat_inverse(quat q, quat dest) {
    if (q == nullptr)
        return nullptr;
    const double dot = quat_dot(q, q);
    const double inv = dot != 0 ? 1.0 / dot : 0.0;
    return store(V4{-q[0] * inv, -q[1] * inv, -q[2] * inv, q[3] * inv}, in_place(dest, q));
}

TARVO_API quat quat_conjugate(quat q, quat dest) {
    if (q == nullptr)
        return nullptr;
    return store(V4{-q[0], -q[1], -q[2], q[3]}, in_place(dest, q));
}

TARVO_API double quat_length(quat q) {
    return std::sqrt(quat_dot(q, q));
}

TARVO_API quat quat_normalize(quat q, quat dest) {
    return apply<4>(q, dest, normalized<4>);
}

TARVO_API quat quat_multiply(quat q, quat q2, quat dest) {
    if (q == nullptr || q2 == nullptr)
        return nullptr;
    const double ax = q[0], ay = q[1], az = q[2], aw = q[3];
    const double bx = q2[0], by = q2[1], bz = q2[2], bw = q2[3];
    return store(V4{ax * bw + aw * bx + ay * bz - az * by, ay * bw + aw * by + az * bx - ax * bz,
                    az * bw + aw * bz + ax * by - ay * bx, aw * bw - ax * bx - ay * by - az * bz},
                 in_place(dest, q));
}

TARVO_API vec3 quat_multiplyVec3(quat q, vec3 vec, vec3 dest) {
    if (q == nullptr || vec == nullptr)
        return nullptr;
    const double x = vec[0], y = vec[1], z = vec[2];
    const double qx = q[0], qy = q[1], qz = q[2], qw = q[3];
    const double ix = qw * x + qy * z - qz * y, iy = qw * y + qz * x - qx * z;
    const double iz = qw * z + qx * y - qy * x, iw = -qx * x - qy * y - qz * z;
    return store(
        V3{ix * qw + iw * -qx + iy * -qz - iz * -qy, iy * qw + iw * -qy + iz * -qx - ix * -qz,
           iz * qw + iw * -qz + ix * -qy - iy * -qx},
        in_place(dest, vec));
}

TARVO_API mat3 quat_toMat3(quat q, mat3 dest) {
    if (q == nullptr)
        return nullptr;
    return store(quat_rotation(q), or_new(dest, 9));
}

TARVO_API mat4 quat_toMat4(quat q, mat4 dest) {
    if (q == nullptr)
        return nullptr;
    return store(to_mat4(quat_rotation(q)), or_new(dest, 16));
}

TARVO_API quat quat_slerp(quat q, quat q2, double slerp, quat dest) {
    if (q == nullptr || q2 == nullptr)
        return nullptr;
    const V4 a = load<4>(q), b = load<4>(q2);
    double *out = in_place(dest, q);
    const double cos_half = quat_dot(q, q2);
    if (std::fabs(cos_half) >= 1.0)
        return store(a, out);
    const double half = std::acos(cos_half);
    const double sin_half = std::sqrt(1.0 - cos_half * cos_half);
    // With the half angle's sine near zero its quotients lose their precision: halfway instead.
    const bool halfway = std::fabs(sin_half) < 0.001;
    const double ra = halfway ? 0.5 : std::sin((1 - slerp) * half) / sin_half;
    const double rb = halfway ? 0.5 : std::sin(slerp * half) / sin_half;
    const auto blend = [ra, rb](double x, double y) { return x * ra + y * rb; };
    return store(zip<4>(a.data(), b.data(), blend), out);
}

// ---- text

TARVO_API int vec3_str(vec3 vec, char *buf) {
    return format<3>(vec, buf);
}
TARVO_API int mat3_str(mat3 mat, char *buf) {
    return format<9>(mat, buf);
}
TARVO_API int mat4_str(mat4 mat, char *buf) {
    return format<16>(mat, buf);
}
TARVO_API int quat_str(quat q, char *buf) {
    return format<4>(q, buf);
}

}  // extern "C"
