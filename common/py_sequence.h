// How both modules read a caller's collections: gate lists, operation lists,
// qubit and parameter lists, measurement targets. Python code can run while
// an item is read (__index__, __getitem__, keys(), a property, a re-entrant
// call into the module) and may clear, extend or drop the caller's
// collection, so a reader walks only what it holds itself.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace qalvane {

// Calls visit(item) for every item of a caller's collection, in order, until
// visit returns false. A list or tuple (subclasses too) is read as it stands
// when the walk begins: its items are copied into a tuple of our own, which
// runs no Python code and keeps every item alive. Any other iterable goes
// through its iterator, which keeps the collection alive, one item at a time
// (generators stay lazy), each item held until its visit returns. A
// non-iterable raises Python's TypeError; an iterator's error passes through.
template <typename Visit>
void for_each_item(const pybind11::handle& collection, Visit&& visit) {
  namespace py = pybind11;
  PyObject* const object = collection.ptr();
  if (PyList_Check(object) || PyTuple_Check(object)) {
    const py::tuple held = PyList_Check(object)
                               ? py::reinterpret_steal<py::tuple>(PyList_AsTuple(object))
                               : py::reinterpret_borrow<py::tuple>(object);
    if (!held) throw py::error_already_set();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(held.ptr()); ++i)
      if (!visit(py::handle(PyTuple_GET_ITEM(held.ptr(), i)))) return;
    return;
  }
  const py::object iterator = py::reinterpret_steal<py::object>(PyObject_GetIter(object));
  if (!iterator) throw py::error_already_set();
  for (;;) {
    const py::object item = py::reinterpret_steal<py::object>(PyIter_Next(iterator.ptr()));
    if (!item) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return;
    }
    if (!visit(py::handle(item))) return;
  }
}

// What a list of numbers may be given as: any sequence but str and bytes, or
// a generator, set, frozenset, dict view, map or zip object.
inline bool is_number_collection(const pybind11::handle& value) {
  PyObject* const object = value.ptr();
  if (PySequence_Check(object)) return !PyUnicode_Check(object) && !PyBytes_Check(object);
  return PyGen_Check(object) || PyAnySet_Check(object) ||
         PyObject_TypeCheck(object, &PyDictKeys_Type) ||
         PyObject_TypeCheck(object, &PyDictValues_Type) ||
         PyObject_TypeCheck(object, &PyDictItems_Type) || PyObject_TypeCheck(object, &PyMap_Type) ||
         PyObject_TypeCheck(object, &PyZip_Type);
}

// Numbers read through for_each_item. As a binding parameter or a cast target
// it converts like std::vector<T>: the same inputs, each element converted by
// the binding layer's scalar conversion, and the same failures (TypeError at
// a call boundary, the cast RuntimeError from cast()).
template <typename T>
struct NumberList {
  std::vector<T> values;
};

// The numbers of a caller's list; a failure is the binding layer's cast error.
template <typename T>
std::vector<T> read_numbers(const pybind11::handle& value) {
  return value.cast<NumberList<T>>().values;
}

}  // namespace qalvane

namespace pybind11::detail {

template <typename T>
struct type_caster<qalvane::NumberList<T>> {
  PYBIND11_TYPE_CASTER(qalvane::NumberList<T>,
                       const_name("collections.abc.Sequence[") + make_caster<T>::name +
                           const_name("]"));

  bool load(handle source, bool convert) {
    if (!qalvane::is_number_collection(source)) return false;
    if (!convert && !PySequence_Check(source.ptr())) return false;
    value.values.clear();
    bool loaded = true;
    qalvane::for_each_item(source, [&](handle item) {
      make_caster<T> element;
      loaded = element.load(item, convert);
      if (loaded) value.values.push_back(cast_op<T>(std::move(element)));
      return loaded;
    });
    return loaded;
  }
};

}  // namespace pybind11::detail
