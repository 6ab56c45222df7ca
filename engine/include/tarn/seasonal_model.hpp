// What the theta, complex exponential smoothing and seasonal naive models share.
//
// SeasonalModel collects `training_sample_size` values (<= 0: kDefaultTrainingSize), fits once
// on them (finding the season unless `season_length` gives it), then updates in O(1) per value.
// It owns the configuration, the training buffer, the one-step error variance, the frame of the
// binary state (version, configuration, training values or the fit) and the builder's options.
//
// SeasonAdjustedModel adds the seasonal adjustment of theta and complex exponential smoothing:
// the training data scaled and adjusted by a classical decomposition (the season kept only when
// it is significant), the way back to the series' scale, and h-step variances calibrated on
// rolling origins inside the training data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/intervals.hpp"
#include "tarn/model.hpp"
#include "tarn/training_buffer.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

struct SeasonalModelConfig {
  std::int64_t training_sample_size = 0;  // <= 0: SeasonalModel::kDefaultTrainingSize
  std::int64_t season_length = 0;         // 0: found in the training data; 1: no season
};

class SeasonalModel : public Model {
 public:
  static constexpr std::int64_t kDefaultTrainingSize = 8;

  const SeasonalModelConfig& config() const { return config_; }

 protected:
  SeasonalModel() = default;
  explicit SeasonalModel(const SeasonalModelConfig& config) : config_(config) {}

  void observe(double value, std::int64_t gap) final;
  bool ready() const final { return fitted_; }
  void clear() final;
  double interval_dof() const final { return variance_.dof(); }
  void save(Writer& w) const final;
  void load(Reader& r) final;

  // What each model adds.
  // The newest version of the model's state; load() takes 1 to this one.
  virtual std::uint16_t state_version() const = 0;
  // Fits on the training values (train_); the model counts as fitted afterwards.
  virtual void fit() = 0;
  // One value on the grid once fitted (`gap` as for observe).
  virtual void advance(double value, std::int64_t gap) = 0;
  // Drops the fit (the fields of SeasonalModel are reset already).
  virtual void forget() = 0;
  // The fit, after the frame save() writes.
  virtual void save_fit(Writer& w) const = 0;
  // Reads what save_fit wrote (`version` of the model's state) and takes it over, with
  // variance_; throws FormatError before it changes anything.
  virtual void load_fit(Reader& r, std::uint16_t version) = 0;

  std::size_t target_size() const { return target_size(config_); }
  static std::size_t target_size(const SeasonalModelConfig& config);
  // "kind(training_sample_size=n, season_length=m)", the season length only when given.
  std::string describe_config() const;

  SeasonalModelConfig config_;
  TrainingBuffer train_;  // values collected before the fit
  bool fitted_ = false;
  ErrorVariance variance_;  // the one-step errors the intervals are built on
};

// The options of the builders of these models: training_sample_size, season_length.
SeasonalModelConfig read_seasonal_config(const char* builder, const Options& options);

class SeasonAdjustedModel : public SeasonalModel {
 public:
  // The season the fit kept (meaningful once initialised; 0: none).
  int season_length() const { return static_cast<int>(season_.size()); }
  bool multiplicative() const { return multiplicative_; }

 protected:
  using SeasonalModel::SeasonalModel;

  // The training values cleaned of missing ones (interpolated; trailing ones counted) and
  // scaled (scale_ is set), and the same seasonally adjusted (season_ and multiplicative_ are
  // set).
  struct TrainingData {
    std::vector<double> y;
    std::vector<double> x;
    std::size_t trailing_missing = 0;
  };
  TrainingData prepare_training();
  // Horizons calibrated on training data of n values: up to two seasons, at least 8 steps, at
  // most a third of the data.
  std::size_t calibration_horizon(std::size_t n) const;
  // Runs the recursion (step()) over the scaled training values from the fitted initial state,
  // calibrating the 1..H step variances, H = ratios.size(), on every origin after the
  // `parameters` estimated values (the season's free indices added), `ratios[k - 1]` being the
  // k-step variance over the one-step one; then steps over the trailing missing values.
  void run_training(const TrainingData& data, double parameters, const std::vector<double>& ratios);

  // One grid step of the model's recursion; NaN = missing.
  virtual void step(double y) = 0;
  // The adjusted forecasts 1..k steps ahead of the current state.
  virtual void adjusted_path(std::size_t k, double* out) const = 0;
  // The adjusted level, which to_output() gives in place of a forecast that is not a number.
  virtual double adjusted_level() const = 0;
  // ratios[k - 1]: the k-step error variance over the one-step variance, k = 1..h.
  virtual void variance_ratios(std::int64_t h, double* ratios) const = 0;

  // The three per-step helpers below are inline, in src/season_adjustment.hpp.
  // The value y adjusted and scaled (NaN stays NaN), at the current phase of the season.
  double adjusted(double y) const;
  // The adjusted forecast x, `h` steps ahead, reseasonalised and unscaled.
  double to_output(double x, double h) const;
  // Moves the phase of the season `steps` grid steps on.
  void next_phase(std::int64_t steps = 1);
  // The h-step variances: sigma^2 times variance_ratios() times the calibration, never falling
  // with the horizon and at most largest_variance(), then times the square of a multiplicative
  // season.
  bool forecast_variances(std::int64_t h, double* var) const final;
  // Infinity unless a model caps its variances before the season scales them.
  virtual double largest_variance() const;
  // " season=m additive" (or multiplicative); empty without a season.
  std::string describe_season() const;

  void forget() override;
  // The season in the state: the indices and the phase (after the flags each model writes).
  void save_season(Writer& w) const;
  // The variance and the calibration in the state (after the model's own values).
  void save_errors(Writer& w) const;
  struct AdjustedState {
    double scale = 1.0;
    bool multiplicative = false;
    std::vector<double> season;
    std::size_t pos = 0;
    ErrorVariance variance;
    HorizonCalibration calibration;
  };
  // Reads what save_season wrote into `a` (its `multiplicative` read already).
  void load_season(Reader& r, AdjustedState& a) const;
  // Reads what save_errors wrote into `a`.
  static void load_errors(Reader& r, AdjustedState& a);
  // Takes over what was read into `a`.
  void adopt(AdjustedState&& a);

  double scale_ = 1.0;
  bool multiplicative_ = false;
  std::vector<double> season_;  // indices by phase (empty: no season)
  std::size_t pos_ = 0;         // phase of the next observation
  HorizonCalibration calibration_;
};

}  // namespace tarn

#pragma GCC visibility pop
