// The table of models: every consumer's view of a model agrees with its entry.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/model_table.hpp"

namespace {

std::vector<double> wave(int n) {
  std::vector<double> y;
  for (int i = 0; i < n; ++i) y.push_back(50.0 + 10.0 * std::sin(i * 0.5236) + 0.1 * i);
  return y;
}

TEST(ModelTable, EveryEntryBuildsAndLoadsItsOwnKind) {
  std::set<std::string> names;
  for (const auto& e : tarn::model_table()) {
    SCOPED_TRACE(e.name);
    EXPECT_TRUE(names.insert(e.name).second) << "duplicate name";
    ASSERT_NE(e.build, nullptr);
    ASSERT_NE(e.make_default, nullptr);
    EXPECT_EQ(std::string(e.make_default()->kind()), e.name);
    auto m = tarn::build(e.name, {});
    EXPECT_EQ(std::string(m->kind()), e.name);
    EXPECT_EQ(std::string(tarn::Model::deserialize(m->serialize())->kind()), e.name);
    EXPECT_EQ(tarn::find_model(e.name), &e);
    // The builder's messages name the model as the table does.
    try {
      tarn::build(e.name, {{"no_such_option", 1}});
      ADD_FAILURE() << "unknown option accepted";
    } catch (const tarn::InvalidArgument& err) {
      EXPECT_EQ(std::string(err.what()), e.name + ": unknown option 'no_such_option'");
    }
  }
  std::vector<std::string> in_order;
  for (const auto& e : tarn::model_table()) in_order.push_back(e.name);
  EXPECT_EQ(tarn::builder_names(), in_order);
  EXPECT_EQ(tarn::find_model("nope"), nullptr);
  try {
    tarn::build("nope", {});
    ADD_FAILURE();
  } catch (const tarn::InvalidArgument& err) {
    EXPECT_EQ(
        std::string(err.what()),
        "unknown model builder 'nope' (known: hws, arima, arma, bats, theta, ces, tempagg, snaive, "
        "mstl, auto, intermittent)");
  }
}

TEST(ModelTable, OptionDefaultsAreTheBuildersOwn) {
  for (const auto& e : tarn::model_table()) {
    const std::string plain = tarn::build(e.name, {})->serialize();
    for (const auto& [key, value] : e.options) {
      SCOPED_TRACE(e.name + "." + key);
      if (value.is_none()) continue;
      auto m = tarn::build(e.name, {{key, value}});
      EXPECT_EQ(m->serialize(), plain);
    }
  }
}

TEST(ModelTable, SelectorCandidatesInTheirOrder) {
  // The order is the order of the selector's options and ties: it changes its results.
  EXPECT_EQ(tarn::candidate_families(),
            (std::vector<std::string>{"hws", "arima", "bats", "theta", "ces", "tempagg", "snaive",
                                      "mstl", "intermittent"}));
  int baselines = 0;
  const auto y = wave(48);
  for (const auto& e : tarn::model_table()) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.candidate == tarn::CandidateRole::None, e.make_candidate == nullptr);
    if (e.candidate == tarn::CandidateRole::Baseline) ++baselines;
    if (!e.make_candidate) continue;
    auto m = e.make_candidate(static_cast<std::int64_t>(y.size()), 12);
    EXPECT_EQ(std::string(m->kind()), e.name);
    for (std::size_t t = 0; t < y.size(); ++t) m->update(static_cast<std::int64_t>(t), y[t]);
    EXPECT_TRUE(m->is_initialized());
    EXPECT_TRUE(std::isfinite(m->forecast_steps(1.0)));
  }
  EXPECT_EQ(baselines, 1);
}

TEST(ModelTable, ForecasterEntriesAreConsistent) {
  EXPECT_EQ(tarn::forecaster_algorithms(),
            (std::vector<std::string>{"hw", "arima", "arma", "bats", "mstl", "autoforecaster",
                                      "intermittent"}));
  std::map<std::string, std::vector<tarn::Value>> search;
  for (const auto& e : tarn::model_table()) {
    const auto& f = e.forecaster;
    SCOPED_TRACE(e.name);
    if (f.algorithm.empty()) {
      EXPECT_TRUE(f.settings.empty() && f.ids.empty() && f.search.empty());
      continue;
    }
    EXPECT_EQ(tarn::find_algorithm(f.algorithm), &e);
    for (char c : f.algorithm) EXPECT_FALSE(std::isupper(static_cast<unsigned char>(c)));
    EXPECT_FALSE(f.settings_doc.empty());
    if (!f.own_rules && !f.size_key.empty()) {
      bool listed = false;
      for (const auto& s : f.settings) listed = listed || s.key == f.size_key;
      EXPECT_TRUE(listed) << "the size setting is not passed on";
    }
    // A search parameter shared by two algorithms has the same values for both.
    for (const auto& p : f.search) {
      auto it = search.find(p.key);
      if (it == search.end()) {
        search[p.key] = p.values;
        continue;
      }
      ASSERT_EQ(it->second.size(), p.values.size()) << p.key;
      for (std::size_t i = 0; i < p.values.size(); ++i) {
        EXPECT_EQ(it->second[i].repr(), p.values[i].repr()) << p.key;
      }
    }
  }
  EXPECT_EQ(tarn::find_algorithm(""), nullptr);
  EXPECT_EQ(tarn::find_algorithm("hws"), nullptr);  // engine names are not algorithm names
}

}  // namespace
