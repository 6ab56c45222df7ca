// The likelihood a BATS fit maximises, for a given set of parameters.
#pragma once

#include <vector>

#include "tarn/bats.hpp"

namespace tarn {
namespace detail {

// -2 log-likelihood (up to a constant, with the Box-Cox Jacobian when p.box_cox) of the model
// with parameters p on y, the initial level, slope (with p.trend) and seasonal states regressed
// by least squares (the seasonal ones only when regress_season: those of positions 0..m-2, the
// last keeping the season summing to zero; otherwise the season starts from a classical
// decomposition). With x0, the fitted initial state is written there and the sum of squares is
// taken over its innovations; without, it may come from the normal equations. Infinity when the
// regression fails.
double bats_likelihood(const std::vector<double>& y, const BatsParams& p, bool regress_season,
                       BatsState* x0);

}  // namespace detail
}  // namespace tarn
