// The boundary adapter and the frame, in an embedded interpreter: what no Python caller of the
// public classes can provoke (an internal invariant failure, an unknown C++ exception, a failure
// while the interpreter lock is released) must still reach Python as the right exception, with the
// borrow given back and the lock held again.

#include <Python.h>
#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "check.h"
#include "class_frame.h"
#include "errors.h"
#include "gil.h"
#include "py_ref.h"

namespace sorvel::py {
namespace {

class PythonEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { Py_InitializeEx(0); }
  void TearDown() override { Py_FinalizeEx(); }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new PythonEnvironment);

// The pending exception, taken and cleared: its type and str().
struct Raised {
  PyObject* type = nullptr;  // borrowed from the interpreter's lifetime objects
  std::string text;
  Py_ssize_t arg_count = -1;
};

Raised take_error() {
  Raised raised;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), tb = PyRef::steal(traceback);
  if (!t) return raised;
  raised.type = t.get();
  PyRef text = PyRef::steal(PyObject_Str(v.get()));
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (utf8 != nullptr) raised.text.assign(utf8, static_cast<std::size_t>(size));
  PyRef args = PyRef::steal(PyObject_GetAttrString(v.get(), "args"));
  if (args) raised.arg_count = PyTuple_Size(args.get());
  PyErr_Clear();
  return raised;
}

TEST(ErrorToPyerr, EveryKindRaisesItsExceptionWithTheDisplayText) {
  struct Case {
    DbError error;
    PyObject* type;
  };
  const Case cases[] = {
      {DbError::dimension_mismatch(3, 4), PyExc_ValueError},
      {DbError::duplicate_id(7), PyExc_KeyError},
      {DbError::not_found(7), PyExc_KeyError},
      {DbError::empty_index(), PyExc_ValueError},
      {DbError::invalid_config("bad"), PyExc_ValueError},
      {DbError::serialization("short"), PyExc_RuntimeError},
      {DbError::io_from_errno(2), PyExc_OSError},
      {DbError::collection_already_exists("c"), PyExc_KeyError},
      {DbError::collection_not_found("c"), PyExc_KeyError},
      {DbError::wal_corruption(3, "crc"), PyExc_RuntimeError},
      {DbError::embedding_error("e"), PyExc_RuntimeError},
      {DbError::no_embedder("c"), PyExc_RuntimeError},
      {DbError::snapshot_already_exists("s"), PyExc_KeyError},
      {DbError::snapshot_not_found("s"), PyExc_KeyError},
  };
  static_assert(std::size(cases) == kErrorKindCount);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error.debug());
    EXPECT_EQ(error_to_pyerr(c.error), nullptr);
    const Raised raised = take_error();
    EXPECT_EQ(raised.type, c.type);  // exactly, not a subclass
    EXPECT_EQ(raised.arg_count, 1);
    // KeyError's str() quotes its argument.
    const std::string display = c.error.display();
    EXPECT_EQ(raised.text, c.type == PyExc_KeyError ? "'" + display + "'" : display);
  }
}

TEST(Guard, MapsEveryEscapingException) {
  PyObject* panic = panic_exception_type();
  ASSERT_NE(panic, nullptr);
  ASSERT_TRUE(PyType_Check(panic));
  EXPECT_EQ(PyObject_IsSubclass(panic, PyExc_BaseException), 1);
  EXPECT_EQ(PyObject_IsSubclass(panic, PyExc_Exception), 0);  // `except Exception` lets it pass
  EXPECT_EQ(panic_exception_type(), panic);                   // created once

  struct Case {
    const char* name;
    void (*thrower)();
    PyObject* type;
    const char* text;
  };
  const Case cases[] = {
      {"invariant", [] { SORVEL_CHECK(1 + 1 == 3, "arithmetic broke"); }, panic,
       "arithmetic broke"},
      {"bad_alloc", [] { throw std::bad_alloc(); }, PyExc_MemoryError, ""},
      {"other std::exception", [] { throw std::out_of_range("vector::at"); }, panic, "vector::at"},
      {"not an exception", [] { throw 42; }, panic, "internal failure of an unknown kind"},
      {"invalid utf-8 text", [] { throw std::runtime_error("bad \xff byte"); }, panic,
       "bad \xef\xbf\xbd byte"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PyObject* result = guard<PyObject*>(nullptr, [&]() -> PyObject* {
      c.thrower();
      return Py_None;
    });
    EXPECT_EQ(result, nullptr);
    const Raised raised = take_error();
    EXPECT_EQ(raised.type, c.type);
    EXPECT_EQ(raised.text, c.text);
  }
}

TEST(Guard, KeepsAnErrorTheBodySetAndPassesResults) {
  EXPECT_EQ(guard<int>(-1,
                       [] {
                         PyErr_SetString(PyExc_ZeroDivisionError, "mine");
                         return -1;
                       }),
            -1);
  const Raised raised = take_error();
  EXPECT_EQ(raised.type, PyExc_ZeroDivisionError);
  EXPECT_EQ(raised.text, "mine");
  EXPECT_EQ(guard<int>(-1, [] { return 5; }), 5);
  EXPECT_FALSE(PyErr_Occurred());
}

// A minimal class on the frame, to drive failures through a method call.
struct Counter {
  int value = 0;
};
struct CounterClass {
  using Content = Counter;
  static constexpr const char* kName = "Counter";
  static inline PyTypeObject* type = nullptr;
};

PyType_Slot g_counter_slots[] = {
    slot(Py_tp_dealloc, &dealloc<CounterClass>),
    slot(Py_tp_new, &no_constructor<CounterClass>),
    slot(Py_tp_doc, "Counter()\n--\n\n"),
    {0, nullptr},
};

constexpr Signature kBumpSig{"bump", {{"n"}}};

TEST(MethodFrame, ReleasesTheBorrowAndRetakesTheLockWhenTheCoreFails) {
  ASSERT_NE(make_type<CounterClass>(g_counter_slots), nullptr);
  PyRef object = PyRef::steal(wrap<CounterClass>(std::make_unique<Counter>()));
  ASSERT_TRUE(object);
  auto* instance = reinterpret_cast<InstanceOf<CounterClass>*>(object.get());
  PyRef three = PyRef::steal(PyLong_FromLong(3));
  PyObject* args[] = {three.get()};

  for (const Access access : {Access::Shared, Access::Exclusive}) {
    PyObject* result = method_frame<CounterClass>(
        kBumpSig, access, object.get(), args, 1, nullptr,
        [&](Counter& counter, const BoundArgs&) -> PyObject* {
          EXPECT_EQ(instance->borrow.value, access == Access::Exclusive ? -1 : 1);
          without_gil([&] {
            ++counter.value;
            SORVEL_CHECK(counter.value > 100, "counter below 100");
          });
          return Py_None;
        });
    EXPECT_EQ(result, nullptr);
    // Dies with a fatal error unless this thread holds the interpreter lock again.
    PyEval_RestoreThread(PyEval_SaveThread());
    EXPECT_EQ(instance->borrow.value, 0);
    const Raised raised = take_error();
    EXPECT_EQ(raised.type, panic_exception_type());
    EXPECT_EQ(raised.text, "counter below 100");
  }
  EXPECT_EQ(instance->content->value, 2);
}

TEST(MethodFrame, ChecksTheReceiverAfterBinding) {
  ASSERT_NE(make_type<CounterClass>(g_counter_slots), nullptr);
  PyRef not_a_counter = PyRef::steal(PyLong_FromLong(1));
  bool ran = false;
  auto call = [&](Py_ssize_t nargs) {
    PyObject* args[] = {not_a_counter.get()};
    return method_frame<CounterClass>(kBumpSig, Access::Shared, not_a_counter.get(), args, nargs,
                                      nullptr, [&](Counter&, const BoundArgs&) -> PyObject* {
                                        ran = true;
                                        return Py_None;
                                      });
  };
  EXPECT_EQ(call(0), nullptr);
  EXPECT_EQ(take_error().text, "Counter.bump() missing 1 required positional argument: 'n'");
  EXPECT_EQ(call(1), nullptr);
  EXPECT_EQ(take_error().text, "'int' object cannot be converted to 'Counter'");
  EXPECT_FALSE(ran);
}

TEST(NoConstructor, RefusesInstantiation) {
  PyTypeObject* type = make_type<CounterClass>(g_counter_slots);
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(type)), nullptr);
  const Raised raised = take_error();
  EXPECT_EQ(raised.type, PyExc_TypeError);
  EXPECT_EQ(raised.text, "No constructor defined for Counter");
}

}  // namespace
}  // namespace sorvel::py
