#include <gtest/gtest.h>

#include <set>

#include "Common.h"

namespace {

TEST(Zscoring, StandardizesWithTheSampleDeviation)
{
    Common c;
    double x[] = {1.0, 2.0, 3.0}, z[3];
    EXPECT_EQ(c.Zscoring(x, z, 3), 1);
    EXPECT_DOUBLE_EQ(z[0], -1.0);
    EXPECT_DOUBLE_EQ(z[1], 0.0);
    EXPECT_DOUBLE_EQ(z[2], 1.0);

    double two[] = {3.0, 1.0}, z2[2];
    EXPECT_EQ(c.Zscoring(two, z2, 2), 1);
    EXPECT_NEAR(z2[0], 0.70710678118654757, 1e-15);
    EXPECT_NEAR(z2[1], -0.70710678118654757, 1e-15);
}

TEST(Zscoring, DegenerateInputs)
{
    Common c;
    double same[] = {4.0, 4.0, 4.0, 4.0}, z[4] = {9, 9, 9, 9};
    EXPECT_EQ(c.Zscoring(same, z, 4), 0);
    for (double v : z) EXPECT_EQ(v, 0.0);
    double one[] = {5.0}, untouched[2] = {7.0, 7.0};
    EXPECT_EQ(c.Zscoring(one, untouched, 1), -1);
    EXPECT_EQ(c.Zscoring(one, untouched, 0), -1);
    EXPECT_EQ(untouched[0], 7.0);
}

TEST(Zscoring, RowVariantCountsRowsNotElements)
{
    Common c;
    double m[16];
    for (int i = 0; i < 16; i++) m[i] = (i >= 8 && i < 12) ? (i - 8) * 2.0 : 100.0 * i;
    double z[4], ref[4], row[4] = {0.0, 2.0, 4.0, 6.0};
    EXPECT_EQ(c.Zscoring(m, 2, z, 4), 1);
    c.Zscoring(row, ref, 4);
    for (int i = 0; i < 4; i++) EXPECT_EQ(z[i], ref[i]);
}

TEST(Ran2, SeedsZeroAndMinusOneAgreeAndStayInsideTheUnitInterval)
{
    Common c;
    long s0 = 0, s1 = -1;
    double a[50], b[50];
    a[0] = c.ran2(&s0);
    for (int i = 1; i < 50; i++) a[i] = c.ran2(&s0);
    b[0] = c.ran2(&s1);
    for (int i = 1; i < 50; i++) b[i] = c.ran2(&s1);
    std::set<double> distinct;
    for (int i = 0; i < 50; i++) {
        EXPECT_EQ(a[i], b[i]);
        EXPECT_GT(a[i], 0.0);
        EXPECT_LT(a[i], 1.0);
        distinct.insert(a[i]);
    }
    EXPECT_GT(distinct.size(), 45u);
    // A restart reproduces the sequence.
    long again = -1;
    EXPECT_EQ(c.ran2(&again), a[0]);
}

TEST(Rand15, FifteenBitsAndReproducible)
{
    Rand15 r(7), q(7);
    int lo = 32767, hi = 0;
    for (int i = 0; i < 100000; i++) {
        int v = r.Next();
        ASSERT_EQ(v, q.Next());
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 32767);
    Rand15 t(1);
    EXPECT_EQ(t.Next(), 16838);  // the C standard's example generator, seed 1
}

}  // namespace
