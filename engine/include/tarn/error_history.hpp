// One-step forecast errors a model keeps about itself.
//
// Either the latest `length` errors (a ring buffer) or, with `full` set, running sums over every
// error since the model was fitted. Adding an error is O(1) and memory is bounded by `length`.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "tarn/serialize.hpp"

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

class ErrorHistory {
 public:
  // Upper bound on `length`, so a configuration cannot ask for unbounded memory.
  static constexpr std::int64_t kMaxLength = 10'000'000;

  ErrorHistory() = default;
  ErrorHistory(std::int64_t length, bool full) : length_(length), full_(full) {}

  void add(double e) {
    if (!std::isfinite(e)) return;
    ++count_;
    sum_ += e;
    sum_sq_ += e * e;
    sum_abs_ += std::fabs(e);
    if (full_ || length_ <= 0) return;
    if (static_cast<std::int64_t>(ring_.size()) < length_) {
      ring_.push_back(e);
    } else {
      ring_[static_cast<std::size_t>(head_)] = e;
      head_ = (head_ + 1) % length_;
    }
  }
  void clear() {
    ring_.clear();
    head_ = 0;
    count_ = 0;
    sum_ = sum_sq_ = sum_abs_ = 0.0;
  }

  // Number of errors the statistics below cover.
  std::int64_t size() const { return full_ ? count_ : static_cast<std::int64_t>(ring_.size()); }
  double mean() const { return stat(0); }
  double mae() const { return stat(1); }
  double rmse() const { return std::sqrt(stat(2)); }
  // The kept errors, oldest first (empty with `full`).
  std::vector<double> recent() const {
    std::vector<double> out;
    const std::size_t n = ring_.size();
    for (std::size_t i = 0; i < n; ++i) {
      out.push_back(ring_[(static_cast<std::size_t>(head_) + i) % n]);
    }
    return out;
  }
  std::int64_t length() const { return length_; }
  bool full() const { return full_; }

  void save(Writer& w) const {
    w.put<std::int64_t>(length_);
    w.put_bool(full_);
    w.put<std::int64_t>(count_);
    w.put<double>(sum_);
    w.put<double>(sum_sq_);
    w.put<double>(sum_abs_);
    w.put<std::int64_t>(head_);
    w.put_vector(ring_);
  }
  void load(Reader& r) {
    length_ = r.get_count(0, kMaxLength);
    full_ = r.get_bool();
    count_ = r.get_count(0, INT64_MAX);
    sum_ = r.get<double>();
    sum_sq_ = r.get<double>();
    sum_abs_ = r.get<double>();
    head_ = r.get_count(0, kMaxLength);
    ring_ = r.get_vector<double>();
    if (static_cast<std::int64_t>(ring_.size()) > length_ || (length_ > 0 && head_ >= length_) ||
        (length_ == 0 && head_ != 0) ||
        (head_ != 0 && static_cast<std::int64_t>(ring_.size()) != length_)) {
      throw FormatError("model state: bad error history");
    }
  }

 private:
  double stat(int which) const {
    if (full_) {
      if (count_ == 0) return 0.0;
      const double s = which == 0 ? sum_ : which == 1 ? sum_abs_ : sum_sq_;
      return s / static_cast<double>(count_);
    }
    if (ring_.empty()) return 0.0;
    double s = 0.0;
    for (double e : ring_) s += which == 0 ? e : which == 1 ? std::fabs(e) : e * e;
    return s / static_cast<double>(ring_.size());
  }

  std::int64_t length_ = 0;
  bool full_ = false;
  std::int64_t count_ = 0;
  double sum_ = 0.0, sum_sq_ = 0.0, sum_abs_ = 0.0;
  std::int64_t head_ = 0;
  std::vector<double> ring_;
};

}  // namespace tarn

#pragma GCC visibility pop
