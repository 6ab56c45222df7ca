#include "tarn/season.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "tarn/interrupt.hpp"

namespace tarn {
namespace {

// Upper quantile of the standard normal distribution: z with P(Z > z) = p.
double normal_upper_quantile(double p) {
  double lo = 0.0, hi = 10.0;
  for (int i = 0; i < 80; ++i) {
    const double mid = 0.5 * (lo + hi);
    if (0.5 * std::erfc(mid / std::sqrt(2.0)) > p) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return 0.5 * (lo + hi);
}

// Sample autocorrelation at lags 0..max_lag of a series with mean zero.
std::vector<double> acf(const std::vector<double>& x, std::size_t max_lag) {
  const std::size_t n = x.size();
  std::vector<double> r(max_lag + 1, 0.0);
  double c0 = 0.0;
  for (double v : x) c0 += v * v;
  if (!(c0 > 0.0)) return r;
  for (std::size_t k = 0; k <= max_lag && k < n; ++k) {
    interruption_point(n - k);
    double c = 0.0;
    for (std::size_t i = k; i < n; ++i) c += x[i] * x[i - k];
    r[k] = c / c0;
  }
  return r;
}

void detrend(std::vector<double>& y) {
  const std::size_t n = y.size();
  double st = 0, sy = 0, stt = 0, sty = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    st += t;
    sy += y[i];
    stt += t * t;
    sty += t * y[i];
  }
  const double nn = static_cast<double>(n);
  const double den = nn * stt - st * st;
  const double b = den != 0.0 ? (nn * sty - st * sy) / den : 0.0;
  const double a = (sy - b * st) / nn;
  for (std::size_t i = 0; i < n; ++i) y[i] -= a + b * static_cast<double>(i);
}

// The season length (at most a third of y) whose autocorrelation peak is significant and
// strongest (at least `min_r`), or 1 when there is none. `changes`: y holds the changes of a
// series.
int strongest_period(const std::vector<double>& y, int upper_limit, double min_r, bool changes) {
  const std::size_t m = y.size();
  // A season is identified from at least three cycles: two cycles give a single pair of
  // seasonal differences, which a wandering series mimics as easily. Searching no further also
  // spends the significance correction below only on lags that can be seasons.
  const std::size_t upper = std::min<std::size_t>(static_cast<std::size_t>(upper_limit), m / 3);
  if (upper < 2) return 1;
  const std::vector<double> r = acf(y, upper + 1);

  // Significance against white noise, corrected for the number of lags tested.
  const double z = std::max(1.96, normal_upper_quantile(0.05 / static_cast<double>(upper)));
  double thr = z / std::sqrt(static_cast<double>(m));
  // The changes of a series without a season are moving-average noise of order one (changes
  // of white noise have a lag-one autocorrelation of -1/2); by Bartlett's formula their
  // autocorrelations beyond lag one spread sqrt(1 + 2 r1^2) times wider than white noise's.
  if (changes) thr *= std::sqrt(1.0 + 2.0 * r[1] * r[1]);

  struct Peak {
    std::size_t lag;
    double r;
  };
  std::vector<Peak> peaks;
  for (std::size_t k = 2; k <= upper; ++k) {
    if (!(r[k] > r[k - 1] && r[k] >= r[k + 1])) continue;
    if (r[k] <= thr || r[k] < min_r) continue;
    // The peak must stand out from the trough before it, which a smoothly decaying
    // autocorrelation (a persistent but non-seasonal series) does not do.
    double trough = r[k - 1];
    for (std::size_t j = (k + 1) / 2; j < k; ++j) trough = std::min(trough, r[j]);
    if (r[k] - trough <= thr) continue;
    peaks.push_back({k, r[k]});
  }
  if (peaks.empty()) return 1;
  const Peak best = *std::max_element(peaks.begin(), peaks.end(),
                                      [](const Peak& a, const Peak& b) { return a.r < b.r; });
  // A season shows peaks at its multiples too: prefer the shortest lag that divides the best
  // one and is nearly as strong.
  for (const Peak& p : peaks) {
    if (p.lag < best.lag && best.lag % p.lag == 0 && p.r >= 0.8 * best.r) {
      return static_cast<int>(p.lag);
    }
  }
  return static_cast<int>(best.lag);
}

// Finite values of x[0..n) with interior gaps filled linearly; leading and trailing gaps
// dropped.
std::vector<double> filled(const double* x, std::size_t n) {
  std::size_t first = 0, last = n;
  while (first < n && !std::isfinite(x[first])) ++first;
  while (last > first && !std::isfinite(x[last - 1])) --last;
  std::vector<double> y(x + first, x + last);
  std::size_t prev = 0;
  for (std::size_t i = 1; i < y.size(); ++i) {
    if (!std::isfinite(y[i])) continue;
    for (std::size_t j = prev + 1; j < i; ++j) {
      const double w = static_cast<double>(j - prev) / static_cast<double>(i - prev);
      y[j] = y[prev] + w * (y[i] - y[prev]);
    }
    prev = i;
  }
  return y;
}

// y less the means of its phases of period p around a centred moving average of length p
// (the classical decomposition's seasonal component). `strength`, when given, receives the
// season's strength (Wang, Smith and Hyndman, 2006): the share of the variance around the moving
// average that the seasonal means explain.
std::vector<double> without_season(const std::vector<double>& y, std::size_t p,
                                   double* strength = nullptr) {
  const std::size_t n = y.size();
  std::vector<double> sum(p, 0.0), cnt(p, 0.0);
  // Prefix sums give the centred average (of length p + 1 with halved ends when p is even).
  std::vector<double> c(n + 1, 0.0);
  for (std::size_t i = 0; i < n; ++i) c[i + 1] = c[i] + y[i];
  const std::size_t half = p / 2;
  std::vector<double> dev(n, 0.0);
  for (std::size_t i = half; i + half < n; ++i) {
    double ma;
    if (p % 2 == 1) {
      ma = (c[i + half + 1] - c[i - half]) / static_cast<double>(p);
    } else {
      ma = (c[i + half] - c[i - half + 1] + 0.5 * (y[i - half] + y[i + half])) /
           static_cast<double>(p);
    }
    dev[i] = y[i] - ma;
    sum[i % p] += dev[i];
    cnt[i % p] += 1.0;
  }
  double mean = 0.0;
  for (std::size_t j = 0; j < p; ++j) {
    sum[j] = cnt[j] > 0.0 ? sum[j] / cnt[j] : 0.0;
    mean += sum[j] / static_cast<double>(p);
  }
  std::vector<double> out(y);
  for (std::size_t i = 0; i < n; ++i) out[i] -= sum[i % p] - mean;
  if (strength) {
    double around = 0.0, left = 0.0;
    for (std::size_t i = half; i + half < n; ++i) {
      const double r = dev[i] - (sum[i % p] - mean);
      around += dev[i] * dev[i];
      left += r * r;
    }
    *strength = around > 0.0 ? std::max(0.0, 1.0 - left / around) : 0.0;
  }
  return out;
}

// A season whose strength is below this explains too little to be worth its indices.
constexpr double kMinSeasonStrength = 0.2;

// The strength of season p in y (without_season) less what p - 1 free means explain by chance
// in the deviations of the values the centred moving average reaches: the adjusted R^2
// (Ezekiel 1930). -1 when too few values are left for it.
double adjusted_strength(const std::vector<double>& y, std::size_t p) {
  if (p < 2 || y.size() < 2 * p) return -1.0;
  double strength = 0.0;
  without_season(y, p, &strength);
  const double count = static_cast<double>(y.size() - 2 * (p / 2));
  const double k = static_cast<double>(p - 1);
  if (count - k < 2.0) return -1.0;
  return 1.0 - (1.0 - strength) * (count - 1.0) / (count - 1.0 - k);
}

}  // namespace

std::vector<int> detect_periods(const double* x, std::size_t n, int upper_limit, int max_periods) {
  const std::vector<double> y = filled(x, n);
  const auto count = static_cast<std::size_t>(std::max(max_periods, 0));
  std::vector<int> found;
  const int dominant = detect_period(y.data(), y.size(), upper_limit);
  if (dominant <= 1 || count == 0) return found;
  // A shorter season inside the dominant one (a day inside a week shows at its own lag). Lags
  // next to a divisor of the dominant season are read as that divisor: noise moves a peak by a
  // step more easily than a real season is one step off a whole fraction of another.
  std::vector<int> shorter;
  if (count > 1 && dominant >= 4) {
    int q = detect_period(y.data(), y.size(), dominant / 2);
    const int slack = std::max(1, q / 20);
    for (int d = q - slack; q > 1 && d <= q + slack; ++d) {
      if (d >= 2 && dominant % d == 0 && dominant % q != 0) q = d;
    }
    double strength = 0.0;
    if (q > 1) without_season(y, static_cast<std::size_t>(q), &strength);
    // Two to four cycles of q in the dominant season are its harmonics, which the dominant
    // season's own indices carry; a nested season has more (a week of 7 days, a day of 24 hours).
    if (q > 1 && 5 * q <= dominant && strength >= kMinSeasonStrength) shorter.push_back(q);
  }
  std::sort(shorter.begin(), shorter.end());
  // What the shorter seasons leave: the dominant season measured again there (a year of
  // daily data peaks at 364, a whole number of weeks, until the week is taken out), then
  // longer seasons still.
  std::vector<double> rest = y;
  for (int q : shorter) rest = without_season(rest, static_cast<std::size_t>(q));
  found = shorter;
  int longest = shorter.empty() ? 1 : shorter.back();
  for (bool first = true; found.size() < count; first = false) {
    int p = detect_period(rest.data(), rest.size(), upper_limit);
    if (first && p < 2 * longest) p = dominant;
    // As above: a longer season holds at least five of the shorter one's cycles (the first
    // season has none before it: a quarter's 4 is a season).
    if (p <= 1 || (!found.empty() && p < 5 * longest)) break;
    // Calendar cycles nest, a handful of shorter ones in a longer one (a week of 7 days of 24
    // hours): a broad peak that noise moved off such a multiple by up to 1% is that multiple;
    // up to 2% (the calendar's tolerance, near_calendar) it is when the multiple's seasonal means
    // explain at least as much of what the shorter seasons leave. The autocorrelation of a
    // long season peaks broadly, where a level that wanders easily moves it by a step or two,
    // while seasonal means over several cycles blur as soon as the length is a step off.
    // This holds whether the shorter season was the dominant one or was found inside it. A
    // year is no whole number of weeks, so long multiples are left as found.
    if (!found.empty() && p % longest != 0) {
      const int near = (p + longest / 2) / longest * longest;
      const int off = std::abs(near - p);
      if (near <= 12 * longest && off * 100 <= p) {
        p = near;
      } else if (near <= 12 * longest && off * 50 <= p &&
                 adjusted_strength(rest, static_cast<std::size_t>(near)) >=
                     adjusted_strength(rest, static_cast<std::size_t>(p))) {
        p = near;
      }
    }
    double strength = 1.0;
    std::vector<double> next = without_season(rest, static_cast<std::size_t>(p), &strength);
    // A season beyond the first must explain its share of what the others leave, too.
    if (!found.empty() && strength < kMinSeasonStrength) break;
    found.push_back(p);
    longest = p;
    rest = std::move(next);
  }
  return found;
}

std::vector<int> detect_seasons(const double* x, std::size_t n) {
  const std::size_t len = std::min(n, kSeasonWindow);
  const auto upper = static_cast<int>(std::min<std::size_t>(kMaxDetectedSeason, len / 3));
  if (upper < 2) return {};
  return detect_periods(x + (n - len), len, upper);
}

namespace {

// Index of the calendar season within 2% (at least one step) of `period`; -1 for none.
int near_calendar(double period, const std::vector<double>& calendar) {
  for (std::size_t i = 0; i < calendar.size(); ++i) {
    const double c = calendar[i];
    if (c >= 2.0 && std::fabs(period - c) <= std::max(1.0, 0.02 * c)) return static_cast<int>(i);
  }
  return -1;
}

// The correlation of the deviations of y from its centred moving average of length p (as
// without_season takes them) with those one season later: a season repeats, while the swings
// of a wandering level around its average do not.
double seasonal_repeat(const std::vector<double>& y, std::size_t p) {
  const std::size_t n = y.size(), half = p / 2;
  if (n < 2 * p + 1) return 0.0;
  std::vector<double> c(n + 1, 0.0);
  for (std::size_t i = 0; i < n; ++i) c[i + 1] = c[i] + y[i];
  std::vector<double> dev(n, 0.0);
  for (std::size_t i = half; i + half < n; ++i) {
    const double ma = p % 2 == 1
                          ? (c[i + half + 1] - c[i - half]) / static_cast<double>(p)
                          : (c[i + half] - c[i - half + 1] + 0.5 * (y[i - half] + y[i + half])) /
                                static_cast<double>(p);
    dev[i] = y[i] - ma;
  }
  double sab = 0.0, saa = 0.0, sbb = 0.0;
  for (std::size_t i = half; i + p + half < n; ++i) {
    sab += dev[i] * dev[i + p];
    saa += dev[i] * dev[i];
    sbb += dev[i + p] * dev[i + p];
  }
  return saa > 0.0 && sbb > 0.0 ? sab / std::sqrt(saa * sbb) : 0.0;
}

}  // namespace

int calendar_season(const double* x, std::size_t n, const std::vector<double>& calendar,
                    int upper_limit) {
  const std::size_t len = std::min(n, kSeasonWindow);
  const std::vector<double> y = filled(x + (n - len), len);
  for (const double c : calendar) {
    const long r = std::lround(c);
    if (r < 2 || r > upper_limit) continue;
    // The bar the search sets a persistent series (detect_period): a correlation of 0.5.
    if (adjusted_strength(y, static_cast<std::size_t>(r)) >= kMinSeasonStrength &&
        seasonal_repeat(y, static_cast<std::size_t>(r)) >= 0.5) {
      return static_cast<int>(r);
    }
  }
  return 1;
}

std::string season_not_fitted(std::int64_t m, bool too_short) {
  return "season of " + std::to_string(m) + " not fitted: " +
         (too_short ? "fewer than two seasons of data"
                    : "the forms without it score better (AICc)");
}

int named_season(const std::vector<double>& calendar) {
  if (calendar.size() != 1) return 1;
  const double c = calendar.front();
  const long whole = std::lround(c);
  return whole >= 2 && std::fabs(c - static_cast<double>(whole)) < 1e-6 ? static_cast<int>(whole)
                                                                        : 1;
}

int calendar_period(int period, const std::vector<double>& calendar) {
  const int i = near_calendar(period, calendar);
  return i < 0 ? period : static_cast<int>(std::lround(calendar[static_cast<std::size_t>(i)]));
}

std::vector<int> detect_seasons(const double* x, std::size_t n,
                                const std::vector<double>& calendar) {
  std::vector<int> found = detect_seasons(x, n);
  if (calendar.empty()) return found;
  for (int& p : found) p = calendar_period(p, calendar);
  const std::size_t len = std::min(n, kSeasonWindow);
  const std::vector<double> y = filled(x + (n - len), len);
  for (const double c : calendar) {
    const long r = std::lround(c);
    if (r < 2 || r > kMaxDetectedSeason || static_cast<std::size_t>(3 * r) > y.size()) continue;
    if (std::any_of(found.begin(), found.end(), [&](int p) { return near_calendar(p, {c}) >= 0; }))
      continue;
    // Seasons nest as detect_periods has them: each at least five times as long as every
    // shorter one (a week of 7 days, not 12 months beside a found 6 or 24).
    if (std::any_of(found.begin(), found.end(),
                    [&](int p) { return p < r ? r < 5 * p : p < 5 * r; }))
      continue;
    // What the shorter seasons found leave.
    std::vector<double> rest = y;
    for (int p : found) {
      if (p < r) rest = without_season(rest, static_cast<std::size_t>(p));
    }
    if (adjusted_strength(rest, static_cast<std::size_t>(r)) >= kMinSeasonStrength) {
      found.push_back(static_cast<int>(r));
    }
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

int detect_period(const double* x, std::size_t n, int upper_limit) {
  if (upper_limit < 2) return 1;
  std::vector<double> y = filled(x, n);
  if (y.size() < 8) return 1;
  // Work on a scale near one so that huge or tiny magnitudes behave alike.
  double scale = 0.0;
  for (double v : y) scale = std::max(scale, std::fabs(v));
  if (!(scale > 0.0) || !std::isfinite(scale)) return 1;
  for (double& v : y) v /= scale;

  detrend(y);
  // In a persistent series (lag-one autocorrelation above 0.8) a peak in the levels must also
  // reach 0.5: a smooth long season is that persistent too, but persistence alone peaks lower.
  const std::vector<double> r1 = acf(y, 1);
  int found = strongest_period(y, upper_limit, r1[1] > 0.8 ? 0.5 : 0.0, false);
  if (found <= 1) {
    // A trend that is not linear, or a level that wanders, hides a season behind an
    // autocorrelation that decays slowly; in the changes of the series it stands out.
    std::vector<double> d(y.size() - 1);
    for (std::size_t i = 1; i < y.size(); ++i) d[i - 1] = y[i] - y[i - 1];
    detrend(d);
    found = strongest_period(d, upper_limit, 0.0, true);
  }
  // The peak locates the season only to within a lag when it rides on a trend or a wandering
  // level (monthly data peaking at 11 or 13): of the peak's lag and its two neighbours, the
  // season is the length whose seasonal means explain the most of the variance around the
  // moving average, adjusted for their number (the strength of Wang, Smith & Hyndman 2006,
  // adjusted as R^2 is by Ezekiel 1930). A neighbour keeps to the same bounds as the search:
  // at least three of its cycles in the data.
  if (found > 2) {
    int best = found;
    double best_s = adjusted_strength(y, static_cast<std::size_t>(found));
    const auto most = static_cast<std::size_t>(y.size() / 3);
    for (int q : {found - 1, found + 1}) {
      if (q > upper_limit || q < 2 || static_cast<std::size_t>(q) > most) continue;
      const double sq = adjusted_strength(y, static_cast<std::size_t>(q));
      if (sq > best_s) best_s = sq, best = q;
    }
    found = best;
  }
  return found;
}

}  // namespace tarn
