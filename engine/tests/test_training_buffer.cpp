// The buffer in which models collect their initial training sample, and its saved form.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/model.hpp"
#include "tarn/serialize.hpp"
#include "tarn/training_buffer.hpp"

namespace {

using tarn::FormatError;
using tarn::Reader;
using tarn::TrainingBuffer;
using tarn::Writer;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The saved buffer as its values and its count of leading missing values.
struct Saved {
  std::vector<double> values;
  std::int64_t leading = 0;
};

Saved saved(const TrainingBuffer& b) {
  Writer w;
  b.save(w);
  Reader r(w.bytes());
  Saved s;
  s.values = r.get_vector<double>();
  s.leading = r.get<std::int64_t>();
  EXPECT_TRUE(r.at_end());
  return s;
}

std::string state(const std::vector<double>& values, std::int64_t leading) {
  Writer w;
  w.put_vector(values);
  w.put<std::int64_t>(leading);
  return w.take();
}

TEST(TrainingBuffer, LeadingMissingValuesCountTowardsTheTargetWithoutBeingKept) {
  TrainingBuffer b;
  EXPECT_FALSE(b.add(kNaN, 1, 6));
  EXPECT_FALSE(b.add(kNaN, 1, 6));
  EXPECT_TRUE(b.values().empty());
  // The first real value three steps on: two more missing steps before it.
  EXPECT_FALSE(b.add(1.0, 3, 6));
  EXPECT_EQ(b.values(), std::vector<double>{1.0});
  EXPECT_EQ(saved(b).leading, 4);
  EXPECT_TRUE(b.add(2.0, 1, 6));
  EXPECT_EQ(b.finite(), 2u);
  // Missing values alone never complete the sample, however many arrive.
  TrainingBuffer only_missing;
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(only_missing.add(kNaN, 1, 5));
  EXPECT_FALSE(only_missing.add(kNaN, std::int64_t{1} << 60, 5));
  EXPECT_TRUE(only_missing.values().empty());
  EXPECT_EQ(saved(only_missing).leading, TrainingBuffer::kMaxLeadingMissing);
}

TEST(TrainingBuffer, GapsInsideTheDataInsertAtMostTheTargetInMissingSteps) {
  TrainingBuffer b;
  EXPECT_FALSE(b.add(1.0, 1, 4));
  EXPECT_FALSE(b.add(kNaN, 1, 4));  // a missing value after a real one is kept
  EXPECT_EQ(b.values().size(), 2u);
  EXPECT_TRUE(b.add(2.0, std::int64_t{1} << 60, 4));
  const std::vector<double>& v = b.values();
  ASSERT_EQ(v.size(), 7u);
  EXPECT_EQ(v.front(), 1.0);
  EXPECT_EQ(v.back(), 2.0);
  for (std::size_t i = 1; i + 1 < v.size(); ++i) EXPECT_TRUE(std::isnan(v[i]));
  EXPECT_EQ(b.finite(), 2u);
  b.clear();
  EXPECT_TRUE(b.values().empty());
  EXPECT_EQ(b.finite(), 0u);
  EXPECT_EQ(saved(b).leading, 0);
}

TEST(TrainingBuffer, LoadsWhatItSavedAndRejectsMalformedBuffers) {
  TrainingBuffer b;
  b.add(kNaN, 2, 10);
  b.add(1.5, 1, 10);
  b.add(kNaN, 2, 10);
  Writer w;
  b.save(w);
  EXPECT_EQ(w.bytes(), state({1.5, kNaN, kNaN}, 2));
  TrainingBuffer copy;
  Reader r(w.bytes());
  copy.load(r, 10, "test");
  EXPECT_TRUE(r.at_end());
  Writer again;
  copy.save(again);
  EXPECT_EQ(again.bytes(), w.bytes());
  EXPECT_EQ(copy.finite(), 1u);

  auto load = [](TrainingBuffer& into, const std::string& s, std::size_t target) {
    Reader rd(s);
    into.load(rd, target, "test");
  };
  try {
    load(copy, state(std::vector<double>(5, 1.0), 0), 3);
    FAIL() << "a buffer longer than its model's sample loaded";
  } catch (const FormatError& e) {
    EXPECT_STREQ(e.what(), "model state: bad test buffer");
  }
  EXPECT_THROW(load(copy, state({1.0, std::numeric_limits<double>::infinity()}, 0), 3),
               FormatError);
  EXPECT_THROW(load(copy, state({1.0}, -1), 3), FormatError);
  EXPECT_THROW(load(copy, state({1.0}, TrainingBuffer::kMaxLeadingMissing + 1), 3), FormatError);
  EXPECT_THROW(load(copy, state({1.0}, 0).substr(0, 12), 3), FormatError);
  // A failed load leaves the buffer as it was.
  Writer after;
  copy.save(after);
  EXPECT_EQ(after.bytes(), w.bytes());
}

// Leading missing values over a timestamp jump close to the whole range of the time axis: the
// count saturates, the state still loads, and the first real value starts the fit.
TEST(TrainingBuffer, LeadingMissingCountSaturatesOverTheWholeTimeAxis) {
  TrainingBuffer b;
  b.add(kNaN, TrainingBuffer::kMaxLeadingMissing - 1, 10);
  EXPECT_FALSE(b.add(kNaN, std::numeric_limits<std::int64_t>::max() - 2048, 10));
  EXPECT_EQ(saved(b).leading, TrainingBuffer::kMaxLeadingMissing);
  for (const char* kind : {"bats", "theta", "snaive", "auto"}) {
    const std::string size =
        std::string(kind) == "auto" ? "min_training_data" : "training_sample_size";
    auto m = tarn::build(kind, {{size, std::int64_t{10}}});
    const std::int64_t t0 = -TrainingBuffer::kMaxLeadingMissing - 2;
    m->update(t0, kNaN);
    m->update(t0 + 1, kNaN);  // the grid step: 1
    m->update(-1, kNaN);
    // Models take gaps up to the longest they span; the count saturates well before that.
    EXPECT_THROW(m->update(-1 + (std::numeric_limits<std::int64_t>::max() - 2048), kNaN),
                 tarn::GapTooLarge)
        << kind;
    const std::int64_t last = -1 + static_cast<std::int64_t>(tarn::Model::kMaxGapSteps);
    m->update(last, kNaN);
    auto copy = tarn::Model::deserialize(m->serialize());
    EXPECT_EQ(copy->serialize(), m->serialize()) << kind;
    EXPECT_FALSE(copy->is_initialized()) << kind;
    copy->update(last + 1, 3.0);
    EXPECT_TRUE(copy->is_initialized()) << kind;
    EXPECT_EQ(copy->forecast_steps(1.0), 3.0) << kind;
  }
}

}  // namespace
