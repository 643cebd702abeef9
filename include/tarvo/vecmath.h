/* 3D math for working with point clouds and drawing them with OpenGL: 3-vectors, quaternions,
 * 3 x 3 and 4 x 4 matrices on plain arrays of double.
 *
 * A vec3 is 3 doubles (x, y, z); a quat 4 (x, y, z, w), also used as a 4-vector and, by
 * vec3_unproject, as a viewport (x, y, width, height); a mat3 9 and a mat4 16 doubles, column-major
 * in the OpenGL manner (a mat4's elements 12, 13, 14 hold the translation). A camera matrix
 * [[fx, 0, cx], [0, fy, cy], [0, 0, 1]] stored row by row inverts correctly with mat3_inverse in
 * either reading.
 *
 * The arrays are the caller's. The *_create functions allocate a zero-filled array (a copy of src
 * when given), which the caller releases with free(); they return NULL when out of memory.
 *
 * Operations take their inputs first and an optional destination last and return the
 * destination. With a NULL destination the result goes into the first argument (the vector for
 * mat4_multiplyVec3, mat4_multiplyVec4 and quat_multiplyVec3); the functions that build an array
 * from scalars or from another type (mat3_identity, mat4_identity, mat3_toMat4, mat4_toMat3,
 * mat4_toInverseMat3, mat4_toRotationMat, quat_toMat3, quat_toMat4, mat4_frustum,
 * mat4_perspective, mat4_ortho, mat4_lookAt, mat4_fromRotationTranslation) allocate a new one
 * instead. A destination may be the same array as an input.
 *
 * Thread context: reentrant. */
#ifndef TARVO_VECMATH_H
#define TARVO_VECMATH_H

#include <tarvo/export.h>

TARVO_BEGIN_DECLS

typedef double *vec3; /* 3 doubles: x, y, z */
typedef double *quat; /* 4 doubles: x, y, z, w */
typedef double *mat3; /* 9 doubles, column-major */
typedef double *mat4; /* 16 doubles, column-major */

/* 3-vectors. Zero-length normalisation (vec3_normalize, vec3_direction) gives zeros. */
TARVO_API vec3 vec3_create(const double *src);
TARVO_API vec3 vec3_set(vec3 vec, vec3 dest);
TARVO_API vec3 vec3_add(vec3 vec, vec3 vec2, vec3 dest);
TARVO_API vec3 vec3_subtract(vec3 vec, vec3 vec2, vec3 dest);
TARVO_API vec3 vec3_multiply(vec3 vec, vec3 vec2, vec3 dest); /* component by component */
TARVO_API vec3 vec3_negate(vec3 vec, vec3 dest);
TARVO_API vec3 vec3_scale(vec3 vec, double val, vec3 dest);
TARVO_API vec3 vec3_normalize(vec3 vec, vec3 dest);
TARVO_API vec3 vec3_cross(vec3 vec, vec3 vec2, vec3 dest);
TARVO_API double vec3_length(vec3 vec);
TARVO_API double vec3_dot(vec3 vec, vec3 vec2);
/* Unit vector from vec2 towards vec (vec - vec2, normalised). */
TARVO_API vec3 vec3_direction(vec3 vec, vec3 vec2, vec3 dest);
TARVO_API vec3 vec3_lerp(vec3 vec, vec3 vec2, double lerp, vec3 dest);
TARVO_API double vec3_dist(vec3 vec, vec3 vec2);
/* Window coordinates to world coordinates through the inverse of proj x view; NULL when that
 * product has no inverse or the point lands at infinity (w = 0), dest then unchanged. */
TARVO_API vec3 vec3_unproject(vec3 vec, mat4 view, mat4 proj, quat viewport, vec3 dest);

/* 3 x 3 matrices. */
TARVO_API mat3 mat3_create(const double *src);
TARVO_API mat3 mat3_set(mat3 mat, mat3 dest);
TARVO_API mat3 mat3_identity(mat3 dest);
TARVO_API mat3 mat3_transpose(mat3 mat, mat3 dest);
/* Into the upper-left of a mat4, element 15 = 1, the rest 0. */
TARVO_API mat4 mat3_toMat4(mat3 mat, mat4 dest);
/* NULL for a singular matrix, dest then unchanged. */
TARVO_API mat3 mat3_inverse(mat3 mat, mat3 dest);
TARVO_API mat3 mat3_multiply(mat3 mat, mat3 mat2, mat3 dest);

/* 4 x 4 matrices. */
TARVO_API mat4 mat4_create(const double *src);
TARVO_API mat4 mat4_set(mat4 mat, mat4 dest);
TARVO_API mat4 mat4_identity(mat4 dest);
TARVO_API mat4 mat4_transpose(mat4 mat, mat4 dest);
TARVO_API double mat4_determinant(mat4 mat);
/* NULL for a singular matrix, dest then unchanged. */
TARVO_API mat4 mat4_inverse(mat4 mat, mat4 dest);
/* A copy with the translation cleared and element 15 = 1. */
TARVO_API mat4 mat4_toRotationMat(mat4 mat, mat4 dest);
TARVO_API mat3 mat4_toMat3(mat4 mat, mat3 dest);
/* Inverse of the upper-left 3 x 3; NULL when it is singular, dest then unchanged. */
TARVO_API mat3 mat4_toInverseMat3(mat4 mat, mat3 dest);
TARVO_API mat4 mat4_multiply(mat4 mat, mat4 mat2, mat4 dest);
TARVO_API vec3 mat4_multiplyVec3(mat4 mat, vec3 vec, vec3 dest); /* w taken as 1, no division */
TARVO_API quat mat4_multiplyVec4(mat4 mat, quat vec, quat dest);
/* Post-multiplication by a translation, a scale or a rotation (radians). mat4_rotate normalises
 * an axis whose length is not 1 and returns NULL for a zero axis, leaving the matrix. */
TARVO_API mat4 mat4_translate(mat4 mat, vec3 vec, mat4 dest);
TARVO_API mat4 mat4_scale(mat4 mat, vec3 vec, mat4 dest);
TARVO_API mat4 mat4_rotate(mat4 mat, double angle, vec3 axis, mat4 dest);
TARVO_API mat4 mat4_rotateX(mat4 mat, double angle, mat4 dest);
TARVO_API mat4 mat4_rotateY(mat4 mat, double angle, mat4 dest);
TARVO_API mat4 mat4_rotateZ(mat4 mat, double angle, mat4 dest);
/* OpenGL projection matrices; fovy in degrees. */
TARVO_API mat4 mat4_frustum(double left, double right, double bottom, double top, double znear,
                            double zfar, mat4 dest);
TARVO_API mat4 mat4_perspective(double fovy, double aspect, double znear, double zfar, mat4 dest);
TARVO_API mat4 mat4_ortho(double left, double right, double bottom, double top, double znear,
                          double zfar, mat4 dest);
/* View matrix; eye equal to center gives the identity. */
TARVO_API mat4 mat4_lookAt(vec3 eye, vec3 center, vec3 up, mat4 dest);
TARVO_API mat4 mat4_fromRotationTranslation(quat q, vec3 vec, mat4 dest);

/* Quaternions. */
TARVO_API quat quat_create(const double *src);
TARVO_API quat quat_set(quat q, quat dest);
/* w = -sqrt(|1 - x^2 - y^2 - z^2|). */
TARVO_API quat quat_calculateW(quat q, quat dest);
TARVO_API double quat_dot(quat q, quat q2);
TARVO_API quat quat_inverse(quat q, quat dest);
TARVO_API quat quat_conjugate(quat q, quat dest);
TARVO_API double quat_length(quat q);
TARVO_API quat quat_normalize(quat q, quat dest);
TARVO_API quat quat_multiply(quat q, quat q2, quat dest);
TARVO_API vec3 quat_multiplyVec3(quat q, vec3 vec, vec3 dest);
TARVO_API mat3 quat_toMat3(quat q, mat3 dest);
TARVO_API mat4 quat_toMat4(quat q, mat4 dest);
/* Spherical interpolation; |cos theta| >= 1 copies q, sin theta below 0.001 in magnitude averages
 * q and q2. */
TARVO_API quat quat_slerp(quat q, quat q2, double slerp, quat dest);

/* sprintf of the elements with "%f" as "[a, b, ...]" into buf; returns the character count (0
 * for a NULL argument). buf must hold the text: up to 330 characters per element for the largest
 * doubles, 12 to 20 for values of everyday size. */
TARVO_API int vec3_str(vec3 vec, char *buf);
TARVO_API int mat3_str(mat3 mat, char *buf);
TARVO_API int mat4_str(mat4 mat, char *buf);
TARVO_API int quat_str(quat q, char *buf);

TARVO_END_DECLS

#endif /* TARVO_VECMATH_H */
