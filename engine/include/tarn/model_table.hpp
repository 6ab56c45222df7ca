// The engine's table of models: one entry per model kind, read by everything that lists models.
//
// Deserialisation (the kind registry), build() and builder_names(), the automatic selector's
// candidates, the Python binding's `forecasters` module and catalogue, and the forecaster
// (QuillcastForecaster: its algorithm names, settings, docstring, model ids and search
// distributions) all take their names and facts from model_table(). The table's order is the
// order of builder_names(), of the selector's candidates (which affects its results) and of the
// forecaster's algorithms. A model that is not in the table does not exist for any of them
// (register_model_kind() adds kinds for deserialisation only).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tarn/builders.hpp"
#include "tarn/model.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

using BuilderFn = std::unique_ptr<Model> (*)(const Options&);
// A new, untrained selector candidate for `n` training values with season length `m`.
using CandidateFn = std::unique_ptr<Model> (*)(std::int64_t n, int m);

// How the automatic selector uses a model.
enum class CandidateRole {
  None,      // not a candidate
  Combined,  // a candidate whose forecast joins the combination
  Baseline,  // a candidate outside the combination; the only one when the data are too few
  // A candidate only for intermittent training data (many periods without demand, see
  // auto.hpp), and there the only model-based one; never tried on other series.
  Intermittent,
  // A candidate whose forecast joins the combination, tried only when the selector's
  // `candidates` names it (a family that did not improve the default combination).
  Requested,
  // A candidate in the combination only for series with a season longer than the selector's
  // season search reaches, or with several seasons (see auto.hpp); never tried on others.
  LongSeason,
};

// One setting the forecaster passes to the model's builder.
struct ForecasterSetting {
  std::string key;
  // True: a value below 1 is a share of the training length, turned into a count.
  bool share = false;
  // For a share that comes to 0 or less: the value used instead (none: the count as it is).
  Value fallback;
};

// A condition of a model id rule on the setting `key` (absent settings are none).
struct IdCondition {
  enum class Test {
    Equals,  // the setting == value (Python equality: False == 0)
    TextIs,  // the setting's lower-case text is value's text
    Given,   // the setting is not none
  };
  std::string key;
  Test test = Test::Equals;
  Value value;
};

// The forecaster's short model id: `id` when every condition holds (rules are tried in order).
struct IdRule {
  std::string id;
  std::vector<IdCondition> conditions;
};

// One parameter of a model search over the forecaster and its candidate values.
struct SearchParam {
  std::string key;
  std::vector<Value> values;
};

// What the forecaster knows of a model it offers as an algorithm.
struct ForecasterEntry {
  // Its value of the forecaster's `algorithm` (matched case-insensitively); empty: the
  // forecaster does not offer the model.
  std::string algorithm;
  // For the list of algorithms in the forecaster's docstring: what the name stands for, when
  // the name alone does not say it ("Holt-Winters"); may be empty.
  std::string note;
  // The docstring's paragraph on the algorithm's settings ("\n" where a line must end).
  std::string settings_doc;
  // True: the forecaster prepares the settings with its Holt-Winters rules (the season from the
  // training length or season finding, the algorithm named after its season form); `settings`
  // and `size_key` then only name the keywords.
  bool own_rules = false;
  // The settings passed to the builder when given (not none), in this order.
  std::vector<ForecasterSetting> settings;
  // The training size setting (one of `settings` unless own_rules): given as the whole
  // training series (kWholeSeries) when the caller leaves it out.
  std::string size_key;
  // Above 0: the training size is raised to at least this, and the size used is written back
  // to the forecaster's settings. 0: no lower bound.
  std::int64_t size_minimum = 0;
  // True: a training size given as none becomes the training length (kSizeBeforeLength before
  // the length is known).
  bool size_none_is_length = false;
  // True: training sizes the training data's season (QuillcastUtils.get_init_samples) unless
  // the caller gave them.
  bool season_sized = false;
  // True: on a long series (over 50 values), training retries shorter training sizes
  // (QuillcastUtils.get_arima_init_size) until the model is initialised, unless the caller gave
  // the size.
  bool retries_sizes = false;
  // True: the model carries one season, of at most the forecaster's season search (200 steps):
  // training says which seasons the data show beyond it (uncarried_seasons).
  bool one_season = false;
  std::vector<IdRule> ids;
  // Parameters for a model search; a key shared with another entry has the same values.
  std::vector<SearchParam> search;
  // Ready-made configurations (QuillcastForecaster.get_estimators), each its settings in order.
  std::vector<std::vector<std::pair<std::string, Value>>> presets;
};

// The forecaster's default training size for a size setting: the whole training series.
constexpr double kWholeSeries = 0.999999;
// The training size that size_none_is_length gives before the training length is known.
constexpr std::int64_t kSizeBeforeLength = 8;

struct ModelEntry {
  // The engine name: the builder's name, the value of kind() and the tag in saved states.
  std::string name;
  // An empty model that deserialisation loads a saved state into.
  ModelFactory make_default = nullptr;
  // The builder (keyword options, see builders.hpp).
  BuilderFn build = nullptr;
  // The builder's options with their defaults (none: no default, or one that depends on other
  // options), for documentation; the builder itself checks them.
  std::vector<std::pair<std::string, Value>> options;
  CandidateRole candidate = CandidateRole::None;
  // The selector's candidate of this model (set when candidate is not None).
  CandidateFn make_candidate = nullptr;
  ForecasterEntry forecaster;
};

// Every model of the engine, in table order.
const std::vector<ModelEntry>& model_table();
// The entry of engine name `name`, or null.
const ModelEntry* find_model(const std::string& name);
// The entry whose forecaster algorithm is `algorithm` (already in lower case), or null.
const ModelEntry* find_algorithm(const std::string& algorithm);
// The forecaster's algorithm names, in table order.
std::vector<std::string> forecaster_algorithms();
// The selector's candidate names, in table order.
std::vector<std::string> candidate_families();

}  // namespace tarn

#pragma GCC visibility pop
