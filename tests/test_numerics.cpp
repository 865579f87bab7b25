// The least-squares line fit and the array helpers: results, rejected
// arguments (outputs untouched) and shifting in place.
#include "calibration/popup.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <vector>

namespace korven {
namespace {

TEST(LinFit, LeastSquaresLineFittedValuesAndMeanSquaredError) {
    const struct {
        std::vector<double> x, y, fitted;
        double m, b, err, tolerance;
    } cases[] = {
        // Two calibration points: the line through both.
        {{241, 662}, {7960, 21960}, {7960, 21960}, 14000.0 / 421.0, -22840.0 / 421.0, 0.0, 1e-9},
        {{1, 2, 3},
         {2, 4, 7},
         {11.0 / 6.0, 13.0 / 3.0, 41.0 / 6.0},
         2.5,
         -2.0 / 3.0,
         1.0 / 18.0,
         1e-12},
    };
    for (const auto& c : cases) {
        std::vector<double> fitted(c.x.size(), -1.0);
        double m = 0.0, b = 0.0, err = -1.0;
        ASSERT_EQ(LinFit(c.x.data(), c.y.data(), static_cast<int>(c.x.size()), fitted.data(), &m,
                         &b, &err),
                  0);
        EXPECT_NEAR(m, c.m, 1e-12);
        EXPECT_NEAR(b, c.b, c.tolerance);
        EXPECT_NEAR(err, c.err, 1e-12);
        for (std::size_t i = 0; i < fitted.size(); ++i) {
            EXPECT_NEAR(fitted[i], c.fitted[i], c.tolerance) << i;
        }
    }
}

TEST(LinFit, EqualXValuesGiveANonFiniteLineAndTooFewPointsAreRejected) {
    const double x[2] = {5.0, 5.0};
    const double y[2] = {1.0, 2.0};
    double fitted[2] = {9.0, 9.0};
    double m = 7.0, b = 8.0, err = 6.0;
    for (const int n : {1, 0, -1, INT_MIN}) {
        EXPECT_EQ(LinFit(x, y, n, fitted, &m, &b, &err), kFitTooFewPoints) << n;
        EXPECT_EQ((std::array<double, 5>{fitted[0], fitted[1], m, b, err}),
                  (std::array<double, 5>{9.0, 9.0, 7.0, 8.0, 6.0}));
    }
    EXPECT_EQ(LinFit(x, y, 2, fitted, &m, &b, &err), 0);
    EXPECT_FALSE(std::isfinite(m));
    EXPECT_FALSE(std::isfinite(b));
}

// Every shift of five values, and the strip chart's history of 500 moved by
// one answer, into a separate array and in place.
TEST(Shift, MovesTowardsEitherEndZeroFillsAndWorksInPlace) {
    std::vector<std::pair<int, int>> cases = {{500, -5}};
    for (int s = -4; s <= 4; ++s) {
        cases.emplace_back(5, s);
    }
    for (const auto& [n, s] : cases) {
        std::vector<double> in(n), expected(n, 0.0), out(n, -1.0);
        for (int i = 0; i < n; ++i) {
            in[i] = i + 1;
            if (i - s >= 0 && i - s < n) {
                expected[i] = i - s + 1;
            }
        }
        ASSERT_EQ(Shift(in.data(), n, s, out.data()), 0);
        EXPECT_EQ(out, expected) << n << " by " << s;
        ASSERT_EQ(Shift(in.data(), n, s, in.data()), 0);
        EXPECT_EQ(in, expected) << n << " by " << s << " in place";
    }
}

TEST(ArrayHelpers, CopyAndRejectedArgumentsThatLeaveTheOutputUntouched) {
    using Five = std::array<double, 5>;
    const Five abcde = {1.0, 2.0, 3.0, 4.0, 5.0};
    const Five sentinel = {9.0, 9.0, 9.0, 9.0, 9.0};
    Five out{};
    ASSERT_EQ(Copy1D(abcde.data(), 5, out.data()), 0);
    EXPECT_EQ(out, abcde);
    for (const int s : {5, -5, 6, INT_MAX, INT_MIN}) {
        out = sentinel;
        EXPECT_EQ(Shift(abcde.data(), 5, s, out.data()), kShiftTooFar) << s;
        EXPECT_EQ(out, sentinel);
    }
    for (const int n : {0, -1, -3}) {
        out = sentinel;
        EXPECT_EQ(Shift(abcde.data(), n, 0, out.data()), kArrayCountTooSmall);
        EXPECT_EQ(Copy1D(abcde.data(), n, out.data()), kArrayCountTooSmall);
        EXPECT_EQ(out, sentinel);
    }
}

} // namespace
} // namespace korven
