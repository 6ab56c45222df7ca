#include "tarn/series_job.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tarn/forecaster.hpp"
#include "tarn/interrupt.hpp"
#include "tarn/model.hpp"
#include "tarn/regression.hpp"
#include "tarn/season.hpp"

namespace tarn {

namespace {

bool present(const Options& kw, const std::string& key) {
  auto it = kw.find(key);
  return it != kw.end() && !it->second.is_none();
}

// Python's round(x, 14): the decimal rounding of the exact binary value.
double round14(double x) {
  if (!std::isfinite(x)) return x;
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.14f", x);
  return std::strtod(buf, nullptr);
}

// Python's int() of a number: truncation toward zero, as an integral value.
Value truncated(double x) {
  return Value(static_cast<std::int64_t>(std::trunc(x)));
}

struct Plan {
  ModelPlan& out;
  const Options& kw;
  std::int64_t n;

  bool known() const { return n >= 0; }
  double N() const { return static_cast<double>(n); }

  void put(const std::string& key, const Value& v, bool caller) {
    for (std::size_t i = 0; i < out.recorded.size(); ++i) {
      if (out.recorded[i].first == key) {
        out.recorded[i].second = v;
        out.caller[i] = caller;
        return;
      }
    }
    out.recorded.emplace_back(key, v);
    out.caller.push_back(caller);
  }
  bool has(const std::string& key) const {
    for (const auto& kv : out.recorded) {
      if (kv.first == key) return true;
    }
    return false;
  }
  const Value& get(const std::string& key) const {
    for (const auto& kv : out.recorded) {
      if (kv.first == key) return kv.second;
    }
    static const Value none;
    return none;
  }
  void write(const std::string& key, const Value& v) {
    for (auto& kv : out.written) {
      if (kv.first == key) {
        kv.second = v;
        return;
      }
    }
    out.written.emplace_back(key, v);
  }

  // A value below 1 is a share of the training length (when known); a count of 0 or less is
  // replaced by the fallback, when there is one.
  Value fraction(const Value& v, const Value& fallback, bool* changed) const {
    *changed = false;
    if (v.number() < 1.0 && known()) {
      *changed = true;
      const Value count = truncated(round14(v.number() * N()));
      if (!fallback.is_none() && !(count.number() > 0.0)) return fallback;
      return count;
    }
    return v;
  }
};

std::string shown(const Value& v) {
  if (v.is_bool()) return v.number() != 0.0 ? "True" : "False";
  if (v.is_number() && !v.is_integral()) return float_repr(v.number());
  return v.repr();
}

void plan_table(Plan& p, const ModelEntry& entry) {
  const ForecasterEntry& f = entry.forecaster;
  Options kw = p.kw;
  if (!f.size_key.empty() && kw.find(f.size_key) == kw.end()) kw[f.size_key] = kWholeSeries;
  for (const auto& s : f.settings) {
    if (!present(kw, s.key)) continue;
    const Value& v = kw.at(s.key);
    bool changed = false;
    const Value out = s.share ? p.fraction(v, s.fallback, &changed) : v;
    p.put(s.key, out, !changed && p.kw.find(s.key) != p.kw.end());
  }
  if (f.size_none_is_length && !p.has(f.size_key)) {
    p.put(f.size_key, p.known() ? Value(p.n) : Value(kSizeBeforeLength), false);
  }
  if (f.size_minimum > 0) {
    if (!p.has(f.size_key) || p.get(f.size_key).number() < static_cast<double>(f.size_minimum)) {
      p.put(f.size_key, Value(f.size_minimum), false);
    }
    p.write(f.size_key, p.get(f.size_key));
  }
  p.out.build.clear();
  for (const auto& kv : p.out.recorded) p.out.build[kv.first] = kv.second;
}

void plan_holt_winters(Plan& p) {
  const Options& kw = p.kw;
  const Value two(2);
  const Value type = present(kw, "algorithm_type") ? kw.at("algorithm_type") : Value("additive");
  if (present(kw, "min_training_data")) {
    const Value& mtd = kw.at("min_training_data");
    if (!p.known() && mtd.number() < 1.0) {
      throw InvalidArgument("min_training_data " + shown(mtd) +
                            " is a fraction of the training length, which is not known before "
                            "fit");
    }
    Value samples = mtd;
    if (samples.number() < 1.0 && mtd.number() >= 0.99) samples = Value(p.n);
    if (samples.number() < 1.0 && mtd.number() < 0.99) {
      samples = truncated(p.N() * samples.number());
    }
    if (samples.number() > 1000000.0) samples = Value(std::int64_t{1000000});
    p.put("algorithm_type", type, present(kw, "algorithm_type"));
    p.put("number_of_samples", samples, false);
    p.put("min_training_data", mtd, true);
    p.put("is_season_length", Value(false), false);
    p.out.variant = type.is_string() ? type.text() : type.repr();
    p.out.sized = true;
    p.out.build.clear();
    p.out.build["is_season_length"] = Value(false);
    p.out.build["number_of_samples"] = truncated(samples.number());
    p.out.build["algorithm_type"] = type;
    return;
  }
  for (const char* k : {"samples_per_season", "initial_training_seasons", "algorithm_type",
                        "compute_seasonality", "error_history_length", "use_full_error_history"}) {
    if (!present(kw, k)) continue;
    Value v = kw.at(k);
    const std::string key = k;
    if ((key == "samples_per_season" || key == "error_history_length") && v.number() < 1.0 &&
        p.known()) {
      if (v.number() > 0.5) v = Value(0.5);
      bool changed = false;
      const Value out = p.fraction(v, two, &changed);
      p.put(k, out, false);
    } else {
      p.put(k, v, true);
    }
  }
  if (!p.has("samples_per_season")) {
    Value season = two;
    if (p.known()) {
      season = truncated(p.N() * 0.25);
      if (!(season.number() > 0.0)) season = two;
    }
    p.put("samples_per_season", season, false);
    p.write("samples_per_season", season);
  }
  if (!p.has("initial_training_seasons")) {
    Value seasons = two;
    if (p.known()) {
      const Value season = truncated(p.get("samples_per_season").number());
      if (!(season.number() > 0.0)) {
        throw InvalidArgument("samples_per_season must be at least 1, got " +
                              shown(p.get("samples_per_season")));
      }
      seasons = truncated(p.N() / season.number());
      if (!(seasons.number() > 0.0)) seasons = Value(1);
    }
    p.put("initial_training_seasons", seasons, false);
    p.write("initial_training_seasons", seasons);
  }
  if (!p.has("algorithm_type")) p.put("algorithm_type", Value("additive"), false);
  const Value& t = p.get("algorithm_type");
  p.out.variant = t.is_string() ? t.text() : t.repr();
  p.out.build.clear();
  for (const auto& kv : p.out.recorded) p.out.build[kv.first] = kv.second;
}

// The known values of a target, as the forecaster reads it: any finite value, and the first
// negative one (for the non-negative option).
std::string check_target(const double* x, std::size_t n, bool nonnegative) {
  bool any = false;
  for (std::size_t i = 0; i < n && !any; ++i) any = std::isfinite(x[i]);
  if (!any) {
    return "target column 0 has no values to train on: none of its " + std::to_string(n) +
           " values is a finite number (all are missing)";
  }
  if (nonnegative) {
    for (std::size_t i = 0; i < n; ++i) {
      if (x[i] < 0.0) {
        return "nonnegative=True needs a target without negative values, but target column 0 "
               "holds " +
               float_repr(x[i]) + " at row " + std::to_string(i);
      }
    }
  }
  return {};
}

void censor(std::vector<double>& v) {
  for (double& x : v) {
    if (x < 0.0) x = 0.0;
  }
}

}  // namespace

std::string float_repr(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buf[64];
  int p = 1;
  for (; p <= 17; ++p) {
    std::snprintf(buf, sizeof buf, "%.*e", p - 1, x);
    if (std::strtod(buf, nullptr) == x) break;
  }
  // buf: [-]d[.ddd]e[+-]XX
  std::string s(buf);
  const bool negative = s[0] == '-';
  if (negative) s.erase(0, 1);
  const std::size_t e = s.find('e');
  const int exponent = std::atoi(s.c_str() + e + 1);
  std::string digits;
  for (std::size_t i = 0; i < e; ++i) {
    if (s[i] != '.') digits += s[i];
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const int decpt = exponent + 1;  // the value is 0.digits x 10^decpt
  const auto nd = static_cast<int>(digits.size());
  std::string out;
  if (decpt <= -4 || decpt > 16) {
    out = digits.substr(0, 1);
    if (nd > 1) out += "." + digits.substr(1);
    char ex[16];
    std::snprintf(ex, sizeof ex, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    out += ex;
  } else if (decpt <= 0) {
    out = "0." + std::string(static_cast<std::size_t>(-decpt), '0') + digits;
  } else if (decpt >= nd) {
    out = digits + std::string(static_cast<std::size_t>(decpt - nd), '0') + ".0";
  } else {
    out = digits.substr(0, static_cast<std::size_t>(decpt)) + "." +
          digits.substr(static_cast<std::size_t>(decpt));
  }
  return negative ? "-" + out : out;
}

ModelPlan plan_model(const std::string& algorithm, const Options& kw, std::int64_t n) {
  ModelPlan out;
  out.entry = find_algorithm(algorithm);
  if (!out.entry) throw InvalidArgument("unknown algorithm '" + algorithm + "'");
  Plan p{out, kw, n};
  if (out.entry->forecaster.own_rules) {
    plan_holt_winters(p);
  } else {
    plan_table(p, *out.entry);
  }
  return out;
}

std::unique_ptr<Model> build_planned(const ModelPlan& plan) {
  return build(plan.entry->name, plan.build);
}

SettingList training_fills(const ForecasterEntry& f, const SeriesSizes& sizes, std::int64_t n,
                           const std::vector<std::string>& given, const Value& season) {
  SettingList out;
  auto is_given = [&given](const char* k) {
    return std::find(given.begin(), given.end(), k) != given.end();
  };
  auto fill = [&](const char* k, const Value& v) {
    if (!is_given(k)) out.emplace_back(k, v);
  };
  if (f.season_sized) {
    fill("samples_per_season", Value(sizes.period));
    const Value period = is_given("samples_per_season") ? season : Value(sizes.period);
    if (!is_given("initial_training_seasons") && (period.is_number() || period.is_bool()) &&
        period.number() > 0.0) {
      fill("initial_training_seasons", truncated(static_cast<double>(n) / period.number()));
    }
  }
  fill("error_history_length", Value(2));
  fill("error_horizon_length", Value(2));
  if (f.season_sized) {
    fill("min_training_data", Value(sizes.training));
    fill("training_sample_size", Value(sizes.training));
  }
  return out;
}

std::int64_t given_season(const Value& v, std::int64_t n) {
  if (v.is_none()) return 0;
  if (!v.is_number() || v.is_bool() || !std::isfinite(v.number()) || v.number() < 0.0) {
    throw InvalidArgument(
        "samples_per_season must be a season length in steps, or a share of the "
        "training length below 1, got " +
        shown(v));
  }
  double x = v.number();
  if (x >= 1.0) return static_cast<std::int64_t>(std::trunc(std::min(x, 1e15)));
  if (x == 0.0) return 0;
  x = std::min(x, 0.5);
  const auto count = static_cast<std::int64_t>(std::trunc(round14(x * static_cast<double>(n))));
  return count > 0 ? count : 2;
}

Value retry_size(std::int64_t attempt, std::int64_t n) {
  return Value(arima_attempt_size(attempt, n));
}

namespace {

using ModelPtr = std::shared_ptr<Model>;

void set(Options& o, const SettingList& settings) {
  for (const auto& kv : settings) o[kv.first] = kv.second;
}

void run_job(const SeriesJob& job, SeriesResult& r) {
  const std::size_t n = job.n;
  const auto h = static_cast<std::size_t>(std::max<std::int64_t>(job.horizon, 0));
  const std::size_t k = job.n_regressors;
  auto fail = [&r](std::string text, const char* kind) {
    r.error = std::move(text);
    r.error_kind = kind;
  };
  // The season: given, or the one the data show.
  if (job.season > 0) {
    r.season = job.season;
  } else {
    r.season =
        std::max<std::int64_t>(1, series_sizes(job.values, n, 200, 8, job.calendar_seasons).period);
  }
  // The settings of the algorithm (as the forecaster is given them).
  bool log = log_transformable(job.values, n) && k == 0;
  Options args;
  args["algorithm"] = Value(job.algorithm);
  std::vector<std::string> given;
  if (job.algorithm == "hw") {
    const HoltWintersSizes s = holt_winters_sizes(static_cast<std::int64_t>(n), r.season);
    args["samples_per_season"] = Value(s.samples_per_season);
    args["initial_training_seasons"] = Value(s.initial_training_seasons);
    args["algorithm_type"] = Value("additive");
    given = {"samples_per_season", "initial_training_seasons"};
    // A season given that the data hold fewer than two cycles of is left out, and said.
    if (job.season > 1 && s.samples_per_season == 1) {
      r.notes.push_back(job.algorithm + ": " + season_not_fitted(job.season, true));
    }
  } else if (job.season > 0) {
    // A season given is the caller's samples_per_season, as the forecaster is given it.
    args["samples_per_season"] = Value(job.season);
    given = {"samples_per_season"};
  }
  const ModelEntry* entry = find_algorithm(job.algorithm);
  if (!entry) {
    fail("unknown algorithm '" + job.algorithm + "'", "ValueError");
    return;
  }
  // Regressors must be finite to train on.
  for (std::size_t i = 0; i < n * k; ++i) {
    if (!std::isfinite(job.regressors[i])) {
      fail("exog_columns: regressor column " + std::to_string(1 + i % k) + ", row " +
               std::to_string(i / k) + " is " + float_repr(job.regressors[i]) +
               "; regressors must be finite to train on",
           "ValueError");
      return;
    }
  }
  const std::string bad = check_target(job.values, n, job.nonnegative);
  if (!bad.empty()) {
    fail(bad, "ValueError");
    return;
  }
  const auto length = static_cast<std::int64_t>(n);
  const SeriesSizes sizes = entry->forecaster.season_sized
                                ? series_sizes(job.values, n, 200, 8, job.calendar_seasons)
                                : SeriesSizes{};
  const Value season = args.count("samples_per_season") ? args["samples_per_season"] : Value();
  set(args, training_fills(entry->forecaster, sizes, length, given, season));
  std::string variant;
  std::vector<ModelPtr> first;
  try {
    const ModelPlan plan = plan_model(job.algorithm, args, length);
    set(args, plan.written);
    variant = plan.variant;
    first.push_back(ModelPtr(build_planned(plan)));
  } catch (const Interrupted&) {
    throw;
  } catch (const std::exception& e) {
    fail(e.what(), "Exception");
    return;
  }
  if (k) {
    try {
      Regression::check_inner_kind(first[0]->kind());
    } catch (const std::exception& e) {
      fail(std::string("exog_columns: ") + e.what(), "ValueError");
      return;
    }
  }
  Forecaster::TrainInput in;
  std::vector<std::int64_t> stamps(n);
  for (std::size_t i = 0; i < n; ++i) stamps[i] = static_cast<std::int64_t>(i);
  in.timestamps = stamps.data();
  in.series = job.values;
  in.n = n;
  in.n_targets = 1;
  in.log_transform = log;
  in.retry_sizes = entry->forecaster.retries_sizes && n > 50;
  in.regressors = k ? job.regressors : nullptr;
  in.n_regressors = k;
  in.calendar_seasons = job.calendar_seasons;
  if (!entry->forecaster.own_rules) in.season = job.season;
  auto retry = [&](std::size_t, std::int64_t attempt) -> ModelPtr {
    args["min_training_data"] = retry_size(attempt, length);
    const ModelPlan plan = plan_model(job.algorithm, args, length);
    set(args, plan.written);
    return ModelPtr(build_planned(plan));
  };
  Forecaster session;
  try {
    session.train(in, first, retry);
  } catch (const Interrupted&) {
    throw;
  } catch (const std::exception& e) {
    fail(e.what(), "Exception");
    return;
  }
  const std::string name = variant.empty() ? job.algorithm : job.algorithm + "_" + variant;
  for (const auto& m : session.models()) {
    const std::string note = m ? m->fit_note() : std::string();
    if (!note.empty()) r.notes.push_back(name + ": " + note);
  }
  if (!session.ready()) {
    fail("the model did not initialise on the training data", "ValueError");
    return;
  }
  if (entry->forecaster.one_season) {
    // Seasons the data show that the model leaves out (its season: the one its settings name,
    // else the one it finds itself).
    const auto given = args.find("samples_per_season");
    const std::int64_t carried = given != args.end() && given->second.is_number()
                                     ? static_cast<std::int64_t>(given->second.number())
                                     : r.season;
    const std::string note =
        seasons_left_out(job.values, n, job.calendar_seasons, carried).note(job.algorithm);
    if (!note.empty()) r.warnings.push_back(job.algorithm + ": " + note);
  }
  // The future regressors: enough rows, every value finite.
  if (k) {
    if (job.future_rows < h) {
      fail("future_exog has " + std::to_string(job.future_rows) +
               " rows, too few for a horizon of " + std::to_string(h) + " steps",
           "ValueError");
      return;
    }
    for (std::size_t i = 0; i < job.future_rows * k; ++i) {
      if (!std::isfinite(job.future[i])) {
        fail("future_exog row " + std::to_string(i / k) + ", column " + std::to_string(i % k) +
                 " is " + float_repr(job.future[i]) + "; future regressors must be finite",
             "ValueError");
        return;
      }
    }
  }
  session.set_nonnegative(job.nonnegative);
  const double* future = k ? job.future : nullptr;
  const std::size_t future_rows = k ? job.future_rows : 0;
  if (h == 0) return;
  Forecast fc;
  try {
    fc = session.forecast(static_cast<std::int64_t>(h), future, future_rows);
  } catch (const Interrupted&) {
    throw;
  } catch (const std::exception& e) {
    // The forecaster then goes step by step and reports the first step that fails.
    std::string text = e.what();
    double time = static_cast<double>(session.last_updated());
    const double interval = session.interval();
    try {
      for (std::size_t step = 0; step < h; ++step) {
        time += interval;
        for (const auto& m : session.models()) {
          double v = 0.0;
          const std::size_t nx = regressors_of(*m);
          if (nx && future_rows < step + 1) {
            throw InvalidArgument("future_exog is missing or too short for step " +
                                  std::to_string(step + 1));
          }
          forecast_with(*m, &time, 1, nx ? future + step * nx : nullptr, &v);
        }
      }
    } catch (const Interrupted&) {
      throw;
    } catch (const std::exception& step_error) {
      text = step_error.what();
    }
    fail(text, "Exception");
    return;
  }
  r.point.assign(fc.values.begin(), fc.values.begin() + static_cast<std::ptrdiff_t>(h));
  try {
    r.lower.resize(job.levels.size() * h);
    r.upper.resize(job.levels.size() * h);
    for (std::size_t i = 0; i < job.levels.size(); ++i) {
      session.intervals(nullptr, static_cast<std::int64_t>(h), job.levels[i], r.point.data(),
                        r.lower.data() + i * h, r.upper.data() + i * h, future, future_rows);
    }
    if (!job.probs.empty()) {
      r.quantiles.resize(job.probs.size() * h);
      session.quantiles(nullptr, static_cast<std::int64_t>(h), job.probs.data(), job.probs.size(),
                        r.point.data(), r.quantiles.data(), future, future_rows);
    }
  } catch (const Interrupted&) {
    throw;
  } catch (const std::exception& e) {
    fail(e.what(), "ValueError");
    return;
  }
  if (job.nonnegative) {
    censor(r.point);
    censor(r.lower);
    censor(r.upper);
    censor(r.quantiles);
  }
}

}  // namespace

SeriesResult forecast_series(const SeriesJob& job) {
  const auto start = std::chrono::steady_clock::now();
  SeriesResult r;
  try {
    run_job(job, r);
  } catch (const Interrupted&) {
    throw;
  } catch (const std::exception& e) {
    r.error = e.what();
    r.error_kind = "Exception";
  }
  if (!r.error.empty()) {
    r.point.clear();
    r.lower.clear();
    r.upper.clear();
    r.quantiles.clear();
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return r;
}

}  // namespace tarn
