// Little-endian binary writer and bounds-checked reader for model state.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

// Raised for serialised state that is truncated, of an unknown version or otherwise garbled.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Writer {
 public:
  template <class T>
  void put(T v) {
    static_assert(std::is_arithmetic_v<T> || std::is_enum_v<T>, "plain values only");
    char buf[sizeof(T)];
    std::memcpy(buf, &v, sizeof(T));
    out_.append(buf, sizeof(T));
  }
  void put_bool(bool v) { put<std::uint8_t>(v ? 1 : 0); }
  void put_string(const std::string& s) {
    put<std::uint64_t>(s.size());
    out_.append(s);
  }
  template <class T>
  void put_vector(const std::vector<T>& v) {
    put<std::uint64_t>(v.size());
    for (const T& x : v) put<T>(x);
  }
  const std::string& bytes() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// CRC-32 (the IEEE polynomial, as in zlib) of `n` bytes; guards saved states against damage.
std::uint32_t crc32(const char* data, std::size_t n);

class Reader {
 public:
  Reader(const char* data, std::size_t size) : p_(data), end_(data + size) {}
  explicit Reader(const std::string& s) : Reader(s.data(), s.size()) {}

  // Format version of the state being read (set by the framing once it has read it), so a
  // model can read states written before it gained a field.
  std::uint16_t version() const { return version_; }
  void set_version(std::uint16_t v) { version_ = v; }

  template <class T>
  T get() {
    static_assert(std::is_arithmetic_v<T> || std::is_enum_v<T>, "plain values only");
    need(sizeof(T));
    T v;
    std::memcpy(&v, p_, sizeof(T));
    p_ += sizeof(T);
    return v;
  }
  bool get_bool() {
    auto b = get<std::uint8_t>();
    if (b > 1) throw FormatError("model state: bad flag");
    return b == 1;
  }
  std::string get_string() {
    auto n = get<std::uint64_t>();
    need(n);
    std::string s(p_, static_cast<std::size_t>(n));
    p_ += n;
    return s;
  }
  template <class T>
  std::vector<T> get_vector() {
    auto n = get<std::uint64_t>();
    if (n > remaining() / sizeof(T)) throw FormatError("model state: truncated");
    std::vector<T> v(static_cast<std::size_t>(n));
    for (auto& x : v) x = get<T>();
    return v;
  }
  // A count that must lie in [lo, hi]; guards allocations driven by untrusted state.
  std::int64_t get_count(std::int64_t lo, std::int64_t hi) {
    auto v = get<std::int64_t>();
    if (v < lo || v > hi) throw FormatError("model state: value out of range");
    return v;
  }
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
  bool at_end() const { return p_ == end_; }

 private:
  void need(std::uint64_t n) const {
    if (n > remaining()) throw FormatError("model state: truncated");
  }
  const char* p_;
  const char* end_;
  std::uint16_t version_ = 0;
};

}  // namespace tarn

#pragma GCC visibility pop
