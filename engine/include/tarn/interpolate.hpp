// Gap filling for series on a time axis.
//
// A series is a pair (x, y) of equal length: x the time axis (strictly increasing), y the values,
// NaN where a value is missing. The methods fill missing values from the observed ones:
//
//   linear       straight line between the observed neighbours
//   cubic        natural cubic spline through every observed point (second derivative zero at
//                the first and last observed points)
//   nearest      value of the nearest observed point in time (the earlier one on a tie)
//   prev         last observed value (carried forward)
//   next         next observed value (carried backward)
//   fill         one constant (Options::fill_value)
//   quadratic    quadratic through the two observed points around the gap and one more
//                before it
//   akima        Akima's spline (local slopes, no overshoot near outliers)
//   barycentric  Floater-Hormann rational interpolant (blending degree 3) through up to
//                four observed points on each side of the gap: no poles
//   polynomial   polynomial of degree `order` through order+1 observed points around the gap,
//                balanced on both sides
//   spline       interpolating B-spline of degree `order` through every observed point (knots
//                at the points for odd degrees, between them for even degrees)
//
// The local methods (quadratic, barycentric, polynomial) take their points around a gap spread
// at the scale of the gap (each further point about one gap width beyond the previous one), so
// a wide gap is bridged by a well-conditioned interpolant instead of one swinging far out.
//
// Methods that need more observed points than there are fall back to a lower degree (down to
// linear, then to the single observed value). Missing values before the first or after the last
// observed point ("ends") are never extrapolated: with fill_ends they take the nearest observed
// value, otherwise they stay NaN. prev leaves the leading end and next the trailing end to
// fill_ends in the same way. A series without any observed value is filled with
// Options::empty_value (NaN by default: left missing).
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {
namespace interp {

enum class Method {
  linear,
  cubic,
  nearest,
  prev,
  next,
  fill,
  quadratic,
  akima,
  barycentric,
  polynomial,
  spline
};

// Method by name ("linear", ..., "spline"; "previous" is accepted for prev); throws
// std::invalid_argument for an unknown name.
Method method_from_name(const std::string& name);
const char* method_name(Method m);

struct Options {
  Method method = Method::linear;
  int order = 3;            // degree for polynomial and spline (at least 1)
  bool fill_ends = true;    // fill leading/trailing gaps from the nearest observed value
  double fill_value = 0.0;  // the constant of Method::fill
  double empty_value = std::numeric_limits<double>::quiet_NaN();  // all-missing series
};

// Fills the NaN entries of y[0..n) in place. x may be nullptr (positions 0, 1, 2, ... are used);
// otherwise x[0..n) must be finite and strictly increasing (std::invalid_argument if not).
// Returns the number of entries filled.
std::size_t fill_series(const double* x, double* y, std::size_t n, const Options& opt);

// Fills a row-major matrix data[rows][cols] column by column. Entries equal to `missing` (or NaN
// when `missing` is NaN) are missing; NaN entries are always missing. Column `time_col` (-1 for
// none) is the time axis of every other column and is left as it is; it must be finite and
// strictly increasing. Returns the number of entries filled.
std::size_t fill_matrix(double* data, std::size_t rows, std::size_t cols, long time_col,
                        double missing, const Options& opt);

// fill_matrix on every column but `time_col` on its own, along the row positions (the time
// column is neither read nor checked), with per_column[c] as the constant of Method::fill for
// column c (std::out_of_range when per_column is shorter than the columns). Returns the number
// of entries filled.
std::size_t fill_matrix_by_column(double* data, std::size_t rows, std::size_t cols, long time_col,
                                  double missing, const Options& opt,
                                  const std::vector<double>& per_column);

// Sets every entry still missing (NaN, or equal to `missing`) outside column `time_col` to
// `value`: what a method leaves at the ends when Options::fill_ends is off. Returns the number
// of entries set.
std::size_t fill_remaining(double* data, std::size_t rows, std::size_t cols, long time_col,
                           double missing, double value);

enum class Statistic { mean, median };

// The mean or median of the observed entries (neither NaN nor equal to `missing`) of every
// column of a row-major matrix; `fallback` for a column without any observed entry, NaN for
// column `time_col` (-1 for none). The mean is the plain sum in row order over the count.
std::vector<double> column_statistic(const double* data, std::size_t rows, std::size_t cols,
                                     long time_col, double missing, Statistic statistic,
                                     double fallback);

// The number of observed entries (neither NaN nor equal to `missing`) of every column of a
// row-major matrix: a column with none has nothing to be filled from.
std::vector<std::size_t> observed_counts(const double* data, std::size_t rows, std::size_t cols,
                                         double missing);

}  // namespace interp
}  // namespace tarn

#pragma GCC visibility pop
