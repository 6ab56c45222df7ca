// The names of the engine interpolator's methods, as every interface lists them.
#pragma once

#include <string>
#include <vector>

#pragma GCC visibility push(default)  // the engine's interface, shared by every module

namespace tarn {
namespace interp {

// The basic methods, the interpolator classes' `interpolator_type` values, in this order:
// linear, cubic, nearest, prev, next, fill.
const std::vector<std::string>& basic_methods();

// Every method fill_series takes: the basic ones, then quadratic, akima, barycentric,
// polynomial and spline.
const std::vector<std::string>& all_methods();

// "a, b, ..." (or "a, b ... or z" with `last_word` "or") of a list of names.
std::string joined_names(const std::vector<std::string>& names, const char* last_word = nullptr);

}  // namespace interp
}  // namespace tarn

#pragma GCC visibility pop
