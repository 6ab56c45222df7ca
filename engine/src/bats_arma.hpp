// The order of a BATS model's ARMA errors, chosen on the innovations of the model without them.
#pragma once

#include <utility>
#include <vector>

namespace tarn {
namespace detail {

// (p, q), p, q <= 2, of the ARMA model (no mean) with the smallest AICc on the innovations e,
// all orders scored on the same values; (0, 0) when none improves on white noise or e is too
// short or not finite.
std::pair<int, int> bats_arma_order(const std::vector<double>& e);

}  // namespace detail
}  // namespace tarn
