// Multiple seasonal decomposition: each season taken out of the series by iterated
// seasonal-trend decomposition by Loess (Cleveland, Cleveland, McRae and Terpenning, 1990),
// shortest season first and twice over (Bandara, Hyndman and Bergmeir, 2021), each
// cycle-subseries smoothed by local means (local lines for a season that rounds a fractional
// calendar season, whose pattern drifts across the rounded cycle); the seasonally adjusted
// series is then forecast by the theta method without a season of its own.
//
//   adjusted_t = y_t - sum_i s_i(t mod m_i)
//   y^_{n+h}   = theta forecast of the adjusted series + sum_i s_i((n + h) mod m_i)
//
// The seasonal indices are those of the decomposition's latest cycle of each season and are
// kept as fitted afterwards: a new observation costs O(number of seasons), its adjusted value
// goes to the theta model, and intervals are the theta model's shifted by the indices. The
// theta method suits the adjusted series: a level with drift, updated in O(1), and fast to fit
// on thousands of values, which a long season needs. Exponential smoothing chosen by AICc,
// ARIMA without seasonal terms and the median of the non-seasonal families were tried in its
// place and none forecast clearly better (bench README, "The adjusted series' model").
//
// The season lengths are given or found in the training data (detect_periods, up to a third of
// its length, with the seasons of the data's calendar as candidates when it is told them:
// detect_seasons); seasons with fewer than two cycles in the data are left out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/model.hpp"
#include "tarn/training_buffer.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

struct MstlConfig {
  std::int64_t training_sample_size = 0;  // <= 0: kDefaultTrainingSize
  std::vector<std::int64_t> seasons;      // empty: found in the training data
  // Seasons the calendar implies (in steps; set_calendar_seasons), tested when the seasons are
  // found in the training data.
  std::vector<double> calendar{};
};

// The seasonal components of y by the multiple seasonal decomposition: out[i][t] is the
// component of period periods[i] (sorted, each at least 2 and less than half of y's length) at
// time t. y must be finite. degrees[i]: the degree of season i's cycle-subseries smoother, 0
// (local means) or 1 (local lines); 0 for a season without one.
std::vector<std::vector<double>> mstl_decompose(const std::vector<double>& y,
                                                const std::vector<int>& periods,
                                                const std::vector<int>& degrees = {});

// What the seasonal indices' estimation does to the adjusted series' errors. Each index is a
// linear smoother of its cycle-subseries (a local mean or line of its span of cycles): over the
// training data it takes up `dof` degrees of freedom (the smoothers' traces), so the adjusted
// series' errors there understate the noise, and the index carried forward is itself uncertain,
// by `index_variance` times the noise's variance (the sum of its squared weights; one index per
// season at every step). Both follow from the smoothers' weights (the hat matrix of a linear
// smoother: Cleveland & Devlin 1988; Hastie & Tibshirani 1990, ch. 3). The low-pass filter and
// the repeated passes are left out: they change the weights little.
struct MstlSmoothing {
  double dof = 0.0;
  double index_variance = 0.0;
};
// For n values and the seasons `periods` smoothed with the given degrees (as mstl_decompose).
MstlSmoothing mstl_smoothing(std::size_t n, const std::vector<int>& periods,
                             const std::vector<int>& degrees);

class Mstl : public Model {
 public:
  static constexpr std::int64_t kDefaultTrainingSize = 16;
  // Longest season the model carries (and finds).
  static constexpr std::int64_t kMaxSeason = 100000;

  Mstl() = default;
  explicit Mstl(const MstlConfig& config) : config_(config) {}
  Mstl(const Mstl& other);
  Mstl& operator=(const Mstl& other);

  const char* kind() const override { return "mstl"; }
  std::string describe() const override;
  std::unique_ptr<Model> clone() const override { return std::make_unique<Mstl>(*this); }

  // The season lengths in use (meaningful once initialised; empty: none).
  std::vector<int> seasons() const;
  void set_calendar_seasons(const std::vector<double>& seasons) override;

  void name_season(std::int64_t m) override;
  std::string fit_note() const override { return season_note_; }

 protected:
  void observe(double value, std::int64_t gap) override;
  bool ready() const override { return fitted_; }
  bool fit_available() override;
  void clear() override;
  double forecast_ahead(double h) const override;
  void interval_ahead(std::int64_t h, double coverage, double* lower, double* upper) const override;
  void save(Writer& w) const override;
  void load(Reader& r) override;

 private:
  std::size_t target_size() const;
  void fit();
  void advance(std::int64_t steps);
  double seasonal(double h) const;  // the indices' sum h >= 1 steps ahead

  MstlConfig config_;
  std::string season_note_;  // seasons it was told and left out (fit_note; not saved)
  TrainingBuffer train_;
  bool fitted_ = false;
  std::vector<std::vector<double>> index_;  // per season: its indices, by phase
  std::vector<std::size_t> pos_;            // per season: phase of the next observation
  std::int64_t inner_t_ = 0;                // timestamp of the inner model's latest value
  std::unique_ptr<Model> inner_;            // theta on the adjusted series
  // What estimating the indices costs the intervals (mstl_smoothing).
  MstlSmoothing smoothing_;
};

// Builder "mstl": training_sample_size, seasons (season lengths separated by commas, or one
// number; empty or 0: found in the training data).
std::unique_ptr<Model> build_mstl(const Options& options);

}  // namespace tarn

#pragma GCC visibility pop
