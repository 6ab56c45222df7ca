// The automatic model selector.
//
// It collects `min_training_data` values (at least kMinTraining), finds the season length in
// them (tarn::detect_period) and fits every candidate family of the engine on them: Holt-Winters
// ("hws"), ARIMA ("arima"), BATS (with Box-Cox considered), theta, complex exponential
// smoothing ("ces") and seasonal naive. A candidate whose builder is missing
// or whose fit fails is dropped; the selector itself never fails for a candidate's sake.
//
// Forecasts come from one of these options: the combination (by default the median of the
// forecasts of the model-based candidates, i.e. all but seasonal naive) or a single candidate.
// Every update first scores each option's forecast for the new value (its out-of-sample error),
// then feeds the value to every candidate, so an update costs O(1) per candidate. Once
// `error_history_length` errors are in, the option with the smallest mean absolute error over that
// many latest errors is used (the combination wins ties); before that, the combination.
//
// Told with set_log_input(shift) that its values are ln(x + shift) (the forecaster's log
// transform), the selector undoes the transform and its candidates fit the series x on its own
// scale, where they choose their own forms and transforms (BATS considers Box-Cox,
// Holt-Winters errors proportional to the level); forecasts go back as ln(f + shift). A linear
// trend fitted to logarithms compounds into exponential growth: on M3 through the forecaster
// this takes the sMAPE from 12.66 to 12.59 and the MASE from 1.400 to 1.359.
//
// Intermittent series (values never negative, on average more than 1.32 periods per non-zero
// value: the classification of Syntetos, Boylan & Croston 2005) get the intermittent-demand
// family ("intermittent", the table's CandidateRole::Intermittent) as their only candidate,
// unless `candidates` names the families; other series never try it. Its intervals are then the
// family's own (single-period demand, never below zero).
//
// Series with a season longer than the season search reaches (kSeasonSearchLimit) or with
// several seasons (detect_seasons: hourly data's 24 and 168, daily data's 7 and 365) get the
// long-season families (CandidateRole::LongSeason: the multiple seasonal decomposition, "mstl"),
// which find their seasons themselves, in place of the single-season families (which carry one
// season at most and are misspecified there, seasonal naive included). Should no long-season
// family fit, the single-season families are tried. Other series never try them, except that a
// season the calendar gives as a fraction of steps (set_calendar_seasons: weekly data's 52.18)
// brings "mstl" on the rounded season into the combination of the single-season families.
//
// fit_available() fits on the values collected so far when the series ends before
// `min_training_data`; with fewer than kMinTraining values there is no model search and the
// selector forecasts the latest value (naive), which describe() says.
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

struct AutoConfig {
  std::int64_t min_training_data = 8;  // raised to AutoSelector::kMinTraining
  // Latest out-of-sample errors that rank the options; <= 0 chooses max(2 * season, 8).
  std::int64_t error_history_length = 0;
  // Candidate families to try (empty: all); the names of the models the table of models
  // (model_table.hpp) marks as candidates ("hws", "arima", "bats", "theta", "ces", "tempagg",
  // "snaive", "intermittent").
  std::vector<std::string> candidates;
  // Above 0: the values fed are ln(x + log_input_shift) of the series x; the candidates fit x
  // itself and the forecasts are given back as ln(forecast + log_input_shift).
  double log_input_shift = 0.0;
  // How the model-based candidates' forecasts combine: "median" (the default), "mean",
  // "trimmed" (the mean without the candidate of the largest errors on the training data's
  // rolling origins) or "weighted" (weights inversely proportional to each candidate's mean
  // squared out-of-sample error: from rolling origins inside the training data right after the
  // fit, then from the one-step errors since the fit once every candidate has a full window).
  //
  // Why the median of the five families (exponential smoothing, ARIMA, BATS, theta in its
  // dynamic optimised forms, complex exponential smoothing): it is the combination of
  // Petropoulos & Svetunkov (2020), the median of diverse families, which the M4 evidence
  // favours over any single one (Makridakis et al. 2020). The median cannot be pulled away by
  // one candidate that extrapolates wildly, which a mean can, and it estimates nothing; weights
  // estimated from a few origins carry their own error and rarely beat equal weights (the
  // "forecast combination puzzle": Smith & Wallis 2009, Claeskens et al. 2016). Measured
  // through the forecaster (M3 sMAPE over series): mean of four 12.45; median of five 12.44;
  // rolling-origin weights 12.45 at 1.6 times the fitting cost (engine README).
  std::string combination = "median";
  // Seasons the calendar of the data implies (in steps; set_calendar_seasons): the season search
  // tests them too (detect_seasons), a season found near one of them is that one, and the
  // long-season families are told them.
  std::vector<double> calendar{};
  // The caller said the data have no season (name_season(1)): no season search, every
  // candidate without one.
  bool no_season = false;
};

class AutoSelector : public Model {
 public:
  static constexpr std::int64_t kMinTraining = 8;

  AutoSelector() = default;
  explicit AutoSelector(AutoConfig config);

  const char* kind() const override { return "auto"; }
  std::string describe() const override;
  std::unique_ptr<Model> clone() const override;

  // Fitted facts (meaningful once initialised).
  int season_length() const { return m_; }
  std::vector<std::string> candidate_names() const;
  // "combination" or the name of the single candidate now forecasting.
  std::string choice() const;
  std::size_t window() const { return window_; }
  // Weight of each candidate (in candidate_names() order) in the forecast given now; they sum
  // to one.
  std::vector<double> weights() const { return output_weights(); }
  bool fit_available() override;
  bool fit_log_input(double shift) override;
  void set_calendar_seasons(const std::vector<double>& seasons) override;

  AutoSelector(const AutoSelector& other);
  AutoSelector& operator=(const AutoSelector&) = delete;

  void name_season(std::int64_t m) override;
  std::string fit_note() const override { return season_note_; }

 protected:
  void observe(double value, std::int64_t gap) override;
  bool ready() const override { return fitted_; }
  void clear() override;
  double forecast_ahead(double h) const override;
  void interval_ahead(std::int64_t h, double coverage, double* lower, double* upper) const override;
  double own_quantile_ahead(double h, double p) const override;
  void forecast_path_ahead(const double* h, std::size_t n, double* out) const override;
  void series_path(const double* h, std::size_t n, double* out) const;
  void save(Writer& w) const override;
  void load(Reader& r) override;

 private:
  struct Candidate {
    std::string name;
    std::unique_ptr<Model> model;
    bool in_combination = true;
  };
  // A window of the latest absolute errors of one option, with their running sum.
  struct ErrorWindow {
    std::vector<double> errors;
    std::size_t next = 0, count = 0;
    double sum = 0.0;
    void add(double e, std::size_t size);
    double mean() const { return count ? sum / static_cast<double>(count) : 0.0; }
  };

  void fit();
  void choose();
  double to_series(double fed) const;    // a fed value on the series' own scale
  double to_fed(double forecast) const;  // a forecast on the scale of the fed values
  template <class Of>
  double by_rule(Of&& of, std::vector<double>& f) const;
  double series_forecast(double h) const;  // the forecast given, on the series' own scale
  double rule_forecast(double h) const;    // series_forecast before the drift's shrinkage
  double shrink_drift(double anchor, double f) const;
  void widen_for_drift(double coverage, std::vector<double>& below,
                       std::vector<double>& above) const;
  void drop(std::size_t i);
  // Weight of each candidate in the forecast the selector gives now (they sum to one);
  // `one_step` (optional): every candidate's one-step forecast as safe_forecast gives it.
  std::vector<double> output_weights(const double* one_step = nullptr) const;
  // Offsets of the output forecast's quantiles below and above it for 1..h steps, before the
  // calibration; false when no weighted candidate can give an interval.
  bool output_offsets(std::int64_t h, double coverage, std::vector<double>& below,
                      std::vector<double>& above, const double* one_step = nullptr) const;
  bool offsets_with(const std::vector<double>& weights, std::int64_t h, double coverage,
                    std::vector<double>& below, std::vector<double>& above,
                    const double* one_step = nullptr) const;
  double calibration() const;
  // The combination of the forecasts f[k] of the in-combination candidates idx[k] by the
  // configured rule; NaN for none.
  double combine(const std::vector<std::size_t>& idx, const std::vector<double>& f) const;
  // Relative weights of the in-combination candidates idx under the configured rule.
  std::vector<double> combination_weights(const std::vector<std::size_t>& idx) const;
  // Measures the in-combination candidates on rolling origins inside the training values
  // train_[start, size) and sets origin_w_ (left empty when there are too few origins).
  void weigh_on_origins(std::int64_t start, std::int64_t size);
  // Whether the rule weighs the candidates on rolling origins ("weighted", "trimmed").
  bool uses_origins() const {
    return config_.combination == "weighted" || config_.combination == "trimmed";
  }
  // True when the training data were intermittent and the intermittent family forecasts alone.
  bool intermittent_fit() const;

  AutoConfig config_;
  std::string season_note_;  // a season it was told and left out (fit_note; not saved)
  TrainingBuffer train_;     // values collected before the fit
  bool fitted_ = false;
  int m_ = 1;
  std::size_t window_ = 8;
  std::int64_t grid_ = 0;  // grid position of the latest value fed to the candidates
  double fallback_ = 0.0;  // latest finite value, for when every candidate is gone
  std::vector<Candidate> cands_;
  std::vector<ErrorWindow> errs_;  // one per candidate, then one for the combination
  int choice_ = -1;                // -1: combination, else a candidate index
  // Rule "weighted": each candidate's weight from the rolling origins of the training data
  // (empty: none measured; then equal weights until the windows of errors since the fit fill).
  std::vector<double> origin_w_;
  // Squared errors of the output forecast in units of its predicted standard deviation.
  double cal_sum_ = 0.0, cal_count_ = 0.0;
  // What the training data told of their drift (see auto_detail::drift_evidence).
  double drift_se_ = 0.0;      // standard error of the data's drift per step (0: unknown)
  double drift_shrink_ = 1.0;  // share of the trend kept past shrink_from_ steps
  double shrink_from_ = 0.0;   // 0: the trend kept whole
  double drift_from_ = 0.0;    // steps up to this one take no extra spread for the drift
  // Scratch of observe(), kept so that an update allocates nothing (not part of the state).
  std::vector<double> step_scratch_, comb_scratch_;
  std::vector<std::size_t> idx_scratch_;
};

namespace auto_detail {
// The average interval between demands (ADI) above which a series is intermittent.
constexpr double kIntermittentAdi = 1.32;
// Whether the values (NaN: missing) are intermittent demand: none negative, some non-zero, and
// more than kIntermittentAdi observed periods per non-zero one.
bool is_intermittent(const double* y, std::size_t n);
// The mean of the finite values `f`, or NaN for none. It is taken on the scale of the largest
// magnitude, so forecasts near the largest double cannot overflow the sum.
double mean_of(const std::vector<double>& f);

// Standard error of the drift per step of the values y (NaN: missing), from their differences
// at lag m (the season's length, 1 without one); 0 for fewer than three differences. A forecast
// that extrapolates a drift estimated from T values spreads by j se more at step j (the random
// walk with drift's h^2 sigma^2 / T term).
// `drift` (optional) receives the drift per step.
double drift_standard_error(const std::vector<double>& y, int m, double* drift = nullptr);
// Share of an extrapolated drift that is kept given its standard error: the positive-part
// shrinkage of an estimated mean towards zero by its t statistic, (1 - 1/t^2)+ (Thompson 1968,
// after James & Stein 1961). A drift well within its noise is dropped (the flat forecast of
// smoothing or of the naive method), a clear one kept nearly whole.
double drift_shrinkage(double drift, double se);
// The last step of a forecast from n training values whose spread the candidates check on their
// own rolling origins (HorizonCalibration: up to a third of the data, each step from at least
// kMinOrigins origins); the drift's spread widens the steps after it.
double drift_checked_steps(double n);
// The median of the finite values `f` (the mean of the middle two for an even count), or NaN.
double median_of(std::vector<double> f);
// The weighted mean of `f` with non-negative weights `w` (NaN for none or no weight), taken on
// the scale of the largest magnitude as mean_of is.
double weighted_mean_of(const std::vector<double>& f, const std::vector<double>& w);
// Fewest rolling origins (forecasts from successive ends of the data) whose errors weigh the
// candidates of the rule "weighted"; with fewer the weights are equal.
constexpr std::int64_t kMinOrigins = 3;
// Weights (summing to one) from the candidates' rolling-origin errors: mse[c][k] is candidate
// c's mean squared error k + 1 steps ahead (NaN: not measured). Each step's errors count
// relative to the candidates' mean at that step, so that the long steps, whose errors are
// larger, do not decide alone; a candidate's score is the mean of its relative errors and its
// weight is inversely proportional to it (Bates & Granger 1969). A candidate without any
// measured step scores as the average (1). No candidate or no measured step: equal weights.
std::vector<double> rolling_origin_weights(const std::vector<std::vector<double>>& mse);
// The trimmed mean's weights (Jose & Winkler 2008) from weights w: the candidate of the least
// weight (the largest rolling-origin errors) is dropped and the others share equally; fewer
// than three candidates share equally.
std::vector<double> trim_worst(const std::vector<double>& w);
// The names of the combination rules.
bool is_combination_rule(const std::string& rule);
// Longest season the selector looks for among its regular candidates.
constexpr int kSeasonSearchLimit = 200;
// Whether y[0..n) (finite) shows a season longer than `limit` or several seasons (three cycles
// each): the series the long-season candidates are tried on.
bool has_long_seasons(const double* y, std::size_t n, int limit,
                      const std::vector<double>& calendar = {});
}  // namespace auto_detail

// Builder "auto": min_training_data, optionally error_history_length.
std::unique_ptr<Model> build_auto(const Options& options);

}  // namespace tarn

#pragma GCC visibility pop
