// Theta method: simple exponential smoothing with drift on seasonally adjusted data
// (Assimakopoulos and Nikolopoulos, 2000, in the state space form of Hyndman and Billah, 2003),
// with the theta coefficient either the classical 2 or estimated (Fiorucci et al., 2016).
//
//   x_t = y_t / s_(t mod m)   (or y_t - s_(t mod m) for data that are not all positive)
//   l_t = alpha x_t + (1 - alpha) l_{t-1}
//   x^_{n+h} = l_n + (1 - 1/theta) { (1-alpha)^n A_n + [(h - 1) + (1 - (1-alpha)^(n+1)) / alpha]
//   B_n }
//
// A_n and B_n are the intercept and slope of the least-squares line through the adjusted data
// seen so far; they, the level and (1 - alpha)^n all update in O(1) per observation. The season
// s comes from a classical decomposition of the training data and is used only when its
// autocorrelation test is significant. The model fits after `training_sample_size` values
// (<= 0: kDefaultTrainingSize), choosing between theta = 2 and an estimated theta by AIC.
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

struct ThetaConfig {
  std::int64_t training_sample_size = 0;  // <= 0: kDefaultTrainingSize
  std::int64_t season_length = 0;         // 0: found in the training data; 1: no season
};

class Theta : public Model {
 public:
  static constexpr std::int64_t kDefaultTrainingSize = 8;

  Theta() = default;
  explicit Theta(const ThetaConfig& config) : config_(config) {}

  const char* kind() const override { return "theta"; }
  std::string describe() const override;
  std::unique_ptr<Model> clone() const override { return std::make_unique<Theta>(*this); }

  // Fitted values (meaningful once initialised).
  double alpha() const { return alpha_; }
  double theta() const { return theta_; }
  int season_length() const { return static_cast<int>(season_.size()); }
  bool multiplicative() const { return multiplicative_; }
  // Whether the parameters were estimated with the dynamic line (Fiorucci et al., 2016).
  bool dynamic() const { return dynamic_; }

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
  void step(double y);  // one grid step; NaN = missing
  double point(double h) const;
  void adopt(Theta&& other);

  ThetaConfig config_;
  TrainingBuffer train_;  // values collected before the fit
  bool fitted_ = false;
  double scale_ = 1.0;
  bool multiplicative_ = false;
  std::vector<double> season_;  // indices by phase (empty: no season)
  std::size_t pos_ = 0;         // phase of the next observation
  double alpha_ = 1.0, theta_ = 1.0;
  bool dynamic_ = false;
  double level_ = 0.0;
  double decay_ = 1.0;  // (1 - alpha)^n
  // Least-squares line through the adjusted data: time index and sums over finite values.
  double t_ = 0.0, cnt_ = 0.0, st_ = 0.0, stt_ = 0.0, sy_ = 0.0, sty_ = 0.0;
  ErrorVariance variance_;  // one-step errors on the adjusted, scaled data
  HorizonCalibration calibration_;
};

// Builder "theta": training_sample_size, season_length.
std::unique_ptr<Model> build_theta(const Options& options);

}  // namespace tarn

#pragma GCC visibility pop
