#include "tarn/intermittent.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "series_util.hpp"

namespace tarn {
namespace {

// Smoothing parameters tried: the range recommended for intermittent series (Syntetos & Boylan
// 2005 and Teunter et al. 2011 report 0.05..0.3; smaller values suit long intervals).
constexpr double kGrid[] = {0.02, 0.05, 0.1, 0.15, 0.2, 0.3};

constexpr IntermittentMethod kMethods[] = {IntermittentMethod::Croston, IntermittentMethod::Sba,
                                           IntermittentMethod::Tsb, IntermittentMethod::Adida,
                                           IntermittentMethod::Imapa};

bool aggregates(IntermittentMethod m) {
  return m == IntermittentMethod::Adida || m == IntermittentMethod::Imapa;
}

// The regularised lower incomplete gamma function P(a, x), a > 0, x >= 0: its series below
// a + 1, its continued fraction (modified Lentz) above.
double gamma_p(double a, double x) {
  if (x <= 0.0) return 0.0;
  const double log_front = -x + a * std::log(x) - std::lgamma(a);
  if (x < a + 1.0) {
    double term = 1.0 / a, sum = term;
    for (int n = 1; n < 100000 && std::fabs(term) > 1e-15 * std::fabs(sum); ++n) {
      term *= x / (a + n);
      sum += term;
    }
    return std::min(1.0, sum * std::exp(log_front));
  }
  constexpr double tiny = 1e-300;
  double b = x + 1.0 - a, c = 1.0 / tiny, d = 1.0 / b, h = d;
  for (int i = 1; i < 100000; ++i) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < tiny) d = tiny;
    c = b + an / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1.0) < 1e-15) break;
  }
  return std::max(0.0, 1.0 - std::exp(log_front) * h);
}

// Quantile u (0 < u < 1) of the gamma distribution of mean `mean` > 0 and squared coefficient
// of variation `cv2` > 0, by bisection (P is monotone).
double gamma_quantile(double u, double mean, double cv2) {
  const double shape = 1.0 / cv2;
  double lo = 0.0, hi = mean;
  for (int i = 0; i < 2000 && gamma_p(shape, hi * shape / mean) < u; ++i) hi *= 2.0;
  for (int i = 0; i < 200 && hi - lo > 1e-13 * hi; ++i) {
    const double mid = 0.5 * (lo + hi);
    (gamma_p(shape, mid * shape / mean) < u ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

}  // namespace

constexpr double kMaxScaled = 1e300;

const char* intermittent_method_name(IntermittentMethod m) {
  switch (m) {
    case IntermittentMethod::Croston:
      return "croston";
    case IntermittentMethod::Sba:
      return "sba";
    case IntermittentMethod::Tsb:
      return "tsb";
    case IntermittentMethod::Adida:
      return "adida";
    case IntermittentMethod::Imapa:
      return "imapa";
    case IntermittentMethod::Auto:
      break;
  }
  return "auto";
}

bool parse_intermittent_method(const std::string& name, IntermittentMethod& out) {
  for (IntermittentMethod m :
       {IntermittentMethod::Auto, IntermittentMethod::Croston, IntermittentMethod::Sba,
        IntermittentMethod::Tsb, IntermittentMethod::Adida, IntermittentMethod::Imapa}) {
    if (name == intermittent_method_name(m)) {
      out = m;
      return true;
    }
  }
  return false;
}

std::size_t Intermittent::target_size() const {
  return static_cast<std::size_t>(config_.training_sample_size > 0 ? config_.training_sample_size
                                                                   : kDefaultTrainingSize);
}

void Intermittent::name_season(std::int64_t m) {
  if (observations() > 0 || m < 2) return;
  season_note_ = "season of " + std::to_string(m) +
                 " left out: the intermittent demand methods have no seasonal terms";
}

void Intermittent::clear() {
  season_note_.clear();
  train_.clear();
  fitted_ = false;
  method_ = IntermittentMethod::Croston;
  alpha_ = beta_ = 0.1;
  scale_ = 1.0;
  s_ = State{};
  size_n_ = size_mean_ = size_m2_ = periods_ = 0.0;
  negative_ = false;
  variance_.reset();
}

bool Intermittent::fit_log_input(double shift) {
  if (!std::isfinite(shift) || shift < 0.0) {
    throw InvalidArgument(
        "intermittent: the shift of log-transformed input must be finite and >= 0");
  }
  if (observations() > 0) {
    throw InvalidArgument("intermittent: the input transform is set before the first observation");
  }
  shift_ = shift;
  return true;
}

bool Intermittent::fit_available() {
  if (!fitted_ && train_.finite() > 0) fit();
  return fitted_;
}

void Intermittent::observe(double value, std::int64_t gap) {
  double x = detail::from_log_input(value, shift_);
  // Zero demand fed as ln(0 + shift) comes back within rounding of zero; it must stay zero.
  if (shift_ > 0.0 && std::fabs(x) <= 64.0 * std::numeric_limits<double>::epsilon() * shift_) {
    x = 0.0;
  }
  if (!fitted_) {
    if (train_.add(x, gap, target_size()) && train_.finite() > 0) fit();
    return;
  }
  // Missing periods are skipped: every method works on the periods observed.
  if (!std::isfinite(x)) return;
  // Values are of order one after scaling; bounding them keeps every sum of the state (a
  // bucket of kMaxLevels values, a difference of two sizes) within the range of a double.
  observe_value(std::clamp(x / scale_, -kMaxScaled, kMaxScaled));
}

void Intermittent::observe_value(double y) {
  if (y < 0.0) negative_ = true;
  periods_ += 1.0;
  variance_.add(y - rate_of(method_, alpha_, s_));
  if (y != 0.0) {
    size_n_ += 1.0;
    const double d = y - size_mean_;
    size_mean_ += d / size_n_;
    size_m2_ += d * (y - size_mean_);
    if (!std::isfinite(size_m2_)) size_m2_ = std::numeric_limits<double>::max();
  }
  step(s_, y, alpha_, beta_);
}

double Intermittent::rate_of(IntermittentMethod m, double alpha, const State& s) {
  switch (m) {
    case IntermittentMethod::Sba:
      return (1.0 - 0.5 * alpha) * s.z / s.p;
    case IntermittentMethod::Tsb:
      return s.pi * s.z;
    case IntermittentMethod::Adida:
    case IntermittentMethod::Imapa: {
      double r = 0.0;
      for (const Level& l : s.levels) r += l.level / l.k;
      return s.levels.empty() ? 0.0 : r / static_cast<double>(s.levels.size());
    }
    default:
      return s.z / s.p;
  }
}

// One observed period. Croston's sizes and intervals (and TSB's sizes) change only when a
// demand occurs; TSB's probability every period; an aggregate level when its bucket is full.
// A negative bucket count skips that many periods first (aligning the buckets in training).
void Intermittent::step(State& s, double y, double alpha, double beta) {
  s.q += 1.0;
  if (y != 0.0) {
    s.z += alpha * (y - s.z);
    s.p += alpha * (s.q - s.p);
    s.q = 0.0;
    s.pi += beta * (1.0 - s.pi);
  } else {
    s.pi -= beta * s.pi;
  }
  for (Level& l : s.levels) {
    if (l.count < 0) {
      ++l.count;
      continue;
    }
    l.sum += y;
    if (++l.count == l.k) {
      l.level += alpha * (l.sum - l.level);
      l.sum = 0.0;
      l.count = 0;
    }
  }
}

void Intermittent::fit() {
  // A long sample is fitted on its latest values only (see kFitWindow): the grid of methods
  // and smoothing parameters runs over every value once per point of the grid.
  const std::vector<double>& raw = train_.values();
  std::vector<double> y;
  for (std::size_t i = fit_start(raw, kFitWindow); i < raw.size(); ++i) {
    if (std::isfinite(raw[i])) y.push_back(raw[i]);
  }
  const std::size_t n = y.size();
  if (n == 0) return;
  double s = 0.0;
  for (double v : y) s += std::fabs(v) / static_cast<double>(n);
  scale_ = (s > 0.0 && std::isfinite(s)) ? s : 1.0;
  for (double& v : y) v /= scale_;

  // Demands, the mean interval between them (ADI) and the longest one.
  std::size_t demands = 0, since = 0, longest = 0;
  double mean = 0.0, mean_size = 0.0;
  for (double v : y) {
    mean += v / static_cast<double>(n);
    ++since;
    if (v != 0.0) {
      ++demands;
      mean_size += v;
      longest = std::max(longest, since);
      since = 0;
    }
  }
  longest = std::max(longest, since);
  const double nd = static_cast<double>(n);
  const double adi = demands ? nd / static_cast<double>(demands) : nd;
  if (demands) mean_size /= static_cast<double>(demands);
  const int max_k = static_cast<int>(std::max<std::size_t>(1, n / 2));
  const int adida_k = std::clamp(static_cast<int>(std::lround(adi)), 1, max_k);
  const int levels_k =
      std::clamp(static_cast<int>(std::min<std::size_t>(longest, kMaxLevels)), 1, max_k);

  // The initial state: the training data's mean size, interval, demand share and bucket sums;
  // buckets end with the training data.
  auto initial = [&](IntermittentMethod m) {
    State st;
    st.z = mean_size;
    st.p = adi;
    st.pi = static_cast<double>(demands) / nd;
    auto add_level = [&](int k) {
      Level l;
      l.k = k;
      l.level = mean * k;
      l.count = -static_cast<int>(n % static_cast<std::size_t>(k));
      st.levels.push_back(l);
    };
    if (m == IntermittentMethod::Adida) add_level(adida_k);
    if (m == IntermittentMethod::Imapa) {
      for (int k = 1; k <= levels_k; ++k) add_level(k);
    }
    return st;
  };
  // The one-step squared errors plus the squared errors of the cumulative demand over n: the
  // first rewards accuracy, the second penalises a rate that drifts away from the demand
  // (which the first alone tolerates on intermittent data, favouring near-zero rates).
  auto criterion = [&](IntermittentMethod m, double a, double b) {
    State st = initial(m);
    double c = 0.0, sse = 0.0;
    for (double v : y) {
      const double e = v - rate_of(m, a, st);
      c += e;
      sse += c * c / static_cast<double>(n) + e * e;
      step(st, v, a, b);
    }
    return sse;
  };

  const std::vector<double> grid(std::begin(kGrid), std::end(kGrid));
  const std::vector<double> alphas =
      config_.alpha > 0.0 ? std::vector<double>{config_.alpha} : grid;
  const std::vector<double> betas = config_.beta > 0.0 ? std::vector<double>{config_.beta} : grid;
  double best = std::numeric_limits<double>::infinity();
  IntermittentMethod best_m = IntermittentMethod::Croston;
  double best_a = alphas.front(), best_b = betas.front();
  for (IntermittentMethod m : kMethods) {
    if (config_.method != IntermittentMethod::Auto && m != config_.method) continue;
    for (double a : alphas) {
      // Only TSB smooths its probability with a parameter of its own; the others follow alpha.
      const std::vector<double> bs = m == IntermittentMethod::Tsb ? betas : std::vector<double>{a};
      for (double b : bs) {
        const double e = criterion(m, a, b);
        if (e < best) {
          best = e;
          best_m = m;
          best_a = a;
          best_b = b;
        }
      }
    }
  }
  if (best_m != IntermittentMethod::Tsb && config_.beta > 0.0) best_b = config_.beta;
  method_ = best_m;
  alpha_ = best_a;
  beta_ = best_b;
  s_ = initial(method_);
  size_n_ = size_mean_ = size_m2_ = periods_ = 0.0;
  negative_ = false;
  variance_.reset(method_ == IntermittentMethod::Tsb ? 2.0 : 1.0);
  for (double v : y) observe_value(v);
  fitted_ = true;
  train_.clear();
}

double Intermittent::rate() const {
  return detail::unscale(rate_of(method_, alpha_, s_), scale_);
}

double Intermittent::demand_probability() const {
  if (method_ == IntermittentMethod::Tsb) return std::clamp(s_.pi, 0.0, 1.0);
  return std::clamp(1.0 / s_.p, 0.0, 1.0);
}

std::vector<int> Intermittent::bucket_lengths() const {
  std::vector<int> out;
  for (const Level& l : s_.levels) out.push_back(l.k);
  return out;
}

double Intermittent::forecast_ahead(double) const {
  return detail::to_log_input(rate(), shift_);
}

double Intermittent::demand_quantile(double u) const {
  // Demand occurs with probability pi, the share of periods with demand so far (the smoothed
  // probabilities swing too far for the quantiles, which hinge on 1 - pi); sizes are gamma
  // with mean rate / pi and the coefficient of variation of the sizes seen.
  const double pi = demand_probability_seen();
  const double mean_size = pi > 0.0 ? rate_of(method_, alpha_, s_) / pi : 0.0;
  const double cv2 = size_n_ >= 2.0 && size_mean_ != 0.0
                         ? size_m2_ / (size_n_ - 1.0) / (size_mean_ * size_mean_)
                         : 1.0;
  // The rate is an estimate: its own error widens the spread of the sizes a period may bring.
  // An exponentially weighted mean has alpha / (2 - alpha) of a single value's variance in
  // steady state, but it never knows more than a mean of the demands seen.
  const double inflate = 1.0 + std::max(alpha_ / (2.0 - alpha_), 1.0 / std::max(size_n_, 1.0));
  const double cv2_pred = (1.0 + (std::isfinite(cv2) ? cv2 : 1.0)) * inflate - 1.0;
  if (!(mean_size > 0.0) || u <= 1.0 - pi) return 0.0;
  const double v = std::min((u - (1.0 - pi)) / pi, 1.0 - 1e-12);
  const double q = gamma_quantile(v, mean_size, std::clamp(cv2_pred, 1e-6, 1e6));
  return detail::unscale(detail::finite_or(q, 0.0), scale_);
}

double Intermittent::demand_probability_seen() const {
  return periods_ > 0.0 ? std::clamp(size_n_ / periods_, 0.0, 1.0) : 0.0;
}

double Intermittent::own_quantile_ahead(double, double p) const {
  // Demand data: the distribution has an atom at zero, so its quantiles are its own (below
  // the share of periods without demand they are zero, whatever the mean rate).
  if (negative_) return std::numeric_limits<double>::quiet_NaN();
  return detail::to_log_input(demand_quantile(p), shift_);
}

void Intermittent::interval_ahead(std::int64_t h, double coverage, double* lower,
                                  double* upper) const {
  const double f = rate();
  double lo = 0.0, hi = 0.0;
  if (negative_) {
    if (!variance_.known()) {
      throw NotInitialized("intermittent model: no one-step errors to size its intervals yet");
    }
    const double t = student_quantile(0.5 * (1.0 + coverage), variance_.dof());
    const double sd = detail::unscale(std::sqrt(variance_.variance()), scale_);
    lo = detail::finite_or(f - t * sd, f);
    hi = detail::finite_or(f + t * sd, f);
  } else {
    const double pi = demand_probability_seen();
    const double a = 0.5 * (1.0 - coverage);
    if (a <= 1.0 - pi) {
      // The zero atom covers the lower tail: [0, upper] covers the whole level (at least pi,
      // so that the intervals stay nested as the coverage grows past 2 pi - 1).
      hi = demand_quantile(std::max(coverage, pi));
    } else {
      lo = demand_quantile(a);
      hi = demand_quantile(1.0 - a);
    }
  }
  for (std::int64_t k = 0; k < h; ++k) {
    lower[k] = detail::to_log_input(lo, shift_);
    upper[k] = detail::to_log_input(hi, shift_);
  }
}

std::string Intermittent::describe() const {
  std::ostringstream os;
  os << "intermittent(training_sample_size=" << config_.training_sample_size
     << ", method=" << intermittent_method_name(config_.method);
  if (shift_ > 0.0) os << ", fed ln(x + " << shift_ << "), fitted on x";
  os << ")";
  if (fitted_) {
    os << ": " << intermittent_method_name(method_) << " alpha=" << alpha_;
    if (method_ == IntermittentMethod::Tsb) os << " beta=" << beta_;
    if (aggregates(method_)) {
      os << " buckets=";
      for (std::size_t i = 0; i < s_.levels.size(); ++i) os << (i ? "," : "") << s_.levels[i].k;
    }
    os << " rate=" << rate() << " demand probability=" << demand_probability();
    if (negative_) os << " (negative values: not demand data, symmetric intervals)";
  }
  return os.str();
}

namespace {
constexpr std::uint16_t kIntermittentVersion = 1;

bool finite_all(std::initializer_list<double> v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}
}  // namespace

void Intermittent::save(Writer& w) const {
  w.put<std::uint16_t>(kIntermittentVersion);
  w.put<std::int64_t>(config_.training_sample_size);
  w.put<std::uint8_t>(static_cast<std::uint8_t>(config_.method));
  w.put<double>(config_.alpha);
  w.put<double>(config_.beta);
  w.put<double>(shift_);
  w.put_bool(fitted_);
  if (!fitted_) {
    train_.save(w);
    return;
  }
  w.put<std::uint8_t>(static_cast<std::uint8_t>(method_));
  w.put<double>(alpha_);
  w.put<double>(beta_);
  w.put<double>(scale_);
  w.put<double>(s_.z);
  w.put<double>(s_.p);
  w.put<double>(s_.q);
  w.put<double>(s_.pi);
  w.put<std::uint64_t>(s_.levels.size());
  for (const Level& l : s_.levels) {
    w.put<std::int64_t>(l.k);
    w.put<double>(l.level);
    w.put<double>(l.sum);
    w.put<std::int64_t>(l.count);
  }
  w.put<double>(size_n_);
  w.put<double>(size_mean_);
  w.put<double>(size_m2_);
  w.put<double>(periods_);
  w.put_bool(negative_);
  variance_.save(w);
}

void Intermittent::load(Reader& r) {
  if (r.get<std::uint16_t>() != kIntermittentVersion) {
    throw FormatError("model state: unknown intermittent version");
  }
  Intermittent m;
  m.config_.training_sample_size = r.get_count(-100000000, 100000000);
  const auto method_code = r.get<std::uint8_t>();
  if (method_code > static_cast<std::uint8_t>(IntermittentMethod::Imapa)) {
    throw FormatError("model state: unknown intermittent method");
  }
  m.config_.method = static_cast<IntermittentMethod>(method_code);
  m.config_.alpha = r.get<double>();
  m.config_.beta = r.get<double>();
  if (!(m.config_.alpha >= 0.0 && m.config_.alpha <= 1.0) ||
      !(m.config_.beta >= 0.0 && m.config_.beta <= 1.0)) {
    throw FormatError("model state: bad intermittent smoothing parameters");
  }
  m.shift_ = r.get<double>();
  if (!std::isfinite(m.shift_) || m.shift_ < 0.0) {
    throw FormatError("model state: bad intermittent input shift");
  }
  m.fitted_ = r.get_bool();
  if (!m.fitted_) {
    m.train_.load(r, m.target_size(), "intermittent");
  } else {
    const auto code = r.get<std::uint8_t>();
    if (code < 1 || code > static_cast<std::uint8_t>(IntermittentMethod::Imapa)) {
      throw FormatError("model state: bad intermittent method");
    }
    m.method_ = static_cast<IntermittentMethod>(code);
    m.alpha_ = r.get<double>();
    m.beta_ = r.get<double>();
    m.scale_ = r.get<double>();
    m.s_.z = r.get<double>();
    m.s_.p = r.get<double>();
    m.s_.q = r.get<double>();
    m.s_.pi = r.get<double>();
    if (!finite_all({m.s_.z, m.s_.p, m.s_.q, m.s_.pi, m.scale_}) || !(m.alpha_ > 0.0) ||
        !(m.alpha_ <= 1.0) || !(m.beta_ > 0.0) || !(m.beta_ <= 1.0) || !(m.scale_ > 0.0) ||
        m.s_.p < 1.0 || m.s_.q < 0.0 || m.s_.pi < 0.0 || m.s_.pi > 1.0) {
      throw FormatError("model state: bad intermittent state");
    }
    const auto nl = r.get_count(0, kMaxLevels);
    if ((nl > 0) != aggregates(m.method_)) {
      throw FormatError("model state: intermittent levels do not match the method");
    }
    for (std::int64_t i = 0; i < nl; ++i) {
      Level l;
      l.k = static_cast<int>(r.get_count(1, 100000000));
      l.level = r.get<double>();
      l.sum = r.get<double>();
      l.count = static_cast<int>(r.get_count(0, l.k - 1));
      if (!finite_all({l.level, l.sum})) throw FormatError("model state: bad intermittent level");
      m.s_.levels.push_back(l);
    }
    m.size_n_ = r.get<double>();
    m.size_mean_ = r.get<double>();
    m.size_m2_ = r.get<double>();
    m.periods_ = r.get<double>();
    if (!finite_all({m.size_n_, m.size_mean_, m.size_m2_, m.periods_}) || m.size_n_ < 0.0 ||
        m.size_m2_ < 0.0 || m.periods_ < m.size_n_) {
      throw FormatError("model state: bad intermittent sizes");
    }
    m.negative_ = r.get_bool();
    m.variance_.load(r);
  }
  // Member by member: the time axis of the base class is already loaded.
  config_ = m.config_;
  shift_ = m.shift_;
  train_ = std::move(m.train_);
  fitted_ = m.fitted_;
  method_ = m.method_;
  alpha_ = m.alpha_;
  beta_ = m.beta_;
  scale_ = m.scale_;
  s_ = std::move(m.s_);
  size_n_ = m.size_n_;
  size_mean_ = m.size_mean_;
  size_m2_ = m.size_m2_;
  periods_ = m.periods_;
  negative_ = m.negative_;
  variance_ = m.variance_;
}

std::unique_ptr<Model> build_intermittent(const Options& options) {
  OptionReader r("intermittent", options);
  IntermittentConfig c;
  c.training_sample_size = r.integer("training_sample_size", 0);
  if (c.training_sample_size > 100000000) r.fail("training_sample_size", "is too large");
  const std::string method = r.text("method", "auto");
  if (!parse_intermittent_method(method, c.method)) {
    r.fail("method", "must be one of auto, croston, sba, tsb, adida, imapa, not '" + method + "'");
  }
  c.alpha = r.number("alpha", 0.0);
  c.beta = r.number("beta", 0.0);
  if (!(c.alpha >= 0.0 && c.alpha <= 1.0)) r.fail("alpha", "must be 0 (chosen) or in (0, 1]");
  if (!(c.beta >= 0.0 && c.beta <= 1.0)) r.fail("beta", "must be 0 (chosen) or in (0, 1]");
  r.finish();
  return std::make_unique<Intermittent>(c);
}

}  // namespace tarn
