#include "tarn/auto.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "series_util.hpp"
#include "tarn/intervals.hpp"
#include "tarn/model_table.hpp"
#include "tarn/season.hpp"
#include "tarn/training_buffer.hpp"

namespace tarn {
namespace {

// The candidate families, in the order of the table of models (the order affects the
// selector's results: it is the order of its options and of its ties).
const std::vector<std::string>& all_families() {
  static const std::vector<std::string> names = candidate_families();
  return names;
}

// The families of the table with one of `roles`, in table order.
std::vector<std::string> families_with(std::initializer_list<CandidateRole> roles) {
  std::vector<std::string> out;
  for (const auto& e : model_table()) {
    if (std::find(roles.begin(), roles.end(), e.candidate) != roles.end()) out.push_back(e.name);
  }
  return out;
}

// The families tried by default on series that are not intermittent.
const std::vector<std::string>& regular_families() {
  static const std::vector<std::string> names =
      families_with({CandidateRole::Combined, CandidateRole::Baseline});
  return names;
}

// The families tried on intermittent series.
const std::vector<std::string>& intermittent_families() {
  static const std::vector<std::string> names = families_with({CandidateRole::Intermittent});
  return names;
}

// The families of the baseline (the only candidates when the data are too few for a search).
const std::vector<std::string>& baseline_families() {
  static const std::vector<std::string> names = families_with({CandidateRole::Baseline});
  return names;
}

// The families added for a season longer than the season search reaches, or several seasons.
const std::vector<std::string>& long_season_families() {
  static const std::vector<std::string> names = families_with({CandidateRole::LongSeason});
  return names;
}

bool in_combination(const std::string& name) {
  const ModelEntry* e = find_model(name);
  return e &&
         (e->candidate == CandidateRole::Combined || e->candidate == CandidateRole::Intermittent ||
          e->candidate == CandidateRole::Requested || e->candidate == CandidateRole::LongSeason);
}

// A new, untrained candidate of family `name` for n training values with season length m.
std::unique_ptr<Model> make_candidate(const std::string& name, std::int64_t n, int m) {
  const ModelEntry* e = find_model(name);
  if (!e || e->candidate == CandidateRole::None) {
    throw InvalidArgument("auto: unknown candidate family '" + name + "'");
  }
  return e->make_candidate(n, m);
}

// A finite forecast of `model` h steps ahead, or NaN when it cannot give one.
// Coverage of plus or minus one standard deviation of a normal distribution.
constexpr double kOneSigma = 0.6826894921370859;

// The largest squared error counted on the rolling origins, so that the sums stay finite.
constexpr double kMaxError = 1e300;

double safe_forecast(const Model& model, double h) {
  try {
    const double v = model.forecast_steps(h);
    return std::isfinite(v) ? v : detail::nan_value();
  } catch (const std::exception&) {
    return detail::nan_value();
  }
}

}  // namespace

// Syntetos, Boylan & Croston (2005): demand whose average interval between demands (ADI)
// exceeds 1.32 periods is intermittent (or lumpy), and Croston-type methods forecast it better
// than smoothing of the values does.
bool auto_detail::has_long_seasons(const double* y, std::size_t n, int limit,
                                   const std::vector<double>& calendar) {
  const std::vector<int> periods = detect_seasons(y, n, calendar);
  return periods.size() >= 2 || (!periods.empty() && periods.back() > limit);
}

bool auto_detail::is_intermittent(const double* y, std::size_t n) {
  std::size_t observed = 0, demands = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(y[i])) continue;
    if (y[i] < 0.0) return false;  // not demand data
    ++observed;
    if (y[i] != 0.0) ++demands;
  }
  return demands > 0 &&
         static_cast<double>(observed) > kIntermittentAdi * static_cast<double>(demands);
}

double auto_detail::mean_of(const std::vector<double>& f) {
  if (f.empty()) return detail::nan_value();
  // Averaged on the scale of the largest magnitude: every term lies in [-1, 1], so neither the
  // sum nor the result can overflow.
  double scale = 0.0;
  for (double v : f) scale = std::max(scale, std::fabs(v));
  if (!(scale > 0.0) || !std::isfinite(scale)) return scale == 0.0 ? 0.0 : detail::nan_value();
  double sum = 0.0;
  for (double v : f) sum += v / scale;
  return scale * (sum / static_cast<double>(f.size()));
}

double auto_detail::drift_standard_error(const std::vector<double>& y, int m, double* drift) {
  const auto lag = static_cast<std::size_t>(std::max(m, 1));
  // Welford's running mean and variance of the differences (finite values only).
  double count = 0.0, mean = 0.0, m2 = 0.0;
  for (std::size_t i = lag; i < y.size(); ++i) {
    const double d = y[i] - y[i - lag];
    if (!std::isfinite(d)) continue;
    count += 1.0;
    const double delta = d - mean;
    mean += delta / count;
    m2 += delta * (d - mean);
  }
  if (drift) *drift = count > 0.0 ? mean / static_cast<double>(lag) : 0.0;
  if (count < 3.0) return 0.0;  // fewer than three differences: nothing to say
  // Differences at lag m overlap: count / m of them are about independent.
  const double se = std::sqrt(m2 / (count - 1.0)) / std::sqrt(count / static_cast<double>(lag)) /
                    static_cast<double>(lag);
  return std::isfinite(se) ? se : 0.0;
}

double auto_detail::drift_shrinkage(double drift, double se) {
  if (!(se > 0.0) || !std::isfinite(drift)) return 1.0;
  const double t = drift / se;
  return std::max(0.0, 1.0 - 1.0 / (t * t));
}

double auto_detail::drift_checked_steps(double n) {
  return std::clamp(n - HorizonCalibration::kMinOrigins, 0.0, n / 3.0);
}

double auto_detail::median_of(std::vector<double> f) {
  f.erase(std::remove_if(f.begin(), f.end(), [](double v) { return !std::isfinite(v); }), f.end());
  if (f.empty()) return detail::nan_value();
  const std::size_t mid = f.size() / 2;
  std::nth_element(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(mid), f.end());
  const double hi = f[mid];
  if (f.size() % 2) return hi;
  const double lo = *std::max_element(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(mid));
  return lo + 0.5 * (hi - lo);  // cannot overflow
}

double auto_detail::weighted_mean_of(const std::vector<double>& f, const std::vector<double>& w) {
  double scale = 0.0, total = 0.0;
  for (std::size_t i = 0; i < f.size(); ++i) {
    if (!(w[i] > 0.0) || !std::isfinite(f[i])) continue;
    scale = std::max(scale, std::fabs(f[i]));
    total += w[i];
  }
  if (!(total > 0.0) || !std::isfinite(total)) return detail::nan_value();
  if (scale == 0.0) return 0.0;
  double sum = 0.0;
  for (std::size_t i = 0; i < f.size(); ++i) {
    if (w[i] > 0.0 && std::isfinite(f[i])) sum += (w[i] / total) * (f[i] / scale);
  }
  return scale * sum;
}

std::vector<double> auto_detail::rolling_origin_weights(
    const std::vector<std::vector<double>>& mse) {
  const std::size_t nc = mse.size();
  std::vector<double> w(nc, nc ? 1.0 / static_cast<double>(nc) : 0.0);
  std::size_t steps = 0;
  for (const auto& m : mse) steps = std::max(steps, m.size());
  std::vector<double> sum(nc, 0.0), count(nc, 0.0);
  for (std::size_t k = 0; k < steps; ++k) {
    auto at = [&](std::size_t c) {
      const double v = k < mse[c].size() ? mse[c][k] : detail::nan_value();
      return v >= 0.0 ? std::min(v, std::numeric_limits<double>::max()) : detail::nan_value();
    };
    // The mean over the candidates measured at this step, on the scale of the largest.
    double top = 0.0, n = 0.0;
    for (std::size_t c = 0; c < nc; ++c) {
      const double v = at(c);
      if (v >= 0.0) {
        top = std::max(top, v);
        n += 1.0;
      }
    }
    if (!(top > 0.0)) continue;  // every measured candidate exact: the step tells nothing
    double rel = 0.0;
    for (std::size_t c = 0; c < nc; ++c) {
      if (at(c) >= 0.0) rel += at(c) / top;
    }
    const double mean = rel / n;  // relative to top
    for (std::size_t c = 0; c < nc; ++c) {
      if (!(at(c) >= 0.0)) continue;
      sum[c] += at(c) / top / mean;
      count[c] += 1.0;
    }
  }
  std::vector<double> score(nc, 1.0);
  bool measured = false, exact = false;
  for (std::size_t c = 0; c < nc; ++c) {
    if (count[c] > 0.0) {
      score[c] = sum[c] / count[c];
      measured = true;
      exact = exact || score[c] == 0.0;
    }
  }
  if (!measured) return w;
  double total = 0.0;
  for (std::size_t c = 0; c < nc; ++c) {
    // A candidate without error takes the weight (shared with any other such one).
    w[c] = exact ? (score[c] == 0.0 ? 1.0 : 0.0) : 1.0 / score[c];
    total += w[c];
  }
  for (double& v : w) v /= total;
  return w;
}

// Rolling origins inside the training data (Tashman 2000): the candidates are fitted once on
// the first two thirds of the values, then fed the last third one value at a time (their O(1)
// update, no refit per origin), forecasting up to `window_` steps from every origin; each
// candidate's errors at every step weigh it (auto_detail::rolling_origin_weights). Weights
// inversely proportional to out-of-sample mean squared errors are Bates & Granger (1969); the
// origins inside the training data give them right after the fit, where the errors since the
// fit cannot yet.
void AutoSelector::weigh_on_origins(std::int64_t start, std::int64_t size) {
  origin_w_.clear();
  const std::int64_t held = (size - start) / 3;
  const std::int64_t origin = size - held;
  if (held < auto_detail::kMinOrigins || origin - start < kMinTraining) return;
  const auto steps =
      static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(window_), held));
  std::vector<std::vector<double>> mse;
  std::vector<std::size_t> idx;
  std::vector<double> path(steps), sum(steps), count(steps);
  for (std::size_t i = 0; i < cands_.size(); ++i) {
    if (!cands_[i].in_combination) continue;
    idx.push_back(i);
    mse.emplace_back();
    try {
      std::unique_ptr<Model> model = make_candidate(cands_[i].name, origin - start, m_);
      for (std::int64_t t = start; t < origin; ++t) {
        model->update(t, train_[static_cast<std::size_t>(t)]);
      }
      if (!model->is_initialized()) continue;
      std::fill(sum.begin(), sum.end(), 0.0);
      std::fill(count.begin(), count.end(), 0.0);
      for (std::int64_t o = origin; o < size; ++o) {
        const auto reach = std::min<std::size_t>(steps, static_cast<std::size_t>(size - o));
        model->forecast_path(reach, path.data());
        for (std::size_t k = 0; k < reach; ++k) {
          const double y = train_[static_cast<std::size_t>(o) + k];
          if (!std::isfinite(y)) continue;
          // A forecast that is no number is as bad as the largest error there can be.
          const double e = std::isfinite(path[k]) ? y - path[k] : kMaxError;
          sum[k] = std::min(sum[k] + std::min(e * e, kMaxError), kMaxError);
          count[k] += 1.0;
        }
        model->update(o, train_[static_cast<std::size_t>(o)]);
      }
      mse.back().assign(steps, detail::nan_value());
      for (std::size_t k = 0; k < steps; ++k) {
        if (count[k] > 0.0) mse.back()[k] = sum[k] / count[k];
      }
    } catch (const std::exception&) {
      mse.back().clear();  // a candidate that cannot be measured scores as the average
    }
  }
  if (idx.empty()) return;
  std::vector<double> w = auto_detail::rolling_origin_weights(mse);
  if (config_.combination == "trimmed") w = auto_detail::trim_worst(w);
  origin_w_.assign(cands_.size(), 0.0);
  for (std::size_t k = 0; k < idx.size(); ++k) origin_w_[idx[k]] = w[k];
}

std::vector<double> auto_detail::trim_worst(const std::vector<double>& w) {
  if (w.size() < 3) return std::vector<double>(w.size(), w.empty() ? 0.0 : 1.0 / w.size());
  const auto worst = static_cast<std::size_t>(std::min_element(w.begin(), w.end()) - w.begin());
  std::vector<double> out(w.size(), 1.0 / static_cast<double>(w.size() - 1));
  out[worst] = 0.0;
  return out;
}

bool auto_detail::is_combination_rule(const std::string& rule) {
  return rule == "mean" || rule == "median" || rule == "weighted" || rule == "trimmed";
}

void AutoSelector::ErrorWindow::add(double e, std::size_t size) {
  if (errors.size() != size) {
    errors.assign(size, 0.0);
    next = count = 0;
    sum = 0.0;
  }
  // Each error is at most the largest double over the window size, so the sum stays finite.
  e = std::min(e, std::numeric_limits<double>::max() / static_cast<double>(size));
  if (count == size) sum -= errors[next];
  // Bounded so that the window's sum stays finite (and the state loadable) whatever the errors.
  e = std::min(e, std::numeric_limits<double>::max() / static_cast<double>(size + 1));
  errors[next] = e;
  sum += e;
  next = (next + 1) % size;
  count = std::min(count + 1, size);
  // Refresh the running sum now and then so rounding cannot drift.
  if (next == 0) {
    sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) sum += errors[i];
  }
}

AutoSelector::AutoSelector(AutoConfig config) : config_(std::move(config)) {
  config_.min_training_data = std::max(config_.min_training_data, kMinTraining);
  if (!auto_detail::is_combination_rule(config_.combination)) {
    throw InvalidArgument("auto: unknown combination rule '" + config_.combination + "'");
  }
  for (const auto& c : config_.candidates) {
    if (std::find(all_families().begin(), all_families().end(), c) == all_families().end()) {
      throw InvalidArgument("auto: unknown candidate family '" + c + "'");
    }
  }
}

AutoSelector::AutoSelector(const AutoSelector& o)
    : Model(o),
      config_(o.config_),
      season_note_(o.season_note_),
      train_(o.train_),
      fitted_(o.fitted_),
      m_(o.m_),
      window_(o.window_),
      grid_(o.grid_),
      fallback_(o.fallback_),
      errs_(o.errs_),
      choice_(o.choice_),
      origin_w_(o.origin_w_),
      cal_sum_(o.cal_sum_),
      cal_count_(o.cal_count_),
      drift_se_(o.drift_se_),
      drift_shrink_(o.drift_shrink_),
      shrink_from_(o.shrink_from_),
      drift_from_(o.drift_from_) {
  cands_.reserve(o.cands_.size());
  for (const auto& c : o.cands_) cands_.push_back({c.name, c.model->clone(), c.in_combination});
}

std::unique_ptr<Model> AutoSelector::clone() const {
  return std::make_unique<AutoSelector>(*this);
}

void AutoSelector::clear() {
  season_note_.clear();
  train_.clear();
  fitted_ = false;
  m_ = 1;
  window_ = 8;
  grid_ = 0;
  fallback_ = 0.0;
  cands_.clear();
  errs_.clear();
  choice_ = -1;
  cal_sum_ = cal_count_ = 0.0;
  drift_se_ = 0.0;
  drift_shrink_ = 1.0;
  shrink_from_ = 0.0;
  drift_from_ = 0.0;
  origin_w_.clear();
}

double AutoSelector::own_quantile_ahead(double h, double p) const {
  // The intermittent family's own quantiles (an atom at zero); the bands give the others'.
  if (!intermittent_fit()) return std::numeric_limits<double>::quiet_NaN();
  const double q = cands_.front().model->own_quantile(h, p);
  return std::isnan(q) ? q : to_fed(q);
}

bool AutoSelector::intermittent_fit() const {
  return cands_.size() == 1 && config_.candidates.empty() &&
         intermittent_families() == candidate_names();
}

std::vector<std::string> AutoSelector::candidate_names() const {
  std::vector<std::string> out;
  for (const auto& c : cands_) out.push_back(c.name);
  return out;
}

std::string AutoSelector::choice() const {
  if (choice_ >= 0) return cands_[static_cast<std::size_t>(choice_)].name;
  const bool combined = std::any_of(cands_.begin(), cands_.end(),
                                    [](const Candidate& c) { return c.in_combination; });
  // Without a model-based candidate the baseline forecasts alone.
  if (!combined && !cands_.empty()) return cands_.front().name;
  return "combination";
}

double AutoSelector::to_series(double fed) const {
  return detail::from_log_input(fed, config_.log_input_shift);
}

double AutoSelector::to_fed(double forecast) const {
  if (config_.log_input_shift > 0.0) return detail::to_log_input(forecast, config_.log_input_shift);
  return detail::bend(forecast);
}

void AutoSelector::set_calendar_seasons(const std::vector<double>& seasons) {
  if (observations() > 0) return;
  config_.calendar.clear();
  for (double c : seasons) {
    if (std::isfinite(c) && c >= 2.0 && c <= 1e6) config_.calendar.push_back(c);
  }
}

// The caller's season names the season as a calendar of one whole season does (see fit): it
// replaces the calendar's seasons.
void AutoSelector::name_season(std::int64_t m) {
  if (observations() > 0 || m < 1 || m > 1000000) return;
  config_.no_season = m == 1;
  config_.calendar.clear();
  if (m > 1) config_.calendar.push_back(static_cast<double>(m));
}

bool AutoSelector::fit_log_input(double shift) {
  if (!std::isfinite(shift) || shift < 0.0) {
    throw InvalidArgument("auto: the shift of log-transformed input must be finite and >= 0");
  }
  if (observations() > 0) {
    throw InvalidArgument("auto: the input transform is set before the first observation");
  }
  config_.log_input_shift = shift;
  return true;
}

void AutoSelector::observe(double value, std::int64_t gap) {
  value = to_series(value);
  if (!fitted_) {
    if (train_.add(value, gap, static_cast<std::size_t>(config_.min_training_data))) fit();
    return;
  }
  const std::int64_t g = grid_ + gap;
  if (std::isfinite(value)) {
    // Every candidate's forecast for this value, asked once: the scores, the calibration and
    // the forecast given all read these.
    std::vector<double>& f = step_scratch_;
    f.resize(cands_.size());
    for (std::size_t i = 0; i < cands_.size(); ++i) {
      f[i] = safe_forecast(*cands_[i].model, static_cast<double>(gap));
    }
    // Calibrates the intervals: the error of the forecast given for this value, in units of
    // the standard deviation its interval implied.
    std::vector<double> below, above;
    if (gap == 1 && output_offsets(1, kOneSigma, below, above, f.data())) {
      const double sd = 0.5 * (below.back() + above.back());
      const double u = (value - by_rule([&](std::size_t c) { return f[c]; }, comb_scratch_)) / sd;
      // An error whose square leaves the range of a double is skipped: the sum must stay a
      // number the saved state can carry.
      if (sd > 0.0 && std::isfinite(u) && std::isfinite(cal_sum_ + u * u)) {
        cal_sum_ += u * u;
        cal_count_ += 1.0;
      }
    }
    // Score every option on this value before any candidate has seen it.
    std::vector<double>& comb = comb_scratch_;
    std::vector<std::size_t>& idx = idx_scratch_;
    comb.clear();
    idx.clear();
    for (std::size_t i = 0; i < cands_.size(); ++i) {
      if (cands_[i].in_combination && std::isfinite(f[i])) {
        comb.push_back(f[i]);
        idx.push_back(i);
      }
    }
    // The combination is scored with the weights it forecast with (before the new errors).
    if (!comb.empty()) {
      const double e = std::fabs(value - combine(idx, comb));
      errs_.back().add(std::isfinite(e) ? e : std::numeric_limits<double>::max(), window_);
    }
    for (std::size_t i = 0; i < cands_.size(); ++i) {
      // A candidate without a forecast scores as badly as predicting zero.
      const double e = std::fabs(value - (std::isfinite(f[i]) ? f[i] : 0.0));
      errs_[i].add(std::isfinite(e) ? e : std::numeric_limits<double>::max(), window_);
    }
    fallback_ = value;
  }
  for (std::size_t i = 0; i < cands_.size();) {
    try {
      cands_[i].model->update(g, value);
      ++i;
    } catch (const std::exception&) {
      drop(i);
    }
  }
  grid_ = g;
  choose();
}

void AutoSelector::drop(std::size_t i) {
  cands_.erase(cands_.begin() + static_cast<std::ptrdiff_t>(i));
  errs_.erase(errs_.begin() + static_cast<std::ptrdiff_t>(i));
  if (i < origin_w_.size()) origin_w_.erase(origin_w_.begin() + static_cast<std::ptrdiff_t>(i));
  choice_ = -1;
}

void AutoSelector::choose() {
  choice_ = -1;
  const ErrorWindow& comb = errs_.back();
  if (comb.count < window_) return;
  double best = comb.mean();
  for (std::size_t i = 0; i < cands_.size(); ++i) {
    if (errs_[i].count == window_ && errs_[i].mean() < best) {
      best = errs_[i].mean();
      choice_ = static_cast<int>(i);
    }
  }
}

void AutoSelector::fit() {
  // A long sample is searched on its latest values only (see kFitWindow): the candidates fit
  // those, and the season is found in them.
  const std::size_t total = train_.size();
  const std::size_t first = fit_start(train_.values(), kFitWindow);
  const detail::CleanSeries cs = detail::clean_series(train_.values(), total - first);
  const std::size_t n = cs.y.size();
  m_ = 1;
  if (n >= 8 && !config_.no_season) {
    const int upper =
        static_cast<int>(std::min<std::size_t>(auto_detail::kSeasonSearchLimit, n / 2));
    if (upper >= 2) {
      std::vector<double> y = cs.y;
      const double s = detail::series_scale(y);
      for (auto& v : y) v /= s;
      m_ = std::max(1, detect_period(y.data(), n, upper));
      // A season near a calendar one is that one (weekly data: 52 weeks to a year, whatever
      // neighbouring lag their autocorrelation peaks at), when the data hold two of its cycles.
      const int c = calendar_period(m_, config_.calendar);
      if (c > 1 && c <= upper) m_ = c;
      // A calendar season the search could not reach (fewer than three cycles in the data),
      // tested once the data hold two of its cycles, the least that Holt-Winters initialises a
      // season from; the candidates test it again, as any season they are given. It stands
      // above a season the search found that the calendar does not know of.
      const bool known = std::any_of(config_.calendar.begin(), config_.calendar.end(),
                                     [this](double v) { return std::lround(v) == m_; });
      if (!known && !config_.calendar.empty()) {
        const int s = calendar_season(y.data(), n, config_.calendar, upper);
        if (s > 1 && 3 * static_cast<std::size_t>(s) > n) m_ = s;
      }
      // A calendar of one whole season (a monthly series' year of 12 steps, a quarterly one's
      // 4) names the season outright, as the caller's season does: every candidate is told it
      // and decides by its own criterion whether the data show it (Holt-Winters and BATS by
      // AICc among forms with and without it, ARIMA by its seasonal-differencing test and its
      // search, theta by the autocorrelation test at that lag). The search above only guards
      // data whose season nothing names.
      // A season found that spans whole cycles of the named one carries it and stays.
      const int named = named_season(config_.calendar);
      if (named > 1 && named <= upper && m_ % named != 0) m_ = named;
    }
  }
  // A named season too long for the data (fewer than two cycles) is left out, and said.
  const int named = named_season(config_.calendar);
  if (named > 1 && m_ % named != 0 && 2 * static_cast<std::size_t>(named) > n) {
    season_note_ = season_not_fitted(named, true);
  }
  window_ = config_.error_history_length > 0
                ? static_cast<std::size_t>(config_.error_history_length)
                : static_cast<std::size_t>(std::max(2 * m_, 8));
  window_ = std::min<std::size_t>(window_, 100000);
  const std::int64_t size = static_cast<std::int64_t>(train_.size());
  const std::int64_t start = static_cast<std::int64_t>(first);
  // Too few values for a model search: the latest value carries forward (the naive forecast).
  const bool intermittent =
      auto_detail::is_intermittent(train_.values().data() + first, total - first);
  std::vector<std::string> families = n < static_cast<std::size_t>(kMinTraining)
                                          ? baseline_families()
                                      : !config_.candidates.empty() ? config_.candidates
                                      : intermittent                ? intermittent_families()
                                                                    : regular_families();
  // Several seasons, or one beyond the season search: the single-season families (seasonal
  // naive included) model at most the one season m_ and leave the rest in their errors, so
  // they are misspecified for these data and only the families that carry every season found
  // take part: selection among correctly specified models only (Burnham & Anderson 2002,
  // ch. 2). A single-season option would otherwise still win the choice on a short window of
  // one-step errors, which the other seasons hardly touch, and miss them over the horizon.
  // Should none of the long-season families fit, the single-season families stand in.
  const bool long_seasons = n >= static_cast<std::size_t>(kMinTraining) &&
                            config_.candidates.empty() && !intermittent && !config_.no_season &&
                            auto_detail::has_long_seasons(
                                cs.y.data(), n, auto_detail::kSeasonSearchLimit, config_.calendar);
  if (long_seasons) families = long_season_families();
  // A season the calendar gives as a fraction of steps (a year of 52.18 weeks) drifts by that
  // fraction every cycle against the whole season the single-season families carry (what
  // trigonometric seasons were made for: De Livera, Hyndman & Snyder 2011). The decomposition
  // re-estimates each seasonal index over a span of cycles (Cleveland et al. 1990) and so
  // follows the drift: it joins their combination, on the rounded season.
  const bool fractional =
      !long_seasons && m_ > 1 && config_.candidates.empty() && !intermittent &&
      n >= static_cast<std::size_t>(kMinTraining) &&
      std::any_of(config_.calendar.begin(), config_.calendar.end(), [this](double c) {
        return std::lround(c) == m_ && std::fabs(c - static_cast<double>(m_)) > 1e-6;
      });
  if (fractional) {
    for (const auto& name : long_season_families()) families.push_back(name);
  }
  cands_.clear();
  auto fit_families = [&](const std::vector<std::string>& names) {
    for (const auto& name : names) {
      try {
        const ModelEntry* entry = find_model(name);
        std::unique_ptr<Model> model =
            fractional && entry && entry->candidate == CandidateRole::LongSeason
                ? build(name, {{"training_sample_size", Value(size - start)},
                               {"seasons", Value(static_cast<std::int64_t>(m_))}})
                : make_candidate(name, size - start, m_);
        if (!config_.calendar.empty()) model->set_calendar_seasons(config_.calendar);
        for (std::int64_t t = start; t < size; ++t) {
          model->update(t, train_[static_cast<std::size_t>(t)]);
        }
        if (!model->is_initialized() || !std::isfinite(safe_forecast(*model, 1.0))) continue;
        cands_.push_back({name, std::move(model), in_combination(name)});
      } catch (const std::exception&) {
        // A candidate that cannot be built or fitted is left out.
      }
    }
  };
  fit_families(families);
  if (long_seasons && std::none_of(cands_.begin(), cands_.end(),
                                   [](const Candidate& c) { return c.in_combination; })) {
    cands_.clear();
    families = regular_families();
    fit_families(families);
  }
  errs_.assign(cands_.size() + 1, ErrorWindow{});
  cal_sum_ = cal_count_ = 0.0;
  drift_se_ = 0.0;
  drift_shrink_ = 1.0;
  shrink_from_ = 0.0;
  drift_from_ = 0.0;
  if (families != baseline_families()) {
    // The naive baseline alone extrapolates no drift; the model-based options may.
    double drift = 0.0;
    drift_se_ = auto_detail::drift_standard_error(cs.y, m_, &drift);
    if (m_ == 1) drift_shrink_ = auto_detail::drift_shrinkage(drift, drift_se_);
    // The candidates measure how their errors grow with the horizon from rolling origins in
    // the training data; steps without origins enough to be checked on their own take the
    // drift's analytic spread instead.
    drift_from_ = auto_detail::drift_checked_steps(static_cast<double>(n));
    // The trend is measured from the first step: the forecast's departure from it.
    shrink_from_ = 1.0;
  }
  origin_w_.clear();
  if (uses_origins() && families != baseline_families() && !intermittent) {
    weigh_on_origins(start, size);
  }
  grid_ = size - 1;
  fallback_ = n ? cs.y.back() : 0.0;
  choice_ = -1;
  fitted_ = true;
  train_.clear();
}

std::vector<double> AutoSelector::output_weights(const double* one_step) const {
  // Each candidate's one-step forecast: given, or asked when needed.
  auto ahead = [&](std::size_t i) {
    return one_step ? one_step[i] : safe_forecast(*cands_[i].model, 1.0);
  };
  std::vector<double> w(cands_.size(), 0.0);
  if (choice_ >= 0 && std::isfinite(ahead(static_cast<std::size_t>(choice_)))) {
    w[static_cast<std::size_t>(choice_)] = 1.0;
    return w;
  }
  std::vector<std::size_t> idx;
  for (std::size_t i = 0; i < cands_.size(); ++i) {
    if (cands_[i].in_combination && std::isfinite(ahead(i))) idx.push_back(i);
  }
  double used = 0.0;
  const std::vector<double> cw = combination_weights(idx);
  for (std::size_t k = 0; k < idx.size(); ++k) {
    w[idx[k]] = cw[k];
    used += cw[k];
  }
  if (!(used > 0.0)) {
    for (std::size_t i = 0; i < cands_.size(); ++i) {
      if (std::isfinite(ahead(i))) {
        w[i] = 1.0;
        return w;
      }
    }
    return w;
  }
  for (double& v : w) v /= used;
  return w;
}

// The candidates' errors are strongly dependent (they forecast the same series from the same
// data), so the combination's error is taken as comonotone in theirs: its quantiles are then
// the weighted sums of theirs, asymmetric bands included. The calibration below corrects what
// this gets wrong on the series at hand.
bool AutoSelector::output_offsets(std::int64_t h, double coverage, std::vector<double>& below,
                                  std::vector<double>& above, const double* one_step) const {
  std::vector<double> w = output_weights(one_step);
  for (int pass = 0; pass < 2; ++pass) {
    if (pass == 1) {
      // None of the candidates behind the forecast can tell its uncertainty yet (a state of
      // an older format): the others' bands, in equal shares, stand in for theirs.
      std::fill(w.begin(), w.end(), 1.0);
    }
    if (offsets_with(w, h, coverage, below, above, one_step)) return true;
  }
  return false;
}

bool AutoSelector::offsets_with(const std::vector<double>& w, std::int64_t h, double coverage,
                                std::vector<double>& below, std::vector<double>& above,
                                const double* one_step) const {
  below.assign(static_cast<std::size_t>(h), 0.0);
  above.assign(static_cast<std::size_t>(h), 0.0);
  const auto n = static_cast<std::size_t>(h);
  // One buffer for the five paths (lower, upper, point, weighted sums of f and f^2).
  std::vector<double> buf(5 * n, 0.0);
  double* lo = buf.data();
  double* hi = lo + n;
  double* point = hi + n;
  double* sum_f = point + n;
  double* sum_f2 = sum_f + n;
  double total = 0.0;
  for (std::size_t i = 0; i < cands_.size(); ++i) {
    if (w[i] <= 0.0) continue;
    try {
      cands_[i].model->forecast_interval_path(h, coverage, lo, hi);
    } catch (const std::exception&) {
      continue;  // a candidate that cannot tell its uncertainty yet; the others share its weight
    }
    // A one-step path is the one-step forecast (given when finite).
    if (n == 1 && one_step && std::isfinite(one_step[i])) {
      point[0] = one_step[i];
    } else {
      cands_[i].model->forecast_path(n, point);
    }
    for (std::size_t j = 0; j < n; ++j) {
      const double f = point[j];
      below[j] += w[i] * std::max(f - lo[j], 0.0);
      above[j] += w[i] * std::max(hi[j] - f, 0.0);
      sum_f[j] += w[i] * f;
      sum_f2[j] += w[i] * f * f;
    }
    total += w[i];
  }
  if (!(total > 0.0)) return false;
  // Model uncertainty: by the law of total variance the forecast distribution averaged over
  // the candidates also spreads as far as their forecasts disagree (their weighted variance,
  // at the quantile of the coverage asked for).
  const double q = normal_quantile(0.5 + coverage / 2.0);
  for (std::size_t j = 0; j < n; ++j) {
    below[j] /= total;
    above[j] /= total;
    const double mean = sum_f[j] / total;
    const double spread = std::max(sum_f2[j] / total - mean * mean, 0.0) * q * q;
    if (std::isfinite(spread)) {
      below[j] = std::sqrt(below[j] * below[j] + spread);
      above[j] = std::sqrt(above[j] * above[j] + spread);
    }
  }
  return true;
}

// Bates & Granger (1969): weights inversely proportional to each forecast's mean squared
// error; here the out-of-sample one-step errors on the rolling origins since the fit (the
// window's mean absolute error, squared). Until every candidate has a full window of them, the
// weights measured on rolling origins inside the training data (weigh_on_origins), else
// (too few origins, or an older state) equal weights.
std::vector<double> AutoSelector::combination_weights(const std::vector<std::size_t>& idx) const {
  std::vector<double> w(idx.size(), 1.0);
  if (!uses_origins()) return w;
  for (std::size_t k = 0; k < idx.size(); ++k) {
    const ErrorWindow& e = errs_[idx[k]];
    if (e.count >= window_ && config_.combination == "weighted") continue;
    double total = 0.0;
    if (origin_w_.size() == cands_.size()) {
      for (std::size_t j = 0; j < idx.size(); ++j) total += w[j] = origin_w_[idx[j]];
    }
    return total > 0.0 ? w : std::vector<double>(idx.size(), 1.0);
  }
  double best = std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < idx.size(); ++k) best = std::min(best, errs_[idx[k]].mean());
  for (std::size_t k = 0; k < idx.size(); ++k) {
    // Relative to the best, so the ratios stay finite; a perfect candidate takes the weight.
    const double mae = errs_[idx[k]].mean();
    const double r = best > 0.0 ? mae / best : (mae > 0.0 ? 1e6 : 1.0);
    w[k] = 1.0 / std::min(r * r, 1e12);
  }
  return w;
}

double AutoSelector::combine(const std::vector<std::size_t>& idx,
                             const std::vector<double>& f) const {
  if (config_.combination == "median") return auto_detail::median_of(f);
  if (uses_origins()) return auto_detail::weighted_mean_of(f, combination_weights(idx));
  return auto_detail::mean_of(f);
}

// Ratio of the output forecast's squared errors to their predicted variances since the fit,
// starting from one (the candidates' own estimate) as a single prior observation.
double AutoSelector::calibration() const {
  return (1.0 + cal_sum_) / (1.0 + cal_count_);
}

void AutoSelector::interval_ahead(std::int64_t h, double coverage, double* lower,
                                  double* upper) const {
  if (intermittent_fit()) {
    // The intermittent family's own bounds: quantiles of a single period's demand, which has
    // an atom at zero; offsets scaled about the forecast would misplace them.
    cands_.front().model->forecast_interval_path(h, coverage, lower, upper);
    for (std::int64_t k = 0; k < h; ++k) {
      lower[k] = to_fed(lower[k]);
      upper[k] = to_fed(upper[k]);
    }
    return;
  }
  std::vector<double> below, above;
  if (!output_offsets(h, coverage, below, above)) {
    throw NotInitialized("auto model: no candidate knows its forecast errors yet");
  }
  widen_for_drift(coverage, below, above);
  const double c = std::sqrt(calibration());
  std::vector<double> steps(static_cast<std::size_t>(h)), f(steps.size());
  for (std::size_t j = 0; j < steps.size(); ++j) steps[j] = static_cast<double>(j + 1);
  series_path(steps.data(), steps.size(), f.data());
  for (std::int64_t k = 0; k < h; ++k) {
    // On the series' own scale; a log-transformed input takes the quantiles through the
    // (monotone) transform.
    const auto j = static_cast<std::size_t>(k);
    lower[k] = to_fed(f[j] - c * below[j]);
    upper[k] = to_fed(f[j] + c * above[j]);
  }
}

// The candidates' bands take their own parameters as known. A drift estimated from few values
// is not: its standard error adds j se at step j, independent of the rest, so in quadrature.
void AutoSelector::widen_for_drift(double coverage, std::vector<double>& below,
                                   std::vector<double>& above) const {
  if (!(drift_se_ > 0.0)) return;
  const double q = normal_quantile(0.5 + coverage / 2.0);
  for (std::size_t j = 0; j < below.size(); ++j) {
    if (static_cast<double>(j + 1) <= drift_from_) continue;
    const double extra = q * static_cast<double>(j + 1) * drift_se_;
    const double b = std::sqrt(below[j] * below[j] + extra * extra);
    const double a = std::sqrt(above[j] * above[j] + extra * extra);
    if (std::isfinite(b)) below[j] = b;
    if (std::isfinite(a)) above[j] = a;
  }
}

bool AutoSelector::fit_available() {
  if (!fitted_ && train_.finite() > 0) fit();
  return fitted_;
}

double AutoSelector::forecast_ahead(double h) const {
  return to_fed(series_forecast(h));
}

// The forecast the selector gives, from each candidate's forecast `of(c)` (NaN where it has
// none): the chosen candidate's, else the mean of the combination, else the baseline's; `f` is
// scratch space.
template <class Of>
double AutoSelector::by_rule(Of&& of, std::vector<double>& f) const {
  if (choice_ >= 0) {
    const double v = of(static_cast<std::size_t>(choice_));
    if (std::isfinite(v)) return v;
  }
  f.clear();
  std::vector<std::size_t> idx;
  for (std::size_t c = 0; c < cands_.size(); ++c) {
    if (!cands_[c].in_combination) continue;
    const double v = of(c);
    if (std::isfinite(v)) {
      f.push_back(v);
      idx.push_back(c);
    }
  }
  if (!f.empty()) return detail::finite_or(combine(idx, f), fallback_);
  for (std::size_t c = 0; c < cands_.size(); ++c) {  // only the baseline is left
    const double v = of(c);
    if (std::isfinite(v)) return v;
  }
  return fallback_;
}

double AutoSelector::rule_forecast(double h) const {
  std::vector<double> scratch;
  return by_rule([&](std::size_t c) { return safe_forecast(*cands_[c].model, h); }, scratch);
}

// Without a season, the forecast's moves after step shrink_from_ are its trend: they are kept
// only in proportion to the evidence of a drift in the training data.
double AutoSelector::series_forecast(double h) const {
  const double f = rule_forecast(h);
  const double from = shrink_from_;
  if (drift_shrink_ >= 1.0 || !(from >= 1.0) || h <= from) return f;
  return shrink_drift(rule_forecast(from), f);
}

double AutoSelector::shrink_drift(double anchor, double f) const {
  const double v = anchor + drift_shrink_ * (f - anchor);
  return std::isfinite(v) ? v : f;
}

// The per-step rule of forecast_ahead over a whole path: every candidate's path is computed
// once (and only when a step needs it).
void AutoSelector::forecast_path_ahead(const double* h, std::size_t n, double* out) const {
  series_path(h, n, out);
  for (std::size_t i = 0; i < n; ++i) out[i] = to_fed(out[i]);
}

// series_forecast over a path of step counts.
void AutoSelector::series_path(const double* h, std::size_t n, double* out) const {
  if (n == 1) {
    // One step (a forecast after each new row): each candidate's single forecast, which is
    // its path's value there.
    out[0] = series_forecast(h[0]);
    return;
  }
  std::vector<std::vector<double>> paths(cands_.size());
  auto path = [&](std::size_t c) -> const std::vector<double>& {
    std::vector<double>& p = paths[c];
    if (p.empty() && n > 0) {
      p.resize(n);
      try {
        cands_[c].model->forecast_steps(h, n, p.data());
        for (double& v : p) {
          if (!std::isfinite(v)) v = detail::nan_value();
        }
      } catch (const std::exception&) {
        for (std::size_t i = 0; i < n; ++i) p[i] = safe_forecast(*cands_[c].model, h[i]);
      }
    }
    return p;
  };
  std::vector<double> f;
  f.reserve(cands_.size());
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = by_rule([&](std::size_t c) { return path(c)[i]; }, f);
  }
  const double from = shrink_from_;
  if (drift_shrink_ < 1.0 && from >= 1.0) {
    double anchor = detail::nan_value();
    for (std::size_t i = 0; i < n; ++i) {
      if (h[i] <= from) continue;
      if (!std::isfinite(anchor)) anchor = h[0] == from ? out[0] : rule_forecast(from);
      out[i] = shrink_drift(anchor, out[i]);
    }
  }
}

std::string AutoSelector::describe() const {
  std::ostringstream os;
  os << "auto(min_training_data=" << config_.min_training_data
     << ", error_history_length=" << config_.error_history_length;
  if (config_.log_input_shift > 0.0) {
    os << ", fed ln(x + " << config_.log_input_shift << "), fitted on x";
  }
  os << ")";
  if (fitted_) {
    os << ": season=" << m_ << " window=" << window_ << " using " << choice() << " of [";
    for (std::size_t i = 0; i < cands_.size(); ++i) {
      os << (i ? "; " : "") << cands_[i].model->describe();
      if (errs_[i].count) os << " mae=" << errs_[i].mean();
    }
    os << "]";
    if (intermittent_fit()) {
      os << " (intermittent demand)";
    }
    if (choice() != "combination" && choice_ < 0) {
      os << " (no model-based candidate: too few values for a model search, naive forecast)";
    }
  }
  return os.str();
}

namespace {
// 2: the drift's standard error and the first step it widens; the combination rule (older
// states: no drift terms, combined by the mean).
// 3: the weights from the rolling origins of the training data (older states: none).
// 4: the calendar's seasons (older states: none).
// 5: whether the caller said there is no season (older states: not said).
constexpr std::uint16_t kAutoVersion = 5;
}  // namespace

void AutoSelector::save(Writer& w) const {
  w.put<std::uint16_t>(kAutoVersion);
  w.put<std::int64_t>(config_.min_training_data);
  w.put<std::int64_t>(config_.error_history_length);
  w.put<std::uint64_t>(config_.candidates.size());
  for (const auto& c : config_.candidates) w.put_string(c);
  w.put<double>(config_.log_input_shift);
  w.put_string(config_.combination);
  w.put_vector(config_.calendar);
  w.put_bool(config_.no_season);
  w.put_bool(fitted_);
  if (!fitted_) {
    train_.save(w);
    return;
  }
  w.put<std::int64_t>(m_);
  w.put<std::int64_t>(static_cast<std::int64_t>(window_));
  w.put<std::int64_t>(grid_);
  w.put<double>(fallback_);
  w.put<std::int64_t>(choice_);
  w.put<std::uint64_t>(cands_.size());
  for (const auto& c : cands_) {
    w.put_string(c.name);
    w.put_bool(c.in_combination);
    w.put_string(c.model->serialize());
  }
  for (const auto& e : errs_) {
    w.put_vector(e.errors);
    w.put<std::uint64_t>(e.next);
    w.put<std::uint64_t>(e.count);
    w.put<double>(e.sum);
  }
  w.put<double>(cal_sum_);
  w.put<double>(cal_count_);
  w.put<double>(drift_se_);
  w.put<double>(drift_shrink_);
  w.put<double>(shrink_from_);
  w.put<double>(drift_from_);
  w.put_vector(origin_w_);
}

void AutoSelector::load(Reader& r) {
  const auto version = r.get<std::uint16_t>();
  if (version < 1 || version > kAutoVersion) throw FormatError("model state: unknown auto version");
  AutoConfig c;
  c.min_training_data = r.get_count(kMinTraining, 100000000);
  c.error_history_length = r.get<std::int64_t>();
  const auto nc = r.get_count(0, static_cast<std::int64_t>(all_families().size()));
  for (std::int64_t i = 0; i < nc; ++i) {
    c.candidates.push_back(r.get_string());
    const auto& f = all_families();
    if (std::find(f.begin(), f.end(), c.candidates.back()) == f.end()) {
      throw FormatError("model state: unknown auto candidate");
    }
  }
  if (r.version() >= 3) {  // older states knew no input transform
    c.log_input_shift = r.get<double>();
    if (!std::isfinite(c.log_input_shift) || c.log_input_shift < 0.0) {
      throw FormatError("model state: bad auto input shift");
    }
  }
  c.combination = "mean";  // older states combined by the mean
  if (version >= 2) {
    c.combination = r.get_string();
    if (!auto_detail::is_combination_rule(c.combination)) {
      throw FormatError("model state: unknown auto combination rule");
    }
  }
  if (version >= 4) {
    c.calendar = r.get_vector<double>();
    for (double v : c.calendar) {
      if (!(v >= 2.0 && v <= 1e6)) throw FormatError("model state: bad auto calendar season");
    }
  }
  if (version >= 5) c.no_season = r.get_bool();
  AutoSelector s(c);
  s.fitted_ = r.get_bool();
  if (!s.fitted_) {
    s.train_.load(r, static_cast<std::size_t>(c.min_training_data), "auto");
  } else {
    s.m_ = static_cast<int>(r.get_count(1, 1000000));
    s.window_ = static_cast<std::size_t>(r.get_count(1, 100000));
    s.grid_ = r.get<std::int64_t>();
    s.fallback_ = r.get<double>();
    if (!std::isfinite(s.fallback_)) throw FormatError("model state: bad auto fallback");
    s.choice_ = static_cast<int>(r.get_count(-1, 64));
    const auto n = r.get_count(0, static_cast<std::int64_t>(all_families().size()));
    for (std::int64_t i = 0; i < n; ++i) {
      Candidate cand;
      cand.name = r.get_string();
      cand.in_combination = r.get_bool();
      cand.model = Model::deserialize(r.get_string());
      if (cand.name != cand.model->kind() || !cand.model->is_initialized()) {
        throw FormatError("model state: auto candidate does not match its name");
      }
      s.cands_.push_back(std::move(cand));
    }
    if (s.choice_ >= static_cast<int>(s.cands_.size()))
      throw FormatError("model state: bad choice");
    s.errs_.resize(s.cands_.size() + 1);
    for (auto& e : s.errs_) {
      e.errors = r.get_vector<double>();
      e.next = static_cast<std::size_t>(r.get<std::uint64_t>());
      e.count = static_cast<std::size_t>(r.get<std::uint64_t>());
      e.sum = r.get<double>();
      const bool empty = e.errors.empty();
      if ((!empty && e.errors.size() != s.window_) || e.count > e.errors.size() ||
          (empty ? e.next != 0 : e.next >= e.errors.size()) || !std::isfinite(e.sum)) {
        throw FormatError("model state: bad auto error window");
      }
      for (double v : e.errors)
        if (!(v >= 0.0)) throw FormatError("model state: bad auto error");
    }
    if (r.version() >= 3) {
      s.cal_sum_ = r.get<double>();
      s.cal_count_ = r.get<double>();
      if (!(s.cal_sum_ >= 0.0) || !(s.cal_count_ >= 0.0) || !std::isfinite(s.cal_sum_) ||
          !std::isfinite(s.cal_count_)) {
        throw FormatError("model state: bad auto calibration");
      }
    }
    if (version >= 2) {  // older states kept the whole drift and no extra spread
      s.drift_se_ = r.get<double>();
      s.drift_shrink_ = r.get<double>();
      s.shrink_from_ = r.get<double>();
      s.drift_from_ = r.get<double>();
      if (!(s.drift_se_ >= 0.0) || !(s.drift_shrink_ >= 0.0 && s.drift_shrink_ <= 1.0) ||
          !(s.shrink_from_ >= 0.0) || !std::isfinite(s.shrink_from_) ||
          !std::isfinite(s.drift_se_) || !(s.drift_from_ >= 0.0) || !std::isfinite(s.drift_from_)) {
        throw FormatError("model state: bad auto drift");
      }
    }
    if (version >= 3) {
      s.origin_w_ = r.get_vector<double>();
      if (!s.origin_w_.empty() && s.origin_w_.size() != s.cands_.size()) {
        throw FormatError("model state: bad auto weights");
      }
      for (double v : s.origin_w_) {
        if (!(v >= 0.0 && v <= 1.0)) throw FormatError("model state: bad auto weights");
      }
    }
  }
  config_ = s.config_;
  train_ = std::move(s.train_);
  fitted_ = s.fitted_;
  m_ = s.m_;
  window_ = s.window_;
  grid_ = s.grid_;
  fallback_ = s.fallback_;
  cands_ = std::move(s.cands_);
  errs_ = std::move(s.errs_);
  choice_ = s.choice_;
  cal_sum_ = s.cal_sum_;
  cal_count_ = s.cal_count_;
  drift_se_ = s.drift_se_;
  drift_shrink_ = s.drift_shrink_;
  shrink_from_ = s.shrink_from_;
  drift_from_ = s.drift_from_;
  origin_w_ = std::move(s.origin_w_);
}

std::unique_ptr<Model> build_auto(const Options& options) {
  OptionReader r("auto", options);
  AutoConfig c;
  c.min_training_data = r.integer("min_training_data", AutoSelector::kMinTraining);
  c.error_history_length = r.integer("error_history_length", 0);
  if (c.min_training_data > 100000000) r.fail("min_training_data", "is too large");
  if (c.error_history_length > 100000) r.fail("error_history_length", "is too large");
  c.combination = r.text("combination", "median");
  if (!auto_detail::is_combination_rule(c.combination)) {
    r.fail("combination", "must be \"mean\", \"median\", \"trimmed\" or \"weighted\", not '" +
                              c.combination + "'");
  }
  const std::string fam = r.text("candidates", "");
  std::stringstream ss(fam);
  std::string item;
  while (std::getline(ss, item, ',')) {
    if (item.empty()) continue;
    const auto& f = all_families();
    if (std::find(f.begin(), f.end(), item) == f.end()) {
      r.fail("candidates", "names an unknown family '" + item + "'");
    }
    c.candidates.push_back(item);
  }
  r.finish();
  return std::make_unique<AutoSelector>(c);
}

}  // namespace tarn
