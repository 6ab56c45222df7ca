// Python binding of the tarn forecasting engine.
//
// Builders (module `forecasters`) take keyword arguments only and return a new, untrained
// engine model. The model type is registered globally with a shared_ptr holder, so any other
// extension module can reach the C++ model behind a Python object (contracts/engine.hpp).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "contracts/model_table.hpp"
#include "interrupts.hpp"
#include "tarn/builders.hpp"
#include "tarn/calendar.hpp"
#include "tarn/forecaster.hpp"
#include "tarn/holt_winters.hpp"
#include "tarn/interrupt.hpp"
#include "tarn/metrics.hpp"
#include "tarn/model.hpp"
#include "tarn/model_table.hpp"
#include "tarn/training_sizes.hpp"

namespace py = pybind11;

namespace {

using ModelPtr = std::shared_ptr<tarn::Model>;

[[noreturn]] void raise(PyObject* type, const std::string& text) {
  PyErr_SetString(type, text.c_str());
  throw py::error_already_set();
}

bool is_bool_like(py::handle v) {
  if (PyBool_Check(v.ptr())) return true;
  // numpy.bool_ is neither a bool nor an int.
  const std::string tname = Py_TYPE(v.ptr())->tp_name;
  return tname == "numpy.bool" || tname == "numpy.bool_";
}

tarn::Value to_value(const std::string& key, py::handle v) {
  if (v.is_none()) return tarn::Value();
  if (is_bool_like(v)) return tarn::Value(static_cast<bool>(PyObject_IsTrue(v.ptr())));
  if (PyUnicode_Check(v.ptr())) return tarn::Value(v.cast<std::string>());
  if (PyFloat_Check(v.ptr())) return tarn::Value(PyFloat_AsDouble(v.ptr()));
  if (PyIndex_Check(v.ptr())) {
    py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(v.ptr()));
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow != 0) raise(PyExc_ValueError, "option '" + key + "' is out of range");
    return tarn::Value(static_cast<std::int64_t>(x));
  }
  if (PyNumber_Check(v.ptr()) && py::hasattr(v, "__float__")) {
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return tarn::Value(d);
  }
  raise(PyExc_TypeError, "option '" + key + "' must be a number, a bool, a string or None, not " +
                             std::string(Py_TYPE(v.ptr())->tp_name));
}

ModelPtr build(const std::string& builder, const py::kwargs& kwargs) {
  tarn::Options opts;
  for (auto item : kwargs) {
    const std::string key = py::str(item.first).cast<std::string>();
    opts[key] = to_value(key, item.second);
  }
  return ModelPtr(tarn::build(builder, opts));
}

std::int64_t to_timestamp(py::handle v) {
  if (PyFloat_Check(v.ptr())) {
    const double d = PyFloat_AsDouble(v.ptr());
    if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9.0e18) {
      raise(PyExc_ValueError,
            "timestamp " + py::repr(v).cast<std::string>() + " is not an integer");
    }
    return static_cast<std::int64_t>(d);
  }
  if (!is_bool_like(v) && PyIndex_Check(v.ptr())) {
    py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(v.ptr()));
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow != 0) raise(PyExc_ValueError, "timestamp is out of range");
    return static_cast<std::int64_t>(x);
  }
  raise(PyExc_TypeError,
        "timestamps must be integers, not " + std::string(Py_TYPE(v.ptr())->tp_name));
}

double to_number(py::handle v) {
  if (v.is_none()) return std::nan("");  // a missing observation
  const double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    raise(PyExc_TypeError, "values must be numbers, not " + std::string(Py_TYPE(v.ptr())->tp_name));
  }
  return d;
}

// Length from which a list update of a fitted model can be interrupted.
constexpr std::size_t kInterruptibleUpdate = 4096;

// Runs engine work on `model` without the GIL, stoppable with Ctrl-C; an interrupted model is
// put back as it was before the call.
template <class Work>
auto run_interruptible(tarn::Model& model, Work&& work) -> decltype(work()) {
  const std::unique_ptr<tarn::Model> before = model.clone();
  try {
    py::gil_scoped_release release;
    return twpy::interruptible(work);
  } catch (py::error_already_set&) {
    model.restore(before->serialize());
    throw;
  }
}

bool is_sequence(py::handle v) {
  return !PyUnicode_Check(v.ptr()) && !PyBytes_Check(v.ptr()) && py::hasattr(v, "__len__") &&
         py::hasattr(v, "__iter__");
}

void update_model(tarn::Model& model, py::handle t, py::handle v) {
  if (is_sequence(t) || is_sequence(v)) {
    if (!is_sequence(t) || !is_sequence(v)) {
      raise(PyExc_TypeError,
            "update_model takes two sequences (timestamps, values) or one timestamp and one "
            "value");
    }
    std::vector<std::int64_t> ts;
    std::vector<double> vals;
    for (auto x : py::iter(t)) ts.push_back(to_timestamp(x));
    for (auto x : py::iter(v)) vals.push_back(to_number(x));
    if (ts.size() != vals.size()) {
      raise(PyExc_ValueError, "timestamps and values differ in length (" +
                                  std::to_string(ts.size()) + " and " +
                                  std::to_string(vals.size()) + ")");
    }
    // Engine work that can take long (a fit, a long list) can be stopped with Ctrl-C; updates
    // of a fitted model by a short list are quick and skip the copy that undoes a stopped call.
    if (!model.is_initialized() || ts.size() >= kInterruptibleUpdate) {
      run_interruptible(model, [&] { model.update(ts, vals); });
    } else {
      py::gil_scoped_release release;
      model.update(ts, vals);
    }
    return;
  }
  const std::int64_t ts = to_timestamp(t);
  const double val = to_number(v);
  model.update(ts, val);
}

ModelPtr from_state(const py::bytes& state) {
  const std::string bytes = state;
  return ModelPtr(tarn::Model::deserialize(bytes));
}

// --- the forecasting session ------------------------------------------------------------------

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using SessionPtr = std::shared_ptr<tarn::Forecaster>;

std::vector<ModelPtr> models_of(const py::handle& models, const char* name) {
  std::vector<ModelPtr> out;
  for (auto m : py::iter(models)) {
    if (!py::isinstance<tarn::Model>(m)) {
      raise(PyExc_TypeError, std::string(name) + " must hold engine models, got " +
                                 std::string(Py_TYPE(m.ptr())->tp_name));
    }
    out.push_back(m.cast<ModelPtr>());
  }
  return out;
}

py::list model_list(const std::vector<ModelPtr>& models) {
  py::list out;
  for (const auto& m : models) out.append(py::cast(m));
  return out;
}

// A two-dimensional array of rows (one-dimensional: one row per value).
Array rows_array(const py::handle& values, const char* name) {
  Array a = Array::ensure(values);
  if (!a) throw py::error_already_set();
  if (a.ndim() == 1) a = Array(a.reshape({a.shape(0), py::ssize_t(1)}));
  if (a.ndim() != 2) {
    raise(PyExc_ValueError, std::string(name) + " must be a two-dimensional array, got " +
                                std::to_string(a.ndim()) + " dimensions");
  }
  return a;
}

py::array_t<double> as_matrix(const std::vector<double>& v, std::size_t rows, std::size_t cols) {
  py::array_t<double> a({rows, cols});
  if (rows > 0 && cols > 0) std::copy(v.begin(), v.begin() + rows * cols, a.mutable_data());
  return a;
}

std::int64_t horizon_of(std::int64_t h) {
  if (h < 0) raise(PyExc_ValueError, "horizon must not be negative, got " + std::to_string(h));
  if (h > static_cast<std::int64_t>(tarn::kMaxForecastPath)) {
    raise(PyExc_ValueError, "horizon of " + std::to_string(h) + " steps is above the limit of " +
                                std::to_string(tarn::kMaxForecastPath));
  }
  return h;
}

// (forecasts, updated models, skipped rows, usable rows) of predict and sliding; a failed
// forecast raises RuntimeError.
py::tuple run_rows(const tarn::Forecaster& f, const py::handle& values, const py::handle& stamps,
                   std::int64_t horizon, const py::handle& working, bool per_row) {
  horizon = horizon_of(horizon);
  Array v = rows_array(values, "values");
  Array t;
  tarn::Rows rows{v.data(), static_cast<std::size_t>(v.shape(1)), nullptr,
                  static_cast<std::size_t>(v.shape(0))};
  if (!stamps.is_none()) {
    t = Array::ensure(stamps);
    if (!t) throw py::error_already_set();
    if (t.ndim() != 1 || t.shape(0) != v.shape(0)) {
      raise(PyExc_ValueError, "timestamps must be one per row of values");
    }
    rows.timestamps = t.data();
  }
  std::vector<ModelPtr> own;
  const bool in_place = !working.is_none();
  if (in_place) own = models_of(working, "models");
  tarn::Forecast out;
  {
    py::gil_scoped_release release;
    out = per_row ? f.sliding(rows, horizon, in_place ? &own : nullptr)
                  : f.predict(rows, horizon, in_place ? &own : nullptr);
  }
  if (out.loop.forecast_failed) raise(PyExc_RuntimeError, out.loop.failure);
  py::list skips;
  for (const auto& s : out.loop.skips) {
    skips.append(
        py::make_tuple(s.kind == tarn::SkipRecord::kStale ? "stale" : "refused", s.row, s.model));
  }
  const std::size_t cols = out.cols;
  const std::size_t n = cols ? out.values.size() / cols : 0;
  return py::make_tuple(as_matrix(out.values, n, cols), model_list(out.updated), skips,
                        out.usable_rows);
}

void bind_session(py::module_& m) {
  py::class_<tarn::Forecaster, SessionPtr> cls(
      m, "Forecaster",
      "A forecasting session: one engine model per target series, trained and forecast as a "
      "whole (the log transform ln(x + 2), the forecast loop, intervals). Arrays in, arrays out; "
      "a trained session may be shared by threads.");
  cls.def(py::init([](py::handle models, bool log_transformed, py::object n_update) {
            std::vector<ModelPtr> ms = models_of(models, "models");
            const std::size_t n = n_update.is_none() ? ms.size() : n_update.cast<std::size_t>();
            return std::make_shared<tarn::Forecaster>(std::move(ms), log_transformed, n);
          }),
          py::arg("models") = py::list(), py::arg("log_transformed") = false,
          py::arg("n_update") = py::none(),
          "A session over trained (or loaded) engine models; n_update: the models new rows feed "
          "(all of them by default).");
  cls.def(
      "train",
      [](tarn::Forecaster& self, py::handle timestamps, py::handle series, py::handle models,
         bool log_transform, py::object retry) {
        Array s = rows_array(series, "series");
        py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> t =
            py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
                timestamps);
        if (!t) throw py::error_already_set();
        if (t.ndim() != 1 || t.shape(0) != s.shape(1)) {
          raise(PyExc_ValueError, "timestamps must be one per value of each series");
        }
        std::vector<ModelPtr> ms = models_of(models, "models");
        tarn::Forecaster::TrainInput in;
        in.timestamps = t.data();
        in.series = s.data();
        in.n = static_cast<std::size_t>(s.shape(1));
        in.n_targets = static_cast<std::size_t>(s.shape(0));
        in.log_transform = log_transform;
        in.retry_sizes = !retry.is_none();
        tarn::Forecaster::RetryFn fn = [&retry](std::size_t target, std::int64_t attempt) {
          py::gil_scoped_acquire gil;
          py::object made = retry(target, attempt);
          return models_of(py::make_tuple(made), "retry")[0];
        };
        py::gil_scoped_release release;
        self.train(in, std::move(ms), fn);
      },
      py::arg("timestamps"), py::arg("series"), py::arg("models"), py::arg("log_transform") = true,
      py::arg("retry") = py::none(),
      "Trains `models` (one new engine model per row of `series`, the target series) on the "
      "series at the integer `timestamps`. The log transform is used when asked for and every "
      "series can take it. retry(target, attempt) -> model, when given, builds the model of "
      "each retry with a shorter training size (attempts 0 to 4) until one initialises.");
  cls.def_property_readonly("models",
                            [](const tarn::Forecaster& f) { return model_list(f.models()); });
  cls.def_property_readonly("log_transformed", &tarn::Forecaster::log_transformed);
  cls.def_property_readonly("n_update", &tarn::Forecaster::n_update);
  cls.def_property_readonly("last_updated", &tarn::Forecaster::last_updated);
  cls.def_property_readonly("interval", &tarn::Forecaster::interval);
  cls.def("ready", &tarn::Forecaster::ready, "Every model initialised.");
  cls.def(
      "forecast_times",
      [](const tarn::Forecaster& f, std::int64_t h) {
        const std::vector<double> t = f.forecast_times(horizon_of(h));
        return py::array_t<double>(static_cast<py::ssize_t>(t.size()), t.data());
      },
      py::arg("horizon"), "The times of the next `horizon` forecasts.");
  cls.def(
      "forecast",
      [](const tarn::Forecaster& f, std::int64_t h) {
        h = horizon_of(h);
        tarn::Forecast out;
        {
          py::gil_scoped_release release;
          out = f.forecast(h);
        }
        return as_matrix(out.values, out.cols ? out.values.size() / out.cols : 0, out.cols);
      },
      py::arg("horizon"),
      "Forecasts of the trained models, `horizon` rows by one column per model, on the data's "
      "scale.");
  cls.def(
      "predict",
      [](const tarn::Forecaster& f, py::handle values, py::handle timestamps, std::int64_t h,
         py::handle models) { return run_rows(f, values, timestamps, h, models, false); },
      py::arg("values"), py::arg("timestamps") = py::none(), py::arg("horizon") = 1,
      py::arg("models") = py::none(),
      "Feeds the rows of `values` (on the data's scale) to copies of the trained models, or to "
      "`models` themselves, and forecasts after them: (forecasts, updated models, skipped rows "
      "as (\"stale\" or \"refused\", row, model), usable rows).");
  cls.def(
      "sliding",
      [](const tarn::Forecaster& f, py::handle values, py::handle timestamps, std::int64_t h,
         py::handle models) { return run_rows(f, values, timestamps, h, models, true); },
      py::arg("values"), py::arg("timestamps") = py::none(), py::arg("horizon") = 1,
      py::arg("models") = py::none(),
      "As predict, with a forecast of `horizon` rows after every row fed.");
  cls.def(
      "intervals",
      [](const tarn::Forecaster& f, py::handle forecast, double level, py::object models) {
        Array fc = rows_array(forecast, "forecast");
        std::vector<ModelPtr> ms;
        if (!models.is_none()) ms = models_of(models, "models");
        const std::size_t cols = models.is_none() ? f.models().size() : ms.size();
        if (static_cast<std::size_t>(fc.shape(1)) != cols) {
          raise(PyExc_ValueError, "forecast must have one column per model");
        }
        const auto h = static_cast<std::size_t>(fc.shape(0));
        py::array_t<double> lower({h, cols}), upper({h, cols});
        double* lo = lower.mutable_data();
        double* hi = upper.mutable_data();
        {
          py::gil_scoped_release release;
          f.intervals(models.is_none() ? nullptr : &ms, static_cast<std::int64_t>(h), level,
                      fc.data(), lo, hi);
        }
        return py::make_tuple(lower, upper);
      },
      py::arg("forecast"), py::arg("level") = 95.0, py::arg("models") = py::none(),
      "(lower, upper) bounds at `level` percent for `forecast` (rows of the horizon, one column "
      "per model) of the trained models or of `models`.");
  m.def(
      "cross_validation",
      [](py::handle values, py::handle timestamps, py::function train, std::int64_t h,
         std::int64_t n_windows, std::int64_t step, bool refit, std::vector<double> levels) {
        Array v = rows_array(values, "values");
        Array t;
        tarn::Rows rows{v.data(), static_cast<std::size_t>(v.shape(1)), nullptr,
                        static_cast<std::size_t>(v.shape(0))};
        if (!timestamps.is_none()) {
          t = Array::ensure(timestamps);
          if (!t) throw py::error_already_set();
          if (t.ndim() != 1 || t.shape(0) != v.shape(0)) {
            raise(PyExc_ValueError, "timestamps must be one per row of values");
          }
          rows.timestamps = t.data();
        }
        tarn::BacktestPlan plan;
        plan.horizon = horizon_of(h);
        plan.n_windows = n_windows;
        plan.step = step;
        plan.refit = refit;
        plan.levels = std::move(levels);
        tarn::TrainFn fn = [&train](std::size_t n_train) {
          py::gil_scoped_acquire gil;
          py::object made = train(n_train);
          if (!py::isinstance<tarn::Forecaster>(made)) {
            raise(PyExc_TypeError,
                  "train must return a Forecaster, got " +
                      py::str(py::type::of(made).attr("__name__")).cast<std::string>());
          }
          return made.cast<tarn::Forecaster>();
        };
        tarn::Backtest b;
        {
          py::gil_scoped_release release;
          b = tarn::cross_validate(rows, plan, fn);
        }
        const std::size_t w = b.origins.size(), hh = b.horizon, c = b.cols;
        auto cube = [](const std::vector<double>& x, std::vector<py::ssize_t> shape) {
          py::array_t<double> a(shape);
          std::copy(x.begin(), x.end(), a.mutable_data());
          return a;
        };
        py::dict out;
        py::array_t<std::int64_t> origins(static_cast<py::ssize_t>(w));
        for (std::size_t k = 0; k < w; ++k) origins.mutable_data()[k] = b.origins[k];
        const auto sw = static_cast<py::ssize_t>(w), sh = static_cast<py::ssize_t>(hh),
                   sc = static_cast<py::ssize_t>(c),
                   sl = static_cast<py::ssize_t>(plan.levels.size());
        out["origins"] = origins;
        out["times"] = cube(b.times, {sw, sh});
        out["forecasts"] = cube(b.forecasts, {sw, sh, sc});
        out["lower"] = cube(b.lower, {sl, sw, sh, sc});
        out["upper"] = cube(b.upper, {sl, sw, sh, sc});
        return out;
      },
      py::arg("values"), py::arg("timestamps"), py::arg("train"), py::arg("h"),
      py::arg("n_windows") = 1, py::arg("step") = 1, py::arg("refit") = false,
      py::arg("levels") = std::vector<double>(),
      "Rolling-origin evaluation over every row of `values` (rows x targets, the data's scale) "
      "at `timestamps` (None: one step apart): `n_windows` origins `step` rows apart, the last "
      "`h` rows before the end, each window forecasting the `h` rows from its origin. "
      "train(n) -> Forecaster trains a session on the first n rows: once (refit false: the "
      "later origins' rows are then fed to copies, O(1) per row) or at every origin. Returns "
      "{origins: index of each window's first forecast row, times: windows x h, forecasts: "
      "windows x h x targets, lower / upper: levels x windows x h x targets}.");
  m.def(
      "to_log_scale",
      [](py::handle x) {
        Array a = Array::ensure(x);
        if (!a) throw py::error_already_set();
        py::array_t<double> out(a.request().shape);
        for (py::ssize_t i = 0; i < a.size(); ++i)
          out.mutable_data()[i] = tarn::to_log_scale(a.data()[i]);
        return out;
      },
      py::arg("x"), "ln(x + 2) of every value.");
  m.def(
      "from_log_scale",
      [](py::handle y) {
        Array a = Array::ensure(y);
        if (!a) throw py::error_already_set();
        py::array_t<double> out(a.request().shape);
        for (py::ssize_t i = 0; i < a.size(); ++i)
          out.mutable_data()[i] = tarn::from_log_scale(a.data()[i]);
        return out;
      },
      py::arg("y"), "e^y - 2 of every value.");
  m.def(
      "mean_smape",
      [](py::handle truth, py::handle forecast, py::object weights) {
        Array t = rows_array(truth, "truth");
        Array f = rows_array(forecast, "forecast");
        if (t.shape(0) != f.shape(0) || t.shape(1) != f.shape(1)) {
          raise(PyExc_ValueError, "truth and forecast must have the same shape");
        }
        Array w;
        if (!weights.is_none()) {
          w = Array::ensure(weights);
          if (!w || w.ndim() != 1 || w.shape(0) != t.shape(0)) {
            raise(PyExc_ValueError, "weights must be one per row");
          }
        }
        return tarn::mean_smape(t.data(), f.data(), static_cast<std::size_t>(t.shape(0)),
                                static_cast<std::size_t>(t.shape(1)),
                                weights.is_none() ? nullptr : w.data());
      },
      py::arg("truth"), py::arg("forecast"), py::arg("weights") = py::none(),
      "Mean sMAPE in percent of forecasts against truths (rows x targets): the mean over each "
      "row, then over the rows (weighted when weights are given).");
  m.def(
      "season_settings",
      [](py::handle x) {
        Array a = Array::ensure(x);
        if (!a) throw py::error_already_set();
        const tarn::SeasonSettings s =
            tarn::season_settings(a.data(), static_cast<std::size_t>(a.size()));
        py::dict d;
        d["samples_per_season"] = s.samples_per_season;
        d["initial_training_seasons"] = s.initial_training_seasons;
        d["training_size"] = s.training_size;
        return d;
      },
      py::arg("x"),
      "The settings a season-sized algorithm takes from its training series: the season, the "
      "full seasons and the training size.");
}

// ---- metrics, the calendar and the forecaster's settings -------------------------------------

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

PYBIND11_MODULE(_tarn, m) {
  m.doc() = "Binding of the tarn forecasting engine.";

  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const tarn::StaleUpdate& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const tarn::InvalidArgument& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const tarn::FormatError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const tarn::Error& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const tarn::Interrupted&) {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
  });

  py::class_<tarn::Model, ModelPtr> model(m, "Model",
                                          "A forecasting model of the engine. Build one with a "
                                          "builder of `forecasters`.");
  model
      .def(
          "update_model",
          [](tarn::Model& self, py::handle t, py::handle v) { update_model(self, t, v); },
          py::arg("timestamps"), py::arg("values"),
          "Feeds observations in time order: two equal-length sequences (integer timestamps, "
          "values) or one timestamp and one value. A NaN or None value is a missing observation. "
          "A timestamp not newer than the latest one raises ValueError (everything before it "
          "is kept). Ctrl-C during a fit or a long list raises KeyboardInterrupt and leaves the "
          "model as it was before the call.")
      .def("is_initialized", &tarn::Model::is_initialized,
           "True once the model has seen enough data to forecast.")
      .def("reset_model", &tarn::Model::reset, "Forgets every observation.")
      .def(
          "fit_available",
          [](tarn::Model& self) {
            return run_interruptible(self, [&] { return self.fit_available(); });
          },
          "For a model still collecting its training values when the series has ended: fits "
          "on the values seen so far if the model can (the automatic selector does), and "
          "returns is_initialized().")
      .def("set_log_input", &tarn::Model::set_log_input, py::arg("shift"),
           "Says, before the first observation, that the values to be fed are ln(x + shift) of "
           "the series x. A model that can fit x on its own scale (ARIMA, the automatic "
           "selector) does so, keeps forecasting on the fed scale and returns True; others "
           "return False and keep their forecasts and bounds below 709, so that exp of them is "
           "finite.")
      .def(
          "forecast_at", [](const tarn::Model& self, double t) { return self.forecast_at(t); },
          py::arg("timestamp"), "Forecast for a timestamp after the latest observation.")
      .def(
          "forecast_steps",
          [](const tarn::Model& self, double h) { return self.forecast_steps(h); },
          py::arg("steps"), "Forecast `steps` grid steps after the latest observation.")
      .def(
          "forecast_interval_at",
          [](const tarn::Model& self, double t, double level) {
            if (!(level > 0.0 && level < 100.0)) {
              raise(PyExc_ValueError, "level must be a coverage in percent between 0 and 100");
            }
            try {
              return self.forecast_interval_at(t, level / 100.0);
            } catch (const tarn::NotInitialized& e) {
              raise(PyExc_ValueError, e.what());
            }
          },
          py::arg("timestamp"), py::arg("level") = 95.0,
          "Prediction interval (lower, upper) for a timestamp after the latest observation, "
          "covering `level` percent of the forecast distribution (0 < level < 100). Raises "
          "ValueError for another level and before the model can forecast.")
      .def(
          "forecast_path",
          [](const tarn::Model& self, py::handle h) {
            if (PyBool_Check(h.ptr()) || !PyIndex_Check(h.ptr())) {
              raise(PyExc_TypeError, "forecast_path: h must be an integer, not " +
                                         std::string(Py_TYPE(h.ptr())->tp_name));
            }
            py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(h.ptr()));
            if (!i) throw py::error_already_set();
            int overflow = 0;
            const long long n = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
            if (overflow < 0 || (!overflow && n < 0)) {
              raise(PyExc_ValueError, "forecast_path: h must not be negative");
            }
            if (overflow > 0 || n > static_cast<long long>(tarn::kMaxForecastPath)) {
              raise(PyExc_ValueError, "forecast_path: h of " + std::string(py::str(i)) +
                                          " steps is above the limit of " +
                                          std::to_string(tarn::kMaxForecastPath));
            }
            const auto steps = static_cast<std::size_t>(n);
            py::array_t<double> out(static_cast<py::ssize_t>(steps));
            double* dst = out.mutable_data();
            {
              py::gil_scoped_release release;
              self.forecast_path(steps, dst);
            }
            return out;
          },
          py::arg("h"),
          "Forecasts 1, 2, ..., h grid steps after the latest observation, as one array (the "
          "values forecast_steps gives one by one, at a cost in proportion to h; at most "
          "1,000,000 steps).")
      .def_property_readonly("last_time_updated", &tarn::Model::last_time,
                             "Timestamp of the latest observation (-1 before any).")
      .def_property_readonly("average_interval", &tarn::Model::average_interval,
                             "Mean spacing of the observed timestamps.")
      .def_property_readonly("observations", &tarn::Model::observations,
                             "Number of observations fed (missing ones included).")
      .def_property_readonly("kind",
                             [](const tarn::Model& self) { return std::string(self.kind()); })
      .def("describe", &tarn::Model::describe, "Readable description of the model.")
      .def("__repr__",
           [](const tarn::Model& self) { return "<tarn model " + self.describe() + ">"; })
      .def(
          "serialize", [](const tarn::Model& self) { return py::bytes(self.serialize()); },
          "The model's binary state (read back with _from_state).")
      .def("__reduce__",
           [](const tarn::Model& self) {
             py::object fn = py::module_::import("tidewell_ts_libs.deps.tarn").attr("_from_state");
             return py::make_tuple(fn, py::make_tuple(py::bytes(self.serialize())));
           })
      .def("__copy__", [](const tarn::Model& self) { return ModelPtr(self.clone()); })
      .def(
          "__deepcopy__",
          [](const tarn::Model& self, py::handle) { return ModelPtr(self.clone()); },
          py::arg("memo"));

  bind_session(m);

  m.def("_from_state", &from_state, py::arg("state"),
        "Rebuilds a model from the bytes of Model.serialize() (used by pickle).");

  m.def("model_table", &contracts::table_as_python,
        "The engine's table of models, one dict per model in table order: name (builder and "
        "kind), options (builder option -> default, None when there is none), candidate "
        "(\"combined\", \"baseline\" or None: how the automatic selector uses the model), "
        "algorithm (QuillcastForecaster's name for it, or None), note, settings_doc, keywords "
        "(the forecaster's settings of it), search (parameter -> values for a model search) and "
        "presets (its ready-made configurations of the forecaster, as settings).");

  m.def("accuracy", &accuracy, py::arg("actual"), py::arg("forecast"), py::arg("insample"),
        py::arg("season"), py::arg("lower") = py::none(), py::arg("upper") = py::none(),
        py::arg("level") = py::none(),
        "Accuracy of a forecast against the actual values: a dict of mae, rmse, smape (percent), "
        "mase (over the in-sample seasonal naive MAE, season falling back to 1 on a short "
        "in-sample part), msis and coverage (percent; NaN without lower and upper, which need "
        "level), count (positions scored) and season (of the naive scale). Positions whose "
        "actual is NaN do not count; a NaN or infinite forecast or bound where the actual is "
        "known makes every measure NaN.");
  m.def("time_grid", &time_grid, py::arg("times"),
        "The grid of strictly increasing times (datetime64 of any unit, or integers): a dict of "
        "unit (the calendar axis: month, day, hour, ...; step for integers), step (axis units "
        "per step: the smallest spacing when every spacing is a whole number of it, else the "
        "median), name (of one step: month, quarter, week, business "
        "day, ..., timestamp), business_days, regular and positions (the step number of each "
        "time counted from the first; None when the times are not regular).");
  m.def("grid_times", &grid_times, py::arg("times"), py::arg("steps"),
        "The times at the given step numbers of the grid of `times`, counted from its first "
        "time (datetime64[ns] for dates).");
  m.def("next_times", &next_times, py::arg("times"), py::arg("n"),
        "The n times after `times` on its grid: calendar months for monthly data, weekdays for "
        "business days (datetime64[ns] for dates).");
  m.def("forecaster_settings", &forecaster_settings, py::arg("algorithm"), py::arg("values"),
        py::arg("season"),
        "The forecaster's settings for training `algorithm` on `values` with the detected "
        "season (a vector, or a matrix of rows): log_transform (every known value above 0) and, "
        "for hw, the season and initial training sizes.");

  // The builders the forecaster offers come first, then the others, each in table order.
  py::module_ f = m.def_submodule("forecasters", "Builders of the engine's models.");
  std::vector<const tarn::ModelEntry*> entries;
  for (const auto& e : tarn::model_table()) {
    if (!e.forecaster.algorithm.empty()) entries.push_back(&e);
  }
  for (const auto& e : tarn::model_table()) {
    if (e.forecaster.algorithm.empty()) entries.push_back(&e);
  }
  py::list all;
  for (const tarn::ModelEntry* e : entries) {
    const std::string n = e->name;
    std::string doc = "A new, untrained '" + n + "' model, configured by keyword arguments.";
    std::string opts;
    for (const auto& o : e->options) {
      opts += (opts.empty() ? "" : ", ") + o.first;
      if (!o.second.is_none()) {
        opts += "=" + py::repr(contracts::to_python(o.second)).cast<std::string>();
      }
    }
    if (!opts.empty()) doc += " Options (with their defaults): " + opts + ".";
    f.def(
        n.c_str(), [n](py::kwargs kwargs) { return build(n, kwargs); }, doc.c_str());
    all.append(n);
  }
  f.attr("__all__") = all;
}
