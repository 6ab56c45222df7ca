#include "tarn/builders.hpp"

#include <cmath>
#include <sstream>

#include "tarn/model_table.hpp"

namespace tarn {

std::string Value::repr() const {
  switch (type_) {
    case Type::None:
      return "none";
    case Type::Bool:
      return number_ != 0.0 ? "true" : "false";
    case Type::String:
      return "'" + text_ + "'";
    case Type::Number: {
      std::ostringstream os;
      os.precision(15);
      os << number_;
      return os.str();
    }
  }
  return "?";
}

std::unique_ptr<Model> build(const std::string& builder, const Options& options) {
  if (const ModelEntry* e = find_model(builder)) return e->build(options);
  std::string names;
  for (const auto& e : model_table()) names += (names.empty() ? "" : ", ") + e.name;
  throw InvalidArgument("unknown model builder '" + builder + "' (known: " + names + ")");
}

std::vector<std::string> builder_names() {
  std::vector<std::string> out;
  for (const auto& e : model_table()) out.push_back(e.name);
  return out;
}

OptionReader::OptionReader(std::string builder, const Options& options)
    : builder_(std::move(builder)), options_(options) {}

const Value* OptionReader::find(const std::string& key) {
  seen_[key] = true;
  auto it = options_.find(key);
  if (it == options_.end() || it->second.is_none()) return nullptr;
  return &it->second;
}

void OptionReader::fail(const std::string& key, const std::string& what) const {
  throw InvalidArgument(builder_ + ": option '" + key + "' " + what);
}

bool OptionReader::has(const std::string& key) {
  return find(key) != nullptr;
}

void OptionReader::accept(const std::string& key) {
  seen_[key] = true;
}

double OptionReader::number(const std::string& key, double fallback) {
  const Value* v = find(key);
  if (!v) return fallback;
  if (!v->is_number()) fail(key, "must be a number, got " + v->repr());
  if (!std::isfinite(v->number())) fail(key, "must be finite, got " + v->repr());
  return v->number();
}

std::int64_t OptionReader::integer(const std::string& key, std::int64_t fallback) {
  const Value* v = find(key);
  if (!v) return fallback;
  if (!v->is_number()) fail(key, "must be an integer, got " + v->repr());
  const double x = v->number();
  if (!std::isfinite(x) || x != std::floor(x) || std::fabs(x) > 9.0e15) {
    fail(key, "must be an integer, got " + v->repr());
  }
  return static_cast<std::int64_t>(x);
}

bool OptionReader::flag(const std::string& key, bool fallback) {
  const Value* v = find(key);
  if (!v) return fallback;
  if (v->is_bool()) return v->number() != 0.0;
  if (v->is_number() && (v->number() == 0.0 || v->number() == 1.0)) return v->number() != 0.0;
  fail(key, "must be true or false, got " + v->repr());
}

std::string OptionReader::text(const std::string& key, const std::string& fallback) {
  const Value* v = find(key);
  if (!v) return fallback;
  if (!v->is_string()) fail(key, "must be a text, got " + v->repr());
  return v->text();
}

void OptionReader::finish() const {
  for (const auto& kv : options_) {
    if (!seen_.count(kv.first)) {
      throw InvalidArgument(builder_ + ": unknown option '" + kv.first + "'");
    }
  }
}

}  // namespace tarn
