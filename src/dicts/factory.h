// The result convention and the item copy shared by the dictionary functions.
//
// Every dictionary function builds a new result and never modifies what it was given. The result
// is a new `dict`, or, when the caller passes a `factory`, whatever `factory()` returns; it is
// filled only through item assignment (plus membership tests and deletion for `dissoc`), so an
// object lacking those fails with the interpreter's own error at the first such operation.
//
// Sources are read through their `items()`: each element must be a tuple, element 0 being the key
// and element 1 the value. An exact dict copied into an exact dict takes the interpreter's own
// dict merge (same content, no per-item calls).
#pragma once

#include <Python.h>

#include <type_traits>

#include "utils/ref.h"
#include "utils/source.h"

namespace trovix::dicts {

// A new empty result: `{}` when `factory` is null, else `factory()`. Null with an exception set.
PyObject* new_result(PyObject* factory) noexcept;

// `target[key] = value` (exact dicts directly). 0, or -1 with an exception set.
inline int set_item(PyObject* target, PyObject* key, PyObject* value) noexcept {
    if (PyDict_CheckExact(target)) [[likely]] return PyDict_SetItem(target, key, value);
    return PyObject_SetItem(target, key, value);
}

// Whether `obj` has an attribute "keys" (what makes it count as a mapping): 1, 0, or -1 with the
// attribute lookup's own exception set.
int has_keys(PyObject* obj) noexcept;

// An iterator over `source.items()`, or null with an exception set (AttributeError when `source`
// has no `items`).
PyObject* items_iter(PyObject* source) noexcept;

// Splits one element of an `items()` iteration into key and value (borrowed from `element`).
// Not a tuple: TypeError "'<type>' object is not an instance of 'tuple'"; shorter than 2: the
// interpreter's IndexError. False with the exception set on failure.
[[nodiscard]] bool split_item(PyObject* element, PyObject*& key, PyObject*& value) noexcept;

// Copies every item of `source` into `target`. 0, or -1 with the first failure set (items
// already assigned stay in `target`).
int copy_into(PyObject* target, PyObject* source) noexcept;

// The next element of `it` as an owned reference; an empty Ref at the end, or an empty Ref with
// an exception set on failure (tell them apart with PyErr_Occurred()).
inline Ref next_element(PyObject* it) noexcept {
    PyObject* item = (*Py_TYPE(it)->tp_iternext)(it);
    if (item == nullptr && PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_StopIteration)) PyErr_Clear();
    return Ref::steal(item);
}

// Runs `step(key, value)` (owned keys and values, kept alive across the step) for every item of
// `source.items()`; a step taking three arguments gets `step(element, key, value)`, the element
// of the iteration (a tuple, held across the step) first. `step` returns false with an exception set to stop. True when every item was
// visited, false with the exception set otherwise. A mapping's `items()` may never end, so the
// walk lets signal handlers run as it goes.
template <class Step>
bool for_each_item(PyObject* source, Step&& step) {
    Ref it = Ref::steal(items_iter(source));
    if (!it) return false;
    std::size_t steps = 0;
    for (;;) {
        if (poll_signals(steps) < 0) return false;
        Ref element = next_element(it.get());
        if (!element) return !PyErr_Occurred();
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        if (!split_item(element.get(), key, value)) return false;
        if constexpr (std::is_invocable_v<Step&, PyObject*, PyObject*, PyObject*>) {
            // A step that wants the element too: it stays held (and so unchanged) across the step.
            if (!step(element.get(), key, value)) return false;
        } else {
            // The element tuple may be recycled by the iterator once it is released; keep the pair.
            Ref k = Ref::borrow(key);
            Ref v = Ref::borrow(value);
            element.reset();
            if (!step(k.get(), v.get())) return false;
        }
    }
}

}  // namespace trovix::dicts
