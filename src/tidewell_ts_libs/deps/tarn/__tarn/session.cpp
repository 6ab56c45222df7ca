// The forecasting session in Python: the class Forecaster (training, forecasts, rows fed to
// copies of the models, intervals), rolling-origin backtests, the log scale and the session's
// metrics.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "binding.hpp"
#include "interrupts.hpp"
#include "tarn/forecaster.hpp"
#include "tarn/model.hpp"

namespace tarnpy {
namespace {

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

// Regressors given as rows of `k` values (None: none); ValueError for another width.
Array regressors_of(const py::object& x, std::size_t k, const char* name) {
  if (x.is_none()) return Array();
  Array a = rows_array(x, name);
  if (static_cast<std::size_t>(a.shape(1)) != k) {
    raise(PyExc_ValueError, std::string(name) + " must have " + std::to_string(k) +
                                " columns (the session's regressors), got " +
                                std::to_string(a.shape(1)));
  }
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
                   std::int64_t horizon, const py::handle& working, bool per_row,
                   const py::object& future) {
  horizon = horizon_of(horizon);
  Array v = rows_array(values, "values");
  Array t;
  tarn::Rows rows{v.data(), static_cast<std::size_t>(v.shape(1)), nullptr,
                  static_cast<std::size_t>(v.shape(0))};
  // A session with regressors reads them from the last columns of the rows.
  const std::size_t k = f.n_regressors();
  const Array fx = regressors_of(future, k ? k : 1, "future");
  if (k) {
    if (rows.stride < k) raise(PyExc_ValueError, "values lack the session's regressor columns");
    rows.n_regressors = k;
    rows.regressor_column = rows.stride - k;
    if (!future.is_none()) {
      rows.future = fx.data();
      rows.future_rows = static_cast<std::size_t>(fx.shape(0));
    }
  } else if (!future.is_none()) {
    raise(PyExc_ValueError, "future was given, but the session's models take no regressors");
  }
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

}  // namespace

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
         bool log_transform, py::object retry, py::object regressors) {
        Array s = rows_array(series, "series");
        Array x;
        if (!regressors.is_none()) {
          x = rows_array(regressors, "regressors");
          if (x.shape(0) != s.shape(1)) {
            raise(PyExc_ValueError, "regressors must have one row per value of each series");
          }
        }
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
        if (!regressors.is_none()) {
          in.regressors = x.data();
          in.n_regressors = static_cast<std::size_t>(x.shape(1));
        }
        tarn::Forecaster::RetryFn fn = [&retry](std::size_t target, std::int64_t attempt) {
          py::gil_scoped_acquire gil;
          py::object made = retry(target, attempt);
          return models_of(py::make_tuple(made), "retry")[0];
        };
        py::gil_scoped_release release;
        self.train(in, std::move(ms), fn);
      },
      py::arg("timestamps"), py::arg("series"), py::arg("models"), py::arg("log_transform") = true,
      py::arg("retry") = py::none(), py::arg("regressors") = py::none(),
      "Trains `models` (one new engine model per row of `series`, the target series) on the "
      "series at the integer `timestamps`. The log transform is used when asked for and every "
      "series can take it. retry(target, attempt) -> model, when given, builds the model of "
      "each retry with a shorter training size (attempts 0 to 4) until one initialises. "
      "regressors (one row of values per timestamp) make every model a regression on them "
      "around the model built; forecasts then need the future regressors.");
  cls.def_property_readonly("n_regressors", &tarn::Forecaster::n_regressors);
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
      [](const tarn::Forecaster& f, std::int64_t h, py::object future) {
        h = horizon_of(h);
        const std::size_t k = f.n_regressors();
        const Array fx = regressors_of(future, k ? k : 1, "future");
        tarn::Forecast out;
        {
          py::gil_scoped_release release;
          out = future.is_none() ? f.forecast(h)
                                 : f.forecast(h, fx.data(), static_cast<std::size_t>(fx.shape(0)));
        }
        return as_matrix(out.values, out.cols ? out.values.size() / out.cols : 0, out.cols);
      },
      py::arg("horizon"), py::arg("future") = py::none(),
      "Forecasts of the trained models, `horizon` rows by one column per model, on the data's "
      "scale; `future`: the regressors of the horizon's steps (rows) when the models take "
      "them.");
  cls.def(
      "predict",
      [](const tarn::Forecaster& f, py::handle values, py::handle timestamps, std::int64_t h,
         py::handle models,
         py::object future) { return run_rows(f, values, timestamps, h, models, false, future); },
      py::arg("values"), py::arg("timestamps") = py::none(), py::arg("horizon") = 1,
      py::arg("models") = py::none(), py::arg("future") = py::none(),
      "Feeds the rows of `values` (on the data's scale) to copies of the trained models, or to "
      "`models` themselves, and forecasts after them: (forecasts, updated models, skipped rows "
      "as (\"stale\" or \"refused\", row, model), usable rows). With regressors, the last "
      "columns of `values` are theirs and `future` holds those of the horizon.");
  cls.def(
      "sliding",
      [](const tarn::Forecaster& f, py::handle values, py::handle timestamps, std::int64_t h,
         py::handle models,
         py::object future) { return run_rows(f, values, timestamps, h, models, true, future); },
      py::arg("values"), py::arg("timestamps") = py::none(), py::arg("horizon") = 1,
      py::arg("models") = py::none(), py::arg("future") = py::none(),
      "As predict, with a forecast of `horizon` rows after every row fed.");
  cls.def(
      "intervals",
      [](const tarn::Forecaster& f, py::handle forecast, double level, py::object models,
         py::object future) {
        Array fc = rows_array(forecast, "forecast");
        std::vector<ModelPtr> ms;
        if (!models.is_none()) ms = models_of(models, "models");
        const std::size_t cols = models.is_none() ? f.models().size() : ms.size();
        if (static_cast<std::size_t>(fc.shape(1)) != cols) {
          raise(PyExc_ValueError, "forecast must have one column per model");
        }
        const auto h = static_cast<std::size_t>(fc.shape(0));
        const std::size_t k = f.n_regressors();
        const Array fx = regressors_of(future, k ? k : 1, "future");
        const std::size_t f_rows = future.is_none() ? 0 : static_cast<std::size_t>(fx.shape(0));
        py::array_t<double> lower({h, cols}), upper({h, cols});
        double* lo = lower.mutable_data();
        double* hi = upper.mutable_data();
        {
          py::gil_scoped_release release;
          f.intervals(models.is_none() ? nullptr : &ms, static_cast<std::int64_t>(h), level,
                      fc.data(), lo, hi, f_rows ? fx.data() : nullptr, f_rows);
        }
        return py::make_tuple(lower, upper);
      },
      py::arg("forecast"), py::arg("level") = 95.0, py::arg("models") = py::none(),
      py::arg("future") = py::none(),
      "(lower, upper) bounds at `level` percent for `forecast` (rows of the horizon, one column "
      "per model) of the trained models or of `models`; `future`: the regressors of the "
      "horizon's steps when the models take them.");
  cls.def(
      "quantiles",
      [](const tarn::Forecaster& f, py::handle forecast, std::vector<double> probs,
         py::object models) {
        Array fc = rows_array(forecast, "forecast");
        std::vector<ModelPtr> ms;
        if (!models.is_none()) ms = models_of(models, "models");
        const std::size_t cols = models.is_none() ? f.models().size() : ms.size();
        if (static_cast<std::size_t>(fc.shape(1)) != cols) {
          raise(PyExc_ValueError, "forecast must have one column per model");
        }
        const auto h = static_cast<std::size_t>(fc.shape(0));
        std::vector<double> out(probs.size() * h * cols);
        {
          py::gil_scoped_release release;
          f.quantiles(models.is_none() ? nullptr : &ms, static_cast<std::int64_t>(h), probs.data(),
                      probs.size(), fc.data(), out.data());
        }
        py::array_t<double> a({probs.size(), h, cols});
        std::copy(out.begin(), out.end(), a.mutable_data());
        return a;
      },
      py::arg("forecast"), py::arg("probs"), py::arg("models") = py::none(),
      "Quantiles at the probabilities `probs` for `forecast` (rows of the horizon, one column "
      "per model) of the trained models or of `models`: an array (probabilities, horizon, "
      "models); 0.1 and 0.9 are the bounds of intervals(forecast, 80).");
  cls.def(
      "simulate",
      [](const tarn::Forecaster& f, std::int64_t h, std::size_t n_paths, std::uint64_t seed,
         py::object models) {
        h = horizon_of(h);
        std::vector<ModelPtr> ms;
        if (!models.is_none()) ms = models_of(models, "models");
        const std::size_t cols = models.is_none() ? f.models().size() : ms.size();
        std::vector<double> out;
        {
          py::gil_scoped_release release;
          out = f.simulate(models.is_none() ? nullptr : &ms, h, n_paths, seed);
        }
        py::array_t<double> a({n_paths, static_cast<std::size_t>(h), cols});
        std::copy(out.begin(), out.end(), a.mutable_data());
        return a;
      },
      py::arg("horizon"), py::arg("n_paths"), py::arg("seed"), py::arg("models") = py::none(),
      "Sample paths of the trained models or of `models` over `horizon` steps: an array "
      "(n_paths, horizon, models) on the data's scale; the same seed gives the same values.");
  cls.def_property("nonnegative", &tarn::Forecaster::nonnegative,
                   &tarn::Forecaster::set_nonnegative,
                   "Forecasts, bounds, quantiles and paths censored at zero.");
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
          b = twpy::interruptible([&] { return tarn::cross_validate(rows, plan, fn); });
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

}  // namespace tarnpy
