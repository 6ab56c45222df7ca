// Scoring of forecasts over a holdout, and saving and loading of fitted pipelines.
//
// Module-level names (logging, pickle, os, gzip, Messages, sklearnPipeline, TidewellTSPipeline,
// pd, np, QuillcastUtils, logger) are read back from the module at every call, so tests and
// callers can replace them; they are bound when the module loads, except sklearnPipeline,
// TidewellTSPipeline and pd, bound on first use.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "contracts/messages.hpp"
#include "overlap_average.hpp"
#include "pyclass.hpp"
#include "tarn/metrics.hpp"

namespace py = pybind11;

namespace {

using twpy::mod_attr;
using twpy::self_module;

bool is_instance(py::handle obj, const char* class_name) {
  return py::isinstance(obj, mod_attr(class_name));
}

// Module attributes bound on first use (a module-level __getattr__): each entry names the
// attribute, the module to import and the name to take from it (nullptr: the module itself).
// A heavy dependency that only some calls need is imported by the first of them rather than
// when the module loads; once read, the value is an ordinary attribute of the module, and
// assigning the attribute first (a test's stand-in) wins as for any other attribute.
struct Deferred {
  const char* attr;
  const char* module;
  const char* name;
};
void defer_attrs(py::module_& m, std::initializer_list<Deferred> names) {
  py::dict table;
  for (const Deferred& d : names) {
    table[py::str(d.attr)] =
        py::make_tuple(py::str(d.module), d.name ? py::object(py::str(d.name)) : py::none());
  }
  const std::string owner = py::str(m.attr("__name__"));
  m.attr("__getattr__") = py::cpp_function(
      [table, owner](py::str attr) -> py::object {
        if (!table.contains(attr)) {
          PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", owner.c_str(),
                       attr.ptr());
          throw py::error_already_set();
        }
        py::tuple where = table[attr];
        py::object value = py::module_::import(py::str(where[0]).cast<std::string>().c_str());
        if (!where[1].is_none()) value = value.attr(where[1]);
        self_module().attr(attr) = value;
        return value;
      },
      py::name("__getattr__"));
}

// ---------------------------------------------------------------------------------------------
// Score: accessors

py::object get_estimator(py::object pipeline_obj) {
  if (is_instance(pipeline_obj, "sklearnPipeline") &&
      !is_instance(pipeline_obj, "TidewellTSPipeline")) {
    return pipeline_obj[py::int_(-1)];
  }
  return pipeline_obj;
}

// Pipelines nested up to three deep are reduced to their innermost final estimator.
py::object unwrap(py::object obj) {
  for (int i = 0; i < 3; ++i) {
    if (is_instance(obj, "sklearnPipeline")) obj = obj[py::int_(-1)];
  }
  return obj;
}

py::object get_lookback_win(py::object pipeline_obj) {
  py::object obj = unwrap(pipeline_obj);
  if (py::hasattr(obj, "lookback_win")) return obj.attr("lookback_win");
  return obj.attr("lookback_window");
}

py::object get_prediction_win(py::object pipeline_obj) {
  py::object obj = unwrap(pipeline_obj);
  for (const char* name : {"prediction_win", "pred_win", "prediction_horizon"}) {
    if (py::hasattr(obj, name)) return obj.attr(name);
  }
  return py::int_(1);
}

// ---------------------------------------------------------------------------------------------
// Score: saving and loading

// The default gzip level of save: level 1 writes a million-point model more than a hundred
// times faster than level 9 for a file a fraction of a percent larger.
constexpr int kDefaultCompressLevel = 1;
// Default bound on the size of a saved file and of its decompressed contents (module attribute
// MAX_LOAD_BYTES), so that a damaged file cannot make load take all memory.
constexpr long long kDefaultMaxLoadBytes = 4LL << 30;

int compress_level(py::handle level) {
  if (PyBool_Check(level.ptr()) || !PyIndex_Check(level.ptr())) {
    twpy::raise(PyExc_TypeError, "compresslevel must be an integer from 0 to 9, got " +
                                     py::repr(level).cast<std::string>());
  }
  py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(level.ptr()));
  if (!i) throw py::error_already_set();
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
  if (overflow != 0 || v < 0 || v > 9) {
    twpy::raise(PyExc_ValueError, "compresslevel must be an integer from 0 to 9, got " +
                                      py::repr(level).cast<std::string>());
  }
  return static_cast<int>(v);
}

// The target path as save writes it: a symbolic link is followed to the file it points to.
py::object target_path(py::handle file_path) {
  py::object os = mod_attr("os");
  py::object path = os.attr("fsdecode")(os.attr("fspath")(file_path));
  if (py::bool_(os.attr("path").attr("islink")(path)))
    path = os.attr("path").attr("realpath")(path);
  return path;
}

// Whether process `pid` may still be running (only a definite "no such process" says no).
bool process_may_run(long long pid) {
  try {
    mod_attr("os").attr("kill")(pid, 0);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_ProcessLookupError)) return false;
  }
  return true;
}

// Eight hex digits naming where this process's process ids are meaningful: the host, its boot
// and the process-id namespace. Saves write it into their temporary files' names, so that a
// process on another host or in another container sharing the folder (where a live writer's id
// may mean nothing, or another process) never takes them for a dead process's files.
std::string pid_realm() {
  static const std::string realm = [] {
    std::string key;
    // Each part as text, or nothing where this system has none.
    auto add = [&key](auto&& part) {
      try {
        const py::object value = part();
        key += py::str(value).cast<std::string>();
      } catch (py::error_already_set&) {
      }
      key += '|';
    };
    add([]() -> py::object { return twpy::import("socket", "gethostname")(); });
    add([]() -> py::object {
      const py::object boot = twpy::import("pathlib", "Path")("/proc/sys/kernel/random/boot_id");
      return boot.attr("read_text")();
    });
    add([]() -> py::object {
      const py::object st = mod_attr("os").attr("stat")("/proc/self/ns/pid");
      return st.attr("st_ino");
    });
    const auto crc = twpy::import("zlib", "crc32")(py::bytes(key)).cast<unsigned long>();
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08lx", crc & 0xffffffffUL);
    return std::string(hex);
  }();
  return realm;
}

// A temporary file of another realm, or of an older version (whose names carry no realm), is
// taken for a dead save's only when nothing has written to it for this long.
constexpr double kForeignStaleSeconds = 24 * 3600.0;

// Removes the temporary files ".<name>.<pid>.<realm>.<token>.tmp" that saves of `path` left
// behind when their process died before finishing: those of this realm whose process is gone,
// and any untouched for a day. Files of running processes (this one included) stay; nothing
// here ever makes a save or load fail.
void remove_stale_temporaries(const py::object& path) {
  try {
    py::object os = mod_attr("os");
    if (py::str(os.attr("name")).cast<std::string>() != "posix") return;
    py::object os_path = os.attr("path");
    py::object dir = os_path.attr("dirname")(path);
    const std::string prefix =
        "." + py::str(os_path.attr("basename")(path)).cast<std::string>() + ".";
    const std::string suffix = ".tmp";
    const long long own = os.attr("getpid")().cast<long long>();
    py::object listing = os.attr("listdir")(py::bool_(dir) ? dir : py::str("."));
    for (py::handle entry : listing) {
      const std::string name = py::str(entry).cast<std::string>();
      if (name.size() <= prefix.size() + suffix.size() ||
          name.compare(0, prefix.size(), prefix) != 0 ||
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        continue;
      }
      // What lies between: "<pid>.<8 hex digits>.<16 hex digits>" (older: "<pid>.<16 hex>").
      const std::string mid =
          name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
      const std::size_t dot = mid.find('.');
      if (dot == std::string::npos || dot == 0 || dot > 18) continue;
      const std::string pid_text = mid.substr(0, dot);
      std::string realm = mid.substr(dot + 1), token;
      if (realm.size() == 16) {
        token.swap(realm);
      } else if (realm.size() == 8 + 1 + 16 && realm[8] == '.') {
        token = realm.substr(9);
        realm.resize(8);
      } else {
        continue;
      }
      if (pid_text.find_first_not_of("0123456789") != std::string::npos ||
          (realm + token).find_first_not_of("0123456789abcdef") != std::string::npos) {
        continue;
      }
      const long long pid = std::stoll(pid_text);
      py::object file = os_path.attr("join")(dir, entry);
      try {
        if (realm == pid_realm()) {
          if (pid == own || pid <= 0 || process_may_run(pid)) continue;
        } else {
          const double age = twpy::import("time", "time")().cast<double>() -
                             os_path.attr("getmtime")(file).cast<double>();
          if (!(age > kForeignStaleSeconds)) continue;
        }
        os.attr("unlink")(file);
      } catch (py::error_already_set&) {
        // Gone already, or not ours to remove.
      }
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
}

// Pickles the pipeline into a gzip stream written to `fileobj`; the gzip header names `name`.
void write_pickle(py::handle pipeline_obj, py::handle fileobj, py::object name, int level) {
  py::object gz = mod_attr("gzip").attr("GzipFile")(
      py::arg("filename") = name, py::arg("mode") = "wb", py::arg("compresslevel") = level,
      py::arg("fileobj") = fileobj);
  try {
    py::object pickle = mod_attr("pickle");
    pickle.attr("dump")(pipeline_obj, gz, py::arg("protocol") = pickle.attr("HIGHEST_PROTOCOL"));
  } catch (...) {
    py::error_scope keep;
    try {
      gz.attr("close")();
    } catch (py::error_already_set&) {
    }
    throw;
  }
  gz.attr("close")();
}

// Writes the pipeline to a new file beside the target and renames it into place, so a failed
// write never leaves a partial file at file_path nor harms a file already there.
void write_atomically(py::handle pipeline_obj, const py::object& path, int level,
                      py::object& tmp_path) {
  py::object os = mod_attr("os");
  py::object os_path = os.attr("path");
  py::object dir = os_path.attr("dirname")(path);
  py::object base = os_path.attr("basename")(path);
  py::object token = twpy::import("secrets", "token_hex")(8);
  py::object name =
      py::str(".{}.{}.{}.{}.tmp").format(base, os.attr("getpid")(), pid_realm(), token);
  tmp_path = os_path.attr("join")(dir, name);

  // Created like open(..., "wb") would (mode 0o666 less the umask), but never over an existing
  // file.
  py::int_ flags(py::int_(os.attr("O_WRONLY")) | py::int_(os.attr("O_CREAT")) |
                 py::int_(os.attr("O_EXCL")));
  py::object fd = os.attr("open")(tmp_path, flags, 0666);
  py::object raw;
  try {
    raw = twpy::import("builtins", "open")(fd, "wb");
  } catch (py::error_already_set&) {
    py::error_scope keep;
    os.attr("close")(fd);
    throw;
  }
  try {
    // The gzip header names the target file, as gzip.open(file_path, "wb") would.
    write_pickle(pipeline_obj, raw, base, level);
    raw.attr("flush")();
    os.attr("fsync")(raw.attr("fileno")());
  } catch (...) {
    py::error_scope keep;
    try {
      raw.attr("close")();
    } catch (py::error_already_set&) {
    }
    throw;
  }
  raw.attr("close")();
  // A file that is replaced keeps its permission bits.
  if (py::bool_(os_path.attr("exists")(path))) {
    py::object mode = twpy::import("stat", "S_IMODE")(os.attr("stat")(path).attr("st_mode"));
    os.attr("chmod")(tmp_path, mode);
  }
  os.attr("replace")(tmp_path, path);
  tmp_path = py::none();
}

void remove_quietly(const py::object& tmp_path) {
  if (tmp_path.is_none()) return;
  try {
    mod_attr("os").attr("unlink")(tmp_path);
  } catch (py::error_already_set&) {
    // Nothing was created, or it is already gone.
  }
}

// Writes all of `data` to a caller's stream. A raw stream may take part of a write (the count
// it returns) or none of it (None: it would block); both are followed up, and a stream that
// takes nothing is an error rather than a file silently cut short.
void write_all(py::handle stream, const py::bytes& data) {
  const bool raw = py::isinstance(stream, twpy::import("io", "RawIOBase"));
  py::object view = py::reinterpret_steal<py::object>(PyMemoryView_FromObject(data.ptr()));
  if (!view) throw py::error_already_set();
  const Py_ssize_t total = PyBytes_GET_SIZE(data.ptr());
  constexpr Py_ssize_t kChunk = 1 << 20;
  Py_ssize_t done = 0;
  while (done < total) {
    const Py_ssize_t end = std::min(total, done + kChunk);
    py::object piece = view[py::slice(done, end, 1)];
    py::object n = stream.attr("write")(piece);
    if (n.is_none()) {
      if (raw) {
        twpy::raise(PyExc_BlockingIOError,
                    "the stream took none of the data (it would block) after " +
                        std::to_string(done) + " of " + std::to_string(total) + " bytes");
      }
      done = end;  // a file-like object without a count takes everything it is given
      continue;
    }
    const long long taken = n.cast<long long>();
    if (taken <= 0 || taken > end - done) {
      twpy::raise(PyExc_OSError, "the stream's write returned " + std::to_string(taken) +
                                     " after " + std::to_string(done) + " of " +
                                     std::to_string(total) + " bytes");
    }
    done += static_cast<Py_ssize_t>(taken);
  }
  if (py::hasattr(stream, "flush")) stream.attr("flush")();
}

// An open binary stream given instead of a path is written in place: compressed in memory
// first, then written out in full and flushed, so that an error anywhere reaches the caller.
void write_to_stream(py::handle pipeline_obj, py::handle stream, int level) {
  py::object buffer = twpy::import("io", "BytesIO")();
  py::object name = py::str("");
  write_pickle(pipeline_obj, buffer, name, level);
  write_all(stream, buffer.attr("getvalue")());
}

bool save(py::object pipeline_obj, py::object file_path, py::object verbose,
          py::object compresslevel) {
  const int level = compress_level(compresslevel);
  py::object tmp_path = py::none();
  try {
    if (py::hasattr(file_path, "write")) {
      write_to_stream(pipeline_obj, file_path, level);
    } else {
      py::object path = target_path(file_path);
      remove_stale_temporaries(path);
      write_atomically(pipeline_obj, path, level, tmp_path);
    }
    if (py::bool_(verbose))
      twpy::print("Saved model ", py::str(pipeline_obj), " to file ", file_path);
    return true;
  } catch (py::error_already_set& e) {
    {
      py::error_scope keep;  // removing the temporary file must not clobber the error
      remove_quietly(tmp_path);
    }
    if (!e.matches(PyExc_Exception)) throw;
    // The reason goes into the log line: the caller only sees False.
    const std::string reason = py::str(py::repr(e.value())).cast<std::string>();
    mod_attr("logger").attr("warning")(
        "Could not save pipeline to %s (nothing was saved; Score.save returned False): %s",
        py::repr(file_path), reason, py::arg("exc_info") = false);
    return false;
  }
}

[[noreturn]] void load_failed(const char* id, py::handle file_path, py::error_already_set* cause) {
  std::string msg = contracts::message(mod_attr("Messages"), id, file_path);
  mod_attr("logger").attr("error")(msg);
  if (cause) {
    cause->restore();
    py::raise_from(PyExc_Exception, msg.c_str());
    throw py::error_already_set();
  }
  twpy::raise(PyExc_Exception, msg);
}

long long max_load_bytes() {
  if (!py::hasattr(self_module(), "MAX_LOAD_BYTES")) return kDefaultMaxLoadBytes;
  return mod_attr("MAX_LOAD_BYTES").cast<long long>();
}

// The whole file, refused when it is larger than `limit` bytes.
py::bytes read_bounded(const py::object& file_path, long long limit) {
  py::object f = twpy::import("builtins", "open")(file_path, "rb");
  py::object data;
  try {
    const long long size =
        mod_attr("os").attr("fstat")(f.attr("fileno")()).attr("st_size").cast<long long>();
    if (size > limit) {
      twpy::raise(PyExc_ValueError,
                  "the file is larger than MAX_LOAD_BYTES (" + std::to_string(limit) + " bytes)");
    }
    data = f.attr("read")();
  } catch (...) {
    py::error_scope keep;
    try {
      f.attr("close")();
    } catch (py::error_already_set&) {
    }
    throw;
  }
  f.attr("close")();
  if (static_cast<long long>(py::len(data)) > limit) {
    twpy::raise(PyExc_ValueError,
                "the file is larger than MAX_LOAD_BYTES (" + std::to_string(limit) + " bytes)");
  }
  return data;
}

// Decompresses every gzip member of `data` in full, verifying each member's CRC-32 and length
// (zlib checks the trailer); the output is refused once it exceeds `limit` bytes. Anything after
// the last member, a member cut short and an empty file are errors.
py::bytes gunzip_verified(const py::bytes& data, long long limit) {
  py::object zlib = twpy::import("zlib");
  const py::object gzip_wbits = py::int_(16 + 15);
  constexpr long long kChunk = 16LL << 20;
  py::list parts;
  long long total = 0;
  py::object input = data;
  if (py::len(input) == 0) twpy::raise(PyExc_EOFError, "the file is empty");
  while (true) {
    py::object d = zlib.attr("decompressobj")(gzip_wbits);
    while (true) {
      py::bytes piece = d.attr("decompress")(input, std::min(kChunk, limit - total + 1));
      total += static_cast<long long>(py::len(piece));
      if (total > limit) {
        twpy::raise(PyExc_ValueError, "the decompressed contents exceed MAX_LOAD_BYTES (" +
                                          std::to_string(limit) + " bytes)");
      }
      if (py::len(piece) > 0) parts.append(piece);
      if (py::bool_(d.attr("eof"))) break;
      input = d.attr("unconsumed_tail");
      if (py::len(input) == 0 && py::len(piece) == 0) {
        twpy::raise(PyExc_EOFError, "the compressed data end before the end of the stream");
      }
    }
    input = d.attr("unused_data");
    if (py::len(input) == 0) break;
  }
  return py::bytes(py::bytes("").attr("join")(parts));
}

py::object load(py::object file_path, py::object verbose) {
  if (py::bool_(verbose)) twpy::print("Loading Model(s) from location ", file_path);
  py::object os_path = mod_attr("os").attr("path");
  if (!(py::bool_(os_path.attr("exists")(file_path)) &&
        py::bool_(os_path.attr("isfile")(file_path)))) {
    load_failed("TIDEWELLTSLIBS0003E", file_path, nullptr);
  }
  py::object obj;
  try {
    remove_stale_temporaries(target_path(file_path));
    const long long limit = max_load_bytes();
    // Nothing is unpickled before the whole file has been read and its checksums verified.
    py::bytes raw = gunzip_verified(read_bounded(file_path, limit), limit);
    obj = mod_attr("pickle").attr("loads")(raw);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    load_failed("TIDEWELLTSLIBS0001E", file_path, &e);
  }
  if (obj.is_none()) load_failed("TIDEWELLTSLIBS0002E", file_path, nullptr);
  return obj;
}

// ---------------------------------------------------------------------------------------------
// Prediction accuracy

// A whole number of at least 1 (bool excluded), named in the error otherwise.
void check_count(py::handle v, const char* name) {
  if (PyBool_Check(v.ptr()) || !PyIndex_Check(v.ptr())) {
    twpy::raise(PyExc_TypeError, std::string(name) + " must be an integer of at least 1, got " +
                                     py::repr(v).cast<std::string>());
  }
  if (py::int_(py::reinterpret_borrow<py::object>(v)) < py::int_(1)) {
    twpy::raise(PyExc_ValueError,
                std::string(name) + " must be at least 1, got " + py::repr(v).cast<std::string>());
  }
}

// An array of at least `min_ndim` dimensions, named in the error otherwise.
void check_array_arg(py::handle v, const char* name, const char* what) {
  if (!py::hasattr(v, "shape") || !py::hasattr(v, "reshape")) {
    twpy::raise(PyExc_TypeError, std::string(name) + " must be " + what + ", got " +
                                     std::string(Py_TYPE(v.ptr())->tp_name));
  }
}

py::object prepare_ground_truth(py::object a, py::object stepsize, py::object prediction_horizon) {
  check_array_arg(a, "a", "a two-dimensional array");
  check_count(stepsize, "stepsize");
  check_count(prediction_horizon, "prediction_horizon");
  if (py::len(a.attr("shape")) != 2) {
    twpy::raise(PyExc_ValueError, "a must be a two-dimensional array, got shape " +
                                      py::repr(a.attr("shape")).cast<std::string>());
  }
  py::object n = a.attr("shape")[py::int_(0)];
  py::list windows;
  py::object builtins_slice = twpy::import("builtins", "slice");
  for (py::handle i : twpy::import("builtins", "range")(prediction_horizon)) {
    py::object start = py::reinterpret_borrow<py::object>(i);
    py::object stop = n + py::int_(1) + start - prediction_horizon;
    windows.append(a[builtins_slice(start, stop, stepsize)]);
  }
  return mod_attr("np").attr("hstack")(windows);
}

struct SeriesResult {
  py::object mae, mse, r2, smape, y_pred_avg;
};

SeriesResult compute_on_one_series(py::object y1D, py::object y_pred1D, py::object ph,
                                   bool verbose) {
  if (verbose) {
    twpy::print("\n== y1D.shape, y_pred1D.shape: ", y1D.attr("shape"), y_pred1D.attr("shape"));
  }
  py::object avg;
  if (verbose) {
    // Prints every forecast as the row of the coverage table it stands for.
    py::list rows = y_pred1D.attr("reshape")(-1, ph).attr("tolist")();
    py::object nan = mod_attr("np").attr("nan");
    for (size_t i = 0; i < rows.size(); ++i) {
      py::list row;
      for (size_t j = 0; j < i; ++j) row.append(nan);
      for (auto v : py::list(rows[i])) row.append(v);
      twpy::print(i, row);
    }
  }
  avg = twpy::average_stacked_forecasts(y_pred1D, ph);
  py::object metrics = mod_attr("QuillcastUtils").attr("compute_metrics")(y1D, avg);
  // Exactly four values, in the order MAE, MSE, R2, SMAPE.
  py::list items = py::list(metrics);
  if (items.size() != 4) {
    twpy::raise(PyExc_ValueError, items.size() > 4
                                      ? "too many values to unpack (expected 4)"
                                      : "not enough values to unpack (expected 4, got " +
                                            std::to_string(items.size()) + ")");
  }
  return {items[0], items[1], items[2], items[3], avg};
}

template <class... Args>
[[noreturn]] void refuse(const char* id, Args&&... args) {
  twpy::raise(PyExc_ValueError,
              contracts::message(mod_attr("Messages"), id, std::forward<Args>(args)...));
}

// A column of numbers as float64 values; nullopt when it does not hold numbers (the metrics
// report that themselves).
std::optional<py::array_t<double, py::array::c_style | py::array::forcecast>> as_doubles(
    py::handle column) {
  auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(column);
  if (!a) {
    PyErr_Clear();
    return std::nullopt;
  }
  return a;
}

// Every ground-truth value a number or NaN, at least one of them a number; every forecast value
// finite or NaN. Rows are those of the target's own column.
void check_scoring_inputs(py::handle y1D, py::handle y_pred1D, long target) {
  if (auto t = as_doubles(y1D)) {
    const auto n = static_cast<std::size_t>(t->size());
    const std::size_t row = tarn::first_infinite(t->data(), n);
    if (row < n) refuse("TIDEWELLTSLIBS0095E", py::float_(t->data()[row]), row, target);
    bool any = false;
    for (std::size_t i = 0; i < n && !any; ++i) any = !std::isnan(t->data()[i]);
    if (!any) refuse("TIDEWELLTSLIBS0097E", target);
  }
  if (auto p = as_doubles(y_pred1D)) {
    const auto n = static_cast<std::size_t>(p->size());
    const std::size_t row = tarn::first_infinite(p->data(), n);
    if (row < n) refuse("TIDEWELLTSLIBS0096E", py::float_(p->data()[row]), row, target);
  }
}

// After scoring one target: a point with a ground truth but no forecast, or a metric that the
// floating-point range cannot hold, is an error rather than a NaN or infinite figure.
// `averaged`: the forecasts are per holdout position (else rows of the stacked forecasts).
void check_scores(py::handle truth, py::handle pred, const SeriesResult& r, long target,
                  bool averaged) {
  auto t = as_doubles(truth);
  auto p = as_doubles(pred);
  if (!t || !p || t->size() != p->size()) return;
  const auto n = static_cast<std::size_t>(t->size());
  const tarn::ScoreIssue issue = tarn::find_score_issue(t->data(), p->data(), n);
  if (issue.kind == tarn::ScoreIssue::kForecastMissing) {
    const std::string where =
        averaged ? "holdout position " + std::to_string(issue.index) +
                       " (every forecast covering it is NaN)"
                 : "row " + std::to_string(issue.index) + " of the stacked forecasts";
    refuse("TIDEWELLTSLIBS0098E", target, where, py::float_(t->data()[issue.index]));
  }
  if (issue.kind != tarn::ScoreIssue::kNone) return;  // refused before scoring
  double largest = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::isnan(t->data()[i])) continue;
    largest = std::max({largest, std::fabs(t->data()[i]), std::fabs(p->data()[i])});
  }
  const std::pair<const char*, const py::object*> metrics[] = {
      {"MAE", &r.mae}, {"MSE", &r.mse}, {"R2", &r.r2}, {"SMAPE", &r.smape}};
  for (const auto& [name, value] : metrics) {
    if (!PyFloat_Check(value->ptr()) && !PyLong_Check(value->ptr())) continue;
    const double v = py::float_(*value).cast<double>();
    if (!std::isfinite(v)) refuse("TIDEWELLTSLIBS0099E", name, target, *value, largest);
  }
}

py::tuple compute_prediction_accuracy(py::object y, py::object y_pred, py::object ph,
                                      py::object ppy, py::object verbose_obj) {
  const bool verbose = py::bool_(verbose_obj);
  const bool is_list = py::isinstance<py::list>(y);
  check_count(ph, "ph");
  if (is_list) {
    if (!py::isinstance<py::list>(y_pred)) {
      twpy::raise(PyExc_TypeError,
                  "y_pred must be a list of forecast arrays, one per target, as y is a list");
    }
    if (py::len(y_pred) < py::len(y)) {
      twpy::raise(PyExc_ValueError, "y_pred holds " + std::to_string(py::len(y_pred)) +
                                        " forecast arrays for the " + std::to_string(py::len(y)) +
                                        " targets of y");
    }
    for (std::size_t i = 0; i < py::len(y); ++i) {
      check_array_arg(y[py::int_(i)], "every item of y", "an array");
      check_array_arg(y_pred[py::int_(i)], "every item of y_pred", "an array");
    }
  } else {
    const char* what = "a two-dimensional array (samples x targets) or a list of arrays";
    check_array_arg(y, "y", what);
    check_array_arg(y_pred, "y_pred", "a two-dimensional array (forecasts x targets)");
    if (py::len(y.attr("shape")) != 2) {
      twpy::raise(PyExc_ValueError, std::string("y must be ") + what + ", got shape " +
                                        py::repr(y.attr("shape")).cast<std::string>());
    }
    if (py::len(y_pred.attr("shape")) != 2 ||
        py::int_(y_pred.attr("shape")[py::int_(1)]) < py::int_(y.attr("shape")[py::int_(1)])) {
      twpy::raise(PyExc_ValueError,
                  "y_pred must be a two-dimensional array with a column per target of y, got "
                  "shape " +
                      py::repr(y_pred.attr("shape")).cast<std::string>());
    }
  }
  const long number_targets =
      is_list ? static_cast<long>(py::len(y)) : y.attr("shape")[py::int_(1)].cast<long>();
  if (verbose) {
    if (is_list) {
      twpy::print("\n== len(y), len(y_pred): ", py::len(y), py::len(y_pred));
    } else {
      twpy::print("\n== y.shape, y_pred.shape: ", y.attr("shape"), y_pred.attr("shape"));
    }
    twpy::print("\n== ppy: ", ppy);
  }
  py::list mae, mse, r2, smape;
  py::object y_pred_avg;
  py::object np = mod_attr("np");
  py::object all = twpy::import("builtins", "slice")(py::none());
  for (long i = 0; i < number_targets; ++i) {
    py::object y1D, y_pred1D;
    if (is_list) {
      y1D = y[py::int_(i)].attr("reshape")(-1, 1);
      y_pred1D = y_pred[py::int_(i)].attr("reshape")(-1, 1);
    } else {
      y1D = y[py::make_tuple(all, i)].attr("reshape")(-1, 1);
      y_pred1D = y_pred[py::make_tuple(all, i)].attr("reshape")(-1, 1);
    }
    py::object rows = y1D.attr("shape")[py::int_(0)];
    py::object update_ph = py::bool_(ph > rows) ? rows : ph;

    SeriesResult r;
    if (ppy.equal(py::str("average"))) {
      check_scoring_inputs(y1D, y_pred1D, i);
      r = compute_on_one_series(y1D, y_pred1D, update_ph, verbose);
      check_scores(y1D, r.y_pred_avg, r, i, true);
    } else if (ppy.equal(py::str("original"))) {
      check_scoring_inputs(y1D, y_pred1D, i);
      py::object truth = prepare_ground_truth(y1D, py::int_(1), update_ph).attr("reshape")(-1, 1);
      r = compute_on_one_series(truth, y_pred1D, py::int_(1), verbose);
      check_scores(truth, y_pred1D, r, i, false);
      r.y_pred_avg = y_pred1D;
    } else {
      twpy::raise(PyExc_Exception, contracts::message(mod_attr("Messages"), "TIDEWELLTS0072E"));
    }
    mae.append(r.mae);
    mse.append(r.mse);
    r2.append(r.r2);
    smape.append(r.smape);
    if (i == 0) {
      y_pred_avg = is_list ? py::object(py::list()) : r.y_pred_avg;
      if (is_list) y_pred_avg.attr("append")(r.y_pred_avg);
    } else if (is_list) {
      y_pred_avg.attr("append")(r.y_pred_avg);
    } else {
      y_pred_avg = np.attr("column_stack")(py::make_tuple(y_pred_avg, r.y_pred_avg));
    }
  }
  if (number_targets <= 0) {
    twpy::raise(PyExc_UnboundLocalError,
                "y holds no target series (no column, or an empty list): no accuracy and no "
                "result 'mts' can be formed");
  }
  if (number_targets > 1) {
    py::dict mts;
    mts["maes"] = mae;
    mts["mses"] = mse;
    mts["r2s"] = r2;
    mts["smapes"] = smape;
    mts["y_truth"] = y;
    mts["y_pred"] = y_pred_avg;
    mts["prediction_horizon"] = ph;
    mts["stepsize"] = 1;
    return py::make_tuple(mae, mse, r2, smape, y_pred_avg, mts);
  }
  return py::make_tuple(mae[0], mse[0], r2[0], smape[0], y_pred_avg, py::dict());
}

}  // namespace

PYBIND11_MODULE(score, m) {
  self_module() = m;
  m.attr("logging") = twpy::import("logging");
  m.attr("pickle") = twpy::import("pickle");
  m.attr("os") = twpy::import("os");
  m.attr("gzip") = twpy::import("gzip");
  m.attr("Messages") = contracts::messages_class();
  // The pipeline classes and pandas are read only by the accessors and the holdout scoring:
  // imported on first use, so that a forecaster (which imports this module) loads quickly.
  defer_attrs(m, {{"sklearnPipeline", "sklearn.pipeline", "Pipeline"},
                  {"TidewellTSPipeline", "tidewell_ts_libs.sklearn.tidewell_ts_pipeline",
                   "TidewellTSPipeline"},
                  {"pd", "pandas", nullptr}});
  m.attr("np") = twpy::import("numpy");
  m.attr("QuillcastUtils") =
      twpy::import("tidewell_ts_libs.quillcast.quillcast_utils", "QuillcastUtils");
  py::object logger = m.attr("logging").attr("getLogger")(m.attr("__name__"));
  logger.attr("setLevel")("WARNING");
  m.attr("logger") = logger;
  m.attr("MAX_LOAD_BYTES") = py::int_(kDefaultMaxLoadBytes);

  twpy::ClassBuilder score(m, "Score", py::tuple(),
                           "Class-level helpers around fitted pipelines: prediction types, "
                           "saving and loading, final estimator and windows.");
  score.attr("PREDICT_SLIDING_WINDOW", py::str("sliding_window"));
  score.attr("PREDICT_FORECAST", py::str("forecast"));
  score.def_classmethod(
      "get_estimator", [](py::object, py::object p) { return get_estimator(p); },
      py::arg("pipeline_obj"),
      "The final estimator of a scikit-learn pipeline; any other object (a TidewellTSPipeline "
      "included) unchanged.");
  score.def_classmethod(
      "get_lookback_win", [](py::object, py::object p) { return get_lookback_win(p); },
      py::arg("pipeline_obj"), "Lookback window of the (innermost) final estimator.");
  score.def_classmethod(
      "get_prediction_win", [](py::object, py::object p) { return get_prediction_win(p); },
      py::arg("pipeline_obj"), "Prediction window of the (innermost) final estimator, or 1.");
  score.def_classmethod(
      "save",
      [](py::object, py::object p, py::object path, py::object verbose, py::object level) {
        return save(p, path, verbose, level);
      },
      py::arg("pipeline_obj"), py::arg("file_path"), py::arg("verbose") = false,
      py::arg("compresslevel") = kDefaultCompressLevel,
      "Saves a pipeline as a gzip-compressed pickle (gzip level `compresslevel`, 0 to 9; the "
      "default 1 is fast; another level raises ValueError, or TypeError when not an "
      "integer, before anything is written). Returns True if saved and False if not: a failed "
      "write raises no exception, it is logged as a warning and nothing is saved, so check the "
      "result. "
      "`file_path` is a path or an open binary stream. A file is written beside the target "
      "and renamed into place only once complete, so an existing file is never harmed; "
      "temporary files left by saves whose process died on this host are removed (those of "
      "other hosts or containers once untouched for a day). A stream gets the whole "
      "file written and flushed, or the save fails.");
  score.def_classmethod(
      "load", [](py::object, py::object path, py::object verbose) { return load(path, verbose); },
      py::arg("file_path"), py::arg("verbose") = false,
      "Loads a pipeline saved by save. The whole file is read (at most MAX_LOAD_BYTES of the "
      "module, also the bound on its decompressed size) and its gzip checksums and length are "
      "verified before anything is unpickled; a damaged, truncated or oversized file raises "
      "the load error (TIDEWELLTSLIBS0001E). Unpickling runs code from the file: loading an "
      "untrusted file is unsafe whatever its checksums say. To exchange models with parties "
      "you do not trust, pass the engine's checksummed model state instead (the bytes of "
      "Model.serialize(), which pickle stores through Model.__reduce__, read back with "
      "tidewell_ts_libs.deps.tarn._from_state), which is decoded without running code.");
  score.finalize();

  twpy::def_function(
      m, "prepare_ground_truth",
      [](py::object a, py::object stepsize, py::object ph) {
        return prepare_ground_truth(a, stepsize, ph);
      },
      py::arg("a"), py::arg("stepsize") = 1, py::arg("prediction_horizon") = 1,
      "Lays a [N, D] array out in the stacked order of step-by-step forecasts: row r holds "
      "prediction_horizon consecutive rows starting at row r * stepsize, flattened.");
  twpy::def_function(
      m, "compute_prediction_accuracy",
      [](py::object y, py::object y_pred, py::object ph, py::object ppy, py::object verbose) {
        return compute_prediction_accuracy(y, y_pred, ph, ppy, verbose);
      },
      py::arg("y"), py::arg("y_pred"), py::arg("ph"), py::arg("ppy") = "average",
      py::arg("verbose") = false,
      "MAE, MSE, R2 and SMAPE of stacked forecasts over a holdout, the aggregated forecasts and a "
      "summary dict (empty for one target). Points whose ground truth is NaN are not scored. "
      "ValueError names the target and row of an infinite value, a target without ground truth, "
      "a scored point without a forecast and a metric beyond the floating-point range.");
}
