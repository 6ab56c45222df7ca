// Every model kind of the engine, for deserialisation: one line per kind.
#include "tarn/arima.hpp"
#include "tarn/auto.hpp"
#include "tarn/bats.hpp"
#include "tarn/holt_winters.hpp"
#include "tarn/model.hpp"
#include "tarn/naive.hpp"
#include "tarn/theta.hpp"

namespace tarn {

std::map<std::string, ModelFactory> builtin_model_kinds() {
  return {
      {"hws", &make_default<HoltWinters>},   {"arima", &make_default<Arima>},
      {"arma", &make_default<Arma>},         {"bats", &make_default<Bats>},
      {"theta", &make_default<Theta>},       {"snaive", &make_default<SeasonalNaive>},
      {"auto", &make_default<AutoSelector>},
  };
}

}  // namespace tarn
