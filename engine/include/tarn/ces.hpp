// Complex exponential smoothing (Svetunkov & Kourentzes, 2015; Svetunkov, Kourentzes & Ord,
// 2022, "Complex exponential smoothing", Naval Research Logistics), non-seasonal form, on data
// seasonally adjusted by a classical decomposition when a season is found (as theta does).
//
// The series and its "information potential" c_t form the complex state l_t + i c_t, smoothed
// with the complex parameter a0 + i a1. In state-space form, with one-step error e_t:
//
//   y_t = l_{t-1} + e_t
//   l_t = l_{t-1} - (1 - a1) c_{t-1} + (a0 - a1) e_t
//   c_t = l_{t-1} + (1 - a0) c_{t-1} + (a0 + a1) e_t
//
// i.e. v_t = F v_{t-1} + g e_t with F = [[1, a1 - 1], [1, 1 - a0]], g = (a0 - a1, a0 + a1).
// Depending on a0 and a1 the forecasts level off or follow a trend, without choosing a form.
// a0, a1 and the initial state are estimated by Gaussian likelihood (the concentrated
// likelihood: the mean squared one-step error) under the stability condition (the eigenvalues
// of F - g w' inside the unit circle). F itself may have a root above one (the forecasts then
// grow exponentially, how CES follows a trend): such a trajectory compounds over its first
// 1,000 steps and then continues along its last step, so that long horizons cannot overflow.
// Each update costs O(1), a gap of k steps O(log k); a forecast h steps ahead costs O(h) up to
// 10^5 steps and O(log h) (powers of F) beyond, a path of h steps O(h). The h-step variance is
// sigma^2 (1 + sum_{j=1}^{h-1} (w' F^{j-1} g)^2), calibrated on rolling origins inside the
// training data (SeasonAdjustedModel, seasonal_model.hpp, holds what ces shares with theta).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tarn/builders.hpp"
#include "tarn/model.hpp"
#include "tarn/seasonal_model.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

using CesConfig = SeasonalModelConfig;

class Ces final : public SeasonAdjustedModel {
 public:
  Ces() = default;
  explicit Ces(const CesConfig& config) : SeasonAdjustedModel(config) {}

  const char* kind() const override { return "ces"; }
  std::string describe() const override;
  std::unique_ptr<Model> clone() const override { return std::make_unique<Ces>(*this); }

  // Fitted values (meaningful once initialised).
  double a0() const { return state_.a0; }
  double a1() const { return state_.a1; }

 protected:
  double forecast_ahead(double h) const override;
  void forecast_path_ahead(const double* h, std::size_t n, double* out) const override;
  std::uint16_t state_version() const override { return 1; }
  void fit() override;
  void advance(double value, std::int64_t gap) override;
  void forget() override;
  void save_fit(Writer& w) const override;
  void load_fit(Reader& r, std::uint16_t version) override;
  void step(double y) override;
  void adjusted_path(std::size_t k, double* out) const override;
  double adjusted_level() const override { return state_.level; }
  void variance_ratios(std::int64_t h, double* ratios) const override;
  double largest_variance() const override;

 private:
  double adjusted_point(double h) const;  // h >= 1 whole steps, adjusted and scaled

  struct State {
    double a0 = 1.0, a1 = 1.0;
    double level = 0.0, potential = 0.0;
    // One step of the recursion without an error: (l, c) becomes F (l, c).
    void walk(double& l, double& c) const {
      const double nl = l - (1.0 - a1) * c;
      c = l + (1.0 - a0) * c;
      l = nl;
    }
  };
  State state_;
};

// Builder "ces": training_sample_size, season_length.
std::unique_ptr<Model> build_ces(const Options& options);

namespace ces_detail {
// Whether (a0, a1) give a stable (invertible) model: the eigenvalues of F - g w' lie inside
// the unit circle.
bool stable(double a0, double a1);
// The spectral radius of F: above one the forecasts grow exponentially without bound.
double forecast_radius(double a0, double a1);
}  // namespace ces_detail

}  // namespace tarn

#pragma GCC visibility pop
