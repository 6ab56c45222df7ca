#include "tarn/model.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <vector>

#include "series_util.hpp"
#include "tarn/interrupt.hpp"
#include "tarn/intervals.hpp"

namespace tarn {
namespace {

constexpr char kMagic[4] = {'T', 'A', 'R', 'N'};
// 1: the framing and the model's fields. 2: the same, followed by the CRC-32 of every byte
// before it, so a damaged state is rejected instead of loaded with other numbers. 3: models
// also keep what their prediction intervals need (the one-step error variance), and the
// automatic selector the shift of log-transformed input. 4: the framing records whether the
// model is fed logarithms that it does not fit itself (its forecasts then bend below ln of the
// largest double).
constexpr std::uint16_t kFormatVersion = 4;
constexpr std::uint16_t kFirstBendingVersion = 4;
constexpr std::uint16_t kOldestVersion = 1;
constexpr std::uint16_t kFirstChecksummedVersion = 2;

std::map<std::string, ModelFactory>& registry() {
  // Built in explicitly: self-registering statics would be dropped by the linker when the
  // engine is linked as a static library.
  static std::map<std::string, ModelFactory> r = builtin_model_kinds();
  return r;
}
std::mutex& registry_mutex() {
  static std::mutex m;
  return m;
}

}  // namespace

void register_model_kind(const std::string& kind, ModelFactory factory) {
  std::lock_guard<std::mutex> lock(registry_mutex());
  registry()[kind] = factory;
}

std::string Model::describe() const {
  return kind();
}

namespace {
std::string plain(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}
}  // namespace

void Model::check_gap(const char* what, double t, double dt) const {
  const double steps = dt / static_cast<double>(step_);
  if (!(steps > kMaxGapSteps)) return;
  throw GapTooLarge(std::string(what) + "time " + plain(t) + " is " + plain(std::round(steps)) +
                    " grid steps (of " + std::to_string(step_) +
                    ") after the latest observation at " + std::to_string(last_t_) +
                    ": more than the " + plain(kMaxGapSteps) +
                    " steps a model spans without data (are the timestamps in one unit?)");
}

void Model::check_reachable(std::int64_t t) const {
  std::int64_t dt = 0;
  if (n_obs_ == 0 || t <= last_t_ || __builtin_sub_overflow(t, last_t_, &dt)) return;
  // While the grid step may still shrink, a spacing below it sets the new step (one grid step).
  if (ready() || (step_known_ && dt >= step_)) {
    check_gap("observation at ", static_cast<double>(t), static_cast<double>(dt));
  }
}

void Model::update(std::int64_t t, double value) {
  if (n_obs_ > 0 && t <= last_t_) {
    throw StaleUpdate("observation at time " + std::to_string(t) +
                      " is not newer than the latest one (" + std::to_string(last_t_) + ")");
  }
  if (std::isinf(value)) throw InvalidArgument("observation value is infinite");
  // A model that refuses the value (or is interrupted) keeps its time axis as it was.
  const std::int64_t first = first_t_, last = last_t_, step = step_;
  const bool step_known = step_known_;
  std::int64_t gap = 1;
  if (n_obs_ == 0) {
    first_t_ = t;
  } else {
    std::int64_t dt = 0;
    if (__builtin_sub_overflow(t, last_t_, &dt)) {
      throw InvalidArgument("observation at time " + std::to_string(t) +
                            " is too far from the latest one (" + std::to_string(last_t_) + ")");
    }
    check_reachable(t);
    if (!ready() && (!step_known_ || dt < step_)) {
      // While the model is still collecting its initial data the grid step follows the
      // smallest spacing seen; once fitted the grid is fixed.
      step_ = dt;
      step_known_ = true;
    }
    gap = std::max<std::int64_t>(
        1, static_cast<std::int64_t>(std::llround(static_cast<double>(dt) / step_)));
  }
  last_t_ = t;
  ++n_obs_;
  try {
    observe(value, gap);
  } catch (...) {
    first_t_ = first;
    last_t_ = last;
    step_ = step;
    step_known_ = step_known;
    --n_obs_;
    throw;
  }
}

void Model::update(const std::int64_t* t, const double* values, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 1024 == 1023) interruption_point(1024);  // an update is a few tens of nanoseconds
    update(t[i], values[i]);
  }
}

void Model::update(const std::vector<std::int64_t>& t, const std::vector<double>& values) {
  if (t.size() != values.size()) {
    throw InvalidArgument("timestamps and values differ in length (" + std::to_string(t.size()) +
                          " and " + std::to_string(values.size()) + ")");
  }
  update(t.data(), values.data(), t.size());
}

void Model::reset() {
  first_t_ = last_t_ = 0;
  step_ = 1;
  step_known_ = false;
  n_obs_ = 0;
  clear();
}

double Model::average_interval() const {
  if (n_obs_ < 2) return static_cast<double>(step_);
  // In floating point: the span of two extreme timestamps does not fit an int64.
  return (static_cast<double>(last_t_) - static_cast<double>(first_t_)) /
         static_cast<double>(n_obs_ - 1);
}

bool Model::set_log_input(double shift) {
  if (!std::isfinite(shift) || shift < 0.0) {
    throw InvalidArgument(std::string(kind()) +
                          ": the shift of log-transformed input must be finite and >= 0");
  }
  if (fit_log_input(shift)) return true;
  if (n_obs_ == 0) bend_logs_ = true;
  return false;
}

double Model::fed_scale(double v) const {
  return bend_logs_ ? detail::bend_fed_exponent(v) : detail::bend(v);
}

double Model::forecast_steps(double h) const {
  if (!ready()) throw NotInitialized(std::string(kind()) + " model is not initialised yet");
  if (!(h >= 1.0)) h = 1.0;  // also maps NaN to one step
  return fed_scale(forecast_ahead(h));
}

double Model::forecast_at(double t) const {
  if (!ready()) throw NotInitialized(std::string(kind()) + " model is not initialised yet");
  if (std::isnan(t)) throw InvalidArgument("forecast time is NaN");
  check_gap("", t, t - static_cast<double>(last_t_));
  const double h = (t - static_cast<double>(last_t_)) / static_cast<double>(step_);
  return forecast_steps(h);
}

void Model::interval_ahead(std::int64_t h, double coverage, double* lower, double* upper) const {
  const auto n = static_cast<std::size_t>(h);
  std::vector<double> buf(3 * n);  // variances, steps, point forecasts
  double* var = buf.data();
  double* steps = var + n;
  double* point = steps + n;
  if (!forecast_variances(h, var)) {
    throw NotInitialized(std::string(kind()) + " model knows no forecast errors yet");
  }
  const double q = student_quantile(0.5 + coverage / 2.0, interval_dof());
  for (std::size_t i = 0; i < n; ++i) steps[i] = static_cast<double>(i + 1);
  forecast_path_ahead(steps, n, point);  // one walk along the path
  for (std::int64_t k = 1; k <= h; ++k) {
    const double f = point[static_cast<std::size_t>(k - 1)];
    const double v = var[static_cast<std::size_t>(k - 1)];
    // A variance that overflowed (after a value near the largest double) gives the widest
    // bounds there are, not none.
    const double w = q * std::sqrt(std::isfinite(v) ? std::max(v, 0.0)
                                                    : std::numeric_limits<double>::infinity());
    lower[k - 1] = f - w;
    upper[k - 1] = f + w;
  }
}

bool Model::forecast_variances(std::int64_t, double*) const {
  return false;
}

double Model::own_quantile_ahead(double, double) const {
  return std::numeric_limits<double>::quiet_NaN();
}

double Model::interval_dof() const {
  return std::numeric_limits<double>::infinity();
}

namespace {
void check_coverage(double coverage) {
  if (!(coverage > 0.0 && coverage < 1.0)) {
    throw InvalidArgument("interval coverage must lie strictly between 0 and 1");
  }
}
}  // namespace

void Model::forecast_interval_path(std::int64_t h, double coverage, double* lower,
                                   double* upper) const {
  if (!ready()) throw NotInitialized(std::string(kind()) + " model is not initialised yet");
  check_coverage(coverage);
  if (h <= 0) return;
  if (h > static_cast<std::int64_t>(kMaxIntervalSteps)) {
    throw InvalidArgument("interval horizon is too far (at most 1e6 grid steps)");
  }
  interval_ahead(h, coverage, lower, upper);
  for (std::int64_t k = 0; k < h; ++k) {
    // A bound that the arithmetic lost still brackets the point forecast.
    if (std::isnan(lower[k]) || std::isnan(upper[k])) {
      const double f = forecast_ahead(static_cast<double>(k + 1));
      if (std::isnan(lower[k])) lower[k] = f;
      if (std::isnan(upper[k])) upper[k] = f;
    }
    lower[k] = fed_scale(lower[k]);
    upper[k] = fed_scale(upper[k]);
  }
}

namespace {
// A step count clamped to [1, ...], refused beyond the farthest interval horizon.
double interval_step(double h) {
  if (!(h >= 1.0)) h = 1.0;
  if (!(h <= Model::kMaxIntervalSteps)) {
    throw InvalidArgument("interval horizon is too far (at most 1e6 grid steps)");
  }
  return h;
}
// The path length that step `h` needs (its grid step, and the next one when it is fractional).
std::int64_t steps_needed(double h) {
  const double lo = std::floor(h);
  return static_cast<std::int64_t>(lo) + (h > lo ? 1 : 0);
}
// Bounds at step `h` from a path l, u of at least steps_needed(h) steps.
std::pair<double, double> bounds_at(double h, const std::vector<double>& l,
                                    const std::vector<double>& u) {
  const double lo = std::floor(h);
  const std::size_t i = static_cast<std::size_t>(lo) - 1;
  if (h == lo) return {l[i], u[i]};
  const double frac = h - lo;
  return {l[i] + frac * (l[i + 1] - l[i]), u[i] + frac * (u[i + 1] - u[i])};
}
}  // namespace

std::pair<double, double> Model::forecast_interval_steps(double h, double coverage) const {
  if (!ready()) throw NotInitialized(std::string(kind()) + " model is not initialised yet");
  check_coverage(coverage);
  h = interval_step(h);
  const std::int64_t n = steps_needed(h);
  std::vector<double> l(static_cast<std::size_t>(n)), u(static_cast<std::size_t>(n));
  forecast_interval_path(n, coverage, l.data(), u.data());
  return bounds_at(h, l, u);
}

double Model::own_quantile(double h, double p) const {
  if (!ready()) throw NotInitialized(std::string(kind()) + " model is not initialised yet");
  const double q = own_quantile_ahead(interval_step(h), p);
  return std::isnan(q) ? q : fed_scale(q);
}

bool Model::own_quantile_at(const double* t, std::size_t n, double p, double* out) const {
  if (std::isnan(own_quantile(1.0, p))) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(t[i])) throw InvalidArgument("forecast time is NaN");
    out[i] = own_quantile((t[i] - static_cast<double>(last_t_)) / static_cast<double>(step_), p);
  }
  return true;
}

void Model::forecast_interval_at(const double* t, std::size_t n, double coverage, double* lower,
                                 double* upper) const {
  if (!ready()) throw NotInitialized(std::string(kind()) + " model is not initialised yet");
  check_coverage(coverage);
  std::vector<double> h(n);
  std::int64_t longest = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(t[i])) throw InvalidArgument("forecast time is NaN");
    h[i] = interval_step((t[i] - static_cast<double>(last_t_)) / static_cast<double>(step_));
    longest = std::max(longest, steps_needed(h[i]));
  }
  if (n == 0) return;
  std::vector<double> l(static_cast<std::size_t>(longest)), u(static_cast<std::size_t>(longest));
  forecast_interval_path(longest, coverage, l.data(), u.data());
  for (std::size_t i = 0; i < n; ++i) {
    const auto b = bounds_at(h[i], l, u);
    lower[i] = b.first;
    upper[i] = b.second;
  }
}

std::pair<double, double> Model::forecast_interval_at(double t, double coverage) const {
  if (!ready()) throw NotInitialized(std::string(kind()) + " model is not initialised yet");
  if (std::isnan(t)) throw InvalidArgument("forecast time is NaN");
  const double h = (t - static_cast<double>(last_t_)) / static_cast<double>(step_);
  return forecast_interval_steps(h, coverage);
}

void Model::forecast_path_ahead(const double* h, std::size_t n, double* out) const {
  for (std::size_t i = 0; i < n; ++i) out[i] = forecast_ahead(h[i]);
}

void Model::forecast_steps(const double* h, std::size_t n, double* out) const {
  if (!ready()) throw NotInitialized(std::string(kind()) + " model is not initialised yet");
  std::vector<double> steps(h, h + n);
  for (double& s : steps) {
    if (!(s >= 1.0)) s = 1.0;  // as forecast_steps(double)
  }
  forecast_path_ahead(steps.data(), n, out);
  for (std::size_t i = 0; i < n; ++i) out[i] = fed_scale(out[i]);
}

void Model::forecast_at(const double* t, std::size_t n, double* out) const {
  if (!ready()) throw NotInitialized(std::string(kind()) + " model is not initialised yet");
  std::vector<double> steps(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(t[i])) throw InvalidArgument("forecast time is NaN");
    check_gap("", t[i], t[i] - static_cast<double>(last_t_));
    steps[i] = (t[i] - static_cast<double>(last_t_)) / static_cast<double>(step_);
  }
  forecast_steps(steps.data(), n, out);
}

void Model::forecast_path(std::size_t h, double* out) const {
  if (h > kMaxForecastPath) {
    throw InvalidArgument("forecast path of " + std::to_string(h) +
                          " steps is above the limit of " + std::to_string(kMaxForecastPath));
  }
  std::vector<double> steps(h);
  for (std::size_t i = 0; i < h; ++i) steps[i] = static_cast<double>(i + 1);
  forecast_steps(steps.data(), h, out);
}

std::string Model::serialize() const {
  Writer w;
  for (char c : kMagic) w.put<char>(c);
  w.put<std::uint16_t>(kFormatVersion);
  w.put_string(kind());
  w.put<std::int64_t>(first_t_);
  w.put<std::int64_t>(last_t_);
  w.put<std::int64_t>(step_);
  w.put_bool(step_known_);
  w.put<std::uint64_t>(n_obs_);
  w.put_bool(bend_logs_);
  save(w);
  const std::uint32_t sum = crc32(w.bytes().data(), w.bytes().size());
  w.put<std::uint32_t>(sum);
  return w.take();
}

std::uint32_t crc32(const char* data, std::size_t n) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1U) ? 0xEDB88320U ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFU;
  for (std::size_t i = 0; i < n; ++i) {
    c = table[(c ^ static_cast<unsigned char>(data[i])) & 0xFFU] ^ (c >> 8);
  }
  return c ^ 0xFFFFFFFFU;
}

// Checks the magic, the version and (from format 2) the checksum of a state, and gives a
// reader over its checksummed body positioned at the model kind.
std::string Model::open_state(const std::string& bytes, Reader& r) {
  Reader head(bytes);
  for (char c : kMagic) {
    if (head.get<char>() != c) throw FormatError("not a tarn model state");
  }
  const auto version = head.get<std::uint16_t>();
  if (version < kOldestVersion || version > kFormatVersion) {
    throw FormatError("unsupported model state version " + std::to_string(version));
  }
  std::size_t body = bytes.size();
  if (version >= kFirstChecksummedVersion) {
    if (bytes.size() < sizeof(kMagic) + sizeof(std::uint16_t) + sizeof(std::uint32_t)) {
      throw FormatError("model state: truncated");
    }
    body -= sizeof(std::uint32_t);
    std::uint32_t stored = 0;
    std::memcpy(&stored, bytes.data() + body, sizeof(stored));
    if (stored != crc32(bytes.data(), body)) {
      throw FormatError("model state is damaged (checksum mismatch)");
    }
  }
  r = Reader(bytes.data(), body);
  r.set_version(version);
  for (std::size_t i = 0; i < sizeof(kMagic) + sizeof(std::uint16_t); ++i) r.get<char>();
  return r.get_string();
}

void Model::read_state(Reader& r) {
  first_t_ = r.get<std::int64_t>();
  last_t_ = r.get<std::int64_t>();
  step_ = r.get<std::int64_t>();
  step_known_ = r.get_bool();
  n_obs_ = r.get<std::uint64_t>();
  bend_logs_ = r.version() >= kFirstBendingVersion && r.get_bool();
  if (step_ < 1) throw FormatError("model state: bad grid step");
  load(r);
  if (!r.at_end()) throw FormatError("model state: trailing bytes");
}

std::unique_ptr<Model> Model::deserialize(const std::string& bytes) {
  Reader r(bytes);
  const std::string kind = open_state(bytes, r);
  ModelFactory factory = nullptr;
  {
    std::lock_guard<std::mutex> lock(registry_mutex());
    auto it = registry().find(kind);
    if (it != registry().end()) factory = it->second;
  }
  if (!factory) throw FormatError("unknown model kind '" + kind + "' in model state");
  std::unique_ptr<Model> m = factory();
  m->read_state(r);
  return m;
}

void Model::restore(const std::string& bytes) {
  // Decoded in full into a new model first, so that a state that cannot be read leaves this
  // model untouched.
  const std::unique_ptr<Model> check = deserialize(bytes);
  if (std::string(check->kind()) != kind()) {
    throw FormatError("a '" + std::string(check->kind()) + "' model state cannot restore a '" +
                      kind() + "' model");
  }
  Reader r(bytes);
  open_state(bytes, r);
  read_state(r);
}

}  // namespace tarn
