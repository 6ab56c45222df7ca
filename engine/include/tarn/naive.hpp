// Seasonal naive forecasts: the latest value of the same phase of the season (the latest value
// when there is no season). The season length is found in the first `training_sample_size`
// values (<= 0: kDefaultTrainingSize) unless given; missing values keep the phase's previous
// value.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/model.hpp"
#include "tarn/seasonal_model.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

using SeasonalNaiveConfig = SeasonalModelConfig;

class SeasonalNaive final : public SeasonalModel {
 public:
  SeasonalNaive() = default;
  explicit SeasonalNaive(const SeasonalNaiveConfig& config) : SeasonalModel(config) {}

  const char* kind() const override { return "snaive"; }
  std::string describe() const override;
  std::unique_ptr<Model> clone() const override { return std::make_unique<SeasonalNaive>(*this); }

  int season_length() const { return static_cast<int>(last_.size()); }

 protected:
  double forecast_ahead(double h) const override;
  bool forecast_variances(std::int64_t h, double* var) const override;
  std::uint16_t state_version() const override { return 1; }
  void fit() override;
  void advance(double value, std::int64_t gap) override;
  void forget() override;
  void save_fit(Writer& w) const override;
  void load_fit(Reader& r, std::uint16_t version) override;

 private:
  void step(double y);

  // variance_ holds the errors of the one-step (same phase, one season back) forecasts.
  std::vector<double> last_;  // latest value of each phase; last_[pos_] is the oldest
  std::size_t pos_ = 0;
};

// Builder "snaive": training_sample_size, season_length.
std::unique_ptr<Model> build_seasonal_naive(const Options& options);

}  // namespace tarn

#pragma GCC visibility pop
