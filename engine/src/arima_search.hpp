// Choosing an ARIMA model for the buffered training data: standardising the series, the
// season and the differencing, then the stepwise search over the ARMA orders by AICc, with the
// fallbacks that keep a fit from failing outright.
#pragma once

#include <string>
#include <vector>

#include "arima_likelihood.hpp"
#include "tarn/arima.hpp"

namespace tarn {
namespace arima_detail {

// The training series on a standard scale: z = (y - loc) / scale (NaN = missing).
struct Standardised {
  std::vector<double> z;
  double loc = 0.0, scale = 1.0;
  double sd = 0.0;  // standard deviation of the known values (0: a constant series)
  int known = 0;    // number of known values
};

Standardised standardise(const std::vector<double>& y);

// The chosen model: the season, the differencing and whether there is a constant (`order`;
// its ARMA orders are those of fit.form), the estimates of the ARMA form on the differenced
// series w, and the fallback taken (empty when none).
struct Selection {
  ArimaOrder order;
  Fit fit;
  std::vector<double> w;
  std::string note;
};

Selection select_model(const ArimaConfig& cfg, const Standardised& s);

}  // namespace arima_detail
}  // namespace tarn
