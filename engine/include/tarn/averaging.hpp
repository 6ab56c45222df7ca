// Averaging of overlapping multi-step forecasts.
//
// A forecaster with horizon ph that is moved one step at a time over a series makes forecasts
// f_0, f_1, ..., f_{k-1} of ph values each; forecast i covers positions i .. i + ph - 1. Laid
// out back to back (row-major, forecast i at forecasts[i * ph .. i * ph + ph)), they cover
// k + ph - 1 positions. The average at position j is the mean of the non-NaN values that the
// forecasts covering j give for it, or NaN when none of them has a value there. Means of finite
// values are finite, however close the values come to the floating-point limit.
//
// Time O(k * ph), no memory beyond the output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {

// Number of positions covered by k forecasts of horizon ph (0 when there is no forecast).
std::size_t averaged_length(std::size_t k, std::size_t ph);

// Writes averaged_length(k, ph) values to out. ph must be at least 1 (throws
// std::invalid_argument otherwise). out must not overlap forecasts.
void average_overlapping(const double* forecasts, std::size_t k, std::size_t ph, double* out);

std::vector<double> average_overlapping(const double* forecasts, std::size_t k, std::size_t ph);

// The same over a strided table: value h of forecast i is forecasts[i * row_stride +
// h * col_stride] (strides in elements, either sign), so a column of a wider array needs no copy.
void average_overlapping(const double* forecasts, std::size_t k, std::size_t ph,
                         std::ptrdiff_t row_stride, std::ptrdiff_t col_stride, double* out);

}  // namespace tarn

#pragma GCC visibility pop
