// Theta, complex exponential smoothing and seasonal naive held to the exact forecasts, bands,
// descriptions and saved states they gave when these values were recorded: a change of their
// shared plumbing must leave every bit as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/model.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;

struct Series {
  const char* name;
  std::vector<std::int64_t> t;
  std::vector<double> y;
  std::size_t training;     // values before the fit
  std::int64_t season = 0;  // the season length given (0: found)
};

// Deterministic series (no random streams: their distributions differ between libraries).
std::vector<Series> series() {
  std::vector<Series> out;
  Series trend{"trend", {}, {}, 30};
  for (int i = 0; i < 36; ++i) {
    trend.t.push_back(i);
    trend.y.push_back(50.0 + 1.5 * i + 3.0 * std::sin(1.7 * i));
  }
  out.push_back(trend);
  Series monthly{"monthly", {}, {}, 48, 12};
  for (int i = 0; i < 54; ++i) {
    monthly.t.push_back(i);
    monthly.y.push_back((100.0 + 0.5 * i) * (1.0 + 0.4 * std::sin(2.0 * kPi * i / 12.0)) +
                        2.0 * std::cos(2.3 * i));
  }
  out.push_back(monthly);
  // Values of both signs around a season of 4, a missing value and a gap in the training data,
  // and after the fit a gap, a missing value and a gap of several seasons.
  Series signed_{"signed", {}, {}, 39};
  std::int64_t t = 0;
  for (int i = 0; i < 44; ++i) {
    signed_.t.push_back(t);
    const double phase[] = {-6.0, 1.0, 4.0, 1.5};
    signed_.y.push_back(i == 9 ? kNaN : 0.3 * i + phase[i % 4] + std::sin(3.1 * i));
    t += i == 20 ? 3 : i == 40 ? 2 : i == 42 ? 13 : 1;
  }
  out.push_back(signed_);
  return out;
}

// FNV-1a over the bytes of everything a model gives out.
struct Digest {
  std::uint64_t h = 14695981039346656037ULL;
  void add(const std::string& bytes) {
    for (unsigned char c : bytes) {
      h ^= c;
      h *= 1099511628211ULL;
    }
  }
  void add(double v) {
    char bytes[sizeof v];
    std::memcpy(bytes, &v, sizeof v);
    add(std::string(bytes, sizeof v));
  }
};

// Forecasts at 1, 2.5, 7 and 30 steps; 80% bands at 1 and 12 steps; the 95% band at 12 steps.
std::vector<double> outputs(const tarn::Model& m) {
  std::vector<double> v;
  for (double h : {1.0, 2.5, 7.0, 30.0}) v.push_back(m.forecast_steps(h));
  for (auto [h, c] : {std::pair{1.0, 0.8}, std::pair{12.0, 0.8}, std::pair{12.0, 0.95}}) {
    const auto b = m.forecast_interval_steps(h, c);
    v.push_back(b.first);
    v.push_back(b.second);
  }
  return v;
}

// The digest of each model over every series: its states after three values, at the end of the
// training values and at the end; its descriptions and outputs() at the latter two.
const std::map<std::string, std::uint64_t> kPinned = {
    {"theta", 9359886961856617911ULL},
    {"ces", 6011224925115041097ULL},
    {"snaive", 6367272728742144989ULL},
};

class Pinned : public ::testing::TestWithParam<std::string> {};

TEST_P(Pinned, ForecastsBandsAndStatesStayBitForBit) {
  Digest d;
  std::ostringstream seen;  // what went into the digest, to compare by eye when it changes
  seen.precision(17);
  auto take = [&](const tarn::Model& m, const char* when) {
    d.add(m.serialize());
    if (!m.is_initialized()) return;
    d.add(m.describe());
    seen << "  " << when << ": " << m.describe() << "\n   ";
    for (double v : outputs(m)) {
      d.add(v);
      seen << " " << v;
    }
    seen << "\n";
  };
  for (const Series& s : series()) {
    seen << s.name << "\n";
    auto m =
        tarn::build(GetParam(), {{"training_sample_size", static_cast<std::int64_t>(s.training)},
                                 {"season_length", s.season}});
    for (std::size_t i = 0; i < s.y.size(); ++i) {
      m->update(s.t[i], s.y[i]);
      if (i + 1 == 3) take(*m, "after three values");
      if (i + 1 == s.training) {
        ASSERT_TRUE(m->is_initialized());
        take(*m, "fitted");
      }
    }
    take(*m, "at the end");
    // A copy from the state forecasts the same.
    EXPECT_EQ(outputs(*tarn::Model::deserialize(m->serialize())), outputs(*m));
  }
  EXPECT_EQ(d.h, kPinned.at(GetParam())) << "now " << d.h << "ULL from\n" << seen.str();
}

// reset() (after the fit or while collecting) and restore() of a state still collecting its
// training values leave nothing behind: the model then goes on exactly as a new one would.
TEST_P(Pinned, ResetAndRestoreForgetTheFit) {
  const std::vector<Series> all = series();
  const Series& first = all[1];  // a season, so that every part of the fit is set
  const Series& second = all[2];
  auto feed = [](tarn::Model& m, const Series& s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) m.update(s.t[i], s.y[i]);
  };
  auto make = [&](const Series& s) {
    return tarn::build(GetParam(),
                       {{"training_sample_size", static_cast<std::int64_t>(s.training)}});
  };
  auto fresh = make(second);
  feed(*fresh, second, second.y.size());

  auto reused = make(second);
  feed(*reused, first, first.y.size());
  ASSERT_TRUE(reused->is_initialized());
  reused->reset();
  EXPECT_FALSE(reused->is_initialized());
  feed(*reused, first, 3);  // and once while it collects
  reused->reset();
  feed(*reused, second, second.y.size());
  EXPECT_EQ(reused->serialize(), fresh->serialize());
  EXPECT_EQ(reused->describe(), fresh->describe());

  auto collecting = make(second);
  feed(*collecting, second, 5);
  const std::string early = collecting->serialize();
  auto restored = make(second);
  feed(*restored, first, first.y.size());
  restored->restore(early);
  EXPECT_FALSE(restored->is_initialized());
  EXPECT_EQ(restored->serialize(), early);
  for (std::size_t i = 5; i < second.y.size(); ++i) restored->update(second.t[i], second.y[i]);
  EXPECT_EQ(restored->serialize(), fresh->serialize());
  EXPECT_EQ(outputs(*restored), outputs(*fresh));
}

INSTANTIATE_TEST_SUITE_P(Models, Pinned, ::testing::Values("theta", "ces", "snaive"));

}  // namespace
