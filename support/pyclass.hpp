// Defining ordinary Python classes from C++.
//
// A class made here is created by types.new_class with real Python bases (BaseEstimator,
// Pipeline, ...), under its module path, with its whole namespace in place when the class
// object is created, so scikit-learn's class hooks, inspect.signature and pickle treat it as
// a class written in Python. Methods are C++ callables wrapped in a small descriptor type that
// binds the instance like a Python function and carries __signature__, __name__, __qualname__,
// __module__ and __doc__.
//
//   twpy::ClassBuilder cls(m, "QuillcastForecaster", twpy::bases("sklearn.base", "BaseEstimator"));
//   cls.init([](py::object self, py::object algorithm, py::kwargs kw) {...},
//            py::arg("algorithm") = "hw");
//   cls.def("fit", &fit, py::arg("X"), py::arg("y"), py::arg("_reset_model") = false);
//   cls.def_classmethod("get_model_id", &get_model_id, py::arg("algorithm_name"));
//   cls.finalize();   // binds m.QuillcastForecaster
//
// Every callable receives `self` (or `cls`) as its first argument; the py::arg list names
// only the remaining parameters. A trailing py::kwargs parameter becomes **kwargs in the
// signature, a py::args parameter *args.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace twpy {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------------
// Small helpers

inline py::object import(const char* module) {
  return py::module_::import(module);
}
inline py::object import(const char* module, const char* name) {
  return py::module_::import(module).attr(name);
}

// Python's print (sep=" ", end="\n"), so output interleaves with what Python code prints.
template <class... Args>
void print(Args&&... args) {
  import("builtins", "print")(std::forward<Args>(args)...);
}

// Raises a built-in exception type with a text (PyExc_Exception, PyExc_ValueError,
// PyExc_RuntimeError, PyExc_Warning, ...).
[[noreturn]] inline void raise(PyObject* type, const std::string& text) {
  PyErr_SetString(type, text.c_str());
  throw py::error_already_set();
}
// The extension module being defined (set once when it loads), kept for the life of the
// process: never destroyed after finalisation. A module keeps its Python-level collaborators
// (numpy, the logger, message catalogues, helper classes) as its own attributes and reads them
// back at every call, so callers and tests can replace them. Each extension module is its own
// shared object with hidden symbols, so each has its own.
inline py::module_& self_module() {
  static auto* mod = new py::module_();
  return *mod;
}
inline py::object mod_attr(const char* name) {
  return self_module().attr(name);
}

// Python's `a <op> b` as a bool (op: Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE); an exception
// raised by the comparison propagates.
inline bool rich_compare(py::handle a, py::handle b, int op) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// Raises `type(arg)` where arg is any Python object (keeps non-str payloads intact).
[[noreturn]] inline void raise_obj(PyObject* type, py::handle arg) {
  PyErr_SetObject(type, arg.ptr());
  throw py::error_already_set();
}

// Tuple of base classes, each named by module and attribute.
inline py::tuple bases() {
  return py::tuple();
}
template <class... Rest>
py::tuple bases(const char* module, const char* name, Rest... rest) {
  py::list out;
  out.append(import(module, name));
  for (auto b : bases(rest...)) out.append(b);
  return py::tuple(out);
}
inline py::tuple bases_of(std::initializer_list<py::object> objs) {
  py::list out;
  for (const auto& o : objs) out.append(o);
  return py::tuple(out);
}

namespace detail {

// Argument types of a callable (lambdas, function pointers).
template <class T>
struct fn_args : fn_args<decltype(&std::decay_t<T>::operator())> {};
template <class R, class... A>
struct fn_args<R (*)(A...)> {
  using type = std::tuple<A...>;
};
template <class R, class... A>
struct fn_args<R (&)(A...)> {
  using type = std::tuple<A...>;
};
template <class R, class... A>
struct fn_args<R(A...)> {
  using type = std::tuple<A...>;
};
template <class C, class R, class... A>
struct fn_args<R (C::*)(A...) const> {
  using type = std::tuple<A...>;
};
template <class C, class R, class... A>
struct fn_args<R (C::*)(A...)> {
  using type = std::tuple<A...>;
};

template <class Tuple, class T>
struct has_type;
template <class T, class... A>
struct has_type<std::tuple<A...>, T> : std::disjunction<std::is_same<std::decay_t<A>, T>...> {};

template <class T>
constexpr std::size_t is_arg_annotation() {
  return std::is_base_of_v<py::arg, T> ? 1 : 0;
}

// Collects inspect.Parameter objects from the py::arg annotations.
struct SignatureCollector {
  py::list params;
  py::object Parameter = import("inspect", "Parameter");
  py::object kind = Parameter.attr("POSITIONAL_OR_KEYWORD");

  void add(const char* name, py::object def, bool has_default) {
    if (has_default) {
      params.append(Parameter(name, kind, py::arg("default") = def));
    } else {
      params.append(Parameter(name, kind));
    }
  }
  void operator()(const py::arg_v& a) { add(a.name, a.value ? a.value : py::none(), true); }
  void operator()(const py::arg& a) { add(a.name, py::none(), false); }
  void operator()(const py::kw_only&) { kind = Parameter.attr("KEYWORD_ONLY"); }
  void operator()(const py::pos_only&) {
    // Everything collected so far is positional-only.
    py::list out;
    for (auto p : params) {
      out.append(p.attr("replace")(py::arg("kind") = Parameter.attr("POSITIONAL_ONLY")));
    }
    params = out;
  }
  void operator()(const char* text) { doc = text; }
  template <class T>
  void operator()(const T&) {}  // other annotations (policies) add nothing
  const char* doc = nullptr;
};

// The descriptor type that turns a C++ callable into a method. Registered once per module
// (module_local), it holds the callable and lets attributes be set on it.
struct Method {
  py::object fn;
};

// The binding of a method to an instance, as the type's __get__ slot: what the __get__ method
// below does, without a call through the binding for every attribute look-up of a method.
inline PyObject* bind_method(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (!obj || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

// A call of a method, as the type's call slot: the callable with the arguments as given, without
// a call through the binding to the __call__ method below first.
inline PyObject* call_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto* inst = reinterpret_cast<py::detail::instance*>(self);
  const Method* m = inst->get_value_and_holder().value_ptr<Method>();
  return PyObject_Call(m->fn.ptr(), args, kwargs);
}

inline py::object method_type() {
  // One type per extension module (module_local), created on first use and kept for the
  // life of the interpreter (a raw pointer: no destructor runs after finalisation).
  static PyObject* type = nullptr;
  if (!type) {
    py::object scope = import("types", "ModuleType")("tidewell_ts_libs._method");
    py::class_<Method> cls(scope, "method", py::module_local(), py::dynamic_attr());
    cls.def("__call__", [](const Method& m, py::args args, py::kwargs kwargs) {
      return m.fn(*args, **kwargs);
    });
    cls.def(
        "__get__",
        [](py::object self, py::object obj, py::object) -> py::object {
          if (obj.is_none()) return self;
          PyObject* bound = PyMethod_New(self.ptr(), obj.ptr());
          if (!bound) throw py::error_already_set();
          return py::reinterpret_steal<py::object>(bound);
        },
        py::arg("obj"), py::arg("objtype") = py::none());
    cls.def("__repr__", [](py::object self) {
      return "<function " + py::str(self.attr("__qualname__")).cast<std::string>() + ">";
    });
    type = cls.release().ptr();
    reinterpret_cast<PyTypeObject*>(type)->tp_descr_get = &bind_method;
    reinterpret_cast<PyTypeObject*>(type)->tp_call = &call_method;
  }
  return py::reinterpret_borrow<py::object>(type);
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// The class builder

class ClassBuilder {
 public:
  ClassBuilder(py::module_ module, const char* name, py::tuple bases = py::tuple(),
               const char* doc = nullptr)
      : module_(module), name_(name), bases_(std::move(bases)) {
    ns_["__module__"] = module_.attr("__name__");
    ns_["__qualname__"] = name_;
    if (doc) ns_["__doc__"] = doc;
  }

  // __init__(self, <annotated args>): the callable returns nothing (or None).
  template <class F, class... Extra>
  ClassBuilder& init(F&& f, const Extra&... extra) {
    ns_["__init__"] = make_method("__init__", std::forward<F>(f), "self", extra...);
    return *this;
  }

  template <class F, class... Extra>
  ClassBuilder& def(const char* name, F&& f, const Extra&... extra) {
    ns_[name] = make_method(name, std::forward<F>(f), "self", extra...);
    return *this;
  }

  template <class F, class... Extra>
  ClassBuilder& def_classmethod(const char* name, F&& f, const Extra&... extra) {
    ns_[name] =
        import("builtins", "classmethod")(make_method(name, std::forward<F>(f), "cls", extra...));
    return *this;
  }

  template <class F, class... Extra>
  ClassBuilder& def_static(const char* name, F&& f, const Extra&... extra) {
    ns_[name] = import("builtins",
                       "staticmethod")(make_method(name, std::forward<F>(f), nullptr, extra...));
    return *this;
  }

  // Read-only property computed by a C++ getter taking self.
  template <class F>
  ClassBuilder& def_property(const char* name, F&& getter) {
    auto fget = make_method(name, std::forward<F>(getter), "self");
    ns_[name] = import("builtins", "property")(fget);
    return *this;
  }

  ClassBuilder& attr(const char* name, py::object value) {
    ns_[name] = std::move(value);
    return *this;
  }
  ClassBuilder& doc(const char* text) {
    ns_["__doc__"] = text;
    return *this;
  }

  // Creates the class, binds it in the module and returns it.
  py::object finalize() {
    py::dict ns = ns_;
    py::cpp_function fill([ns](py::dict target) { target.attr("update")(ns); });
    py::object cls = import("types", "new_class")(name_, bases_, py::dict(), fill);
    module_.attr(name_.c_str()) = cls;
    return cls;
  }

  const py::dict& ns() const { return ns_; }

  // Builds a method descriptor on its own (for module-level use or late binding).
  template <class F, class... Extra>
  py::object make_method(const char* name, F&& f, const char* first, const Extra&... extra) {
    using Args = typename detail::fn_args<F>::type;
    py::cpp_function fn = make_function(name, std::forward<F>(f), first, extra...);

    detail::SignatureCollector sig;
    if (first) sig.add(first, py::none(), false);
    (sig(extra), ...);
    if constexpr (detail::has_type<Args, py::args>::value) {
      sig.params.append(sig.Parameter("args", sig.Parameter.attr("VAR_POSITIONAL")));
    }
    if constexpr (detail::has_type<Args, py::kwargs>::value) {
      sig.params.append(sig.Parameter("kwargs", sig.Parameter.attr("VAR_KEYWORD")));
    }
    detail::method_type();  // registers the descriptor type in this module
    py::object m = py::cast(detail::Method{fn});
    m.attr("__name__") = name;
    m.attr("__qualname__") = name_ + "." + name;
    m.attr("__module__") = module_.attr("__name__");
    m.attr("__doc__") = sig.doc ? py::object(py::str(sig.doc)) : py::object(py::none());
    m.attr("__signature__") = import("inspect", "Signature")(sig.params);
    return m;
  }

 private:
  template <class F, class... Extra>
  static py::cpp_function make_function(const char* name, F&& f, const char* first,
                                        const Extra&... extra) {
    // pybind11 gives functions named __init__ constructor semantics: register under a neutral
    // name; the namespace key gives the method its real name.
    const std::string internal = std::string("_tw_") + name;
    using Args = typename detail::fn_args<F>::type;
    constexpr std::size_t annotated = (std::size_t{0} + ... + detail::is_arg_annotation<Extra>());
    constexpr std::size_t plain = std::tuple_size_v<Args> -
                                  detail::has_type<Args, py::args>::value -
                                  detail::has_type<Args, py::kwargs>::value;
    if constexpr (plain == annotated + 1) {
      return py::cpp_function(std::forward<F>(f), py::name(internal.c_str()), py::arg(first),
                              extra...);
    } else {
      (void)first;
      return py::cpp_function(std::forward<F>(f), py::name(internal.c_str()), extra...);
    }
  }

  py::module_ module_;
  std::string name_;
  py::tuple bases_;
  py::dict ns_;
};

// A module-level function with a real inspect.signature (module functions made with
// m.def already work; use this when the signature must be readable by inspect).
template <class F, class... Extra>
void def_function(py::module_ m, const char* name, F&& f, const Extra&... extra) {
  ClassBuilder dummy(m, "<module>");
  py::object fn = dummy.make_method(name, std::forward<F>(f), nullptr, extra...);
  fn.attr("__qualname__") = name;
  m.attr(name) = fn;
}

}  // namespace twpy
