// QuillcastForecaster: quantiles at any probability, sample paths, and non-negative forecasts.
//
// The numbers are the engine session's (Forecaster::quantiles, Forecaster::simulate and its
// non-negative option); this file converts the arguments once and shapes the results.
#include <limits>
#include <random>

#include "common.hpp"
#include "tarn/sampling.hpp"

namespace qest {

bool nonnegative_of(py::object self) {
  py::object v = own_attr(self, "nonnegative");
  return v && truthy(v);
}

void check_nonnegative_target(py::object self, py::object column, std::int64_t c,
                              py::object names) {
  if (!nonnegative_of(self)) return;
  py::array_t<double, py::array::c_style | py::array::forcecast> v(column);
  const double* x = v.data();
  for (py::ssize_t i = 0, n = v.size(); i < n; ++i) {
    if (!(x[i] < 0.0)) continue;
    std::string name = "target column " + std::to_string(c);
    if (!names.is_none() && c < static_cast<std::int64_t>(py::len(names))) {
      name += " (" + str(py::repr(names[py::int_(c)])) + ")";
    }
    twpy::raise(PyExc_ValueError, "nonnegative=True needs a target without negative values, but " +
                                      name + " holds " + str(py::repr(py::float_(x[i]))) +
                                      " at row " + std::to_string(i));
  }
}

py::object censor_at_zero(py::object self, py::object result) {
  if (!nonnegative_of(self)) return result;
  if (py::isinstance<py::dict>(result)) {
    py::dict out;
    for (auto item : py::reinterpret_borrow<py::dict>(result)) {
      out[item.first] = censor_at_zero(self, py::reinterpret_borrow<py::object>(item.second));
    }
    return out;
  }
  if (py::isinstance<py::tuple>(result)) {
    py::list parts;
    for (auto part : result)
      parts.append(censor_at_zero(self, py::reinterpret_borrow<py::object>(part)));
    return py::tuple(parts);
  }
  if (!py::isinstance<py::array>(result)) return result;
  py::array a = result;
  if (a.dtype().kind() != 'f') return result;
  // NaN stays NaN (fmax would turn it into 0).
  py::object np = G("np");
  return np.attr(QN("where"))(np.attr(QN("less"))(a, 0.0), 0.0, a);
}

namespace {

// The probabilities of `quantiles` (a number or a sequence of numbers), each in (0, 1); the keys
// of the result are the same numbers as floats.
std::vector<double> quantile_probs(py::object quantiles) {
  std::vector<double> out;
  auto take = [&](py::handle q) {
    double v = std::nan("");
    if (!PyBool_Check(q.ptr()) && PyNumber_Check(q.ptr()) && !py::isinstance<py::str>(q)) {
      v = PyFloat_AsDouble(q.ptr());
      if (PyErr_Occurred()) {
        PyErr_Clear();
        v = std::nan("");
      }
    }
    if (!(v > 0.0 && v < 1.0)) {
      twpy::raise(
          PyExc_ValueError,
          "quantiles must be probabilities strictly between 0 and 1, got " + str(py::repr(q)));
    }
    out.push_back(v);
  };
  const bool scalar = py::isinstance<py::array>(quantiles)
                          ? py::reinterpret_borrow<py::array>(quantiles).ndim() == 0
                          : PyNumber_Check(quantiles.ptr()) != 0;
  if (scalar || py::isinstance<py::str>(quantiles) || !py::hasattr(quantiles, "__iter__")) {
    take(quantiles);
    return out;
  }
  for (auto q : quantiles) take(q);
  if (out.empty()) {
    twpy::raise(PyExc_ValueError,
                "quantiles must hold at least one probability, got " + str(py::repr(quantiles)));
  }
  return out;
}

py::dict quantile_dict(const std::vector<double>& probs, const std::vector<double>& values,
                       std::size_t rows, std::size_t cols) {
  py::dict out;
  for (std::size_t i = 0; i < probs.size(); ++i) {
    out[py::float_(probs[i])] = forecast_array(values, rows, cols, i * rows * cols);
  }
  return out;
}

}  // namespace

py::object predict_quantiles(py::object self, py::object X, py::object prediction_horizon,
                             py::object quantiles, py::object future_exog) {
  const std::vector<double> probs = quantile_probs(quantiles);
  std::vector<ModelPtr> used;
  FutureRegressors future;
  py::object forecast =
      is_own(self, "predict") ? predict_impl(self, X, prediction_horizon, py::int_(-1),
                                             py::str("forecast"), &used, future_exog, &future)
      : future_exog.is_none()
          ? self.attr(QN("predict"))(py::arg("X") = X,
                                     py::arg("prediction_horizon") = prediction_horizon)
          : self.attr(QN("predict"))(py::arg("X") = X,
                                     py::arg("prediction_horizon") = prediction_horizon,
                                     py::arg("future_exog") = future_exog);
  tarn::Forecaster session;
  if (!used.empty() && trained_session(self, session)) {
    session.set_nonnegative(nonnegative_of(self));
    py::array_t<double, py::array::c_style | py::array::forcecast> fc(forecast);
    if (fc.ndim() == 2 && static_cast<std::size_t>(fc.shape(1)) == used.size()) {
      const auto rows = static_cast<std::size_t>(fc.shape(0));
      std::vector<double> values(probs.size() * rows * used.size());
      try {
        py::gil_scoped_release release;
        session.quantiles(&used, static_cast<std::int64_t>(rows), probs.data(), probs.size(),
                          fc.data(), values.data(), future.data(), future.rows);
      } catch (const std::exception& err) {
        twpy::raise(PyExc_ValueError, err.what());
      }
      return quantile_dict(probs, values, rows, used.size());
    }
  }
  // Models the session does not drive: the bounds of predict_interval at the levels the
  // probabilities stand for (a level below 1% is the forecast itself).
  py::object np = G("np");
  py::array_t<double> fc = np.attr(QN("asarray"))(forecast, py::arg("dtype") = "float64");
  py::dict out;
  for (double p : probs) {
    const double level = tarn::quantile_level(p);
    py::object q = fc;
    if (level >= 1.0) {
      py::tuple b = future_exog.is_none()
                        ? self.attr(QN("predict_interval"))(
                              py::arg("X") = X, py::arg("prediction_horizon") = prediction_horizon,
                              py::arg("level") = level)
                        : self.attr(QN("predict_interval"))(
                              py::arg("X") = X, py::arg("prediction_horizon") = prediction_horizon,
                              py::arg("level") = level, py::arg("future_exog") = future_exog);
      q = b[p < 0.5 ? 0 : 1];
    }
    out[py::float_(p)] = np.attr(QN("array"))(q, py::arg("dtype") = "float64");
  }
  return censor_at_zero(self, out);
}

namespace {

std::int64_t checked_paths(py::handle n) {
  if (PyBool_Check(n.ptr()) || !PyIndex_Check(n.ptr())) {
    twpy::raise(PyExc_TypeError, "n_paths must be an integer, got " + str(py::repr(n)) +
                                     " of type " + Py_TYPE(n.ptr())->tp_name);
  }
  py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(n.ptr()));
  if (!i) throw py::error_already_set();
  if (py_lt(i, py::int_(1)) ||
      py_gt(i, py::int_(static_cast<std::int64_t>(tarn::Forecaster::kMaxSimulatedValues)))) {
    twpy::raise(PyExc_ValueError, "n_paths must be at least 1 and at most " +
                                      std::to_string(tarn::Forecaster::kMaxSimulatedValues) +
                                      ", got " + str(i));
  }
  return i.cast<std::int64_t>();
}

// The seed of random_state: an integer from 0 to 2**64 - 1, or None for fresh entropy.
std::uint64_t checked_seed(py::handle random_state) {
  if (random_state.is_none()) {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ static_cast<std::uint64_t>(device());
  }
  if (PyBool_Check(random_state.ptr()) || !PyIndex_Check(random_state.ptr())) {
    twpy::raise(PyExc_TypeError,
                "random_state must be None or an integer seed, got " + str(py::repr(random_state)));
  }
  py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(random_state.ptr()));
  if (!i) throw py::error_already_set();
  py::int_ limit = py::reinterpret_steal<py::int_>(PyLong_FromUnsignedLongLong(~0ULL));
  if (py_lt(i, py::int_(0)) || py_gt(i, limit)) {
    twpy::raise(PyExc_ValueError,
                "random_state must be an integer from 0 to 2**64 - 1, got " + str(i));
  }
  return PyLong_AsUnsignedLongLong(i.ptr());
}

}  // namespace

py::object simulate(py::object self, py::object prediction_horizon, py::object n_paths,
                    py::object random_state) {
  const std::int64_t n = checked_paths(n_paths);
  const std::uint64_t seed = checked_seed(random_state);
  check_fitted(self);
  const std::int64_t horizon = effective_horizon(self, prediction_horizon);
  tarn::Forecaster session;
  if (!trained_session(self, session)) {
    twpy::raise(PyExc_TypeError,
                "simulate needs the forecasting engine's own models; this forecaster holds "
                "others");
  }
  session.set_nonnegative(nonnegative_of(self));
  std::vector<double> values;
  try {
    py::gil_scoped_release release;
    values = twpy::interruptible(
        [&] { return session.simulate(nullptr, horizon, static_cast<std::size_t>(n), seed); });
  } catch (py::error_already_set&) {
    throw;  // Ctrl-C
  } catch (const std::exception& err) {
    twpy::raise(PyExc_ValueError, err.what());
  }
  const auto cols = session.models().size();
  py::array_t<double> out({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(horizon),
                           static_cast<py::ssize_t>(cols)});
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

}  // namespace qest
