// BATS: exponential smoothing state space model with an optional Box-Cox transform, ARMA
// errors, a (damped) trend and one seasonal component (De Livera, Hyndman and Snyder, 2011).
//
//   z_t = l_{t-1} + phi b_{t-1} + s_{t-m} + d_t          (z: the Box-Cox transformed value)
//   l_t = l_{t-1} + phi b_{t-1} + alpha d_t
//   b_t = phi b_{t-1} + beta d_t
//   s_t = s_{t-m} + gamma d_t
//   d_t = sum_i ar_i d_{t-i} + sum_j ma_j e_{t-j} + e_t   (e_t: the innovation)
//
// The model collects `training_sample_size` values (a size of 0 or below lets it start at
// the smallest sample it can estimate from, kDefaultTrainingSize), finds the season length in
// them (or takes the one given), and fits every admissible variant - with or without trend,
// damped or not, with or without the season, with or without Box-Cox when asked for - by
// maximum likelihood, the initial states by least squares for each parameter set. The variant
// with the smallest AICc wins; ARMA(p, q) errors with p, q <= 2 are then added when they lower
// the AICc further. Afterwards every observation updates the state in O(1) (O(p + q)).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/intervals.hpp"
#include "tarn/model.hpp"
#include "tarn/training_buffer.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

struct BatsConfig {
  // Observations used to fit the model; <= 0 means kDefaultTrainingSize.
  std::int64_t training_sample_size = 0;
  // Consider a Box-Cox transform (kept only when it lowers the AICc; needs positive data).
  bool box_cox = false;
  // Season length; 0 finds it in the training data, 1 means no season.
  std::int64_t season_length = 0;
  // Consider ARMA errors.
  bool arma_errors = true;
  // Consider a trend (damped or not).
  bool trend = true;
};

// Fitted parameters and structure of a BATS model.
struct BatsParams {
  int m = 1;           // season length (1: no season)
  bool trend = false;  // slope present
  bool box_cox = false;
  int p = 0, q = 0;  // ARMA orders (<= 2 each)
  double alpha = 1.0, beta = 0.0, phi = 1.0, gamma = 0.0, lambda = 1.0;
  double ar[2] = {0.0, 0.0}, ma[2] = {0.0, 0.0};
};

// State of a BATS model after the latest observation.
struct BatsState {
  double level = 0.0, slope = 0.0;
  std::vector<double> season;  // ring of the last m seasonal states; season[pos] is the oldest
  std::size_t pos = 0;
  double d[2] = {0.0, 0.0};  // last ARMA error terms d_{t-1}, d_{t-2}
  double e[2] = {0.0, 0.0};  // last innovations
};

class Bats : public Model {
 public:
  static constexpr std::int64_t kDefaultTrainingSize = 8;
  // Seasons longer than this get their initial states from a classical decomposition instead
  // of the least-squares fit (which costs O(m n + m^3) per likelihood evaluation).
  static constexpr int kMaxRegressedSeason = 24;

  Bats() = default;
  explicit Bats(const BatsConfig& config) : config_(config) {}

  const char* kind() const override { return "bats"; }
  std::string describe() const override;
  std::unique_ptr<Model> clone() const override { return std::make_unique<Bats>(*this); }

  const BatsConfig& config() const { return config_; }
  // Fitted structure (meaningful once initialised).
  const BatsParams& params() const { return par_; }
  double aicc() const { return aicc_; }

  void name_season(std::int64_t m) override;
  std::string fit_note() const override { return season_note_; }

 protected:
  void observe(double value, std::int64_t gap) override;
  bool ready() const override { return fitted_; }
  void clear() override;
  double forecast_ahead(double h) const override;
  void interval_ahead(std::int64_t h, double coverage, double* lower, double* upper) const override;
  bool forecast_variances(std::int64_t h, double* var) const override;
  double interval_dof() const override { return variance_.dof(); }
  void forecast_path_ahead(const double* h, std::size_t n, double* out) const override;
  void save(Writer& w) const override;
  void load(Reader& r) override;

 private:
  std::size_t target_size() const;
  void fit();
  double transform(double y) const;
  double point(std::int64_t h) const;
  double point_z(std::int64_t h) const;  // forecast on the transformed, scaled scale
  friend struct BatsProbe;               // tests compare the forecasts on the fitted scale
  // point_z(k) for k = 1..h into out[k - 1], the filter run forward once along the path.
  void point_z_path(std::int64_t h, double* out) const;
  double back(double z) const;  // from that scale to the data's
  // Variances of the 1..h step errors per unit innovation variance, before the calibration.
  void variance_shape(std::int64_t h, double* shape) const;
  double point_after(const BatsState& s, std::int64_t h, std::int64_t sim) const;
  // Steps of the filter run forward for a forecast with ARMA errors (beyond, closed form).
  static constexpr std::int64_t kArmaSimulated = 2000;
  void adopt(Bats&& other);

  std::string season_note_;  // a season it was told and left out (fit_note; not saved)
  BatsConfig config_;
  TrainingBuffer train_;  // values collected before the fit
  bool fitted_ = false;
  BatsParams par_;
  BatsState st_;
  double scale_ = 1.0;  // values are divided by it before the transform
  double floor_ = 0.0;  // smallest scaled value the Box-Cox transform accepts
  double aicc_ = 0.0;
  ErrorVariance variance_;  // innovations, transformed scale
  HorizonCalibration calibration_;
};

// Builder "bats": training_sample_size, optionally box_cox_transform (and season_length).
std::unique_ptr<Model> build_bats(const Options& options);

}  // namespace tarn

#pragma GCC visibility pop
