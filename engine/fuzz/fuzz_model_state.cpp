// libFuzzer target: the model-state decoder and random sequences of updates and forecasts, for
// every builder of the engine.
//
// The first input byte picks the mode:
//   0: the rest is a serialised state; a state that decodes must forecast, update and
//      re-serialise to the same bytes.
//   1: build a model from option bytes, then run operations decoded from the rest (updates with
//      gaps, NaN and extreme values, forecasts, stale updates, resets, save/load round trips).
//   2: like 1, then garble the model's state with the remaining bytes and decode it.
// Invariants checked (a violation aborts): forecasts from finite data are finite; a decoded
// state re-serialises to the bytes it came from; a round trip forecasts identically. Only the
// engine's own errors (tarn::Error, tarn::FormatError) may be thrown.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/model.hpp"
#include "tarn/model_table.hpp"
#include "tarn/sampling.hpp"

namespace {

class Bytes {
 public:
  Bytes(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
  bool empty() const { return i_ >= n_; }
  std::uint8_t u8() { return i_ < n_ ? p_[i_++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
  std::string rest() {
    std::string s(reinterpret_cast<const char*>(p_ + i_), n_ - std::min(i_, n_));
    i_ = n_;
    return s;
  }
  // A value: mostly moderate numbers, sometimes NaN, zero, or extreme magnitudes.
  double value() {
    const std::uint8_t k = u8();
    const double x = (static_cast<double>(u16()) - 32768.0) / 64.0;
    switch (k % 16) {
      case 0:
        return std::numeric_limits<double>::quiet_NaN();
      case 1:
        return 0.0;
      case 2:
        return x * 1e9;
      case 3:
        return x * 1e-9;
      default:
        return x;
    }
  }

 private:
  const std::uint8_t* p_;
  std::size_t n_;
  std::size_t i_ = 0;
};

[[noreturn]] void fail(const char* what, const tarn::Model& m) {
  std::fprintf(stderr, "invariant violated: %s\nmodel: %s\n", what, m.describe().c_str());
  std::abort();
}

void check_forecasts(const tarn::Model& m, bool finite_data) {
  if (!m.is_initialized()) return;
  for (double h : {1.0, 1.5, 3.0, 25.0}) {
    const double f = m.forecast_steps(h);
    if (finite_data && !std::isfinite(f)) fail("non-finite forecast from finite data", m);
  }
}

void check_round_trip(const tarn::Model& m) {
  const std::string s = m.serialize();
  auto copy = tarn::Model::deserialize(s);
  if (copy->serialize() != s) fail("state does not round-trip", m);
  if (m.is_initialized()) {
    const double a = m.forecast_steps(2.0), b = copy->forecast_steps(2.0);
    if (!(a == b || (std::isnan(a) && std::isnan(b)))) fail("copy forecasts differently", m);
  }
}

// The string values the table knows for option `key`: its defaults, the forecaster's search
// values and the texts its model ids test.
std::vector<std::string> known_texts(const std::string& key) {
  std::vector<std::string> out;
  auto add = [&](const tarn::Value& v) {
    if (v.type() == tarn::Value::Type::String &&
        std::find(out.begin(), out.end(), v.text()) == out.end())
      out.push_back(v.text());
  };
  for (const auto& e : tarn::model_table()) {
    for (const auto& o : e.options)
      if (o.first == key) add(o.second);
    for (const auto& p : e.forecaster.search)
      if (p.key == key)
        for (const auto& v : p.values) add(v);
    for (const auto& rule : e.forecaster.ids)
      for (const auto& c : rule.conditions)
        if (c.key == key) add(c.value);
  }
  return out;
}

// A text for a string option: one the table knows for it, a comma-separated list of the
// selector's candidates, or a name that no option accepts.
std::string text_value(const std::string& key, Bytes& in) {
  const std::uint8_t k = in.u8();
  const std::vector<std::string> known = known_texts(key);
  if (k % 4 != 0 && !known.empty()) return known[in.u8() % known.size()];
  if (k % 4 == 3) return "no_such_name";
  std::string list;
  const std::vector<std::string> candidates = tarn::candidate_families();
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if ((k >> (2 + i % 6)) & 1) list += (list.empty() ? "" : ",") + candidates[i];
  }
  return list;
}

// A whole number for an integer option: mostly small (-1 to 16, so that orders and seasons stay
// cheap), sometimes up to 64 (training sizes).
std::int64_t number_value(Bytes& in) {
  const std::uint8_t k = in.u8();
  if (k & 0x80) return 1 + in.u8() % 64;
  return static_cast<std::int64_t>(k % 18) - 1;
}

// Options for `builder`, read from its entry in the table of models: each option is left out or
// given a value of the type of its default (a fraction when the default is one) (an option without
// a default gets a flag or a number). Values the builder rejects end the input early, so mostly
// sensible values are drawn.
tarn::Options options_for(const std::string& builder, Bytes& in) {
  tarn::Options o;
  const tarn::ModelEntry* entry = tarn::find_model(builder);
  if (!entry) return o;
  for (const auto& [key, def] : entry->options) {
    const std::uint8_t k = in.u8();
    if (k % 3 == 0) continue;  // left out: the builder's default
    switch (def.type()) {
      case tarn::Value::Type::Bool:
        o[key] = (k & 4) != 0;
        break;
      case tarn::Value::Type::Number:
        if (def.is_integral())
          o[key] = number_value(in);
        else
          o[key] = static_cast<double>(number_value(in)) / 16.0;
        break;
      case tarn::Value::Type::String:
        o[key] = text_value(key, in);
        break;
      case tarn::Value::Type::None:
        if (k & 4)
          o[key] = (k & 8) != 0;
        else
          o[key] = number_value(in);
        break;
    }
  }
  return o;
}

// Quantiles and a few sample paths of the model (they clone and update it): no NaN.
void check_quantiles_and_paths(const tarn::Model& m, std::uint8_t seed) {
  if (!m.is_initialized()) return;
  constexpr std::size_t kSteps = 3;
  double q[kSteps];
  for (const double p : {0.05, 0.5, 0.95}) {
    tarn::forecast_quantile_path(m, kSteps, p, q);
    for (const double v : q) {
      if (std::isnan(v)) fail("quantile is NaN", m);
    }
  }
  const double last = static_cast<double>(m.last_time());
  const double times[kSteps] = {last + 1.0, last + 2.0, last + 3.0};
  double paths[4 * kSteps];
  tarn::RandomStream rng(seed);
  tarn::simulate_model(m, times, kSteps, 4, rng, paths);
  for (const double v : paths) {
    if (std::isnan(v)) fail("sample path value is NaN", m);
  }
}

// Runs decoded operations on m. Values fed are finite or NaN (missing), so forecasts must be
// finite.
void run_ops(tarn::Model& m, Bytes& in, std::size_t max_ops) {
  std::int64_t t = 0;
  for (std::size_t op = 0; op < max_ops && !in.empty(); ++op) {
    const std::uint8_t k = in.u8();
    try {
      switch (k % 8) {
        case 0:
        case 1:
        case 2:
        case 3: {
          const double v = in.value();
          t = std::max(t, m.last_time()) + 1 +
              (k >> 5 == 7 ? in.u8() : 0);  // mostly regular, sometimes a gap
          m.update(t, v);
          break;
        }
        case 4:
          check_forecasts(m, true);
          if (m.is_initialized())
            (void)m.forecast_at(static_cast<double>(m.last_time()) + (k >> 3));
          break;
        case 5:
          if (m.observations() == 0) break;
          m.update(m.last_time() - (k >> 4), 1.0);  // stale: must throw
          fail("stale update accepted", m);
        case 6:
          check_round_trip(m);
          break;
        case 7:
          if ((k >> 3) == 31) {
            m.reset();
            t = 0;
          } else if ((k >> 3) % 4 == 1) {
            check_quantiles_and_paths(m, k);
          }
          break;
      }
    } catch (const tarn::Error&) {
    }
  }
}

// Every builder, or those named in TARN_FUZZ_BUILDERS (comma-separated), to triage one model.
std::vector<std::string> builders_to_fuzz() {
  std::vector<std::string> all = tarn::builder_names();
  const char* env = std::getenv("TARN_FUZZ_BUILDERS");
  if (!env || !*env) return all;
  std::vector<std::string> out;
  std::string list = env;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(',', start), list.size());
    const std::string name = list.substr(start, end - start);
    if (std::find(all.begin(), all.end(), name) != all.end()) out.push_back(name);
    start = end + 1;
  }
  return out.empty() ? all : out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Bytes in(data + 1, size - 1);
  const std::uint8_t mode = data[0] % 3;
  if (mode == 0) {
    const std::string state = in.rest();
    std::unique_ptr<tarn::Model> m;
    try {
      m = tarn::Model::deserialize(state);
    } catch (const tarn::FormatError&) {
      return 0;
    }
    if (m->serialize() != state) fail("decoded state re-serialises differently", *m);
    try {
      if (m->is_initialized()) (void)m->forecast_steps(2.0);
      m->update(m->last_time() + 1, 1.0);
      if (m->is_initialized()) (void)m->forecast_steps(2.0);
    } catch (const tarn::Error&) {
    }
    return 0;
  }
  static const std::vector<std::string> names = builders_to_fuzz();
  const std::string builder = names[in.u8() % names.size()];
  std::unique_ptr<tarn::Model> m;
  try {
    m = tarn::build(builder, options_for(builder, in));
  } catch (const tarn::InvalidArgument&) {
    return 0;
  }
  run_ops(*m, in, mode == 1 ? 4096 : 200);
  check_forecasts(*m, true);
  check_round_trip(*m);
  if (mode == 2) {
    std::string state = m->serialize();
    while (!in.empty() && !state.empty()) {
      const std::size_t pos = in.u16() % state.size();
      state[pos] = static_cast<char>(in.u8());
    }
    try {
      auto g = tarn::Model::deserialize(state);
      if (g->is_initialized()) (void)g->forecast_steps(3.0);
      g->update(g->last_time() + 1, 2.0);
    } catch (const tarn::FormatError&) {
    } catch (const tarn::Error&) {
    }
  }
  return 0;
}
