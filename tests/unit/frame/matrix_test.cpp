// The 3x3 and 4x4 matrix routines of the undistortion map.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tarvo/tq_calib_len.h"

namespace {

void expect_product_is_identity(const double *a, const double *b) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            double s = 0;
            for (int k = 0; k < 3; ++k) s += a[3 * r + k] * b[3 * k + c];
            EXPECT_NEAR(s, r == c ? 1.0 : 0.0, 1e-12) << r << "," << c;
        }
}

TEST(Mat3, CreateSetAndIdentity) {
    double *z = mat3_create(nullptr);
    ASSERT_NE(z, nullptr);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(z[i], 0.0);
    const double src[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    double *c = mat3_create(src);
    ASSERT_NE(c, nullptr);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(c[i], src[i]);
    EXPECT_EQ(mat3_set(src, z), z);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(z[i], src[i]);
    EXPECT_EQ(mat3_identity(c), c);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(c[i], (i == 0 || i == 4 || i == 8) ? 1.0 : 0.0);
    double *id = mat3_identity(nullptr);
    ASSERT_NE(id, nullptr);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(id[i], c[i]);
    EXPECT_EQ(mat3_set(nullptr, z), nullptr);
    std::free(z);
    std::free(c);
    std::free(id);
}

TEST(Mat3, InverseOfGeneralAndCameraMatrices) {
    const double a[9] = {2, 0, 1, 1, 3, 2, 1, 1, 2};
    double inv[9];
    EXPECT_EQ(mat3_inverse(const_cast<double *>(a), inv), inv);
    expect_product_is_identity(a, inv);
    const double k[9] = {212.5, 0, 161.3, 0, 211.9, 118.7, 0, 0, 1};
    double kinv[9];
    mat3_inverse(const_cast<double *>(k), kinv);
    EXPECT_DOUBLE_EQ(kinv[0], 1 / 212.5);
    EXPECT_DOUBLE_EQ(kinv[2], -161.3 / 212.5);
    EXPECT_DOUBLE_EQ(kinv[4], 1 / 211.9);
    EXPECT_DOUBLE_EQ(kinv[5], -118.7 / 211.9);
    EXPECT_EQ(kinv[6], 0.0);
    EXPECT_EQ(kinv[7], 0.0);
    EXPECT_EQ(kinv[8], 1.0);
    expect_product_is_identity(k, kinv);

    // Without a target the matrix is inverted in place.
    double m[9] = {4, 7, 2, 3, 6, 1, 2, 5, 3};
    const double orig[9] = {4, 7, 2, 3, 6, 1, 2, 5, 3};
    EXPECT_EQ(mat3_inverse(m, nullptr), m);
    expect_product_is_identity(orig, m);
}

TEST(Mat3, SingularMatrixLeavesTheTargetUntouched) {
    const double s[9] = {1, 2, 3, 2, 4, 6, 7, 8, 9};  // second row = 2 x first
    double target[9];
    for (double &t : target) t = 7.0;
    EXPECT_EQ(mat3_inverse(const_cast<double *>(s), target), target);
    for (double t : target) EXPECT_EQ(t, 7.0);
    double in_place[9] = {1, 2, 3, 2, 4, 6, 7, 8, 9};
    EXPECT_EQ(mat3_inverse(in_place, nullptr), in_place);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(in_place[i], s[i]);
    EXPECT_EQ(mat3_inverse(nullptr, target), nullptr);
}

TEST(Mat4, ToInverseMat3UsesTheUpperLeftBlockOnly) {
    const double m4[16] = {4, 7, 2, 99, 3, 6, 1, -5, 2, 5, 3, 1e9, 8, 8, 8, 8};
    const double block[9] = {4, 7, 2, 3, 6, 1, 2, 5, 3};
    double *inv = mat4_toInverseMat3(m4, nullptr);
    ASSERT_NE(inv, nullptr);
    expect_product_is_identity(block, inv);
    // det = 4*(18-5) - 7*(9-2) + 2*(15-12) = 9; adj / det exactly.
    EXPECT_DOUBLE_EQ(inv[0], 13.0 / 9);
    EXPECT_DOUBLE_EQ(inv[1], -11.0 / 9);
    EXPECT_DOUBLE_EQ(inv[2], -5.0 / 9);
    std::free(inv);
}

TEST(Mat4, ZeroDeterminantReturnsNullAndWritesNothing) {
    const double m4[16] = {1, 2, 3, 0, 2, 4, 6, 0, 7, 8, 9, 0, 0, 0, 0, 1};
    double target[9];
    for (double &t : target) t = -3.0;
    EXPECT_EQ(mat4_toInverseMat3(m4, target), nullptr);
    for (double t : target) EXPECT_EQ(t, -3.0);
    EXPECT_EQ(mat4_toInverseMat3(m4, nullptr), nullptr);  // and allocates nothing
    EXPECT_EQ(mat4_toInverseMat3(nullptr, target), nullptr);
    double *z = mat4_create(nullptr);
    ASSERT_NE(z, nullptr);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(z[i], 0.0);
    EXPECT_EQ(mat4_toInverseMat3(z, nullptr), nullptr);
    std::free(z);
}

}  // namespace
