// The buffer in which models collect their initial training sample, and its saved form.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

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

}  // namespace
