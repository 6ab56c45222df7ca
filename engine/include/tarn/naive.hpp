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
#include "tarn/intervals.hpp"
#include "tarn/model.hpp"
#include "tarn/training_buffer.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

struct SeasonalNaiveConfig {
  std::int64_t training_sample_size = 0;  // <= 0: kDefaultTrainingSize
  std::int64_t season_length = 0;         // 0: found in the training data; 1: no season
};

class SeasonalNaive : public Model {
 public:
  static constexpr std::int64_t kDefaultTrainingSize = 8;

  SeasonalNaive() = default;
  explicit SeasonalNaive(const SeasonalNaiveConfig& config) : config_(config) {}

  const char* kind() const override { return "snaive"; }
  std::string describe() const override;
  std::unique_ptr<Model> clone() const override { return std::make_unique<SeasonalNaive>(*this); }

  int season_length() const { return static_cast<int>(last_.size()); }

 protected:
  void observe(double value, std::int64_t gap) override;
  bool ready() const override { return fitted_; }
  void clear() override;
  double forecast_ahead(double h) const override;
  bool forecast_variances(std::int64_t h, double* var) const override;
  double interval_dof() const override { return variance_.dof(); }
  void save(Writer& w) const override;
  void load(Reader& r) override;

 private:
  std::size_t target_size() const;
  void fit();
  void step(double y);

  SeasonalNaiveConfig config_;
  TrainingBuffer train_;  // values collected before the fit
  bool fitted_ = false;
  std::vector<double> last_;  // latest value of each phase; last_[pos_] is the oldest
  std::size_t pos_ = 0;
  ErrorVariance variance_;  // errors of the one-step (same phase, one season back) forecasts
};

// Builder "snaive": training_sample_size, season_length.
std::unique_ptr<Model> build_seasonal_naive(const Options& options);

}  // namespace tarn

#pragma GCC visibility pop
