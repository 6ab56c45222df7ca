#include "arima_search.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <map>
#include <tuple>

#include "stationarity_tests.hpp"
#include "tarn/season.hpp"

namespace tarn {
namespace arima_detail {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Fewer known values than this are not estimated: the last value or the mean carries forward.
constexpr int kMinKnown = 4;
// Seasonal differencing when the season explains more than this share of the detrended variance.
constexpr double kSeasonalStrength = 0.64;
// The stepwise search visits at most this many models...
constexpr int kMaxModels = 94;
// ... and refits this many of the best by exact likelihood,
constexpr int kFinalists = 3;
// ... unless the state is at most this large: then the search itself is exact.
constexpr int kExactSearchState = 8;

// Too little to estimate anything, or nothing that varies: the latest value (or the constant)
// carries forward.
Selection too_few_values(const ArimaConfig& cfg, const Standardised& s) {
  Selection sel;
  ArimaOrder& ord = sel.order;
  ord.d = (s.known >= 2 && s.sd > 0.0 && cfg.differencing) ? 1 : 0;
  if (cfg.differencing && cfg.d >= 0) ord.d = static_cast<int>(cfg.d);
  if (s.sd == 0.0) {
    ord.d = 0;
    ord.constant = true;
    sel.note = "constant series";
  } else {
    sel.note = "too few values to estimate; " + std::string(ord.d ? "last value" : "mean");
    ord.constant = ord.d == 0;
  }
  return sel;
}

// The season m (1: none) and the seasonal differencing D; then d, and the differenced series
// w with missing values kept missing. zi is z with its missing values interpolated.
void choose_differencing(const ArimaConfig& cfg, const std::vector<double>& z,
                         const std::vector<double>& zi, Selection& sel) {
  const std::size_t n = z.size();
  ArimaOrder& ord = sel.order;
  int m = 1;
  if (cfg.differencing) {
    if (cfg.samples_per_season >= 2) {
      m = static_cast<int>(cfg.samples_per_season);
    } else if (cfg.samples_per_season == 0 && n >= 8) {
      const int upper = static_cast<int>(std::min<std::size_t>(200, n / 2));
      if (upper >= 2) m = detect_period(z.data(), n, upper);
    }
    if (m >= 2 && n >= 2 * static_cast<std::size_t>(m) + 2 &&
        seasonal_strength(zi, m) > kSeasonalStrength) {
      ord.D = 1;
    }
  }
  ord.m = m;
  std::vector<double> sdiff = ord.D ? difference(zi, m) : zi;
  if (!cfg.differencing) {
    ord.d = 0;
  } else if (cfg.d >= 0) {
    ord.d = static_cast<int>(cfg.d);
  } else {
    ord.d = choose_d(sdiff, 2);
  }
  sel.w = ord.D ? difference(z, m) : z;
  for (int k = 0; k < ord.d; ++k) sel.w = difference(sel.w, 1);
}

// White noise with the mean (or drift) of w when `constant`.
Fit constant_only(const std::vector<double>& w, int m, bool constant) {
  Fit fit;
  Form f;
  f.m = m;
  f.constant = constant;
  fit.form = f;
  fit.x = start_values(f, w);
  fit.ok = true;
  return fit;
}

// The candidate forms of one differenced series and their fits, each estimated once. With a
// small state every candidate is estimated by exact likelihood. Otherwise the search compares
// conditional-sum-of-squares fits on the same observations (those after the largest
// autoregressive lag any candidate may use) and the best few are refitted exactly afterwards.
class OrderSearch {
 public:
  OrderSearch(const ArimaConfig& cfg, const std::vector<double>& w, int m, bool allow_const, int nw)
      : w_(w),
        m_(m),
        S_(m >= 2 && m <= kMaxSeasonalTerms && nw >= 2 * m + 4 ? 1 : 0),
        pl_(static_cast<int>(cfg.p_min)),
        ph_(static_cast<int>(cfg.p_max)),
        ql_(static_cast<int>(cfg.q_min)),
        qh_(static_cast<int>(cfg.q_max)),
        allow_const_(allow_const),
        // (Never below the smallest orders allowed, which every form has.)
        max_sum_(cfg.max_order_sum > 0 ? std::max(static_cast<int>(cfg.max_order_sum), pl_ + ql_)
                                       : 0) {
    exact_search_ = std::max(ph_ + S_ * m, qh_ + S_ * m + 1) <= kExactSearchState;
    t0_ =
        exact_search_ ? 0 : std::min<std::size_t>(w.size(), static_cast<std::size_t>(ph_ + S_ * m));
    for (std::size_t t = t0_; t < w.size(); ++t)
      if (std::isfinite(w[t])) ++n_common_;
  }

  // The forced form (p_max, d, q_max) without seasonal terms, by conditional sum of squares;
  // none when the nw known values are too few for it.
  std::vector<const Fit*> forced(int nw) {
    std::vector<const Fit*> out;
    const Form f = form(ph_, qh_, 0, 0, allow_const_);
    if (f.count() + 3 <= nw) {
      cache_.emplace(f.key(), fit_css(w_, f, 0, false));
      out.push_back(&cache_[f.key()]);
    }
    return out;
  }

  // Stepwise from a few starting forms to the neighbour with the smallest AICc, while one
  // improves on the best; returns the best few fits by that criterion. The richest start,
  // (2, d, 2)(1, D, 1), is brought within the bound on the orders' sum by lowering p and q
  // together.
  std::vector<const Fit*> stepwise() {
    int rich = 2;
    while (max_sum_ > 0 && rich > 0 && clamp_p(rich) + clamp_q(rich) + 2 * S_ > max_sum_) --rich;
    for (const Form& f : {form(clamp_p(rich), clamp_q(rich), S_, S_, allow_const_),
                          form(clamp_p(0), clamp_q(0), 0, 0, allow_const_),
                          form(clamp_p(1), clamp_q(0), S_, 0, allow_const_),
                          form(clamp_p(0), clamp_q(1), 0, S_, allow_const_),
                          form(clamp_p(0), clamp_q(0), 0, 0, false)}) {
      consider(f);
    }
    bool moved = best_ != nullptr;
    while (moved) moved = move_from_best();
    std::vector<const Fit*> finalists;
    for (const auto& kv : cache_)
      if (kv.second.ok) finalists.push_back(&kv.second);
    std::sort(finalists.begin(), finalists.end(),
              [](const Fit* x, const Fit* y) { return x->aicc < y->aicc; });
    if (finalists.size() > static_cast<std::size_t>(kFinalists)) finalists.resize(kFinalists);
    return finalists;
  }

 private:
  // Tries the neighbours of the best form in turn and moves to the first that improves on it.
  bool move_from_best() {
    const Form b = best_->form;
    const int steps[][4] = {{-1, 0, 0, 0},  {1, 0, 0, 0},  {0, -1, 0, 0},  {0, 1, 0, 0},
                            {0, 0, -1, 0},  {0, 0, 1, 0},  {0, 0, 0, -1},  {0, 0, 0, 1},
                            {-1, -1, 0, 0}, {1, 1, 0, 0},  {0, 0, -1, -1}, {0, 0, 1, 1},
                            {-1, 1, 0, 0},  {1, -1, 0, 0}, {0, 0, -1, 1},  {0, 0, 1, -1}};
    for (const auto& st : steps) {
      if (consider(form(b.p + st[0], b.q + st[1], b.P + st[2], b.Q + st[3], b.constant))) {
        return true;
      }
    }
    return allow_const_ && consider(form(b.p, b.q, b.P, b.Q, !b.constant));
  }

  Form form(int p, int q, int P, int Q, bool c) const {
    Form f;
    f.p = p, f.q = q, f.P = P, f.Q = Q, f.m = m_, f.constant = c;
    return f;
  }
  // An order clamped to the allowed range.
  int clamp_p(int v) const { return std::clamp(v, pl_, ph_); }
  int clamp_q(int v) const { return std::clamp(v, ql_, qh_); }

  bool valid(const Form& f) const {
    if (max_sum_ > 0 && f.p + f.q + f.P + f.Q > max_sum_) return false;
    return f.p >= pl_ && f.p <= ph_ && f.q >= ql_ && f.q <= qh_ && f.P >= 0 && f.Q >= 0 &&
           f.P <= S_ && f.Q <= S_ && (!f.constant || allow_const_) && f.count() + 3 <= n_common_;
  }

  // The fit of a valid form (estimated on first use), or null when it is not usable.
  const Fit* fit_of(const Form& f) {
    if (!valid(f)) return nullptr;
    auto it = cache_.find(f.key());
    if (it == cache_.end()) {
      if (static_cast<int>(cache_.size()) >= kMaxModels) return nullptr;
      // After the first form, each fit gets an optimiser budget scaled to its parameters.
      // (Starting a form from the best neighbour's estimates instead saved no time and cost
      // accuracy on M3 monthly: other local optima.)
      const bool budgeted = best_ != nullptr;
      if (exact_search_) {
        Fit e = fit_exact(w_, f, fit_css(w_, f, 0, false, budgeted), true, budgeted);
        e.ok = e.ok && e.exact;
        it = cache_.emplace(f.key(), e).first;
      } else {
        it = cache_.emplace(f.key(), fit_css(w_, f, t0_, true, budgeted)).first;
      }
    }
    return it->second.ok ? &it->second : nullptr;
  }

  // Whether the form's fit becomes the best so far.
  bool consider(const Form& f) {
    const Fit* c = fit_of(f);
    if (c && (!best_ || c->aicc < best_->aicc - 1e-9)) {
      best_ = c;
      return true;
    }
    return false;
  }

  const std::vector<double>& w_;
  int m_, S_;  // season length; 1 when seasonal AR/MA terms are searched
  int pl_, ph_, ql_, qh_;
  bool allow_const_;
  int max_sum_;  // the bound on p + q + P + Q (0: none)
  bool exact_search_ = false;
  std::size_t t0_ = 0;  // the observations every candidate is compared on start here
  int n_common_ = 0;
  std::map<std::tuple<int, int, int, int, bool>, Fit> cache_;
  const Fit* best_ = nullptr;
};

// The finalists refitted by exact likelihood; the smallest exact AICc wins. Falls back to the
// first usable finalist as it was estimated, then to white noise on the differences.
Fit best_exact(const std::vector<const Fit*>& finalists, const std::vector<double>& w,
               const ArimaConfig& cfg, int m, bool allow_const, std::string& note) {
  const Fit* fallback = nullptr;
  Fit exact_best;
  for (const Fit* c : finalists) {
    if (!fallback && c->ok) fallback = c;
    Fit e = fit_exact(w, c->form, *c, !cfg.force_model, !cfg.force_model, kRefitGain);
    if (e.ok && e.exact && (!exact_best.ok || e.aicc < exact_best.aicc)) exact_best = e;
  }
  if (exact_best.ok) return exact_best;
  if (fallback) {
    note = "estimated by conditional sum of squares";
    return *fallback;
  }
  // No candidate could be estimated: the mean (or drift) of the differenced series.
  note = "no candidate order could be estimated; white noise on the differences";
  return constant_only(w, m, allow_const);
}

// The ARMA form of w: the forced orders, or the stepwise search.
Fit search_orders(const ArimaConfig& cfg, const std::vector<double>& w, int m, bool allow_const,
                  int nw, std::string& note) {
  OrderSearch search(cfg, w, m, allow_const, nw);
  std::vector<const Fit*> finalists;
  if (cfg.force_model) {
    finalists = search.forced(nw);
    if (finalists.empty()) note = "too few values for the forced orders; searched instead";
  }
  if (finalists.empty()) finalists = search.stepwise();
  return best_exact(finalists, w, cfg, m, allow_const, note);
}

}  // namespace

Standardised standardise(const std::vector<double>& y) {
  const std::size_t n = y.size();
  // Scaled by the largest magnitude first, so huge values cannot overflow.
  double big = 0.0;
  for (double v : y)
    if (std::isfinite(v)) big = std::max(big, std::fabs(v));
  double mean = 0.0, m2 = 0.0;
  int nf = 0;
  for (double v : y) {
    if (!std::isfinite(v)) continue;
    const double u = big > 0.0 ? v / big : 0.0;
    ++nf;
    const double dlt = u - mean;
    mean += dlt / nf;
    m2 += dlt * (u - mean);
  }
  Standardised s;
  s.known = nf;
  s.sd = nf > 1 ? std::sqrt(m2 / nf) * big : 0.0;
  const double sd = s.sd;
  s.loc = mean * big;
  s.scale = sd > 1e-12 * std::max(big, 1e-300) && std::isfinite(sd) ? sd : (big > 0.0 ? big : 1.0);
  s.z.resize(n);
  for (std::size_t t = 0; t < n; ++t)
    s.z[t] = std::isfinite(y[t]) ? (y[t] - s.loc) / s.scale : kNaN;
  return s;
}

Selection select_model(const ArimaConfig& cfg, const Standardised& s) {
  if (s.known < kMinKnown || s.sd == 0.0) return too_few_values(cfg, s);
  Selection sel;
  choose_differencing(cfg, s.z, interpolated(s.z), sel);
  ArimaOrder& ord = sel.order;
  const std::vector<double>& w = sel.w;
  const bool allow_const = ord.d + ord.D <= 1;
  int nw = 0;
  for (double v : w)
    if (std::isfinite(v)) ++nw;
  if (nw < 2 || variance(w) < 1e-20) {
    // Nothing random left after differencing (an exact line, an exact season, ...).
    ord.constant = nw > 0;
    sel.note = "deterministic after differencing";
    sel.fit = constant_only(w, ord.m, ord.constant);
  } else {
    sel.fit = search_orders(cfg, w, ord.m, allow_const, nw, sel.note);
  }
  return sel;
}

}  // namespace arima_detail
}  // namespace tarn
