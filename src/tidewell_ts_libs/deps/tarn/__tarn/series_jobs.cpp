// Forecasting a chunk of series in one call: tarn::forecast_series for each, without the GIL.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "binding.hpp"
#include "fill_array.hpp"
#include "interrupts.hpp"
#include "tarn/series_job.hpp"

namespace tarnpy {
namespace {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

Array array_of(py::handle x, int ndim, const char* name, std::size_t index) {
  Array a = Array::ensure(x);
  if (!a) throw py::error_already_set();
  if (ndim == 2 && a.ndim() == 1) a = Array(a.reshape({a.shape(0), py::ssize_t(1)}));
  if (a.ndim() != ndim) {
    raise(PyExc_ValueError, std::string(name) + "[" + std::to_string(index) + "] must have " +
                                std::to_string(ndim) + " dimensions, got " +
                                std::to_string(a.ndim()));
  }
  return a;
}

py::dict forecast_series(const std::string& algorithm, py::sequence values, std::int64_t horizon,
                         std::int64_t season, std::vector<double> levels, std::vector<double> probs,
                         bool nonnegative, py::object exog, py::object future,
                         py::object calendar) {
  if (!tarn::find_algorithm(algorithm)) {
    raise(PyExc_ValueError, "unknown algorithm '" + algorithm + "'");
  }
  if (horizon < 1 || horizon > static_cast<std::int64_t>(tarn::kMaxForecastPath)) {
    raise(PyExc_ValueError, "horizon must be between 1 and " +
                                std::to_string(tarn::kMaxForecastPath) + ", got " +
                                std::to_string(horizon));
  }
  for (double lv : levels) {
    if (!(lv > 0.0 && lv < 100.0)) {
      raise(PyExc_ValueError, "levels must be coverages in percent between 0 and 100, got " +
                                  py::repr(py::float_(lv)).cast<std::string>());
    }
  }
  for (double p : probs) {
    if (!(p > 0.0 && p < 1.0)) {
      raise(PyExc_ValueError, "probs must be probabilities strictly between 0 and 1, got " +
                                  py::repr(py::float_(p)).cast<std::string>());
    }
  }
  const auto m = static_cast<std::size_t>(py::len(values));
  const bool with_exog = !exog.is_none();
  if (with_exog && (future.is_none() || py::len(exog) != m || py::len(future) != m)) {
    raise(PyExc_ValueError, "exog and future must hold one array per series");
  }
  if (!calendar.is_none() && py::len(calendar) != m) {
    raise(PyExc_ValueError, "calendar must hold one list of seasons per series");
  }
  std::vector<Array> keep;
  keep.reserve(with_exog ? 3 * m : m);
  std::vector<tarn::SeriesJob> jobs(m);
  for (std::size_t i = 0; i < m; ++i) {
    tarn::SeriesJob& j = jobs[i];
    keep.push_back(array_of(values[i], 1, "values", i));
    j.algorithm = algorithm;
    j.values = keep.back().data();
    j.n = static_cast<std::size_t>(keep.back().shape(0));
    j.season = std::max<std::int64_t>(season, 0);
    j.horizon = horizon;
    j.levels = levels;
    j.probs = probs;
    j.nonnegative = nonnegative;
    if (!calendar.is_none()) {
      j.calendar_seasons = py::cast<std::vector<double>>(calendar[py::int_(i)]);
    }
    if (with_exog) {
      keep.push_back(array_of(exog[py::int_(i)], 2, "exog", i));
      const Array& x = keep.back();
      if (static_cast<std::size_t>(x.shape(0)) != j.n) {
        raise(PyExc_ValueError,
              "exog[" + std::to_string(i) + "] must have one row per value of the series");
      }
      j.regressors = x.data();
      j.n_regressors = static_cast<std::size_t>(x.shape(1));
      keep.push_back(array_of(future[py::int_(i)], 2, "future", i));
      const Array& f = keep.back();
      if (static_cast<std::size_t>(f.shape(1)) != j.n_regressors) {
        raise(PyExc_ValueError, "future[" + std::to_string(i) + "] must have " +
                                    std::to_string(j.n_regressors) + " columns");
      }
      j.future = f.data();
      j.future_rows = static_cast<std::size_t>(f.shape(0));
    }
  }
  std::vector<tarn::SeriesResult> results(m);
  {
    py::gil_scoped_release release;
    twpy::interruptible([&] {
      for (std::size_t i = 0; i < m; ++i) results[i] = tarn::forecast_series(jobs[i]);
    });
  }
  const auto h = static_cast<std::size_t>(horizon);
  const std::size_t nl = levels.size(), np = probs.size();
  py::array_t<double> point({m, h}), lower({m, nl, h}), upper({m, nl, h}), quant({m, np, h});
  py::array_t<std::int64_t> seasons(static_cast<py::ssize_t>(m));
  py::array_t<double> seconds(static_cast<py::ssize_t>(m));
  std::fill(point.mutable_data(), point.mutable_data() + m * h, 0.0);
  py::list errors, notes, warned;
  for (std::size_t i = 0; i < m; ++i) {
    const tarn::SeriesResult& r = results[i];
    seasons.mutable_data()[i] = r.season;
    seconds.mutable_data()[i] = r.seconds;
    py::list own_notes;
    for (const auto& n : r.notes) own_notes.append(n);
    notes.append(own_notes);
    py::list own_warnings;
    for (const auto& w : r.warnings) own_warnings.append(w);
    warned.append(own_warnings);
    if (!r.error.empty()) {
      errors.append(py::make_tuple(r.error_kind, r.error));
      continue;
    }
    errors.append(py::none());
    std::copy(r.point.begin(), r.point.end(), point.mutable_data() + i * h);
    std::copy(r.lower.begin(), r.lower.end(), lower.mutable_data() + i * nl * h);
    std::copy(r.upper.begin(), r.upper.end(), upper.mutable_data() + i * nl * h);
    std::copy(r.quantiles.begin(), r.quantiles.end(), quant.mutable_data() + i * np * h);
  }
  py::dict out;
  out["point"] = point;
  out["lower"] = lower;
  out["upper"] = upper;
  out["quantiles"] = quant;
  out["season"] = seasons;
  out["seconds"] = seconds;
  out["errors"] = errors;
  out["notes"] = notes;
  out["warnings"] = warned;
  return out;
}

// The rows of `values` (rows of a regular grid, one column per series) with their blanks (NaN)
// filled by `method`, as the forecaster's interpolator fills them with its defaults (fill: the
// constant 0; prev's leading and next's trailing gaps: 0).
py::array_t<double> fill_gaps(py::handle values, const std::string& method) {
  py::array_t<double> a = twpy::as_matrix_copy(values);
  const auto cols = static_cast<std::size_t>(a.shape(1));
  std::vector<double> zeros;
  if (method == "fill") zeros.assign(cols, 0.0);
  twpy::fill_by_method(a, -1, std::nan(""), method, 0.0, zeros);
  return a;
}

}  // namespace

void bind_series_jobs(py::module_& m) {
  m.def("fill_gaps", &fill_gaps, py::arg("values"), py::arg("method"),
        "A filled copy of `values` (rows of a regular grid, a column per series): each NaN "
        "filled by the interpolation `method` (linear, cubic, nearest, prev, next or fill), "
        "as QuillcastInterpolator fills it with its default settings.");
  m.def("forecast_series", &forecast_series, py::arg("algorithm"), py::arg("values"),
        py::arg("horizon"), py::arg("season") = 0, py::arg("levels") = std::vector<double>(),
        py::arg("probs") = std::vector<double>(), py::arg("nonnegative") = false,
        py::arg("exog") = py::none(), py::arg("future") = py::none(),
        py::arg("calendar") = py::none(),
        "Forecasts a chunk of series with the forecaster's defaults for `algorithm` (lower "
        "case), in one call without the GIL: `values` holds one array per series (training "
        "values on a regular grid, no missing value); season 0 detects each series' season. "
        "With regressors, `exog` holds each series' rows of regressors and `future` their "
        "values at the `horizon` forecast steps; `calendar` each series' seasons as its dates' "
        "calendar implies them (time_grid's calendar_seasons), which the season search tests. "
        "Returns {point: (series, horizon), lower / "
        "upper: (series, levels, horizon), quantiles: (series, probs, horizon), season, "
        "seconds: per series, errors: None or (kind, message) per series, notes: the fit notes "
        "of each series, warnings: what each series' caller should know (seasons its model "
        "leaves out)}. Ctrl-C stops the chunk.");
}

}  // namespace tarnpy
