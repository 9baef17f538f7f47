#pragma once

#include <Python.h>

#include <memory>
#include <string>

#include "collection/client_state.h"

// The Client and Collection classes: a Client object holds one shared reference to the client
// state of an open data directory; a Collection object is a light handle holding a collection's
// name and another shared reference to the same state, and finds its collection by name on every
// call. The state, with every collection in it, lives until the last of these objects is gone.
//
// Locks: the client lock (the state's reader-writer lock) is always taken while the interpreter
// lock is held. A method whose core runs without the interpreter lock gives the client lock back
// before it takes the interpreter lock again (every core result is an owned copy), so a thread
// holding the client lock never waits for the interpreter lock, and two threads cannot deadlock.

namespace sorvel::py {

// What a Collection object holds. Fixed at creation.
struct CollectionHandle {
  std::string name;
  std::shared_ptr<ClientState> client;
};

// A new Collection object for `name` over `client`, or null with an error set. Interpreter lock
// held, client lock not held.
PyObject* new_collection_handle(std::string name, std::shared_ptr<ClientState> client);

// KeyError "collection '{name}' not found" with the name as it is; returns null.
PyObject* raise_collection_not_found(const std::string& name);

// The two classes: each creates its type once and returns it borrowed, or null with an error set.
PyTypeObject* client_type();
PyTypeObject* collection_type();

}  // namespace sorvel::py
