#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "distance/metric.h"
#include "index/vector_index.h"
#include "py_ref.h"

// Argument binding and the conversions of Python arguments into plain C++ values. Everything here
// runs with the interpreter lock held and may run Python code (__index__, __float__, iterators).

namespace sorvel::py {

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "counts and ids share one width");

// The outcome of a conversion: a value, or nullopt with a Python exception set.
template <class T>
using PyResult = std::optional<T>;

inline constexpr std::size_t kMaxParams = 8;

// One parameter of a signature: required or with a default (the default's value is applied by the
// method's own conversion), positional-or-keyword or keyword-only.
struct Param {
  const char* name;
  bool required = true;
  bool keyword_only = false;
};

// A parameter with a default.
constexpr Param optional_param(const char* name) { return Param{name, false, false}; }

// The parameters of a method, in order: positional-or-keyword ones first, then keyword-only ones.
// `method` is the method's name ("search", "__new__" for a constructor); with the class name it
// forms "FlatIndex.search()" in binding errors.
struct Signature {
  constexpr Signature(const char* method_name, std::initializer_list<Param> list)
      : method(method_name) {
    for (const Param& p : list) params[count++] = p;
  }

  const char* method;
  std::array<Param, kMaxParams> params{};
  std::size_t count = 0;
};

// The arguments bound to a signature: one reference per parameter, empty where left out (the
// conversion then applies the default). Holds its references, so Python code run by a conversion
// cannot free an argument under it.
class BoundArgs {
 public:
  // Null where the argument was left out.
  PyObject* operator[](std::size_t i) const { return values_[i].get(); }

 private:
  friend bool bind_fastcall(const char*, const Signature&, PyObject* const*, Py_ssize_t, PyObject*,
                            BoundArgs&);
  friend bool bind_tuple(const char*, const Signature&, PyObject*, PyObject*, BoundArgs&);
  std::array<PyRef, kMaxParams> values_;
};

// Binds the arguments of a vectorcall (METH_FASTCALL | METH_KEYWORDS): `nargs` positional values,
// then one value per name of the tuple `kwnames` (may be null). `class_name` null names the
// method "{}()" alone. TypeError, checked in this order: too many positional arguments ("{} takes
// {} positional arguments but {} {} given", or "takes from {} to {}" when some have defaults), an
// unknown keyword ("{} got an unexpected keyword argument '{}'"), a keyword naming a parameter
// already given ("{} got multiple values for argument '{}'"), missing required positional
// arguments, then missing required keyword-only ones ("{} missing {} required {} {}: {}").
// Returns false with the error set.
bool bind_fastcall(const char* class_name, const Signature& sig, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out);
// The same for a tuple of positional arguments and a dict of keywords (may be null), as tp_new
// receives them.
bool bind_tuple(const char* class_name, const Signature& sig, PyObject* args, PyObject* kwargs,
                BoundArgs& out);

// If the pending error is exactly a TypeError and `name` is not null, replaces it with TypeError
// "argument '{name}': {message}" whose __cause__ is the original exception. Anything else stays.
void prefix_type_error(const char* name) noexcept;

// Raises TypeError "'{}' object cannot be converted to '{}'" with `object`'s type name and
// `target`; returns null.
PyObject* raise_conversion_error(PyObject* object, const char* target);

// The qualified name of `object`'s type ("int", "ndarray").
std::string type_name(PyObject* object);

// An unsigned 64-bit integer from an int or an object with __index__; 2^64 - 1 is valid. A
// negative or too large value raises the interpreter's OverflowError unchanged; a TypeError (no
// __index__) is prefixed with `name` (none when null).
PyResult<std::uint64_t> u64_arg(PyObject* object, const char* name);
// As u64_arg, `fallback` when the argument was left out (null).
PyResult<std::uint64_t> u64_arg_or(PyObject* object, const char* name, std::uint64_t fallback);

// The UTF-8 text of a str (subclasses included), borrowed from `object`: valid while `object` is
// alive. An unencodable text (a lone surrogate) raises the interpreter's UnicodeEncodeError
// unchanged; a non-str raises TypeError "argument '{name}': '{}' object cannot be converted to
// 'PyString'".
PyResult<std::string_view> text_arg(PyObject* object, const char* name);
// As text_arg, `fallback` when the argument was left out (null).
PyResult<std::string_view> text_arg_or(PyObject* object, const char* name,
                                       std::string_view fallback);

// Checks that `object` is a list (subclasses included): TypeError "argument '{name}': '{}' object
// cannot be converted to 'PyList'" otherwise.
bool list_arg(PyObject* object, const char* name);

// Calls `visit(item)` for the items of `list` (a list, subclasses included) by position while the
// position is below both the length at the start and the current length, holding each item for
// its call: a visit may run Python code that shrinks, grows or changes the list. Returns false at
// the first visit that returns false (with a Python error set), true once every item is visited.
template <class Visit>
bool for_each_list_item(PyObject* list, Visit&& visit) {
  const Py_ssize_t initial = PyList_Size(list);
  for (Py_ssize_t i = 0; i < std::min(initial, PyList_Size(list)); ++i) {
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    if (!item || !visit(item.get())) return false;
  }
  return true;
}

// `value` rounded to the nearest f32; beyond the f32 range the result is infinite (a plain cast
// of such a value is undefined behaviour).
float narrow_to_f32(double value);

// The debug form of a valid UTF-8 text, as messages quote user texts: in double quotes, with \"
// \\ \n \r \t \0 and \u{hex} for every other character that the interpreter does not print
// as it is.
std::string debug_text(std::string_view text);

// Exactly "l2", "cosine" or "dot_product" (byte-exact); otherwise ValueError
// "unknown metric {debug form}; expected \"l2\", \"cosine\", or \"dot_product\"".
PyResult<Metric> parse_metric(std::string_view text);
// The text of an index constructor's `metric` argument, "l2" when left out. Only converted: the
// constructor parses it with parse_metric once every integer and text argument is converted, so a
// bad later argument's TypeError comes before an unknown metric's ValueError.
PyResult<std::string_view> metric_text_arg(PyObject* object);

// A vector from a float32 buffer (native or little-endian "f", 4-byte items, aligned; strided
// buffers are gathered), else from a sequence whose items go through float() and are narrowed to
// f32 (float64 arrays, lists, tuples). Errors, unprefixed: a float32 buffer that is not 1-D
// (ValueError "vector must be 1-dimensional"), a failed buffer copy (ValueError "buffer copy
// failed: {}"), a str (TypeError "Can't extract `str` to `Vec`"), a non-sequence (TypeError "'{}'
// object cannot be converted to 'Sequence'"), an item's float() error as it is.
PyResult<std::vector<float>> extract_vector(PyObject* object);

// One buffer export of an object, held until destroyed. Made and destroyed with the interpreter
// lock held. While it is held the exporter keeps the memory in place (numpy arrays, bytearrays and
// maps refuse to resize or close), so the memory may be read without the lock.
class BufferExport {
 public:
  BufferExport() = default;
  BufferExport(const BufferExport&) = delete;
  BufferExport& operator=(const BufferExport&) = delete;
  ~BufferExport() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Requests a buffer with strides, shape, format and indirect access, read-only being enough,
  // and keeps it when it is a float32 buffer: 4-byte items of format "f" (or "@f", or "=f" / "<f"
  // on a little-endian host; big-endian ">f" / "!f" never), with shape and strides, at an address
  // that is a multiple of 4. A refused request is discarded (no error set). True when held.
  bool request_f32(PyObject* object);

  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// A rows x cols float32 matrix, row after row. Destroy it with the interpreter lock held.
class Matrix {
 public:
  // A copy in storage of its own.
  Matrix(std::unique_ptr<float[]> values, std::size_t rows, std::size_t cols);
  // The exporter's own memory, already C-contiguous, read in place while `source` is held.
  Matrix(std::unique_ptr<BufferExport> source, std::size_t rows, std::size_t cols);

  std::span<const float> data() const { return {values_, rows * cols}; }

  std::size_t rows;
  std::size_t cols;

 private:
  std::unique_ptr<float[]> owned_;
  std::unique_ptr<BufferExport> source_;
  const float* values_;
};

// A 2-D float32 buffer as a matrix in row-major order. A C-contiguous buffer is read in place
// (the export is held by the matrix, so the bulk insert reads it without copying it twice); any
// other layout (strides, transposed views, suboffsets) is gathered into a copy. Errors:
// ValueError "vectors must support the buffer protocol (e.g. numpy array)" when the object offers
// no float32 buffer (no sequence fallback: float64 arrays and lists are refused), ValueError
// "vectors must be 2-dimensional, got {}-dimensional", MemoryError when a copy of rows x cols
// floats cannot be allocated, ValueError "buffer copy failed: {}".
//
// Read in place, the matrix shows what the buffer holds while the core reads it: another thread
// writing into the same array meanwhile races with the insert, as with any call that reads an
// array without the interpreter lock.
PyResult<Matrix> extract_matrix(PyObject* object);

// The (id, vector) entries of a list. The length is read at the start and again before each item;
// reading stops at the smaller, so a list that shrinks meanwhile ends early and growth is not
// followed. Each item must be a tuple (subclasses included) of at least two elements (further ones
// are ignored), else ValueError "each entry must be a tuple of (id, vector)"; element 0 converts as
// u64_arg without a name, element 1 by extract_vector. The first error ends the conversion.
PyResult<std::vector<IndexItem>> extract_entries(PyObject* list);

}  // namespace sorvel::py
