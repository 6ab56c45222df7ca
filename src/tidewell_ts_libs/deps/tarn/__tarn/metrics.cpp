// Accuracy of a forecast, the time grid of a series' times and the forecaster's settings, in
// Python.
#include "tarn/metrics.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding.hpp"
#include "tarn/calendar.hpp"
#include "tarn/calendar_features.hpp"
#include "tarn/holt_winters.hpp"
#include "tarn/training_sizes.hpp"

namespace tarnpy {
namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

Doubles vector_of(const char* name, py::handle v) {
  Doubles a;
  try {
    a = Doubles::ensure(v);
  } catch (py::error_already_set&) {
    a = Doubles();
  }
  if (!a) {
    PyErr_Clear();
    raise(PyExc_TypeError,
          std::string(name) + " must be numbers, not " + std::string(Py_TYPE(v.ptr())->tp_name));
  }
  if (a.ndim() != 1) {
    raise(PyExc_ValueError, std::string(name) + " must be one-dimensional, not of shape " +
                                py::str(a.attr("shape")).cast<std::string>());
  }
  return a;
}

void same_length(const char* name, const Doubles& a, const Doubles& b) {
  if (a.size() != b.size()) {
    raise(PyExc_ValueError, std::string(name) + " has " + std::to_string(a.size()) +
                                " values, the actual values " + std::to_string(b.size()));
  }
}

py::dict accuracy(py::handle actual, py::handle forecast, py::handle insample, py::handle season,
                  py::handle lower, py::handle upper, py::handle level) {
  const Doubles y = vector_of("actual", actual), f = vector_of("forecast", forecast);
  const Doubles x = vector_of("insample", insample);
  same_length("forecast", f, y);
  if (PyBool_Check(season.ptr()) || !PyIndex_Check(season.ptr())) {
    raise(PyExc_TypeError,
          "season must be an integer, not " + py::repr(season).cast<std::string>());
  }
  const long long m = py::int_(py::reinterpret_borrow<py::object>(season)).cast<long long>();
  if (m < 1) raise(PyExc_ValueError, "season must be at least 1, not " + std::to_string(m));
  if (lower.is_none() != upper.is_none()) {
    raise(PyExc_ValueError, "an interval needs both lower and upper");
  }
  const bool bands = !lower.is_none();
  Doubles lo, hi;
  double lv = 95.0;
  if (bands) {
    lo = vector_of("lower", lower);
    hi = vector_of("upper", upper);
    same_length("lower", lo, y);
    same_length("upper", hi, y);
    if (level.is_none()) raise(PyExc_ValueError, "level is needed with lower and upper");
  }
  if (!level.is_none()) {
    lv = py::float_(py::reinterpret_borrow<py::object>(level)).cast<double>();
    if (!(lv > 0.0 && lv < 100.0)) {
      raise(PyExc_ValueError,
            "level must be a coverage in percent between 0 and 100, not " + std::to_string(lv));
    }
  }
  tarn::Accuracy a;
  {
    py::gil_scoped_release release;
    a = tarn::accuracy(y.data(), f.data(), static_cast<std::size_t>(y.size()), x.data(),
                       static_cast<std::size_t>(x.size()), static_cast<std::size_t>(m),
                       bands ? lo.data() : nullptr, bands ? hi.data() : nullptr, lv);
  }
  py::dict out;
  out["mae"] = a.mae;
  out["rmse"] = a.rmse;
  out["smape"] = a.smape;
  out["mase"] = a.mase;
  out["msis"] = a.msis;
  out["coverage"] = a.coverage;
  out["count"] = a.count;
  out["season"] = a.season;
  return out;
}

// A matrix of numbers (rows are positions or paths) as a C-ordered array of doubles.
Doubles matrix_of(const char* name, py::handle v) {
  Doubles a;
  try {
    a = Doubles::ensure(v);
  } catch (py::error_already_set&) {
    a = Doubles();
  }
  if (!a) {
    PyErr_Clear();
    raise(PyExc_TypeError,
          std::string(name) + " must be numbers, not " + std::string(Py_TYPE(v.ptr())->tp_name));
  }
  if (a.ndim() != 2) {
    raise(PyExc_ValueError, std::string(name) + " must be two-dimensional, not of shape " +
                                py::str(a.attr("shape")).cast<std::string>());
  }
  return a;
}

// The in-sample part and the season of the scaled scores (None: no in-sample part).
struct Scale {
  Doubles values;
  std::size_t season = 1;
  const double* data() const { return values ? values.data() : nullptr; }
  std::size_t size() const { return values ? static_cast<std::size_t>(values.size()) : 0; }
};

Scale scale_of(py::handle insample, py::handle season) {
  Scale s;
  if (PyBool_Check(season.ptr()) || !PyIndex_Check(season.ptr())) {
    raise(PyExc_TypeError,
          "season must be an integer, not " + py::repr(season).cast<std::string>());
  }
  const long long m = py::int_(py::reinterpret_borrow<py::object>(season)).cast<long long>();
  if (m < 1) raise(PyExc_ValueError, "season must be at least 1, not " + std::to_string(m));
  s.season = static_cast<std::size_t>(m);
  if (!insample.is_none()) s.values = vector_of("insample", insample);
  return s;
}

py::dict quantile_scores(py::handle actual, py::handle forecasts, py::handle quantiles,
                         py::handle insample, py::handle season) {
  const Doubles y = vector_of("actual", actual);
  const Doubles q = matrix_of("forecasts", forecasts);
  const Doubles p = vector_of("quantiles", quantiles);
  const Scale sc = scale_of(insample, season);
  if (q.shape(0) != y.size() || q.shape(1) != p.size()) {
    raise(PyExc_ValueError,
          "forecasts must have one row per actual value and one column per "
          "quantile, (" +
              std::to_string(y.size()) + ", " + std::to_string(p.size()) + "), not of shape " +
              py::str(q.attr("shape")).cast<std::string>());
  }
  tarn::QuantileScores r;
  try {
    py::gil_scoped_release release;
    r = tarn::quantile_scores(y.data(), static_cast<std::size_t>(y.size()), p.data(),
                              static_cast<std::size_t>(p.size()), q.data(), sc.data(), sc.size(),
                              sc.season);
  } catch (const std::invalid_argument& e) {
    raise(PyExc_ValueError, std::string("quantiles: ") + e.what());
  }
  py::dict pinball;
  for (py::ssize_t j = 0; j < p.size(); ++j)
    pinball[py::float_(p.data()[j])] = r.pinball[static_cast<std::size_t>(j)];
  py::dict out;
  out["pinball"] = pinball;
  out["mean_pinball"] = r.mean_pinball;
  out["crps"] = r.crps;
  out["scaled_pinball"] = r.scaled_pinball;
  out["scaled_crps"] = r.scaled_crps;
  out["count"] = r.count;
  return out;
}

py::dict sample_crps(py::handle actual, py::handle paths, py::handle insample, py::handle season) {
  const Doubles y = vector_of("actual", actual);
  const Doubles x = matrix_of("paths", paths);
  const Scale sc = scale_of(insample, season);
  if (x.shape(1) != y.size() || x.shape(0) < 1) {
    raise(PyExc_ValueError,
          "paths must have at least one row (a path) and one column per actual "
          "value (" +
              std::to_string(y.size()) + "), not of shape " +
              py::str(x.attr("shape")).cast<std::string>());
  }
  tarn::SampleScores r;
  {
    py::gil_scoped_release release;
    r = tarn::sample_scores(y.data(), static_cast<std::size_t>(y.size()), x.data(),
                            static_cast<std::size_t>(x.shape(0)), sc.data(), sc.size(), sc.season);
  }
  py::array_t<double> per(static_cast<py::ssize_t>(r.crps.size()));
  std::copy(r.crps.begin(), r.crps.end(), per.mutable_data());
  py::dict out;
  out["crps"] = r.mean_crps;
  out["scaled_crps"] = r.scaled_crps;
  out["per_step"] = per;
  out["count"] = r.count;
  return out;
}

// Times at the door: datetime64 of any unit as nanoseconds (dates), integers as themselves.
struct Times {
  std::vector<std::int64_t> values;
  bool dates = false;
};

Times times_of(py::handle obj) {
  py::module_ np = py::module_::import("numpy");
  py::object a = np.attr("asarray")(obj);
  if (a.attr("ndim").cast<int>() != 1) raise(PyExc_ValueError, "times must be one-dimensional");
  const std::string kind = py::str(a.attr("dtype").attr("kind")).cast<std::string>();
  Times t;
  py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> v;
  if (kind == "M") {
    t.dates = true;
    v = a.attr("astype")("datetime64[ns]").attr("view")("int64");
  } else if (kind == "i" || kind == "u") {
    v = a.attr("astype")("int64");
  } else if (kind == "f") {
    const py::object whole = np.attr("all")(np.attr("equal")(np.attr("floor")(a), a));
    if (!whole.cast<bool>()) raise(PyExc_ValueError, "times must be dates or whole numbers");
    v = a.attr("astype")("int64");
  } else {
    raise(PyExc_TypeError, "times must be datetime64 or integers, not " +
                               py::str(a.attr("dtype")).cast<std::string>());
  }
  t.values.assign(v.data(), v.data() + v.size());
  return t;
}

tarn::calendar::Grid grid_of(const Times& t) {
  try {
    return tarn::calendar::detect_grid(t.values, !t.dates);
  } catch (const std::invalid_argument& e) {
    raise(PyExc_ValueError, e.what());
  }
}

py::array times_array(const std::vector<std::int64_t>& v, bool dates) {
  py::array_t<std::int64_t> out(static_cast<py::ssize_t>(v.size()));
  std::copy(v.begin(), v.end(), out.mutable_data());
  if (dates) return out.attr("view")("datetime64[ns]");
  return out;
}

py::dict time_grid(py::handle times) {
  const Times t = times_of(times);
  const tarn::calendar::Grid g = grid_of(t);
  py::dict out;
  out["unit"] = t.dates ? tarn::calendar::unit_name(g.axis.unit) : std::string("step");
  out["step"] = g.step;
  out["name"] = tarn::calendar::step_name(g);
  out["business_days"] = g.business_days;
  out["regular"] = g.regular;
  py::list seasons;
  if (t.dates && g.regular) {
    tarn::calendar::Axis axis = g.axis;
    axis.business_days = g.business_days;
    for (double c : tarn::calendar::calendar_seasons(axis, g.step)) seasons.append(c);
  }
  out["calendar_seasons"] = seasons;
  std::vector<std::int64_t> pos;
  if (g.regular && tarn::calendar::grid_positions(g, t.values, &pos)) {
    py::array_t<std::int64_t> p(static_cast<py::ssize_t>(pos.size()));
    std::copy(pos.begin(), pos.end(), p.mutable_data());
    out["positions"] = p;
  } else {
    out["positions"] = py::none();
  }
  return out;
}

py::array grid_times(py::handle times, py::handle steps) {
  const Times t = times_of(times);
  const tarn::calendar::Grid g = grid_of(t);
  py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> k =
      py::module_::import("numpy").attr("asarray")(steps, py::arg("dtype") = "int64");
  std::vector<std::int64_t> out(static_cast<std::size_t>(k.size()));
  try {
    for (py::ssize_t i = 0; i < k.size(); ++i) {
      out[static_cast<std::size_t>(i)] =
          tarn::calendar::grid_time(g, t.values.front(), k.data()[i]);
    }
  } catch (const std::invalid_argument& e) {
    raise(PyExc_ValueError, e.what());
  }
  return times_array(out, t.dates);
}

py::array next_times(py::handle times, long long n) {
  if (n < 0) raise(PyExc_ValueError, "n must not be negative, not " + std::to_string(n));
  const Times t = times_of(times);
  const tarn::calendar::Grid g = grid_of(t);
  std::vector<std::int64_t> out(static_cast<std::size_t>(n));
  for (long long k = 0; k < n; ++k) {
    out[static_cast<std::size_t>(k)] = tarn::calendar::grid_time(g, t.values.back(), k + 1);
  }
  return times_array(out, t.dates);
}

py::tuple calendar_features(py::handle times, py::handle grid_times, bool day_of_week, bool month,
                            py::handle fourier) {
  const Times t = times_of(times);
  const Times ref = grid_times.is_none() ? t : times_of(grid_times);
  if (ref.dates != t.dates) {
    raise(PyExc_TypeError, "times and grid_times must both be dates or both be integers");
  }
  tarn::calendar::CalendarFeatureSet wanted;
  wanted.day_of_week = day_of_week;
  wanted.month = month;
  for (py::handle item : fourier) {
    bool ok =
        py::isinstance<py::sequence>(item) && !py::isinstance<py::str>(item) && py::len(item) == 2;
    tarn::calendar::FourierTerms f;
    if (ok) {
      const py::sequence pair = py::reinterpret_borrow<py::sequence>(item);
      const py::object period = pair[0], order = pair[1];
      ok = !PyBool_Check(order.ptr()) && PyIndex_Check(order.ptr()) &&
           !PyBool_Check(period.ptr()) && PyNumber_Check(period.ptr());
      if (ok) {
        f.period = py::float_(period).cast<double>();
        f.order = py::int_(order).cast<int>();
      }
    }
    if (!ok) {
      raise(PyExc_ValueError,
            "fourier takes (period, order) pairs, not " + py::repr(item).cast<std::string>());
    }
    wanted.fourier.push_back(f);
  }
  if (ref.values.empty() && !wanted.fourier.empty()) {
    raise(PyExc_ValueError, "Fourier terms need the grid of at least one time");
  }
  tarn::calendar::CalendarFeatures f;
  try {
    tarn::calendar::Grid g;
    g.plain = !t.dates;
    if (!wanted.fourier.empty()) {  // the grid of the times in order, each once
      Times steps = ref;
      std::sort(steps.values.begin(), steps.values.end());
      steps.values.erase(std::unique(steps.values.begin(), steps.values.end()), steps.values.end());
      g = grid_of(steps);
    }
    f = tarn::calendar::calendar_features(t.values, g, wanted);
  } catch (const std::invalid_argument& e) {
    raise(PyExc_ValueError, e.what());
  }
  const auto rows = static_cast<py::ssize_t>(t.values.size());
  const auto cols = static_cast<py::ssize_t>(f.names.size());
  py::array_t<double> values({rows, cols});
  std::copy(f.values.begin(), f.values.end(), values.mutable_data());
  return py::make_tuple(py::cast(f.names), values);
}

py::dict forecaster_settings(const std::string& algorithm, py::handle values, long long season) {
  Doubles x;
  try {
    x = Doubles::ensure(values);
  } catch (py::error_already_set&) {
    x = Doubles();
  }
  if (!x || x.ndim() < 1 || x.ndim() > 2) {
    PyErr_Clear();
    raise(PyExc_TypeError, "values must be a vector or a matrix of numbers (rows in time order)");
  }
  py::dict out;
  out["log_transform"] = tarn::log_transformable(x.data(), static_cast<std::size_t>(x.size()));
  if (algorithm == "hw") {
    const auto s = tarn::holt_winters_sizes(x.shape(0), season);
    out["samples_per_season"] = s.samples_per_season;
    out["initial_training_seasons"] = s.initial_training_seasons;
    out["algorithm_type"] = "additive";
  }
  return out;
}

}  // namespace

void bind_metrics(py::module_& m) {
  m.def("accuracy", &accuracy, py::arg("actual"), py::arg("forecast"), py::arg("insample"),
        py::arg("season"), py::arg("lower") = py::none(), py::arg("upper") = py::none(),
        py::arg("level") = py::none(),
        "Accuracy of a forecast against the actual values: a dict of mae, rmse, smape (percent), "
        "mase (over the in-sample seasonal naive MAE, season falling back to 1 on a short "
        "in-sample part), msis and coverage (percent; NaN without lower and upper, which need "
        "level), count (positions scored) and season (of the naive scale). Positions whose "
        "actual is NaN do not count; a NaN or infinite forecast or bound where the actual is "
        "known makes every measure NaN.");
  m.def("quantile_scores", &quantile_scores, py::arg("actual"), py::arg("forecasts"),
        py::arg("quantiles"), py::arg("insample") = py::none(), py::arg("season") = 1,
        "Scores of quantile forecasts: forecasts has one row per actual value and one column "
        "per probability of `quantiles` (strictly increasing, in (0, 1)). A dict of pinball "
        "({probability: mean pinball loss}), mean_pinball (over the quantiles), crps (twice the "
        "pinball loss integrated over the probabilities, by the midpoint rule on the grid given: "
        "exactly twice the mean pinball loss on the even grid (i - 1/2) / k), scaled_pinball and "
        "scaled_crps (over the in-sample seasonal naive MAE, as MASE; NaN without insample) and "
        "count. The missing-value rule of accuracy: a NaN actual does not count, a NaN or "
        "infinite quantile where the actual is known makes every score NaN.");
  m.def("sample_crps", &sample_crps, py::arg("actual"), py::arg("paths"),
        py::arg("insample") = py::none(), py::arg("season") = 1,
        "The CRPS of sample paths (one row per path, one column per actual value), exactly for "
        "their empirical distribution: E|X - y| - E|X - X'| / 2. A dict of crps (the mean over "
        "the positions that count), scaled_crps (over the in-sample seasonal naive MAE; NaN "
        "without insample), per_step (NaN where the actual is missing) and count. The "
        "missing-value rule of accuracy.");
  m.def(
      "time_grid", &time_grid, py::arg("times"),
      "The grid of strictly increasing times (datetime64 of any unit, or integers): a dict of "
      "unit (the calendar axis: month, day, hour, ...; step for integers), step (axis units "
      "per step: the smallest spacing when every spacing is a whole number of it, else the "
      "median), name (of one step: month, quarter, week, business "
      "day, ..., timestamp), business_days, regular, calendar_seasons (the seasons, in steps, the "
      "calendar implies for dates on a regular grid: 7 and 365.25 for days, ...; empty "
      "otherwise) and positions (the step number of each "
      "time counted from the first; None when the times are not regular).");
  m.def("grid_times", &grid_times, py::arg("times"), py::arg("steps"),
        "The times at the given step numbers of the grid of `times`, counted from its first "
        "time (datetime64[ns] for dates).");
  m.def("next_times", &next_times, py::arg("times"), py::arg("n"),
        "The n times after `times` on its grid: calendar months for monthly data, weekdays for "
        "business days (datetime64[ns] for dates).");
  m.def("calendar_features", &calendar_features, py::arg("times"),
        py::arg("grid_times") = py::none(), py::arg("day_of_week") = false,
        py::arg("month") = false, py::arg("fourier") = py::tuple(),
        "Regressors of `times` (datetime64 or integers): (names, values of shape (times, "
        "names)). day_of_week: day_tue ... day_sun (Monday the base); month: month_feb ... "
        "month_dec (January the base); fourier: (period, order) pairs, giving sin_<P>_<k> and "
        "cos_<P>_<k> of 2 pi k t / P, t the step number since 1970 on the grid of `grid_times` "
        "(default: `times`), so that a later span continues the terms of an earlier one.");
  m.def("forecaster_settings", &forecaster_settings, py::arg("algorithm"), py::arg("values"),
        py::arg("season"),
        "The forecaster's settings for training `algorithm` on `values` with the detected "
        "season (a vector, or a matrix of rows): log_transform (every known value above 0) and, "
        "for hw, the season and initial training sizes.");
}

}  // namespace tarnpy
