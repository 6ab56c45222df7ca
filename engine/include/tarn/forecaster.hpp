// A forecasting session: one model per target series, trained and forecast as a whole.
//
// The session is what every caller of the forecaster runs (the Python estimator, batch
// forecasts, the command line): arrays in, arrays out, no Python. It owns
// - the log transform: the models may be fed ln(x + 2) of the series x and forecast e^y - 2 of
//   their forecasts y; training keeps the raw values when a transformed value is not finite
//   (missing values, values of -2 or below) or when a series is too small for the transform;
// - the settings training fills in from the data (the season of the training series and the
//   training sizes derived from it) and the shorter training sizes retried for a model that
//   did not initialise;
// - the time axis of the forecasts (the models' last update and their mean spacing);
// - the forecast loop: new rows are fed to copies of the trained models (one call for many
//   rows, or one forecast per row for sliding windows), with the skipped rows recorded;
// - prediction intervals (one interval path per level and model), quantiles at any probability,
//   sample paths, and the sMAPE score;
// - the non-negative option: every forecast, bound, quantile and path value is max(v, 0), the
//   forecast distribution censored at zero (its quantiles are those of the uncensored one,
//   raised to zero where they fall below it), for counts and sales that cannot go negative.
//
// Threads: the trained models are only read after training (every forecast with new rows
// works on copies made inside the call), so one trained session may serve many threads at
// once. Training and set_models() must not run concurrently with anything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tarn/forecast_loop.hpp"
#include "tarn/model.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

// The shift of the log transform: values are fed as ln(x + kLogShift).
constexpr double kLogShift = 2.0;

// ln(x + 2), computed as log1p(1 + x).
double to_log_scale(double x);
// e^y - 2; near y = ln 2 (values near 0) as 2 (e^(y - ln 2) - 1), which keeps the digits that
// e^y - 1 - 1 would cancel.
double from_log_scale(double y);

// Values all within this of 0 are too small for the log transform (choose_log).
inline constexpr double kLogTooSmall = 1e-4;

// Whether training may feed the models ln(x + 2).
enum class LogChoice {
  kLog,        // yes
  kNotFinite,  // a transformed value is not finite (missing values, values of -2 or below)
  kTooSmall,   // a series has values, all within kLogTooSmall of 0 and not all 0: the transform
               // is a straight line there and keeps too few digits of the variation
};

// The choice for `n_targets` series of `n` values each, stored series after series.
LogChoice choose_log(const double* series, std::size_t n_targets, std::size_t n);

// The settings a season-sized algorithm (BATS, the automatic selector) takes from its training
// series: the detected season, the full seasons in the series and the training size
// (training_sizes.hpp, seasons searched up to 200 values, a training size of at least 8).
struct SeasonSettings {
  std::int64_t samples_per_season = 1;
  std::int64_t initial_training_seasons = 0;
  std::int64_t training_size = 0;
};
SeasonSettings season_settings(const double* x, std::size_t n);

// A block of new rows: n_rows rows of `stride` values (row-major, on the data's scale), of
// which the first columns feed the models in target order; timestamps one per row, or null
// (the rows follow the models' last update one step apart).
// A session trained with regressors also reads the regressors of each row (n_regressors values
// from column regressor_column on, taken as they are) and the regressors of the steps after
// the rows: `future`, future_rows rows of n_regressors values (row-major).
struct Rows {
  const double* values = nullptr;
  std::size_t stride = 0;
  const double* timestamps = nullptr;
  std::size_t n_rows = 0;
  std::size_t regressor_column = 0;
  std::size_t n_regressors = 0;
  const double* future = nullptr;
  std::size_t future_rows = 0;
};

// What a forecast gives back.
struct Forecast {
  // Forecasts on the data's scale: blocks of `horizon` rows x `cols` values, row-major (one
  // block, or one block per row fed for a sliding window).
  std::vector<double> values;
  std::size_t cols = 0;
  // The skipped rows and a failed forecast, as the loop recorded them (rows of the block given).
  LoopOutput loop;
  // Rows of the block that could be fed: fewer than given when a row cannot take the log
  // transform (its transformed value is not finite); the rows after it are not fed.
  std::size_t usable_rows = 0;
  // The models the rows were fed to (empty when nothing was fed).
  std::vector<std::shared_ptr<Model>> updated;
};

class Forecaster {
 public:
  using ModelPtr = std::shared_ptr<Model>;

  Forecaster() = default;
  // A session over trained (or loaded) models. `n_update`: the models fed by new rows (the
  // target count; the models after them only forecast).
  Forecaster(std::vector<ModelPtr> models, bool log_transformed, std::size_t n_update);

  // --- training ---------------------------------------------------------------------------

  // A new model for a target's retry `attempt` (0, 1, ...: shorter and shorter training
  // sizes, see arima_attempt_size). May throw; the error reaches the caller of train().
  using RetryFn = std::function<ModelPtr(std::size_t target, std::int64_t attempt)>;

  struct TrainInput {
    const std::int64_t* timestamps = nullptr;  // n values
    const double* series = nullptr;            // n_targets series of n values, one after another
    std::size_t n = 0;
    std::size_t n_targets = 0;
    bool log_transform = true;  // asked for; training may turn it off (log_choice())
    // Retry shorter training sizes until a model initialises (an algorithm that retries, on a
    // series of more than 50 values, whose training size the caller did not give).
    bool retry_sizes = false;
    // Regressors: n rows of n_regressors values (row-major), all finite. With them every model
    // becomes a Regression (regression.hpp) around the model built for its target.
    const double* regressors = nullptr;
    std::size_t n_regressors = 0;
    // Seasons the calendar of the dates implies (calendar::calendar_seasons, in grid steps);
    // every model is told them before its first value (Model::set_calendar_seasons).
    std::vector<double> calendar_seasons{};
    // The season the caller gave (in steps; 0: none), told to every model after the calendar's
    // (Model::name_season), so that it comes first.
    std::int64_t season = 0;
  };

  // Trains the new models `models` (one per target, untrained) on the series. With
  // retry_sizes, each target's model is replaced by retry(target, 0), retry(target, 1), ...
  // (at most five attempts) until one initialises. A model that can fit on the series' own
  // scale is told of the log transform; a model left uninitialised at the end of its series
  // (without retries) fits on what it has, if it can. The session then holds the models, with
  // n_update() the target count. An error (a refused timestamp, a failed build) propagates and
  // leaves the session as it was.
  void train(const TrainInput& in, std::vector<ModelPtr> models, const RetryFn& retry);

  LogChoice log_choice() const { return log_choice_; }

  // --- the trained models -----------------------------------------------------------------

  const std::vector<ModelPtr>& models() const { return models_; }
  std::vector<Model*> model_pointers() const;
  bool log_transformed() const { return log_; }
  std::size_t n_update() const { return n_update_; }
  // Regressors the models take (0: none).
  std::size_t n_regressors() const;
  // Every model initialised (and at least one).
  bool ready() const;
  // Latest update among the models that can forecast (the last such model wins), or -1.
  std::int64_t last_updated() const;
  // Grid step of the last model that can forecast (the spacing of its timestamps, absent ones
  // counted as steps), or -1: forecasts fall at whole steps of it after the latest update.
  double interval() const;
  // The times of the next `horizon` forecasts: last_updated() + k interval(), k = 1..horizon.
  std::vector<double> forecast_times(std::int64_t horizon) const;

  // --- forecasting (const: safe from many threads at once) -------------------------------

  // Forecasts `horizon` steps from the trained models; a value that is not finite on the
  // models' scale becomes 0 (before the log transform is undone). Throws the first model
  // error. With regressors, `future` holds those of the horizon (future_rows rows of
  // n_regressors()); InvalidArgument when they are missing or too few.
  Forecast forecast(std::int64_t horizon, const double* future = nullptr,
                    std::size_t future_rows = 0) const;

  // Feeds the rows in one call to `working` (the caller's own working copies, which nothing
  // else may use meanwhile; they are updated in place) or, when null, to new copies of the
  // trained models, and forecasts `horizon` steps after them. When a transformed value of the
  // rows is not finite, nothing is fed or forecast (usable_rows then says which row it is in).
  // InvalidArgument when the rows are narrower than n_update().
  Forecast predict(const Rows& rows, std::int64_t horizon,
                   const std::vector<ModelPtr>* working = nullptr) const;

  // A sliding window: the rows are fed one call per row, with a forecast of `horizon` steps
  // after each (to `working` or copies, as predict). A row that cannot take the log transform
  // ends the window before it (usable_rows).
  Forecast sliding(const Rows& rows, std::int64_t horizon,
                   const std::vector<ModelPtr>* working = nullptr) const;

  // Prediction interval bounds at `level` percent (0 < level < 100) for the forecasts
  // `forecast` (horizon rows x cols, data's scale) of `models` (the trained ones when null),
  // made after their last update at the session's interval. The bounds are on the data's scale
  // and never on the wrong side of the forecast (a bound that is NaN is the forecast). With
  // regressors, `future` holds those of the horizon, as for forecast().
  void intervals(const std::vector<ModelPtr>* models, std::int64_t horizon, double level,
                 const double* forecast, double* lower, double* upper,
                 const double* future = nullptr, std::size_t future_rows = 0) const;

  // Quantiles at the probabilities probs[0..n_probs-1] (each in (0, 1)) of the forecasts
  // `forecast` (horizon rows x cols, data's scale) of `models` (the trained ones when null),
  // into out: one block of horizon x cols per probability, in the order given. A probability
  // below 0.5 gives the lower bound of intervals(..., 100 - 200 p, ...), above 0.5 the upper
  // bound of intervals(..., 200 p - 100, ...), exactly; 0.5 gives the median (the forecast for
  // every model whose forecast is its median, see median_from_interval). Non-decreasing in the
  // probability. InvalidArgument for a probability outside (0, 1), naming it. Models with
  // regressors take their values at the horizon's steps as intervals() does (`future`).
  void quantiles(const std::vector<ModelPtr>* models, std::int64_t horizon, const double* probs,
                 std::size_t n_probs, const double* forecast, double* out,
                 const double* future = nullptr, std::size_t future_rows = 0) const;

  // Most values simulate() returns (paths x horizon x models).
  static constexpr std::size_t kMaxSimulatedValues = 100'000'000;

  // `n_paths` sample paths of `horizon` steps from `models` (the trained ones when null) at the
  // session's forecast times, on the data's scale: n_paths blocks of horizon x cols, row-major.
  // Model j draws from its own random stream, stream_seed(seed, j) (sampling.hpp), so the same
  // seed gives the same bits whatever thread or process runs it, and a target's paths do not
  // depend on the other targets. The paths follow each model's recursion and agree with its
  // quantiles (sampling.cpp). InvalidArgument for n_paths of 0 or too many values, and for
  // models with regressors (their paths would need the regressors' future values).
  std::vector<double> simulate(const std::vector<ModelPtr>* models, std::int64_t horizon,
                               std::size_t n_paths, std::uint64_t seed) const;

  // Copies of the trained models.
  std::vector<ModelPtr> copies() const;

  // Undoes the log transform of the session, in place.
  void to_data_scale(double* values, std::size_t n) const;
  // The values as the session gives them out: on the data's scale and, with the non-negative
  // option, censored at zero (NaN stays NaN).
  void to_output(double* values, std::size_t n) const;

  // The non-negative option (off by default).
  void set_nonnegative(bool on) { nonnegative_ = on; }
  bool nonnegative() const { return nonnegative_; }

 private:
  std::vector<ModelPtr> models_;
  bool log_ = false;
  std::size_t n_update_ = 0;
  LogChoice log_choice_ = LogChoice::kLog;
  bool nonnegative_ = false;

  // The bounds of `ms` at `coverage` for the horizon's forecast times, on the data's scale
  // (h rows x models), as the models give them (`future`: the regressors of the horizon's
  // steps, for models with regressors).
  void model_bounds(const std::vector<ModelPtr>& ms, std::size_t h, double coverage, double* lower,
                    double* upper, const double* future = nullptr) const;
  // The horizon's forecast times of `ms`: interval() apart after their latest update.
  std::vector<double> horizon_times(const std::vector<ModelPtr>& ms, std::size_t h) const;
  // The rows' values as the models take them (transformed when the session logs values), and
  // the number of leading rows whose values all are finite there.
  std::vector<double> model_values(const Rows& rows, std::size_t* usable) const;
};

// --- rolling-origin evaluation ------------------------------------------------------------

// A backtest over n rows: `n_windows` origins `step` rows apart, the last one `horizon` rows
// before the end; each window forecasts the `horizon` rows from its origin on.
struct BacktestPlan {
  std::int64_t horizon = 1;
  std::int64_t n_windows = 1;
  std::int64_t step = 1;
  // A fresh training on the rows before every origin; otherwise one training on the rows
  // before the first origin, then the rows up to each later origin fed to working copies
  // (O(1) per row).
  bool refit = false;
  std::vector<double> levels;  // interval coverages in percent (0 < level < 100)
};

struct Backtest {
  std::size_t horizon = 0;
  std::size_t cols = 0;
  // Per window: the index of its first forecast row (the window trains on the rows before it).
  std::vector<std::size_t> origins;
  // Per window, `horizon` forecast times.
  std::vector<double> times;
  // Forecasts on the data's scale, per window a block of horizon x cols, row-major.
  std::vector<double> forecasts;
  // Interval bounds, per level (in the plan's order) the windows' blocks as `forecasts`.
  std::vector<double> lower, upper;
};

// The origins of the plan's windows over n_rows rows. InvalidArgument (naming the argument and
// its value) for a horizon, window count or step below 1, or windows that leave no row to
// train on.
std::vector<std::size_t> backtest_origins(std::size_t n_rows, const BacktestPlan& plan);

// A session trained on the first `n_train` rows of the backtest's data.
using TrainFn = std::function<Forecaster(std::size_t n_train)>;

// Rolling-origin evaluation over `rows` (every row of the series, on the data's scale, with
// their timestamps or null for rows one step apart). With regressors (rows.n_regressors), each
// window forecasts with the regressors of the rows it forecasts. `train` is called once (refit
// false) or once per window (refit true). A window whose rows cannot be fed (a value the
// session's log transform cannot take) or whose forecast fails raises InvalidArgument / the
// model's error.
Backtest cross_validate(const Rows& rows, const BacktestPlan& plan, const TrainFn& train);

// Mean sMAPE (smape_term) over a block of forecasts and truths (n_rows x cols, row-major):
// the mean over each row's values, then over the rows weighted by `weights` (null: equal).
// InvalidArgument when the weights sum to zero.
double mean_smape(const double* truth, const double* forecast, std::size_t n_rows, std::size_t cols,
                  const double* weights);

}  // namespace tarn

#pragma GCC visibility pop
