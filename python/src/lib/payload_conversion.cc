#include "payload_conversion.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "errors.h"
#include "payload/json_text.h"
#include "py_ref.h"
#include "str_cat.h"

namespace sorvel::py {

namespace {

// Which value is being converted, for the text of a nesting refusal.
enum class Nesting { Payload, Filter };

bool raise_nesting(Nesting nesting) {
  error_to_pyerr(nesting == Nesting::Payload ? payload_nesting_error() : filter_nesting_error());
  return false;
}

// Walks a dict in its order with the checks of the interpreter's own dict iterator: before each
// step the size must still be the size at the start, and no more items than that size may come
// back; otherwise PanicException. Python code run between two steps may change the dict, so each
// item is handed out as new references.
class DictWalk {
 public:
  explicit DictWalk(PyObject* dict) : dict_(dict), size_(PyDict_Size(dict)), remaining_(size_) {}

  enum class Step { Item, End, Failed };

  Step next(PyRef& key, PyRef& value) {
    if (PyDict_Size(dict_) != size_) {
      raise_panic("dictionary changed size during iteration");
      return Step::Failed;
    }
    if (remaining_ == -1) {
      raise_panic("dictionary keys changed during iteration");
      return Step::Failed;
    }
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    if (!PyDict_Next(dict_, &pos_, &k, &v)) return Step::End;
    --remaining_;
    key = PyRef::borrow(k);
    value = PyRef::borrow(v);
    return Step::Item;
  }

 private:
  PyObject* dict_;
  Py_ssize_t pos_ = 0;
  Py_ssize_t size_;
  Py_ssize_t remaining_;
};

// Calls `visit(key, value)` for each item of `dict` through a DictWalk, the two held for the call.
// Returns false at the first failed step, or the first visit that returns false (with a Python
// error set); true once the walk ends.
template <class Visit>
bool for_each_dict_item(PyObject* dict, Visit&& visit) {
  DictWalk walk(dict);
  PyRef key;
  PyRef value;
  for (;;) {
    const DictWalk::Step step = walk.next(key, value);
    if (step == DictWalk::Step::End) return true;
    if (step == DictWalk::Step::Failed || !visit(key.get(), value.get())) return false;
  }
}

// Whether `text` (a str) is exactly `ascii`.
bool text_is(PyObject* text, const char* ascii) {
  return PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, ascii) == 0;
}

// The bool of a numpy boolean scalar; empty (no error set) for anything else or on any failure.
std::optional<bool> numpy_bool(PyObject* object) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  std::optional<bool> out;
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  if (module && text_is(module.get(), "numpy")) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (name && (text_is(name.get(), "bool_") || text_is(name.get(), "bool"))) {
      PyRef method = PyRef::steal(PyObject_GetAttrString(type, "__bool__"));
      PyRef result = method
                         ? PyRef::steal(PyObject_CallFunctionObjArgs(method.get(), object, nullptr))
                         : PyRef();
      if (result && PyBool_Check(result.get())) out = result.get() == Py_True;
    }
  }
  PyErr_Clear();
  return out;
}

// A str's UTF-8 text as a payload string; the encoding error of a lone surrogate unchanged.
PyResult<Payload> text_payload(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) return std::nullopt;
  return Payload::string(std::string(data, static_cast<std::size_t>(size)));
}

PyResult<Payload> integer_payload(long long value) { return Payload::integer(value); }

PyResult<Payload> float_payload(double value) {
  return std::isfinite(value) ? Payload::floating(value) : Payload();
}

PyResult<Payload> convert(PyObject* object, Nesting nesting, std::size_t depth);

// `depth` is the number of containers around the list or dict being converted.
PyResult<Payload> convert_list(PyObject* list, Nesting nesting, std::size_t depth) {
  if (depth >= kMaxJsonDepth) {
    raise_nesting(nesting);
    return std::nullopt;
  }
  Payload::Array elements;
  elements.reserve(static_cast<std::size_t>(PyList_Size(list)));
  const bool converted = for_each_list_item(list, [&](PyObject* item) {
    PyResult<Payload> element = convert(item, nesting, depth + 1);
    if (!element) return false;
    elements.push_back(std::move(*element));
    return true;
  });
  if (!converted) return std::nullopt;
  return Payload::array(std::move(elements));
}

PyResult<Payload> convert_dict(PyObject* dict, Nesting nesting, std::size_t depth) {
  if (depth >= kMaxJsonDepth) {
    raise_nesting(nesting);
    return std::nullopt;
  }
  Payload::Object members;
  members.reserve(static_cast<std::size_t>(PyDict_Size(dict)));
  const bool converted = for_each_dict_item(dict, [&](PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
      raise_conversion_error(key, "PyString");
      return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) return false;
    std::string name(data, static_cast<std::size_t>(size));
    PyResult<Payload> member = convert(value, nesting, depth + 1);
    if (!member) return false;
    members.emplace_back(std::move(name), std::move(*member));
    return true;
  });
  if (!converted) return std::nullopt;
  return Payload::object(std::move(members));
}

PyResult<Payload> convert(PyObject* object, Nesting nesting, std::size_t depth) {
  if (object == Py_None) return Payload();
  if (PyBool_Check(object)) return Payload::boolean(object == Py_True);
  // The exact built-in types answer the rules below in one test each (their type is not numpy's,
  // a str has no __index__ or __float__, ...), so they skip the probing conversions.
  if (PyLong_CheckExact(object)) {
    const long long value = PyLong_AsLongLong(object);
    if (!(value == -1 && PyErr_Occurred())) return integer_payload(value);
    PyErr_Clear();
    const double as_double = PyFloat_AsDouble(object);
    if (!(as_double == -1.0 && PyErr_Occurred())) return float_payload(as_double);
    PyErr_Clear();
  } else if (PyFloat_CheckExact(object)) {
    return float_payload(PyFloat_AsDouble(object));
  } else if (PyUnicode_CheckExact(object)) {
    return text_payload(object);
  } else if (PyDict_CheckExact(object)) {
    return convert_dict(object, nesting, depth);
  } else if (PyList_CheckExact(object)) {
    return convert_list(object, nesting, depth);
  } else {
    if (const std::optional<bool> flag = numpy_bool(object)) return Payload::boolean(*flag);
    const long long value = PyLong_AsLongLong(object);
    if (!(value == -1 && PyErr_Occurred())) return integer_payload(value);
    PyErr_Clear();
    const double as_double = PyFloat_AsDouble(object);
    if (!(as_double == -1.0 && PyErr_Occurred())) return float_payload(as_double);
    PyErr_Clear();
    if (PyUnicode_Check(object)) return text_payload(object);
    if (PyDict_Check(object)) return convert_dict(object, nesting, depth);
    if (PyList_Check(object)) return convert_list(object, nesting, depth);
  }
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (!text) return std::nullopt;
  return text_payload(text.get());
}

PyObject* text_to_py(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace

PyResult<Payload> py_to_json(PyObject* object) { return convert(object, Nesting::Payload, 0); }

PyResult<Payload> py_list_to_json(PyObject* list) {
  return convert_list(list, Nesting::Payload, 0);
}

PyObject* json_to_py(const Payload& payload) {
  switch (payload.kind()) {
    case Payload::Kind::Null:
      Py_RETURN_NONE;
    case Payload::Kind::Bool:
      return PyBool_FromLong(payload.as_bool() ? 1 : 0);
    case Payload::Kind::Unsigned: {
      const std::uint64_t value = payload.as_unsigned();
      if (value > static_cast<std::uint64_t>(INT64_MAX)) {
        return PyFloat_FromDouble(static_cast<double>(value));
      }
      return PyLong_FromUnsignedLongLong(value);
    }
    case Payload::Kind::Negative:
      return PyLong_FromLongLong(payload.as_negative());
    case Payload::Kind::Float:
      return PyFloat_FromDouble(payload.as_float());
    case Payload::Kind::String:
      return text_to_py(payload.as_string());
    case Payload::Kind::Array: {
      const Payload::Array& elements = payload.as_array();
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(elements.size())));
      if (!list) return nullptr;
      for (std::size_t i = 0; i < elements.size(); ++i) {
        PyObject* element = json_to_py(elements[i]);
        if (element == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), element);  // steals `element`
      }
      return list.release();
    }
    case Payload::Kind::Object: {
      PyRef dict = PyRef::steal(PyDict_New());
      if (!dict) return nullptr;
      for (const auto& [key, value] : payload.as_object()) {
        PyRef name = PyRef::steal(text_to_py(key));
        if (!name) return nullptr;
        PyRef converted = PyRef::steal(json_to_py(value));
        if (!converted) return nullptr;
        if (PyDict_SetItem(dict.get(), name.get(), converted.get()) != 0) return nullptr;
      }
      return dict.release();
    }
  }
  Py_RETURN_NONE;
}

PyResult<FilterCondition> parse_filter(PyObject* object) {
  const PyResult<Payload> value = convert(object, Nesting::Filter, 0);
  if (!value) return std::nullopt;
  std::expected<FilterCondition, std::string> condition = FilterCondition::deserialize(*value);
  if (!condition) {
    PyErr_SetString(PyExc_ValueError, str_cat("invalid filter: ", condition.error()).c_str());
    return std::nullopt;
  }
  return std::move(*condition);
}

PyResult<SparseVector> dict_to_sparse_vector(PyObject* dict) {
  struct Term {
    std::uint32_t index;
    float weight;
  };
  std::vector<Term> terms;
  terms.reserve(static_cast<std::size_t>(PyDict_Size(dict)));
  const bool converted = for_each_dict_item(dict, [&](PyObject* key, PyObject* value) {
    const long long index = PyLong_AsLongLong(key);
    if (index == -1 && PyErr_Occurred()) return false;
    if (index < 0 || index > static_cast<long long>(UINT32_MAX)) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
    const double weight = PyFloat_AsDouble(value);
    if (weight == -1.0 && PyErr_Occurred()) return false;
    terms.push_back(Term{static_cast<std::uint32_t>(index), narrow_to_f32(weight)});
    return true;
  });
  if (!converted) return std::nullopt;
  // Stable, so of several terms with one index the last in dict order is the last of its run.
  std::stable_sort(terms.begin(), terms.end(),
                   [](const Term& a, const Term& b) { return a.index < b.index; });
  SparseVector out;
  out.indices.reserve(terms.size());
  out.values.reserve(terms.size());
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (i + 1 < terms.size() && terms[i + 1].index == terms[i].index) continue;
    out.indices.push_back(terms[i].index);
    out.values.push_back(terms[i].weight);
  }
  return out;
}

}  // namespace sorvel::py
