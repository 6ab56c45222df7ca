// The tests that decide the differencing of an ARIMA model (declared in tarn/arima.hpp:
// kpss_statistic, choose_d, seasonal_strength) and the series helpers they share with the fit.
#pragma once

#include <vector>

#include "tarn/arima.hpp"

namespace tarn {
namespace arima_detail {

// x_t - x_{t-lag}; empty when x has at most `lag` values. Missing values stay missing.
std::vector<double> difference(const std::vector<double>& x, int lag);

// Missing values filled by linear interpolation (ends by the nearest value; all zero when
// nothing is known); for the tests that decide the differencing, never for estimation.
std::vector<double> interpolated(const std::vector<double>& x);

// Variance of the finite values (0 for fewer than two).
double variance(const std::vector<double>& x);

}  // namespace arima_detail
}  // namespace tarn
