// Every model kind of the engine, for deserialisation.
#include "tarn/model.hpp"

namespace tarn {

std::map<std::string, ModelFactory> builtin_model_kinds() {
  return {};
}

}  // namespace tarn
