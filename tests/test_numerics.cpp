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

TEST(LinFit, TwoCalibrationPointsGiveTheLineThroughBoth) {
    const double x[2] = {241.0, 662.0};
    const double y[2] = {7960.0, 21960.0};
    double fitted[2] = {-1.0, -1.0};
    double m = 0.0, b = 0.0, err = -1.0;
    ASSERT_EQ(LinFit(x, y, 2, fitted, &m, &b, &err), 0);
    EXPECT_NEAR(m, 14000.0 / 421.0, 1e-12);
    EXPECT_NEAR(m, 33.2541567695962, 1e-12);
    EXPECT_NEAR(b, -54.2517814726841, 1e-9);
    EXPECT_NEAR(fitted[0], 7960.0, 1e-9);
    EXPECT_NEAR(fitted[1], 21960.0, 1e-9);
    EXPECT_NEAR(err, 0.0, 1e-12);
}

TEST(LinFit, ThreePointsGiveLeastSquaresLineAndMeanSquaredError) {
    const double x[3] = {1.0, 2.0, 3.0};
    const double y[3] = {2.0, 4.0, 7.0};
    double fitted[3] = {};
    double m = 0.0, b = 0.0, err = 0.0;
    ASSERT_EQ(LinFit(x, y, 3, fitted, &m, &b, &err), 0);
    EXPECT_NEAR(m, 2.5, 1e-12);
    EXPECT_NEAR(b, -2.0 / 3.0, 1e-12);
    EXPECT_NEAR(fitted[0], 11.0 / 6.0, 1e-12);
    EXPECT_NEAR(fitted[1], 13.0 / 3.0, 1e-12);
    EXPECT_NEAR(fitted[2], 41.0 / 6.0, 1e-12);
    EXPECT_NEAR(err, 1.0 / 18.0, 1e-12);
}

TEST(LinFit, EqualXValuesGiveNonFiniteLineButSucceed) {
    const double x[2] = {5.0, 5.0};
    const double y[2] = {1.0, 2.0};
    double fitted[2] = {};
    double m = 0.0, b = 0.0, err = 0.0;
    EXPECT_EQ(LinFit(x, y, 2, fitted, &m, &b, &err), 0);
    EXPECT_FALSE(std::isfinite(m));
    EXPECT_FALSE(std::isfinite(b));
}

TEST(LinFit, TooFewPointsAreRejectedAndOutputsUntouched) {
    const double x[2] = {1.0, 2.0};
    const double y[2] = {3.0, 4.0};
    for (const int n : {1, 0, -1, INT_MIN}) {
        double fitted[2] = {9.0, 9.0};
        double m = 7.0, b = 8.0, err = 6.0;
        EXPECT_EQ(LinFit(x, y, n, fitted, &m, &b, &err), kFitTooFewPoints) << n;
        EXPECT_EQ(fitted[0], 9.0);
        EXPECT_EQ(fitted[1], 9.0);
        EXPECT_EQ(m, 7.0);
        EXPECT_EQ(b, 8.0);
        EXPECT_EQ(err, 6.0);
    }
}

using Five = std::array<double, 5>;
const Five kABCDE = {1.0, 2.0, 3.0, 4.0, 5.0};

TEST(Shift, MovesTowardsEitherEndAndZeroFills) {
    Five out{};
    ASSERT_EQ(Shift(kABCDE.data(), 5, 2, out.data()), 0);
    EXPECT_EQ(out, (Five{0.0, 0.0, 1.0, 2.0, 3.0}));
    ASSERT_EQ(Shift(kABCDE.data(), 5, -2, out.data()), 0);
    EXPECT_EQ(out, (Five{3.0, 4.0, 5.0, 0.0, 0.0}));
    ASSERT_EQ(Shift(kABCDE.data(), 5, 0, out.data()), 0);
    EXPECT_EQ(out, kABCDE);
    ASSERT_EQ(Shift(kABCDE.data(), 5, 4, out.data()), 0);
    EXPECT_EQ(out, (Five{0.0, 0.0, 0.0, 0.0, 1.0}));
    ASSERT_EQ(Shift(kABCDE.data(), 5, -4, out.data()), 0);
    EXPECT_EQ(out, (Five{5.0, 0.0, 0.0, 0.0, 0.0}));
}

TEST(Shift, InPlaceGivesSameResultAsSeparateArrays) {
    for (int s = -4; s <= 4; ++s) {
        Five separate{};
        ASSERT_EQ(Shift(kABCDE.data(), 5, s, separate.data()), 0);
        Five inPlace = kABCDE;
        ASSERT_EQ(Shift(inPlace.data(), 5, s, inPlace.data()), 0);
        EXPECT_EQ(inPlace, separate) << "shift " << s;
    }
}

TEST(Shift, HistoryOfFiveHundredMovesOneSampleIntoThePast) {
    std::vector<double> history(500);
    for (int i = 0; i < 500; ++i) {
        history[static_cast<std::size_t>(i)] = i + 1;
    }
    ASSERT_EQ(Shift(history.data(), 500, -5, history.data()), 0);
    EXPECT_EQ(history[0], 6.0);
    EXPECT_EQ(history[494], 500.0);
    for (std::size_t i = 495; i < 500; ++i) {
        EXPECT_EQ(history[i], 0.0);
    }
}

TEST(Shift, RejectedArgumentsLeaveOutputUntouched) {
    const Five sentinel = {9.0, 9.0, 9.0, 9.0, 9.0};
    for (const int s : {5, -5, 6, INT_MAX, INT_MIN}) {
        Five out = sentinel;
        EXPECT_EQ(Shift(kABCDE.data(), 5, s, out.data()), kShiftTooFar) << s;
        EXPECT_EQ(out, sentinel);
    }
    for (const int n : {0, -3}) {
        Five out = sentinel;
        EXPECT_EQ(Shift(kABCDE.data(), n, 0, out.data()), kArrayCountTooSmall);
        EXPECT_EQ(out, sentinel);
    }
}

TEST(Copy1D, CopiesAndRejectsEmptyCounts) {
    Five out{};
    ASSERT_EQ(Copy1D(kABCDE.data(), 5, out.data()), 0);
    EXPECT_EQ(out, kABCDE);
    Five untouched = {9.0, 9.0, 9.0, 9.0, 9.0};
    EXPECT_EQ(Copy1D(kABCDE.data(), 0, untouched.data()), kArrayCountTooSmall);
    EXPECT_EQ(Copy1D(kABCDE.data(), -1, untouched.data()), kArrayCountTooSmall);
    EXPECT_EQ(untouched[0], 9.0);
}

} // namespace
} // namespace korven
