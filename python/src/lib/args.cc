#include "args.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "db_error.h"
#include "str_cat.h"

namespace sorvel::py {

namespace {

// ---- binding ---------------------------------------------------------------------------------

std::string display_name(const char* class_name, const Signature& sig) {
  return class_name != nullptr ? str_cat(class_name, ".", sig.method, "()")
                               : str_cat(sig.method, "()");
}

bool raise_type_error(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_names(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) out += ',';
      out += i + 1 == names.size() ? " and " : " ";
    }
    out += str_cat("'", names[i], "'");
  }
  return out;
}

struct Shape {
  std::size_t positional = 0;  // positional-or-keyword parameters
  std::size_t required_positional = 0;
};

Shape shape_of(const Signature& sig) {
  Shape shape;
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (sig.params[i].keyword_only) continue;
    ++shape.positional;
    if (sig.params[i].required) ++shape.required_positional;
  }
  return shape;
}

bool too_many_positional(const char* class_name, const Signature& sig, Py_ssize_t given) {
  const Shape shape = shape_of(sig);
  const char* verb = given == 1 ? "was" : "were";
  if (shape.required_positional != shape.positional) {
    return raise_type_error(str_cat(display_name(class_name, sig), " takes from ",
                                    shape.required_positional, " to ", shape.positional,
                                    " positional arguments but ", given, " ", verb, " given"));
  }
  return raise_type_error(str_cat(display_name(class_name, sig), " takes ", shape.positional,
                                  " positional arguments but ", given, " ", verb, " given"));
}

// Places one keyword argument; `name` is a key of the call.
bool bind_keyword(const char* class_name, const Signature& sig, PyObject* name, PyObject* value,
                  std::array<PyRef, kMaxParams>& values) {
  if (!PyUnicode_Check(name)) return raise_type_error("keywords must be strings");
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.params[i].name) != 0) continue;
    if (values[i]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   display_name(class_name, sig).c_str(), sig.params[i].name);
      return false;
    }
    values[i] = PyRef::borrow(value);
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
               display_name(class_name, sig).c_str(), name);
  return false;
}

bool check_missing(const char* class_name, const Signature& sig,
                   const std::array<PyRef, kMaxParams>& values) {
  for (const bool keyword_only : {false, true}) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.count; ++i) {
      const Param& p = sig.params[i];
      if (p.keyword_only == keyword_only && p.required && !values[i]) missing.push_back(p.name);
    }
    if (missing.empty()) continue;
    return raise_type_error(str_cat(display_name(class_name, sig), " missing ", missing.size(),
                                    " required ", keyword_only ? "keyword" : "positional", " ",
                                    missing.size() == 1 ? "argument" : "arguments", ": ",
                                    quoted_names(missing)));
  }
  return true;
}

// ---- buffers ---------------------------------------------------------------------------------

bool is_f32_format(const char* format) {
  if (format == nullptr) return false;
  if (std::strcmp(format, "f") == 0 || std::strcmp(format, "@f") == 0) return true;
  // "=" and "<" mean standard little-endian layout, which is the native one only on little-endian
  // hosts. ">" and "!" (big-endian) are never read as native floats.
  if constexpr (std::endian::native == std::endian::little) {
    return std::strcmp(format, "=f") == 0 || std::strcmp(format, "<f") == 0;
  }
  return false;
}

// Replaces the pending error with ValueError "buffer copy failed: {its text}".
void raise_copy_failed() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), tb = PyRef::steal(traceback);
  if (v) {
    PyErr_Format(PyExc_ValueError, "buffer copy failed: %S", v.get());
  } else {
    PyErr_SetString(PyExc_ValueError, "buffer copy failed: unknown error");
  }
}

// Copies the `count` elements of `view` (any strides or suboffsets) into `out` in C order.
bool gather(const Py_buffer& view, float* out, std::size_t count) {
  if (count == 0) return true;
  if (view.suboffsets != nullptr) {
    if (PyBuffer_ToContiguous(out, &view, static_cast<Py_ssize_t>(count * sizeof(float)), 'C') !=
        0) {
      raise_copy_failed();
      return false;
    }
    return true;
  }
  const auto* base = static_cast<const char*>(view.buf);
  if (view.ndim == 1) {
    const Py_ssize_t stride = view.strides[0];
    if (stride == sizeof(float)) {
      std::memcpy(out, base, count * sizeof(float));
    } else {
      for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(out + i, base + static_cast<Py_ssize_t>(i) * stride, sizeof(float));
      }
    }
    return true;
  }
  // Two dimensions.
  const auto rows = static_cast<std::size_t>(view.shape[0]);
  const auto cols = static_cast<std::size_t>(view.shape[1]);
  const Py_ssize_t row_stride = view.strides[0];
  const Py_ssize_t col_stride = view.strides[1];
  if (col_stride == sizeof(float) && row_stride == static_cast<Py_ssize_t>(cols * sizeof(float))) {
    std::memcpy(out, base, count * sizeof(float));
    return true;
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const char* row = base + static_cast<Py_ssize_t>(r) * row_stride;
    float* dst = out + r * cols;
    if (col_stride == sizeof(float)) {
      std::memcpy(dst, row, cols * sizeof(float));
      continue;
    }
    for (std::size_t c = 0; c < cols; ++c) {
      std::memcpy(dst + c, row + static_cast<Py_ssize_t>(c) * col_stride, sizeof(float));
    }
  }
  return true;
}

}  // namespace

// Round to nearest f32; beyond the f32 range the result is infinite. Written out because a
// double->float cast of an out-of-range value is undefined in C++.
float narrow_to_f32(double value) {
  if (std::isfinite(value) && std::fabs(value) > FLT_MAX) {
    // Halfway between FLT_MAX and the next power of two rounds (to even) up to infinity.
    const double halfway = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
    const float magnitude = std::fabs(value) >= halfway ? INFINITY : FLT_MAX;
    return std::signbit(value) ? -magnitude : magnitude;
  }
  return static_cast<float>(value);
}

namespace {

// Whether the code point `cp` (>= 0x80) is shown as it is in a debug form: printable by the
// interpreter's Unicode tables and not a combining mark (which would attach to the quote).
bool shows_as_is(std::uint32_t cp) {
  PyRef ch = PyRef::steal(PyUnicode_FromOrdinal(static_cast<int>(cp)));
  PyRef printable =
      ch ? PyRef::steal(PyObject_CallMethod(ch.get(), "isprintable", nullptr)) : PyRef();
  if (!printable) {
    PyErr_Clear();
    return false;
  }
  if (printable.get() != Py_True) return false;
  PyRef unicodedata = PyRef::steal(PyImport_ImportModule("unicodedata"));
  PyRef category =
      unicodedata ? PyRef::steal(PyObject_CallMethod(unicodedata.get(), "category", "O", ch.get()))
                  : PyRef();
  if (!category) {
    PyErr_Clear();
    return true;
  }
  return PyUnicode_CompareWithASCIIString(category.get(), "Mn") != 0 &&
         PyUnicode_CompareWithASCIIString(category.get(), "Me") != 0;
}

}  // namespace

// The debug form of a valid UTF-8 text: in double quotes, with \" \\ \n \r \t \0 and \u{hex} for
// every other character that does not show as it is.
std::string debug_text(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
    const std::string_view bytes = text.substr(i, length);
    i += length;
    if (length == 1) {
      // ASCII: the core's quoting has the escapes; strip its quotes.
      const std::string quoted = debug_quote(bytes);
      out.append(quoted, 1, quoted.size() - 2);
      continue;
    }
    std::uint32_t cp = lead & (0x7f >> length);
    for (std::size_t j = 1; j < bytes.size(); ++j) {
      cp = (cp << 6) | (static_cast<unsigned char>(bytes[j]) & 0x3f);
    }
    if (shows_as_is(cp)) {
      out.append(bytes);
    } else {
      char hex[16];
      const auto end = std::to_chars(hex, hex + sizeof hex, cp, 16).ptr;
      out += str_cat("\\u{", std::string_view(hex, static_cast<std::size_t>(end - hex)), "}");
    }
  }
  out += '"';
  return out;
}

namespace {

// A bound on the reservation taken from a sequence's reported length: the length is only a hint
// and may be false, the vector grows anyway.
constexpr Py_ssize_t kMaxReservedItems = Py_ssize_t{1} << 20;

}  // namespace

// ---- buffers ---------------------------------------------------------------------------------

bool BufferExport::request_f32(PyObject* object) {
  if (PyObject_GetBuffer(object, &view_, PyBUF_FULL_RO) != 0) {
    PyErr_Clear();
    return false;
  }
  held_ = true;
  const bool accepted = view_.shape != nullptr && view_.strides != nullptr && view_.itemsize == 4 &&
                        is_f32_format(view_.format) &&
                        reinterpret_cast<std::uintptr_t>(view_.buf) % 4 == 0;
  if (!accepted) {
    PyBuffer_Release(&view_);
    held_ = false;
  }
  return accepted;
}

Matrix::Matrix(std::unique_ptr<float[]> values, std::size_t rows, std::size_t cols)
    : rows(rows), cols(cols), owned_(std::move(values)), values_(owned_.get()) {}

Matrix::Matrix(std::unique_ptr<BufferExport> source, std::size_t rows, std::size_t cols)
    : rows(rows),
      cols(cols),
      source_(std::move(source)),
      values_(static_cast<const float*>(source_->view().buf)) {}

// ---- binding ---------------------------------------------------------------------------------

bool bind_fastcall(const char* class_name, const Signature& sig, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out) {
  const Shape shape = shape_of(sig);
  if (nargs > static_cast<Py_ssize_t>(shape.positional)) {
    return too_many_positional(class_name, sig, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out.values_[i] = PyRef::borrow(args[i]);
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      if (!bind_keyword(class_name, sig, PyTuple_GetItem(kwnames, j), args[nargs + j],
                        out.values_)) {
        return false;
      }
    }
  }
  return check_missing(class_name, sig, out.values_);
}

bool bind_tuple(const char* class_name, const Signature& sig, PyObject* args, PyObject* kwargs,
                BoundArgs& out) {
  const Shape shape = shape_of(sig);
  const Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  if (nargs > static_cast<Py_ssize_t>(shape.positional)) {
    return too_many_positional(class_name, sig, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out.values_[i] = PyRef::borrow(PyTuple_GetItem(args, i));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(class_name, sig, key, value, out.values_)) return false;
    }
  }
  return check_missing(class_name, sig, out.values_);
}

// ---- scalar conversions ----------------------------------------------------------------------

void prefix_type_error(const char* name) noexcept {
  if (name == nullptr) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), tb = PyRef::steal(traceback);
  if (tb) PyException_SetTraceback(v.get(), tb.get());
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, v.get()));
  if (!message) return;
  PyRef wrapped =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!wrapped) return;
  PyException_SetCause(wrapped.get(), v.release());
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

std::string type_name(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  Py_ssize_t size = 0;
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return std::string(text, static_cast<std::size_t>(size));
}

PyObject* raise_conversion_error(PyObject* object, const char* target) {
  PyErr_SetString(
      PyExc_TypeError,
      str_cat("'", type_name(object), "' object cannot be converted to '", target, "'").c_str());
  return nullptr;
}

PyResult<std::uint64_t> u64_arg(PyObject* object, const char* name) {
  PyRef integer = PyRef::steal(PyNumber_Index(object));
  if (!integer) {
    prefix_type_error(name);
    return std::nullopt;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    prefix_type_error(name);
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

PyResult<std::uint64_t> u64_arg_or(PyObject* object, const char* name, std::uint64_t fallback) {
  if (object == nullptr) return fallback;
  return u64_arg(object, name);
}

PyResult<std::string_view> text_arg(PyObject* object, const char* name) {
  if (!PyUnicode_Check(object)) {
    raise_conversion_error(object, "PyString");
    prefix_type_error(name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return std::nullopt;
  return std::string_view(text, static_cast<std::size_t>(size));
}

PyResult<std::string_view> text_arg_or(PyObject* object, const char* name,
                                       std::string_view fallback) {
  if (object == nullptr) return fallback;
  return text_arg(object, name);
}

bool list_arg(PyObject* object, const char* name) {
  if (PyList_Check(object)) return true;
  raise_conversion_error(object, "PyList");
  prefix_type_error(name);
  return false;
}

PyResult<Metric> parse_metric(std::string_view text) {
  if (const std::optional<Metric> metric = metric_from_text(text)) return *metric;
  PyErr_SetString(PyExc_ValueError, str_cat("unknown metric ", debug_text(text),
                                            "; expected \"l2\", \"cosine\", or \"dot_product\"")
                                        .c_str());
  return std::nullopt;
}

PyResult<std::string_view> metric_text_arg(PyObject* object) {
  return text_arg_or(object, "metric", metric_text_name(Metric::L2));
}

// ---- vectors, matrices, entries --------------------------------------------------------------

PyResult<std::vector<float>> extract_vector(PyObject* object) {
  {
    BufferExport buffer;
    if (buffer.request_f32(object)) {
      const Py_buffer& view = buffer.view();
      if (view.ndim != 1) {
        PyErr_SetString(PyExc_ValueError, "vector must be 1-dimensional");
        return std::nullopt;
      }
      std::vector<float> out(static_cast<std::size_t>(view.shape[0]));
      if (!gather(view, out.data(), out.size())) return std::nullopt;
      return out;
    }
  }
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(object)) {
    raise_conversion_error(object, "Sequence");
    return std::nullopt;
  }
  Py_ssize_t capacity = PySequence_Size(object);
  if (capacity < 0) {
    PyErr_Clear();
    capacity = 0;
  }
  std::vector<float> out;
  out.reserve(static_cast<std::size_t>(std::min(capacity, kMaxReservedItems)));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return std::nullopt;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    const double value = PyFloat_AsDouble(item.get());
    if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
    out.push_back(narrow_to_f32(value));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return out;
}

PyResult<Matrix> extract_matrix(PyObject* object) {
  // On the heap: the export's address stays fixed while the matrix that holds it moves.
  auto buffer = std::make_unique<BufferExport>();
  if (!buffer->request_f32(object)) {
    PyErr_SetString(PyExc_ValueError,
                    "vectors must support the buffer protocol (e.g. numpy array)");
    return std::nullopt;
  }
  const Py_buffer& view = buffer->view();
  if (view.ndim != 2) {
    PyErr_SetString(
        PyExc_ValueError,
        str_cat("vectors must be 2-dimensional, got ", view.ndim, "-dimensional").c_str());
    return std::nullopt;
  }
  const auto rows = static_cast<std::size_t>(view.shape[0]);
  const auto cols = static_cast<std::size_t>(view.shape[1]);
  const bool c_contiguous =
      view.suboffsets == nullptr &&
      (rows <= 1 || view.strides[0] == static_cast<Py_ssize_t>(cols * sizeof(float))) &&
      (cols <= 1 || view.strides[1] == sizeof(float));
  if (c_contiguous) return Matrix(std::move(buffer), rows, cols);
  // A broadcast view (stride 0) can claim any shape: refuse a size that cannot be allocated
  // rather than overflow.
  std::size_t count = 0;
  if (__builtin_mul_overflow(rows, cols, &count) || count > PY_SSIZE_T_MAX / sizeof(float)) {
    PyErr_NoMemory();
    return std::nullopt;
  }
  // Every element is written by the copy below, so the storage starts uninitialised.
  auto values = std::make_unique_for_overwrite<float[]>(count);
  if (!gather(view, values.get(), count)) return std::nullopt;
  return Matrix(std::move(values), rows, cols);
}

PyResult<std::vector<IndexItem>> extract_entries(PyObject* list) {
  std::vector<IndexItem> items;
  items.reserve(static_cast<std::size_t>(PyList_Size(list)));
  const bool converted = for_each_list_item(list, [&](PyObject* entry) {
    if (!PyTuple_Check(entry) || PyTuple_Size(entry) < 2) {
      PyErr_SetString(PyExc_ValueError, "each entry must be a tuple of (id, vector)");
      return false;
    }
    const PyResult<std::uint64_t> id = u64_arg(PyTuple_GetItem(entry, 0), nullptr);
    if (!id) return false;
    PyResult<std::vector<float>> vector = extract_vector(PyTuple_GetItem(entry, 1));
    if (!vector) return false;
    items.push_back(IndexItem{*id, std::move(*vector)});
    return true;
  });
  if (!converted) return std::nullopt;
  return items;
}

}  // namespace sorvel::py
