// Intermittent demand: series with many periods of no demand (spare parts, slow retail items).
//
// The model collects `training_sample_size` values (<= 0: kDefaultTrainingSize), then chooses
// one of five methods and its smoothing parameters on them. Each forecasts a flat demand rate
// per period:
//
// - "croston": exponential smoothing of the non-zero demand sizes z and of the intervals p
//   between them, updated only when a demand occurs; rate z / p (Croston 1972).
// - "sba": Croston's rate times (1 - alpha / 2), which removes its bias (Syntetos & Boylan
//   2005).
// - "tsb": the sizes as in Croston, and the probability pi of a demand smoothed every period
//   (towards 1 after a demand, towards 0 otherwise); rate pi z (Teunter, Syntetos & Babai
//   2011).
// - "adida": the series summed over non-overlapping buckets of k periods (k the mean interval
//   between demands), the bucket sums smoothed; rate level / k (Nikolopoulos et al. 2011).
// - "imapa": the same at every bucket length 1..K (K the longest interval between demands, at
//   most kMaxLevels) and the rates averaged (Petropoulos & Kourentzes 2015).
//
// Smoothing parameters (unless given) come from a small grid within the range the literature
// recommends (0.02..0.3), and the method ("auto") from the same criterion on the training data: the
// sum of squared one-step errors plus the sum of squared errors of the cumulative demand divided by
// the number of periods. The cumulative term keeps the choice away from the biased, near-zero rates
// that one-step squared errors alone favour on intermittent series (Kourentzes 2014, "On
// intermittent demand model optimisation and selection"); the one-step term keeps it from
// over-reactive smoothing.
//
// Prediction intervals cover the demand of a single future period. Demand is modelled as
// occurring with probability pi (the share of periods with demand) with gamma-distributed sizes
// whose mean makes the distribution's mean the forecast rate and whose coefficient of variation is
// that of the sizes seen (1 before two were), widened by the error of the smoothed rate. The
// zero-demand atom makes intervals start at 0 once it covers the lower tail; the upper end then
// takes the whole coverage. Bounds are never below 0 and are nested in the coverage and constant in
// the horizon. A series with negative values is not demand data: its intervals are then the rate
// plus or minus Student t quantiles of the one-step errors.
//
// Missing values (NaN, gaps of the timestamps) are skipped: every method works on the periods
// observed, so a gap costs O(1). A training sample without any demand forecasts 0 (interval
// [0, 0]) until demand arrives. Each update costs O(K), K <= kMaxLevels; forecasts are flat.
//
// Told with set_log_input(shift) that its values are ln(x + shift), the model undoes the
// transform (zeros must stay zeros) and gives its forecasts and bounds back as ln(f + shift).
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

enum class IntermittentMethod : std::uint8_t { Auto, Croston, Sba, Tsb, Adida, Imapa };

// "auto", "croston", "sba", "tsb", "adida", "imapa".
const char* intermittent_method_name(IntermittentMethod m);
// The method of `name`; false for an unknown name.
bool parse_intermittent_method(const std::string& name, IntermittentMethod& out);

struct IntermittentConfig {
  std::int64_t training_sample_size = 0;  // <= 0: Intermittent::kDefaultTrainingSize
  IntermittentMethod method = IntermittentMethod::Auto;
  double alpha = 0.0;  // 0: chosen; else the smoothing parameter of sizes, intervals, buckets
  double beta = 0.0;   // 0: chosen; else TSB's smoothing parameter of the demand probability
};

class Intermittent : public Model {
 public:
  static constexpr std::int64_t kDefaultTrainingSize = 24;
  static constexpr int kMaxLevels = 12;

  Intermittent() = default;
  explicit Intermittent(const IntermittentConfig& config) : config_(config) {}

  const char* kind() const override { return "intermittent"; }
  std::string describe() const override;
  std::unique_ptr<Model> clone() const override { return std::make_unique<Intermittent>(*this); }
  bool fit_available() override;
  bool fit_log_input(double shift) override;

  // Fitted facts (meaningful once initialised).
  IntermittentMethod method() const { return method_; }
  double alpha() const { return alpha_; }
  double beta() const { return beta_; }
  // The demand rate per period on the series' own scale.
  double rate() const;
  // Probability of a demand in a period.
  double demand_probability() const;
  // Bucket lengths of the aggregate levels (ADIDA: one, IMAPA: 1..K; empty otherwise).
  std::vector<int> bucket_lengths() const;
  // A season named is left out (the methods have no seasonal terms), and fit_note says so.
  void name_season(std::int64_t m) override;
  std::string fit_note() const override { return season_note_; }

 protected:
  void observe(double value, std::int64_t gap) override;
  bool ready() const override { return fitted_; }
  void clear() override;
  double forecast_ahead(double h) const override;
  void interval_ahead(std::int64_t h, double coverage, double* lower, double* upper) const override;
  double own_quantile_ahead(double h, double p) const override;
  void save(Writer& w) const override;
  void load(Reader& r) override;

 private:
  // Quantile u of a single period's demand on the series' own scale (0 within the share of
  // periods without demand), and that share's complement: the share of periods with demand.
  double demand_quantile(double u) const;
  double demand_probability_seen() const;
  // One aggregate level: sums of k observed periods, smoothed.
  struct Level {
    int k = 1;
    double level = 0.0;
    double sum = 0.0;  // the bucket being filled
    int count = 0;     // periods in it
  };
  // The smoothing state, in units of scale_.
  struct State {
    double z = 0.0;   // demand size
    double p = 1.0;   // interval between demands
    double q = 0.0;   // periods since the latest demand
    double pi = 0.0;  // probability of a demand
    std::vector<Level> levels;
  };

  std::string season_note_;  // not saved: said once, after training

  std::size_t target_size() const;
  void fit();
  static double rate_of(IntermittentMethod m, double alpha, const State& s);
  static void step(State& s, double y, double alpha, double beta);
  void observe_value(double y);  // one observed period, on the scale of scale_

  IntermittentConfig config_;
  double shift_ = 0.0;  // above 0: the values fed are ln(x + shift_)
  TrainingBuffer train_;
  bool fitted_ = false;
  IntermittentMethod method_ = IntermittentMethod::Croston;
  double alpha_ = 0.1, beta_ = 0.1;
  double scale_ = 1.0;  // the state is in units of scale_
  State s_;
  // The non-zero sizes seen (Welford's running mean and sum of squared deviations).
  double size_n_ = 0.0, size_mean_ = 0.0, size_m2_ = 0.0;
  double periods_ = 0.0;    // observed periods
  bool negative_ = false;   // a negative value was seen: not demand data
  ErrorVariance variance_;  // one-step errors, in units of scale_
};

// Builder "intermittent": training_sample_size, method, alpha, beta.
std::unique_ptr<Model> build_intermittent(const Options& options);

}  // namespace tarn

#pragma GCC visibility pop
