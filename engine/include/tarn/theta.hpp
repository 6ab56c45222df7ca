// Theta method: simple exponential smoothing with drift on seasonally adjusted data
// (Assimakopoulos and Nikolopoulos, 2000, in the state space form of Hyndman and Billah, 2003),
// with the theta coefficient either the classical 2 or estimated (Fiorucci et al., 2016).
//
//   x_t = y_t / s_(t mod m)   (or y_t - s_(t mod m) for data that are not all positive)
//   l_t = alpha x_t + (1 - alpha) l_{t-1}
//   x^_{n+h} = l_n + (1 - 1/theta) { (1-alpha)^n A_n + [(h - 1) + (1 - (1-alpha)^(n+1)) / alpha]
//   B_n }
//
// A_n and B_n are the intercept and slope of the least-squares line through the adjusted data
// seen so far; they, the level and (1 - alpha)^n all update in O(1) per observation. The season
// s comes from a classical decomposition of the training data and is used only when its
// autocorrelation test is significant. The model fits after `training_sample_size` values
// (<= 0: kDefaultTrainingSize), choosing between theta = 2 and an estimated theta by AIC.
// The collection of the training values, the seasonal adjustment, the calibration of the
// intervals and the frame of the state are SeasonAdjustedModel's (seasonal_model.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tarn/builders.hpp"
#include "tarn/model.hpp"
#include "tarn/seasonal_model.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

using ThetaConfig = SeasonalModelConfig;

namespace theta_detail {
// Sums of the least-squares line through the adjusted values (t, x).
struct LineSums {
  double cnt = 0.0, st = 0.0, stt = 0.0, sy = 0.0, sty = 0.0;
  void add(double t, double x) {
    cnt += 1.0;
    st += t;
    stt += t * t;
    sy += x;
    sty += t * x;
  }
};
}  // namespace theta_detail

class Theta final : public SeasonAdjustedModel {
 public:
  Theta() = default;
  explicit Theta(const ThetaConfig& config) : SeasonAdjustedModel(config) {}

  const char* kind() const override { return "theta"; }
  std::string describe() const override;
  std::unique_ptr<Model> clone() const override { return std::make_unique<Theta>(*this); }

  // Fitted values (meaningful once initialised).
  double alpha() const { return state_.alpha; }
  double theta() const { return state_.theta; }
  // Whether the parameters were estimated with the dynamic line (Fiorucci et al., 2016).
  bool dynamic() const { return state_.dynamic; }

 protected:
  double forecast_ahead(double h) const override;
  std::uint16_t state_version() const override;
  void fit() override;
  void advance(double value, std::int64_t gap) override;
  void forget() override;
  void save_fit(Writer& w) const override;
  void load_fit(Reader& r, std::uint16_t version) override;
  void step(double y) override;
  void adjusted_path(std::size_t k, double* out) const override;
  double adjusted_level() const override { return state_.level; }
  void variance_ratios(std::int64_t h, double* ratios) const override;

 private:
  double adjusted_point(double h) const;  // h >= 1 whole steps, adjusted and scaled

  struct State {
    double alpha = 1.0, theta = 1.0;
    bool dynamic = false;
    double level = 0.0;
    double decay = 1.0;  // (1 - alpha)^n
    double t = 0.0;      // time index of the latest value
    theta_detail::LineSums line;
  };
  State state_;
};

// Builder "theta": training_sample_size, season_length.
std::unique_ptr<Model> build_theta(const Options& options);

}  // namespace tarn

#pragma GCC visibility pop
