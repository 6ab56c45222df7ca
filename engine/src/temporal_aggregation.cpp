#include "tarn/temporal_aggregation.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <sstream>

#include "linalg.hpp"
#include "series_util.hpp"
#include "tarn/auto.hpp"
#include "tarn/model_table.hpp"
#include "tarn/season.hpp"

namespace tarn {
namespace {

// The families forecasting every level, combined by their median: exponential smoothing (the
// base model of the temporal hierarchies' evaluation), theta and complex exponential
// smoothing, the cheap members of the selector's own combination.
const char* const kLevelFamilies[] = {"hws", "theta", "ces"};

// A forecast of `model` h steps ahead, NaN when it has none.
double member_forecast(const Model& model, double h) {
  try {
    const double v = model.forecast_steps(h);
    return std::isfinite(v) ? v : detail::nan_value();
  } catch (const std::exception&) {
    return detail::nan_value();
  }
}

}  // namespace

bool tempagg_detail::reconcile_cycle(std::size_t unknown, const std::vector<std::size_t>& first,
                                     const std::vector<std::size_t>& count,
                                     const std::vector<double>& y, double* out) {
  if (unknown == 0) return true;
  // On the scale of the largest node forecast per step, so the normal equations cannot
  // overflow.
  double scale = 0.0;
  for (std::size_t r = 0; r < y.size(); ++r) {
    if (std::isfinite(y[r])) scale = std::max(scale, std::fabs(y[r]) / count[r]);
  }
  if (!(scale > 0.0) || !std::isfinite(scale)) scale = 1.0;
  std::vector<double> a(unknown * unknown, 0.0), b(unknown, 0.0);
  for (std::size_t r = 0; r < y.size(); ++r) {
    if (!std::isfinite(y[r]) || count[r] == 0 || first[r] + count[r] > unknown) continue;
    const double w = 1.0 / static_cast<double>(count[r]);
    const double v = y[r] / scale;
    for (std::size_t i = first[r]; i < first[r] + count[r]; ++i) {
      b[i] += w * v;
      for (std::size_t j = first[r]; j <= i; ++j) a[i * unknown + j] += w;
    }
  }
  detail::CholeskyChecks checks;
  checks.finite_pivots = true;
  checks.finite_solution = true;
  if (!detail::cholesky_solve(a.data(), b.data(), unknown, checks)) return false;
  for (std::size_t i = 0; i < unknown; ++i) out[i] = b[i] * scale;
  return true;
}

TemporalAggregation::TemporalAggregation(const TemporalAggregation& o)
    : Model(o),
      config_(o.config_),
      train_(o.train_),
      fitted_(o.fitted_),
      m_(o.m_),
      cycle_pos_(o.cycle_pos_) {
  for (const Level& l : o.levels_) {
    Level c;
    c.k = l.k;
    c.bucket = l.bucket;
    c.pos = l.pos;
    c.partial = l.partial;
    c.names = l.names;
    for (const auto& model : l.models) c.models.push_back(model->clone());
    levels_.push_back(std::move(c));
  }
}

std::unique_ptr<Model> TemporalAggregation::clone() const {
  return std::make_unique<TemporalAggregation>(*this);
}

std::size_t TemporalAggregation::target_size() const {
  return static_cast<std::size_t>(config_.training_sample_size > 0 ? config_.training_sample_size
                                                                   : kDefaultTrainingSize);
}

void TemporalAggregation::adopt(TemporalAggregation&& o) {
  config_ = o.config_;
  train_ = std::move(o.train_);
  fitted_ = o.fitted_;
  m_ = o.m_;
  cycle_pos_ = o.cycle_pos_;
  levels_ = std::move(o.levels_);
}

void TemporalAggregation::clear() {
  adopt(TemporalAggregation(config_));
}

std::vector<int> TemporalAggregation::levels() const {
  std::vector<int> out;
  for (const Level& l : levels_) out.push_back(l.k);
  return out;
}

void TemporalAggregation::fit() {
  const std::vector<double>& all = train_.values();
  const std::size_t first = fit_start(all, kFitWindow);
  std::vector<double> y(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
  const std::size_t n = y.size();
  // The season: as configured, else found in the (cleaned, scaled) training values.
  std::int64_t m = config_.season_length;
  if (m <= 0) {
    m = 1;
    std::vector<double> c = detail::clean_series(y).y;
    if (c.size() >= 8) {
      const double s = detail::series_scale(c);
      for (double& v : c) v /= s;
      const int upper = static_cast<int>(std::min<std::size_t>(200, c.size() / 2));
      if (upper >= 2) m = std::max(1, detect_period(c.data(), c.size(), upper));
    }
  }
  if (m > kMaxSeason) m = 1;
  std::vector<Level> levels;
  for (std::int64_t k = 1; k <= m; ++k) {
    if (m % k) continue;
    const auto q = static_cast<std::int64_t>(n) / k;  // whole buckets, aligned to the end
    if (k > 1 && q < kMinBuckets) continue;
    if (q < 1) continue;
    Level level;
    level.k = static_cast<int>(k);
    const std::size_t skip = n - static_cast<std::size_t>(q * k);
    std::vector<double> sums(static_cast<std::size_t>(q), 0.0);
    for (std::int64_t b = 0; b < q; ++b) {
      for (std::int64_t j = 0; j < k; ++j)
        sums[static_cast<std::size_t>(b)] += y[skip + static_cast<std::size_t>(b * k + j)];
    }
    for (const char* name : kLevelFamilies) {
      try {
        const ModelEntry* e = find_model(name);
        std::unique_ptr<Model> model = e->make_candidate(q, static_cast<int>(m / k));
        for (std::int64_t b = 0; b < q; ++b) model->update(b, sums[static_cast<std::size_t>(b)]);
        if (!model->is_initialized() || !std::isfinite(member_forecast(*model, 1.0))) continue;
        level.names.emplace_back(name);
        level.models.push_back(std::move(model));
      } catch (const std::exception&) {
        // A family that cannot fit this level is left out of it.
      }
    }
    if (level.models.empty()) {
      if (k == 1) break;  // no bottom level: nothing to reconcile
      continue;
    }
    level.bucket = q;
    levels.push_back(std::move(level));
  }
  if (levels.empty() || levels.front().k != 1) return;  // not ready: keeps collecting
  m_ = static_cast<int>(m);
  cycle_pos_ = 0;
  levels_ = std::move(levels);
  fitted_ = true;
  train_.clear();
}

void TemporalAggregation::observe(double value, std::int64_t gap) {
  if (!fitted_) {
    if (train_.add(value, gap, target_size())) fit();
    return;
  }
  // gap - 1 missing steps, then the value: every bucket they touch is missing.
  for (Level& l : levels_) {
    const std::int64_t k = l.k;
    const std::int64_t reach = l.pos + gap;  // steps of the frame from the bucket's start
    const std::int64_t done = reach / k;     // buckets completed by this value
    const std::int64_t rest = reach % k;     // steps of the new bucket in progress
    if (gap > 1) l.partial = detail::nan_value();
    if (done >= 1) {
      // The last completed bucket holds the value when it ends with it.
      double sum = detail::nan_value();
      if (rest == 0) sum = gap == 1 ? l.partial + value : (k == 1 ? value : sum);
      const std::int64_t t = l.bucket + done - 1;
      for (std::size_t i = 0; i < l.models.size();) {
        try {
          l.models[i]->update(t, sum);
          ++i;
        } catch (const std::exception&) {
          l.models.erase(l.models.begin() + static_cast<std::ptrdiff_t>(i));
          l.names.erase(l.names.begin() + static_cast<std::ptrdiff_t>(i));
        }
      }
      l.bucket += done;
      l.partial = rest == 0 ? 0.0 : (rest == 1 ? value : detail::nan_value());
    } else {
      l.partial = gap == 1 ? l.partial + value : detail::nan_value();
    }
    l.pos = rest;
  }
  // A level whose models all failed leaves the hierarchy (level 1 keeps the model ready only
  // while it has one).
  levels_.erase(std::remove_if(levels_.begin() + 1, levels_.end(),
                               [](const Level& l) { return l.models.empty(); }),
                levels_.end());
  cycle_pos_ = (cycle_pos_ + gap % m_) % m_;
  if (levels_.front().models.empty()) {
    // Nothing forecasts the bottom level any more: collect training data afresh.
    const TemporalAggregationConfig c = config_;
    adopt(TemporalAggregation(c));
  }
}

void TemporalAggregation::level_path(const Level& level, std::size_t count,
                                     std::vector<double>& out) const {
  out.assign(count, detail::nan_value());
  if (count == 0) return;
  std::vector<std::vector<double>> paths;
  for (const auto& model : level.models) {
    std::vector<double> p(count);
    try {
      model->forecast_path(count, p.data());
    } catch (const std::exception&) {
      continue;
    }
    paths.push_back(std::move(p));
  }
  std::vector<double> f;
  for (std::size_t j = 0; j < count; ++j) {
    f.clear();
    for (const auto& p : paths) f.push_back(p[j]);
    out[j] = auto_detail::median_of(f);
  }
}

void TemporalAggregation::reconciled_path(std::size_t n, double* out) const {
  if (n == 0) return;
  const auto m = static_cast<std::size_t>(m_);
  const auto p = static_cast<std::size_t>(cycle_pos_);
  // The frame: from the first step to forecast to the end of the cycle holding step n.
  const std::size_t frame = (p + n + m - 1) / m * m - p;
  // Each level's node forecasts over the frame, the bucket in progress first.
  std::vector<std::vector<double>> node(levels_.size());
  for (std::size_t li = 0; li < levels_.size(); ++li) {
    const Level& l = levels_[li];
    const auto k = static_cast<std::size_t>(l.k);
    const std::size_t count = (static_cast<std::size_t>(l.pos) + frame) / k;
    level_path(l, count, node[li]);
  }
  std::vector<std::size_t> first, cnt;
  std::vector<double> y;
  std::vector<double> solved(m);
  std::size_t start = 0;  // frame step where the cycle's unknown steps begin
  while (start < frame) {
    // Unknown steps of this cycle: the rest of the current one, then whole cycles.
    const std::size_t unknown = start == 0 ? m - p : m;
    first.clear();
    cnt.clear();
    y.clear();
    for (std::size_t li = 0; li < levels_.size(); ++li) {
      const Level& l = levels_[li];
      const auto k = static_cast<std::size_t>(l.k);
      const auto pos = static_cast<std::size_t>(l.pos);
      // Node j of the level covers frame steps [j k - pos, (j + 1) k - pos) (the first one
      // from 0); the cycle's nodes are those from frame step `start` on.
      const std::size_t j_end = std::min(node[li].size(), (start + unknown + pos) / k);
      for (std::size_t j = (start + pos) / k; j < j_end; ++j) {
        const std::size_t end = (j + 1) * k - pos;
        const std::size_t begin = j * k > pos ? j * k - pos : 0;
        double v = node[li][j];
        if (j == 0 && pos > 0) v -= l.partial;  // NaN when the bucket has a missing step
        first.push_back(begin - start);
        cnt.push_back(end - begin);
        y.push_back(v);
      }
    }
    if (!tempagg_detail::reconcile_cycle(unknown, first, cnt, y, solved.data())) {
      // Only the bottom level's own forecasts are left to give.
      const std::vector<double>& bottom = node.front();
      for (std::size_t i = 0; i < unknown; ++i) {
        solved[i] = start + i < bottom.size() ? bottom[start + i] : detail::nan_value();
      }
    }
    for (std::size_t i = 0; i < unknown && start + i < n; ++i) out[start + i] = solved[i];
    start += unknown;
  }
}

double TemporalAggregation::reconciled_step(double s) const {
  const auto m = static_cast<std::size_t>(m_);
  const auto p = static_cast<std::size_t>(cycle_pos_);
  if (s <= static_cast<double>(kPathSteps)) {
    std::vector<double> path(static_cast<std::size_t>(s));
    reconciled_path(path.size(), path.data());
    return path.back();
  }
  // Far ahead: only the whole cycle holding step s, from the levels' forecasts of its nodes.
  const double after_first = s - 1.0 - static_cast<double>(m - p);  // steps before its cycle
  const double start = static_cast<double>(m - p) + std::floor(after_first / m_) * m_;
  std::vector<std::size_t> first, cnt;
  std::vector<double> y, f;
  for (const Level& l : levels_) {
    const auto k = static_cast<std::size_t>(l.k);
    // Node j covers frame steps [j k - pos, (j + 1) k - pos): the cycle's first is
    // (start + pos) / k, the level's forecast j + 1 buckets ahead.
    const double j0 = (start + static_cast<double>(l.pos)) / l.k;
    for (std::size_t j = 0; j < m / k; ++j) {
      f.clear();
      for (const auto& model : l.models) {
        f.push_back(member_forecast(*model, j0 + static_cast<double>(j) + 1.0));
      }
      first.push_back(j * k);
      cnt.push_back(k);
      y.push_back(auto_detail::median_of(f));
    }
  }
  std::vector<double> solved(m);
  const auto i = static_cast<std::size_t>(s - 1.0 - start);
  if (tempagg_detail::reconcile_cycle(m, first, cnt, y, solved.data())) return solved[i];
  return y[i];  // the bottom level's own forecast (its nodes come first)
}

double TemporalAggregation::forecast_ahead(double h) const {
  const double lo = std::floor(h);
  const double b = reconciled_step(std::ceil(h));
  if (lo == h) return b;
  // A fractional step lies between its neighbours (the first step from the latest value).
  const double a = reconciled_step(std::max(lo, 1.0));
  return a + (h - lo) * (b - a);
}

void TemporalAggregation::forecast_path_ahead(const double* h, std::size_t n, double* out) const {
  double far = 0.0;
  for (std::size_t i = 0; i < n; ++i) far = std::max(far, h[i]);
  if (far > static_cast<double>(kMaxForecastPath)) {
    for (std::size_t i = 0; i < n; ++i) out[i] = forecast_ahead(h[i]);
    return;
  }
  std::vector<double> path(static_cast<std::size_t>(std::ceil(far)));
  reconciled_path(path.size(), path.data());
  for (std::size_t i = 0; i < n; ++i) {
    const double lo = std::floor(h[i]);
    const double b = path[static_cast<std::size_t>(std::ceil(h[i])) - 1];
    if (lo == h[i]) {
      out[i] = b;
      continue;
    }
    const double a = lo >= 1.0 ? path[static_cast<std::size_t>(lo) - 1] : path.front();
    out[i] = a + (h[i] - lo) * (b - a);
  }
}

void TemporalAggregation::interval_ahead(std::int64_t h, double coverage, double* lower,
                                         double* upper) const {
  const auto n = static_cast<std::size_t>(h);
  std::vector<double> below(n, 0.0), above(n, 0.0), lo(n), hi(n), point(n);
  double used = 0.0;
  for (const auto& model : levels_.front().models) {
    try {
      model->forecast_interval_path(h, coverage, lo.data(), hi.data());
      model->forecast_path(n, point.data());
    } catch (const std::exception&) {
      continue;  // a family that cannot tell its uncertainty yet
    }
    for (std::size_t j = 0; j < n; ++j) {
      below[j] += std::max(point[j] - lo[j], 0.0);
      above[j] += std::max(hi[j] - point[j], 0.0);
    }
    used += 1.0;
  }
  if (!(used > 0.0)) throw NotInitialized("tempagg model knows no forecast errors yet");
  reconciled_path(n, point.data());
  for (std::size_t j = 0; j < n; ++j) {
    lower[j] = point[j] - below[j] / used;
    upper[j] = point[j] + above[j] / used;
  }
}

std::string TemporalAggregation::describe() const {
  std::ostringstream os;
  os << "tempagg(training_sample_size=" << config_.training_sample_size;
  if (config_.season_length > 0) os << ", season_length=" << config_.season_length;
  os << ")";
  if (fitted_) {
    os << ": season=" << m_ << " levels=[";
    for (std::size_t i = 0; i < levels_.size(); ++i) {
      const Level& l = levels_[i];
      os << (i ? "; " : "") << l.k << ":";
      for (std::size_t j = 0; j < l.names.size(); ++j) os << (j ? "," : "") << l.names[j];
    }
    os << "]";
  }
  return os.str();
}

namespace {
constexpr std::uint16_t kTempAggVersion = 1;
}  // namespace

void TemporalAggregation::save(Writer& w) const {
  w.put<std::uint16_t>(kTempAggVersion);
  w.put<std::int64_t>(config_.training_sample_size);
  w.put<std::int64_t>(config_.season_length);
  w.put_bool(fitted_);
  if (!fitted_) {
    train_.save(w);
    return;
  }
  w.put<std::int64_t>(m_);
  w.put<std::int64_t>(cycle_pos_);
  w.put<std::uint64_t>(levels_.size());
  for (const Level& l : levels_) {
    w.put<std::int64_t>(l.k);
    w.put<std::int64_t>(l.bucket);
    w.put<std::int64_t>(l.pos);
    w.put<double>(l.partial);
    w.put<std::uint64_t>(l.models.size());
    for (std::size_t i = 0; i < l.models.size(); ++i) {
      w.put_string(l.names[i]);
      w.put_string(l.models[i]->serialize());
    }
  }
}

void TemporalAggregation::load(Reader& r) {
  const auto version = r.get<std::uint16_t>();
  if (version < 1 || version > kTempAggVersion) {
    throw FormatError("model state: unknown tempagg version");
  }
  TemporalAggregation f;
  f.config_.training_sample_size = r.get<std::int64_t>();
  f.config_.season_length = r.get_count(0, 1000000);
  if (f.config_.training_sample_size > 100000000) throw FormatError("model state: bad size");
  f.fitted_ = r.get_bool();
  if (!f.fitted_) {
    f.train_.load(r, f.target_size(), "tempagg");
    adopt(std::move(f));
    return;
  }
  f.m_ = static_cast<int>(r.get_count(1, kMaxSeason));
  f.cycle_pos_ = r.get_count(0, f.m_ - 1);
  const auto nl = r.get_count(1, f.m_);
  int previous = 0;
  for (std::int64_t i = 0; i < nl; ++i) {
    Level l;
    l.k = static_cast<int>(r.get_count(1, f.m_));
    if (f.m_ % l.k || l.k <= previous || (i == 0 && l.k != 1)) {
      throw FormatError("model state: bad tempagg level");
    }
    previous = l.k;
    l.bucket = r.get<std::int64_t>();
    l.pos = r.get_count(0, l.k - 1);
    l.partial = r.get<double>();
    if (l.pos != f.cycle_pos_ % l.k || std::isinf(l.partial)) {
      throw FormatError("model state: bad tempagg bucket");
    }
    const auto nm = r.get_count(1, static_cast<std::int64_t>(std::size(kLevelFamilies)));
    for (std::int64_t j = 0; j < nm; ++j) {
      l.names.push_back(r.get_string());
      // Only the level families: a state cannot nest models of other kinds (or itself).
      if (std::find(std::begin(kLevelFamilies), std::end(kLevelFamilies), l.names.back()) ==
          std::end(kLevelFamilies)) {
        throw FormatError("model state: unknown tempagg level model");
      }
      l.models.push_back(Model::deserialize(r.get_string()));
      if (l.names.back() != l.models.back()->kind() || !l.models.back()->is_initialized()) {
        throw FormatError("model state: tempagg model does not match its name");
      }
    }
    f.levels_.push_back(std::move(l));
  }
  adopt(std::move(f));
}

std::unique_ptr<Model> build_temporal_aggregation(const Options& options) {
  OptionReader r("tempagg", options);
  TemporalAggregationConfig c;
  c.training_sample_size = r.integer("training_sample_size", 0);
  c.season_length = r.integer("season_length", 0);
  if (c.season_length < 0) r.fail("season_length", "must be 0 (find it) or a length >= 1");
  if (c.season_length > TemporalAggregation::kMaxSeason) {
    r.fail("season_length", "is longer than " + std::to_string(TemporalAggregation::kMaxSeason));
  }
  if (c.training_sample_size > 100000000) r.fail("training_sample_size", "is too large");
  r.finish();
  return std::make_unique<TemporalAggregation>(c);
}

}  // namespace tarn
