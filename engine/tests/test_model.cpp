// The model base class (time axis, state framing) and the builder table.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "tarn/builders.hpp"
#include "tarn/model.hpp"

namespace {

// Forecasts the latest value; remembers how many grid steps the last gap spanned.
class LastValue : public tarn::Model {
 public:
  const char* kind() const override { return "test_last_value"; }
  std::unique_ptr<tarn::Model> clone() const override { return std::make_unique<LastValue>(*this); }
  double last = 0.0;
  std::int64_t last_gap = 0;

 protected:
  void observe(double v, std::int64_t gap) override {
    last_gap = gap;
    if (!std::isnan(v)) {
      last = v;
      seen = true;
    }
  }
  bool ready() const override { return seen; }
  void clear() override {
    seen = false;
    last = 0.0;
  }
  double forecast_ahead(double) const override { return last; }
  void save(tarn::Writer& w) const override {
    w.put_bool(seen);
    w.put<double>(last);
  }
  void load(tarn::Reader& r) override {
    seen = r.get_bool();
    last = r.get<double>();
  }
  bool seen = false;
};

TEST(ModelTimeAxis, GridStepGapsAndSpacing) {
  LastValue m;
  EXPECT_EQ(m.last_time(), -1);
  EXPECT_THROW(m.forecast_at(1), tarn::NotInitialized);
  m.update(10, 1.0);
  m.update(15, 2.0);
  m.update(25, 3.0);
  EXPECT_EQ(m.last_time(), 25);
  EXPECT_DOUBLE_EQ(m.average_interval(), 7.5);
  EXPECT_EQ(m.observations(), 3u);
  EXPECT_THROW(m.update(25, 4.0), tarn::StaleUpdate);
  EXPECT_THROW(m.forecast_at(std::numeric_limits<double>::quiet_NaN()), tarn::InvalidArgument);
  EXPECT_DOUBLE_EQ(m.forecast_at(20), 3.0);  // at or before the latest: one step
  m.reset();
  EXPECT_EQ(m.last_time(), -1);
  EXPECT_FALSE(m.is_initialized());
}

TEST(ModelState, FramingAndRegistry) {
  tarn::register_model_kind("test_last_value", &tarn::make_default<LastValue>);
  LastValue m;
  m.update(std::vector<std::int64_t>{1, 2, 4}, std::vector<double>{1.0, 2.0, 5.0});
  const std::string s = m.serialize();
  EXPECT_EQ(s.substr(0, 4), "TARN");
  auto copy = tarn::Model::deserialize(s);
  EXPECT_EQ(copy->serialize(), s);
  EXPECT_DOUBLE_EQ(copy->forecast_at(5), 5.0);
  std::string other = s;
  other[4] = 9;  // version
  EXPECT_THROW(tarn::Model::deserialize(other), tarn::FormatError);
  std::string unknown = s;
  unknown[14] = 'X';  // kind name
  EXPECT_THROW(tarn::Model::deserialize(unknown), tarn::FormatError);
  EXPECT_THROW(m.update(std::vector<std::int64_t>{9}, std::vector<double>{}),
               tarn::InvalidArgument);
}

TEST(ModelState, ChecksumRejectsEveryFlippedBitAndOldStatesStillLoad) {
  tarn::register_model_kind("test_last_value", &tarn::make_default<LastValue>);
  LastValue m;
  m.update(std::vector<std::int64_t>{1, 2, 4}, std::vector<double>{1.0, 2.0, 5.0});
  const std::string s = m.serialize();
  for (std::size_t byte = 0; byte < s.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string bad = s;
      bad[byte] = static_cast<char>(bad[byte] ^ (1 << bit));
      EXPECT_THROW(tarn::Model::deserialize(bad), tarn::FormatError) << byte << ":" << bit;
    }
  }
  EXPECT_THROW(tarn::Model::deserialize(s.substr(0, s.size() - 1)), tarn::FormatError);
  EXPECT_EQ(tarn::crc32("123456789", 9), 0xCBF43926U);  // the standard check value

  // A state of the first format: the same bytes without the checksum and without the flag of
  // fed logarithms (format 4) that follows the time axis, version 1.
  std::string v1 = s.substr(0, s.size() - 4);
  v1.erase(4 + 2 + 8 + std::string("test_last_value").size() + 3 * 8 + 1 + 8, 1);
  v1[4] = 1;
  v1[5] = 0;
  auto old = tarn::Model::deserialize(v1);
  EXPECT_DOUBLE_EQ(old->forecast_at(5), 5.0);
  EXPECT_EQ(old->serialize(), s);  // saved again in the current format
}

TEST(Builders, TableAndOptionReader) {
  const auto names = tarn::builder_names();
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "hws");
  for (const auto& n : names) {
    auto m = tarn::build(n, {});
    EXPECT_EQ(std::string(m->kind()), n);
    EXPECT_FALSE(m->is_initialized());
  }
  EXPECT_THROW(tarn::build("nope", {}), tarn::InvalidArgument);

  const tarn::Options o = {{"a", 3}, {"b", 2.5}, {"c", true}, {"d", "x"}, {"e", tarn::Value()}};
  tarn::OptionReader r("demo", o);
  EXPECT_EQ(r.integer("a", 0), 3);
  EXPECT_DOUBLE_EQ(r.number("b", 0), 2.5);
  EXPECT_TRUE(r.flag("c", false));
  EXPECT_EQ(r.text("d", ""), "x");
  EXPECT_EQ(r.integer("e", 7), 7);  // none is absent
  EXPECT_FALSE(r.has("zz"));
  EXPECT_NO_THROW(r.finish());
  tarn::OptionReader strict("demo", o);
  EXPECT_THROW(strict.integer("b", 0), tarn::InvalidArgument);
  EXPECT_THROW(strict.flag("a", false), tarn::InvalidArgument);
  EXPECT_THROW(strict.number("d", 0), tarn::InvalidArgument);
  try {
    strict.finish();
    FAIL() << "unread keys accepted";
  } catch (const tarn::InvalidArgument& e) {
    EXPECT_NE(std::string(e.what()).find("demo"), std::string::npos);
  }
  EXPECT_EQ(tarn::Value(2.5).repr(), "2.5");
  EXPECT_EQ(tarn::Value(false).repr(), "false");
  EXPECT_EQ(tarn::Value("s").repr(), "'s'");
  EXPECT_EQ(tarn::Value().repr(), "none");
}

}  // namespace
