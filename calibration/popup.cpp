// Calibration: linear fit and array helpers, and the calibration pop-up.
#include "calibration/popup.h"

#include <cstdlib>

namespace korven {

// ---- Linear fit and array helpers --------------------------------------

int Copy1D(const double* input, int count, double* output) {
    if (count < 1) {
        return kArrayCountTooSmall;
    }
    for (int i = 0; i < count; ++i) {
        output[i] = input[i];
    }
    return 0;
}

int LinFit(const double* x, const double* y, int n, double* fitted, double* slopeOut,
           double* interceptOut, double* mseOut) {
    if (n < 2) {
        return kFitTooFewPoints;
    }
    double sx = 0.0, sxx = 0.0, sy = 0.0, sxy = 0.0;
    for (int i = 0; i < n; ++i) {
        sx += x[i];
        sxx += x[i] * x[i];
        sy += y[i];
        sxy += x[i] * y[i];
    }
    const double count = static_cast<double>(n);
    // No test of d: equal x values give IEEE infinities or NaN, and the
    // caller decides what to do with them.
    const double d = sx * sx - count * sxx;
    *slopeOut = (sx * sy - count * sxy) / d;
    *interceptOut = (sx * sxy - sxx * sy) / d;
    *mseOut = 0.0;
    for (int i = 0; i < n; ++i) {
        fitted[i] = *slopeOut * x[i] + *interceptOut;
        const double r = fitted[i] - y[i];
        *mseOut += r * r;
    }
    *mseOut /= count;
    return 0;
}

int Shift(const double* input, int count, int shift, double* output) {
    if (count < 1) {
        return kArrayCountTooSmall;
    }
    // Compare in 64 bits so that the magnitude of INT_MIN is representable.
    const long long magnitude = std::llabs(static_cast<long long>(shift));
    if (magnitude >= count) {
        return kShiftTooFar;
    }
    if (shift == 0) {
        return Copy1D(input, count, output);
    }
    if (shift > 0) {
        // From the end downwards, so that output == input works in place.
        for (int i = count - 1; i >= shift; --i) {
            output[i] = input[i - shift];
        }
        for (int i = 0; i < shift; ++i) {
            output[i] = 0.0;
        }
    } else {
        const int k = -shift;
        // From the start upwards, so that output == input works in place.
        for (int i = 0; i < count - k; ++i) {
            output[i] = input[i + k];
        }
        for (int i = count - 1; i >= count - k; --i) {
            output[i] = 0.0;
        }
    }
    return 0;
}

} // namespace korven
