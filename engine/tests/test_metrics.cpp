#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "tarn/metrics.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Metrics, KnownValues) {
  const std::vector<double> a = {1, 2, 3, 4};
  const std::vector<double> b = {1, 3, 2, 4};
  const auto m = tarn::compute_metrics(a.data(), b.data(), a.size());
  EXPECT_DOUBLE_EQ(m.mae, 0.5);
  EXPECT_DOUBLE_EQ(m.mse, 0.5);
  EXPECT_DOUBLE_EQ(m.r2, 1.0 - 2.0 / 5.0);
  EXPECT_NEAR(m.smape, 100.0 * (2.0 / 5.0 + 2.0 / 5.0) / 4.0, 1e-12);
  EXPECT_EQ(m.count, 4u);
}

TEST(Metrics, MissingTruthDoesNotCount) {
  const std::vector<double> a = {1, kNaN, 3};
  const std::vector<double> b = {2, 100, 3};
  const auto m = tarn::compute_metrics(a.data(), b.data(), a.size());
  EXPECT_DOUBLE_EQ(m.mae, 0.5);
  EXPECT_DOUBLE_EQ(m.mse, 0.5);
  EXPECT_EQ(m.count, 2u);
}

TEST(Metrics, SmapeBoundsAndZeros) {
  const std::vector<double> a = {0, 0, 5};
  const std::vector<double> b = {0, 3, -5};
  const auto m = tarn::compute_metrics(a.data(), b.data(), a.size());
  // 0 against 0 is exact; 0 against 3 and 5 against -5 are as wrong as can be.
  EXPECT_NEAR(m.smape, 100.0 * (0.0 + 2.0 + 2.0) / 3.0, 1e-12);
  EXPECT_LE(m.smape, 200.0);
}

TEST(Metrics, ConstantTruth) {
  const std::vector<double> a = {2, 2, 2};
  const std::vector<double> same = {2, 2, 2};
  const std::vector<double> off = {2, 3, 2};
  EXPECT_DOUBLE_EQ(tarn::compute_metrics(a.data(), same.data(), 3).r2, 1.0);
  EXPECT_DOUBLE_EQ(tarn::compute_metrics(a.data(), off.data(), 3).r2, 0.0);
}

TEST(Metrics, NothingToScoreOrMissingForecast) {
  const std::vector<double> a = {kNaN, kNaN};
  const std::vector<double> b = {1, 2};
  const auto none = tarn::compute_metrics(a.data(), b.data(), 2);
  EXPECT_TRUE(std::isnan(none.mae) && std::isnan(none.mse) && std::isnan(none.r2) &&
              std::isnan(none.smape));
  EXPECT_TRUE(std::isnan(tarn::compute_metrics(nullptr, nullptr, 0).mae));
  const std::vector<double> t = {1, 2};
  const std::vector<double> p = {1, kNaN};
  EXPECT_TRUE(std::isnan(tarn::compute_metrics(t.data(), p.data(), 2).mae));
}

}  // namespace

namespace {

TEST(Metrics, HugeValuesStayFiniteAndScaleFree) {
  // The same series at scale 1 and at scale 2^990 (near the largest double): every metric is
  // the scaled one, R2 and SMAPE unchanged, nothing overflows on the way.
  const std::vector<double> a = {1, 2, 3, 4, 5};
  const std::vector<double> b = {1.5, 2, 2.5, 4.5, 5};
  const double k = std::ldexp(1.0, 990);
  std::vector<double> ak, bk;
  for (double v : a) ak.push_back(v * k);
  for (double v : b) bk.push_back(v * k);
  const auto m = tarn::compute_metrics(a.data(), b.data(), a.size());
  const auto big = tarn::compute_metrics(ak.data(), bk.data(), ak.size());
  EXPECT_EQ(big.mae, m.mae * k);
  EXPECT_EQ(big.r2, m.r2);
  EXPECT_EQ(big.smape, m.smape);
  EXPECT_TRUE(std::isfinite(big.r2));
  // MSE is (error)^2: beyond the range here, so it is infinite, never NaN.
  EXPECT_TRUE(std::isinf(big.mse));
  // A perfect forecast of values near 1e300 (their squares overflow): a clean score.
  const std::vector<double> t = {1e300, 2e300, -3e300};
  const auto exact = tarn::compute_metrics(t.data(), t.data(), t.size());
  EXPECT_EQ(exact.mse, 0.0);
  EXPECT_EQ(exact.mae, 0.0);
  EXPECT_EQ(exact.r2, 1.0);
  EXPECT_EQ(exact.smape, 0.0);
}

TEST(Metrics, TinyValuesKeepTheirPrecision) {
  const std::vector<double> a = {1e-300, 2e-300, 3e-300};
  const std::vector<double> b = {1e-300, 3e-300, 2e-300};
  const auto m = tarn::compute_metrics(a.data(), b.data(), a.size());
  EXPECT_NEAR(m.mae / (2e-300 / 3), 1.0, 1e-12);
  EXPECT_NEAR(m.r2, 1.0 - 2.0 / 2.0, 1e-12);
}

}  // namespace

namespace {

// The plain formula the forecaster's score has always computed.
double plain_term(double t, double f) {
  const double denom = std::fabs(f) + std::fabs(t);
  return denom > 0.0 ? 200.0 * std::fabs(f - t) / denom : 0.0;
}

TEST(SmapeTerm, ZerosMissingAndInfiniteValues) {
  EXPECT_EQ(tarn::smape_term(0.0, 0.0), 0.0);
  EXPECT_EQ(tarn::smape_term(-0.0, 0.0), 0.0);
  EXPECT_EQ(tarn::smape_term(0.0, 3.0), 200.0);
  EXPECT_EQ(tarn::smape_term(5.0, -5.0), 200.0);
  EXPECT_EQ(tarn::smape_term(4.0, 2.0), 200.0 * 2.0 / 6.0);
  EXPECT_EQ(tarn::smape_term(kNaN, 1.0), 0.0);
  EXPECT_EQ(tarn::smape_term(1.0, kNaN), 0.0);
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(std::isnan(tarn::smape_term(1.0, inf)));
  EXPECT_TRUE(std::isnan(tarn::smape_term(inf, inf)));
  EXPECT_TRUE(std::isnan(tarn::smape_term(-inf, inf)));
}

TEST(SmapeTerm, HugeValuesStayWithinTheBound) {
  const double big = std::numeric_limits<double>::max();
  // The plain formula overflows here: an infinite numerator, or an infinite denominator that
  // turns a small error into 0.
  EXPECT_EQ(tarn::smape_term(big, -big), 200.0);
  EXPECT_EQ(tarn::smape_term(1e307, 0.0), 200.0);
  EXPECT_DOUBLE_EQ(tarn::smape_term(1e307, 2e307), plain_term(1.0, 2.0));
  EXPECT_DOUBLE_EQ(tarn::smape_term(big, big * 0.5), plain_term(1.0, 0.5));
  EXPECT_EQ(tarn::smape_term(big, big), 0.0);
  // A small error between two huge values (the plain denominator is infinite, giving 0).
  EXPECT_NEAR(tarn::smape_term(1e308, 0.9999e308), 200.0 * 1e-4 / 1.9999, 1e-12);
}

TEST(SmapeTerm, SameBitsAsThePlainFormulaWhereItDoesNotOverflow) {
  // Magnitudes from subnormal to 1e305, signs mixed, pairs near and far apart.
  std::vector<double> values = {0.0, 5e-324, 3e-320, 1e-310, 2.2e-308, 1e-200,
                                0.1, 1.0,    3.0,    1e10,   1e200,    1e305};
  const std::size_t n = values.size();
  for (std::size_t i = 0; i < n; ++i) {
    values.push_back(-values[i]);
    values.push_back(values[i] * (1.0 + 1e-15));
    values.push_back(values[i] * 1.75);
  }
  std::vector<double> t, f;
  for (double a : values) {
    for (double b : values) {
      t.push_back(a);
      f.push_back(b);
    }
  }
  std::vector<double> out(t.size());
  tarn::smape_terms(t.data(), f.data(), t.size(), out.data());
  for (std::size_t i = 0; i < t.size(); ++i) {
    ASSERT_EQ(out[i], plain_term(t[i], f[i])) << t[i] << " " << f[i];
  }
}

}  // namespace

TEST(ScoreIssue, ReportsTheFirstPositionOfEachKind) {
  using tarn::ScoreIssue;
  const double inf = std::numeric_limits<double>::infinity();
  auto issue = [](std::vector<double> t, std::vector<double> p) {
    return tarn::find_score_issue(t.data(), p.data(), t.size());
  };
  EXPECT_EQ(issue({1, 2, 3}, {1, 2, 3}).kind, ScoreIssue::kNone);
  EXPECT_EQ(issue({kNaN, 2}, {kNaN, 2}).kind, ScoreIssue::kNone);  // a blank truth is not scored
  auto i = issue({1, -inf, inf}, {inf, 2, 3});
  EXPECT_EQ(i.kind, ScoreIssue::kTruthInfinite);  // the truth is checked first
  EXPECT_EQ(i.index, 1u);
  i = issue({1, 2, 3}, {1, 2, -inf});
  EXPECT_EQ(i.kind, ScoreIssue::kForecastInfinite);
  EXPECT_EQ(i.index, 2u);
  i = issue({kNaN, 2, 3}, {kNaN, 2, kNaN});
  EXPECT_EQ(i.kind, ScoreIssue::kForecastMissing);
  EXPECT_EQ(i.index, 2u);
  EXPECT_EQ(issue({kNaN, kNaN}, {1, 2}).kind, ScoreIssue::kNoTruth);
  EXPECT_EQ(issue({}, {}).kind, ScoreIssue::kNoTruth);
  EXPECT_EQ(tarn::first_infinite(nullptr, 0), 0u);
}

TEST(Accuracy, KnownValuesWithIntervals) {
  const std::vector<double> insample = {1, 2, 4, 3, 5, 7};  // lag-2 differences: 3, 1, 1, 4
  const std::vector<double> y = {6, 8, 7};
  const std::vector<double> f = {5, 8, 9};
  const std::vector<double> lo = {4, 7, 8};
  const std::vector<double> hi = {7, 9, 10};
  const auto a = tarn::accuracy(y.data(), f.data(), 3, insample.data(), insample.size(), 2,
                                lo.data(), hi.data(), 80.0);
  EXPECT_EQ(a.count, 3u);
  EXPECT_EQ(a.season, 2u);
  EXPECT_DOUBLE_EQ(a.mae, 1.0);
  EXPECT_DOUBLE_EQ(a.rmse, std::sqrt(5.0 / 3.0));
  EXPECT_NEAR(a.smape, (200.0 / 11.0 + 0.0 + 400.0 / 16.0) / 3.0, 1e-12);
  EXPECT_DOUBLE_EQ(a.mase, 1.0 / 2.25);
  // Widths 3, 2, 2; the last actual is 1 below its interval: 2 / 0.2 * 1 = 10 more.
  EXPECT_NEAR(a.msis, (3.0 + 2.0 + 2.0 + 10.0) / 3.0 / 2.25, 1e-12);
  EXPECT_NEAR(a.coverage, 200.0 / 3.0, 1e-12);
}

TEST(Accuracy, OneRuleForMissingValues) {
  const std::vector<double> insample = {1, kNaN, 3, 4, 6};
  const std::vector<double> y = {kNaN, 8, 7};
  const std::vector<double> f = {kNaN, 6, 7};
  const auto a = tarn::accuracy(y.data(), f.data(), 3, insample.data(), 5, 1);
  EXPECT_EQ(a.count, 2u);
  EXPECT_DOUBLE_EQ(a.mae, 1.0);
  EXPECT_DOUBLE_EQ(a.mase, 1.0 / 1.5);  // differences 1 and 2; the pairs with the NaN drop out
  EXPECT_TRUE(std::isnan(a.msis) && std::isnan(a.coverage));  // no interval given
  // A missing forecast where the actual is known spoils every measure.
  const std::vector<double> g = {1, kNaN, 7};
  const auto b = tarn::accuracy(y.data(), g.data(), 3, insample.data(), 5, 1);
  EXPECT_TRUE(std::isnan(b.mae) && std::isnan(b.smape) && std::isnan(b.mase));
  const std::vector<double> none = {kNaN, kNaN};
  EXPECT_TRUE(std::isnan(tarn::accuracy(none.data(), f.data(), 2, nullptr, 0, 1).smape));
}

TEST(Accuracy, ShortOrFlatInSampleParts) {
  const std::vector<double> y = {5}, f = {4};
  const std::vector<double> three = {1, 2, 4};
  // Season 12 on three values falls back to the one-step naive scale.
  const auto a = tarn::accuracy(y.data(), f.data(), 1, three.data(), 3, 12);
  EXPECT_EQ(a.season, 1u);
  EXPECT_DOUBLE_EQ(a.mase, 1.0 / 1.5);
  const std::vector<double> flat = {2, 2, 2};
  EXPECT_TRUE(std::isnan(tarn::accuracy(y.data(), f.data(), 1, flat.data(), 3, 1).mase));
  const std::vector<double> lo = {1};
  EXPECT_THROW(tarn::accuracy(y.data(), f.data(), 1, flat.data(), 3, 1, lo.data(), nullptr),
               std::invalid_argument);
  EXPECT_THROW(tarn::accuracy(y.data(), f.data(), 1, flat.data(), 3, 1, lo.data(), lo.data(), 100),
               std::invalid_argument);
}

TEST(Accuracy, HugeMagnitudesScoreAsSmallOnes) {
  const std::vector<double> insample = {1, 2, 4, 3, 5, 7};
  const std::vector<double> y = {6, 8, 7}, f = {5, 8, 9}, lo = {4, 7, 8}, hi = {7, 9, 10};
  const auto small =
      tarn::accuracy(y.data(), f.data(), 3, insample.data(), 6, 2, lo.data(), hi.data(), 80.0);
  const double big = 1e306;
  auto times = [big](std::vector<double> v) {
    for (double& x : v) x *= big;
    return v;
  };
  const auto bi = times(insample), by = times(y), bf = times(f), bl = times(lo), bh = times(hi);
  const auto huge =
      tarn::accuracy(by.data(), bf.data(), 3, bi.data(), 6, 2, bl.data(), bh.data(), 80.0);
  EXPECT_NEAR(huge.smape, small.smape, 1e-9);
  EXPECT_GT(huge.smape, 0.0);
  EXPECT_NEAR(huge.mase, small.mase, 1e-9);
  EXPECT_NEAR(huge.msis, small.msis, 1e-9);
  EXPECT_NEAR(huge.mae / big, small.mae, 1e-9);
  EXPECT_TRUE(std::isfinite(huge.rmse));
  EXPECT_NEAR(huge.rmse / big, small.rmse, 1e-9);
}
