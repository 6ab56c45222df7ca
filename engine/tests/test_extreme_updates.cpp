// Values near the floating-point limit fed to trained models: forecasts stay finite and the
// state still serialises into one that loads.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/model.hpp"

namespace {

class ExtremeUpdates : public ::testing::TestWithParam<std::string> {};

TEST_P(ExtremeUpdates, StateStaysLoadable) {
  for (const std::vector<double>& tail :
       {std::vector<double>{1e308}, {-1e308, 1e308}, {1e308, 1e308, 1e308}, {5e-324, -1e308}}) {
    tarn::Options o;
    if (GetParam() == "hws") o = {{"samples_per_season", 4}, {"initial_training_seasons", 2}};
    auto m = tarn::build(GetParam(), o);
    std::int64_t t = 0;
    for (int i = 0; i < 8; ++i) m->update(t++, i == 7 ? 1.0 : 0.0);
    for (int i = 0; i < 24; ++i) m->update(t++, 10.0 + std::sin(i));
    for (double v : tail) m->update(t++, v);
    ASSERT_TRUE(m->is_initialized());
    std::unique_ptr<tarn::Model> back;
    try {
      back = tarn::Model::deserialize(m->serialize());
    } catch (const std::exception& e) {
      FAIL() << GetParam() << ": " << e.what();
    }
    std::vector<double> a(20), b(20);
    m->forecast_path(a.size(), a.data());
    back->forecast_path(b.size(), b.data());
    for (std::size_t k = 0; k < a.size(); ++k) {
      EXPECT_TRUE(std::isfinite(a[k])) << GetParam() << " step " << k + 1;
      EXPECT_EQ(a[k], b[k]) << GetParam() << " step " << k + 1;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Models, ExtremeUpdates,
                         ::testing::Values("hws", "arima", "arma", "bats", "auto", "theta",
                                           "snaive", "intermittent"));

}  // namespace
