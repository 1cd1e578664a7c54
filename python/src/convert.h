// Python values to automation values of an argument's declared type, and
// automation values back to Python values. Called with the GIL held.
#pragma once

#include "kelvo/automation.h"

#include <pybind11/pybind11.h>

#include <string>

namespace kelvo::python {

namespace py = pybind11;

// Converts `value` to an argument of type vt (not by reference) into `out`, a
// cleared VARIANT that the caller clears again. Integers take Python ints,
// floats ints or floats, text str or None (a null string), byte arrays any
// bytes-like object, a VARIANT any of None, bool, int, float, str, bytes-like
// or a list or tuple of these. Numbers are coerced to vt (range-checked) when
// `exact`; otherwise they stay 64-bit (VT_I8, VT_UI8, VT_R8) for the
// interface table's call to convert. False with `error` saying why.
bool ArgumentFromPython(py::handle value, VARTYPE vt, bool exact, VARIANT* out, std::string& error);

// A value as Python sees it: None, int, float, bool, str, bytes (byte arrays)
// or a list (other arrays). False with `error` for a type with no Python form.
bool ValueToPython(const VARIANT& value, py::object& out, std::string& error);

// "int", "float", "str", ... of an automation type, for messages and stubs.
std::string PythonTypeName(VARTYPE vt);

} // namespace kelvo::python
