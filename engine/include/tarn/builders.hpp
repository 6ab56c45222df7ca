// Building engine models from keyword options.
//
// Every model kind has a builder: a function taking the options a caller gives by name
// (numbers, flags, texts or none) and returning a new, untrained model. build() dispatches by
// builder name over the table of models (model_table.hpp). Builders read their options through
// OptionReader, which supplies defaults, checks types and rejects keys the builder does not
// know, so a misspelt keyword is an error rather than silently ignored.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tarn/model.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

// One option value: none, a flag, a number or a text.
class Value {
 public:
  enum class Type { None, Bool, Number, String };

  Value() = default;
  Value(bool b) : type_(Type::Bool), number_(b ? 1.0 : 0.0) {}
  Value(int v) : type_(Type::Number), number_(v), integral_(true) {}
  Value(std::int64_t v) : type_(Type::Number), number_(static_cast<double>(v)), integral_(true) {}
  Value(double v) : type_(Type::Number), number_(v) {}
  Value(std::string s) : type_(Type::String), text_(std::move(s)) {}
  Value(const char* s) : type_(Type::String), text_(s) {}

  Type type() const { return type_; }
  bool is_none() const { return type_ == Type::None; }
  bool is_bool() const { return type_ == Type::Bool; }
  bool is_number() const { return type_ == Type::Number; }
  bool is_string() const { return type_ == Type::String; }
  // True when the number was given as an integer (not a float).
  bool is_integral() const { return integral_; }
  double number() const { return number_; }
  const std::string& text() const { return text_; }
  // Readable form for messages and descriptions ("12", "0.5", "true", "'additive'", "none").
  std::string repr() const;

 private:
  Type type_ = Type::None;
  double number_ = 0.0;
  bool integral_ = false;
  std::string text_;
};

using Options = std::map<std::string, Value>;

// A new, untrained model from builder `builder` ("hws", "arima", ...). Throws InvalidArgument
// for an unknown builder or an option the builder rejects.
std::unique_ptr<Model> build(const std::string& builder, const Options& options);
// Names of every builder, in table order.
std::vector<std::string> builder_names();

// Reads a builder's options. Every getter marks its key as known; a key whose value is none
// counts as absent. finish() throws InvalidArgument naming the first key that no getter read.
class OptionReader {
 public:
  OptionReader(std::string builder, const Options& options);

  bool has(const std::string& key);
  double number(const std::string& key, double fallback);
  // An integral number (a float with a fraction part is rejected); flags are not numbers.
  std::int64_t integer(const std::string& key, std::int64_t fallback);
  // A flag; the numbers 0 and 1 are accepted too.
  bool flag(const std::string& key, bool fallback);
  std::string text(const std::string& key, const std::string& fallback);
  // Marks a key as understood without reading it.
  void accept(const std::string& key);

  // Throws InvalidArgument for every key no getter asked for.
  void finish() const;

  [[noreturn]] void fail(const std::string& key, const std::string& what) const;
  const std::string& builder() const { return builder_; }

 private:
  const Value* find(const std::string& key);
  std::string builder_;
  const Options& options_;
  std::map<std::string, bool> seen_;
};

}  // namespace tarn

#pragma GCC visibility pop
