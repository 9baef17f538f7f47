#pragma once

#include <Python.h>

#include "args.h"
#include "collection/sparse_index.h"
#include "payload/filter_condition.h"
#include "payload/payload.h"

// The structured arguments of the collection methods, payloads, filters and sparse vectors, turned
// into core values, and stored payloads turned back into Python objects. Everything here runs
// with the interpreter lock held, before the client lock is taken (arguments) or after it has
// been given back (results), and may run Python code (__index__, __float__, __str__, __bool__).
//
// Nesting: containers (dicts and lists) nested deeper than kMaxJsonDepth levels are refused while
// they are converted, so a deep or self-containing value never recurses past that bound. A payload
// is refused with ValueError "invalid configuration: payload nests arrays and objects deeper than
// 128 levels", a filter with the same text for "filter": the texts the store gives for such
// values.
//
// A dict that changes size or keys while it is walked (through Python code the conversion itself
// runs) ends the conversion with PanicException "dictionary changed size during iteration" or
// "dictionary keys changed during iteration".

namespace sorvel::py {

// A Python value as a payload. The first rule that applies decides:
//  1. None: null.  2. bool: that bool.
//  3. a numpy boolean scalar (its type's __module__ is "numpy" and its name "bool_" or "bool")
//  whose
//     type's __bool__ called on it returns a bool: that bool (any failure in this test is
//     discarded and the next rule tried);
//  4. a successful conversion to a signed 64-bit integer (ints, numpy integers, anything with
//     __index__): the integer in its non-negative or negative form;
//  5. a successful float() (floats, objects with __float__, ints beyond 64 bits): the float, or
//     null when it is infinite or NaN (failures of 4 and 5 are discarded);
//  6. str (subclasses included): the string;
//  7. dict (subclasses included), in the dict's order: each key must be a str, else TypeError
//     "'{}' object cannot be converted to 'PyString'"; each value converts by these rules;
//  8. list (subclasses included): py_list_to_json;
//  9. anything else (tuples, sets, other objects): the string str() gives.
// The first exception ends the conversion; nothing partial is kept.
PyResult<Payload> py_to_json(PyObject* object);

// A list as a payload array, its items in index order. The length is read at the start and again
// before each item, and the walk stops at the smaller, so a list that shrinks meanwhile ends early
// and growth is not followed. The first item's exception ends the conversion.
PyResult<Payload> py_list_to_json(PyObject* list);

// A new Python object for a payload: None, bool, int (an unsigned value above 2^63 - 1 becomes the
// nearest float), float, str, list, or dict with the keys in the payload's sorted order. Null with
// the error set only when an object cannot be made (MemoryError).
PyObject* json_to_py(const Payload& payload);

// A filter: py_to_json (its exception unchanged; the nesting refusal uses the filter text), then
// FilterCondition::deserialize, whose error becomes ValueError "invalid filter: {}".
PyResult<FilterCondition> parse_filter(PyObject* object);

// A dict {index: weight} as a sparse vector, in the dict's order: the key converts to a signed
// 64-bit integer (its TypeError / OverflowError unchanged), then must lie in 0..2^32 - 1, else
// OverflowError "out of range integral type conversion attempted"; the value goes through float()
// (its exception unchanged) and is narrowed to f32. A repeated index (1 and True) keeps the later
// weight. The result's indices are distinct and ascending. `dict` must be a dict (subclasses
// included); the caller has checked that.
PyResult<SparseVector> dict_to_sparse_vector(PyObject* dict);

}  // namespace sorvel::py
