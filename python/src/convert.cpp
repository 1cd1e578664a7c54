#include "convert.h"

#include "device/interface_table.h"

#include <cstring>
#include <limits>
#include <vector>

namespace kelvo::python {
namespace {

// Lists nested deeper than this are refused (a list that holds itself would
// otherwise recurse without end).
constexpr int kMaxDepth = 16;

std::string TypeOf(py::handle value) {
    return Py_TYPE(value.ptr())->tp_name;
}

// The integer field types are 32 bits or narrower: their limits fit long long.
template <class T> bool Store(long long number, VARTYPE vt, T& field, VARIANT* out) {
    using Limits = std::numeric_limits<T>;
    if (number < static_cast<long long>(Limits::min()) ||
        number > static_cast<long long>(Limits::max()))
        return false;
    out->vt = vt;
    field = static_cast<T>(number);
    return true;
}

// A number as the integer type vt when it fits (the table then takes it as
// it is); false for the 64-bit types and when it does not fit.
bool StoreInteger(long long number, VARTYPE vt, VARIANT* out) {
    switch (vt) {
    case VT_I1:
        return Store(number, vt, out->cVal, out);
    case VT_UI1:
        return Store(number, vt, out->bVal, out);
    case VT_I2:
        return Store(number, vt, out->iVal, out);
    case VT_UI2:
        return Store(number, vt, out->uiVal, out);
    case VT_I4:
    case VT_INT:
        return Store(number, vt, out->lVal, out);
    case VT_UI4:
    case VT_UINT:
        return Store(number, vt, out->ulVal, out);
    default:
        return false;
    }
}

// A Python int (or any object with __index__, floats excepted) as VT_I8, or
// VT_UI8 above the signed range.
bool WideInteger(py::handle value, VARIANT* out, std::string& error) {
    if (PyFloat_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
        error = "must be int, not " + TypeOf(value);
        return false;
    }
    py::object index = PyLong_CheckExact(value.ptr())
                           ? py::reinterpret_borrow<py::object>(value)
                           : py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!index) {
        PyErr_Clear();
        error = "must be int, not " + TypeOf(value);
        return false;
    }
    int overflow = 0;
    const long long signedValue = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow == 0) {
        out->vt = VT_I8;
        out->llVal = signedValue;
        return true;
    }
    if (overflow > 0) {
        const unsigned long long unsignedValue = PyLong_AsUnsignedLongLong(index.ptr());
        if (!PyErr_Occurred()) {
            out->vt = VT_UI8;
            out->ullVal = unsignedValue;
            return true;
        }
        PyErr_Clear();
    }
    error = py::str(index).cast<std::string>() + " is out of range";
    return false;
}

bool Coerce(const VARIANT& source, VARTYPE vt, VARIANT* out, py::handle value, std::string& error) {
    const HRESULT hr = VariantChangeType(out, &source, 0, vt);
    if (SUCCEEDED(hr))
        return true;
    error = py::repr(value).cast<std::string>() +
            (hr == DISP_E_OVERFLOW ? " is out of range for " : " does not convert to ") +
            PythonTypeName(vt);
    return false;
}

bool TextFromPython(py::handle value, VARIANT* out, std::string& error) {
    out->vt = VT_BSTR;
    if (value.is_none()) {
        out->bstrVal = nullptr;
        return true;
    }
    if (!PyUnicode_Check(value.ptr())) {
        error = "must be str, not " + TypeOf(value);
        return false;
    }
    // UTF-16 as the interfaces take it; lone surrogates pass as they are.
    py::object utf16 = py::reinterpret_steal<py::object>(
        PyUnicode_AsEncodedString(value.ptr(), "utf-16-le", "surrogatepass"));
    if (!utf16) {
        PyErr_Clear();
        error = "is no text";
        return false;
    }
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    PyBytes_AsStringAndSize(utf16.ptr(), &bytes, &size);
    std::u16string text(static_cast<std::size_t>(size) / 2, u'\0');
    std::memcpy(text.data(), bytes, text.size() * 2);
    out->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return true;
}

bool BytesFromPython(py::handle value, VARIANT* out, std::string& error) {
    if (!PyObject_CheckBuffer(value.ptr()) || PyUnicode_Check(value.ptr())) {
        error = "must be bytes-like, not " + TypeOf(value);
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        error = "must be a contiguous bytes-like object";
        return false;
    }
    SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(view.len));
    if (array && view.len > 0)
        std::memcpy(array->pvData, view.buf, static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    if (!array) {
        error = "is too large";
        return false;
    }
    out->vt = VT_ARRAY | VT_UI1;
    out->parray = array;
    return true;
}

bool AnyFromPython(py::handle value, VARIANT* out, std::string& error, int depth);

bool ListFromPython(py::handle value, VARIANT* out, std::string& error, int depth) {
    if (depth >= kMaxDepth) {
        error = "nests lists deeper than " + std::to_string(kMaxDepth);
        return false;
    }
    py::sequence items = py::reinterpret_borrow<py::sequence>(value);
    const std::size_t count = items.size();
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(count));
    if (!array) {
        error = "is too large";
        return false;
    }
    out->vt = VT_ARRAY | VT_VARIANT;
    out->parray = array;
    auto* elements = static_cast<VARIANT*>(array->pvData);
    for (std::size_t i = 0; i < count; ++i) {
        if (!AnyFromPython(items[i], &elements[i], error, depth + 1)) {
            error = "item " + std::to_string(i) + " " + error;
            return false;
        }
    }
    return true;
}

bool AnyFromPython(py::handle value, VARIANT* out, std::string& error, int depth) {
    PyObject* p = value.ptr();
    if (value.is_none())
        return true; // VT_EMPTY
    if (PyBool_Check(p)) {
        out->vt = VT_BOOL;
        out->boolVal = p == Py_True ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    }
    if (PyLong_Check(p)) {
        if (!WideInteger(value, out, error))
            return false;
        if (out->vt == VT_I8 && out->llVal >= std::numeric_limits<LONG>::min() &&
            out->llVal <= std::numeric_limits<LONG>::max()) {
            const LONG narrow = static_cast<LONG>(out->llVal);
            out->vt = VT_I4;
            out->lVal = narrow;
        }
        return true;
    }
    if (PyFloat_Check(p)) {
        out->vt = VT_R8;
        out->dblVal = PyFloat_AsDouble(p);
        return true;
    }
    if (PyUnicode_Check(p))
        return TextFromPython(value, out, error);
    if (PyObject_CheckBuffer(p))
        return BytesFromPython(value, out, error);
    if (PyList_Check(p) || PyTuple_Check(p))
        return ListFromPython(value, out, error, depth);
    error = "cannot be passed as a variant (" + TypeOf(value) + ")";
    return false;
}

py::object ArrayToPython(const VARIANT& value, std::string& error, bool& ok) {
    SAFEARRAY* array =
        (value.vt & VT_BYREF) ? *static_cast<SAFEARRAY**>(value.byref) : value.parray;
    const VARTYPE type = value.vt & VT_TYPEMASK;
    if (!array)
        return type == VT_UI1 ? py::object(py::bytes()) : py::object(py::list());
    std::size_t count = SafeArrayGetDim(array) == 0 ? 0 : 1;
    for (UINT dim = 1; dim <= SafeArrayGetDim(array); ++dim) {
        LONG low = 0;
        LONG high = -1;
        SafeArrayGetLBound(array, dim, &low);
        SafeArrayGetUBound(array, dim, &high);
        count *= high >= low ? static_cast<std::size_t>(high - low + 1) : 0;
    }
    const auto* base = static_cast<const std::uint8_t*>(array->pvData);
    if (type == VT_UI1)
        return py::bytes(reinterpret_cast<const char*>(base), count);
    const std::size_t size = SafeArrayGetElemsize(array);
    py::list items;
    for (std::size_t i = 0; i < count && ok; ++i) {
        VARIANT item;
        VariantInit(&item);
        if (type == VT_VARIANT) {
            std::memcpy(&item, base + i * size, sizeof item);
        } else {
            item.vt = type;
            std::memcpy(&item.llVal, base + i * size, std::min<std::size_t>(size, 8));
        }
        py::object element;
        ok = ValueToPython(item, element, error);
        items.append(element);
    }
    return items;
}

} // namespace

bool ArgumentFromPython(py::handle value, VARTYPE vt, bool exact, VARIANT* out,
                        std::string& error) {
    // The usual case first: a Python int for an integer argument, of the
    // argument's own type when it fits (else 64 bits, for the call to refuse).
    if (!exact && PyLong_CheckExact(value.ptr()) && IsIntegerType(vt)) {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow == 0) {
            if (!StoreInteger(number, vt, out)) {
                out->vt = VT_I8;
                out->llVal = number;
            }
            return true;
        }
    }
    if (vt == VT_VARIANT)
        return AnyFromPython(value, out, error, 0);
    if (vt == VT_BSTR)
        return TextFromPython(value, out, error);
    if (vt == (VT_ARRAY | VT_UI1))
        return BytesFromPython(value, out, error);
    Variant wide;
    // Numbers go as 64-bit values that the call converts, or coerced here.
    VARIANT* number = exact ? &wide : out;
    if (IsIntegerType(vt))
        return WideInteger(value, number, error) && (!exact || Coerce(wide, vt, out, value, error));
    if (vt == VT_BOOL) {
        if (PyBool_Check(value.ptr())) {
            out->vt = VT_BOOL;
            out->boolVal = value.ptr() == Py_True ? VARIANT_TRUE : VARIANT_FALSE;
            return true;
        }
        return WideInteger(value, number, error) && (!exact || Coerce(wide, vt, out, value, error));
    }
    if (vt == VT_R4 || vt == VT_R8) {
        const double real = PyFloat_AsDouble(value.ptr());
        if (real == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            error = "must be a number, not " + TypeOf(value);
            return false;
        }
        wide.vt = VT_R8;
        wide.dblVal = real;
        return exact ? Coerce(wide, vt, out, value, error)
                     : (*out = wide, wide.vt = VT_EMPTY, true);
    }
    error = "has type " + PythonTypeName(vt) + ", which cannot be given from Python";
    return false;
}

bool ValueToPython(const VARIANT& given, py::object& out, std::string& error) {
    const VARIANT& value =
        given.vt == (VT_BYREF | VT_VARIANT) && given.pvarVal ? *given.pvarVal : given;
    if (value.vt & VT_ARRAY) {
        bool ok = true;
        out = ArrayToPython(value, error, ok);
        return ok;
    }
    switch (value.vt) { // the usual results without a conversion
    case VT_I2:
        out = py::int_(value.iVal);
        return true;
    case VT_I4:
        out = py::int_(value.lVal);
        return true;
    case VT_I8:
        out = py::int_(value.llVal);
        return true;
    default:
        break;
    }
    if (IsIntegerType(value.vt)) {
        Variant wide;
        const bool huge = value.vt == VT_UI8;
        VariantChangeType(&wide, &value, 0, huge ? VT_UI8 : VT_I8);
        out = huge ? py::int_(wide.ullVal) : py::int_(wide.llVal);
        return true;
    }
    switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
        out = py::none();
        return true;
    case VT_R4:
        out = py::float_(static_cast<double>(value.fltVal));
        return true;
    case VT_R8:
    case VT_DATE:
        out = py::float_(value.dblVal);
        return true;
    case VT_BOOL:
        out = py::bool_(value.boolVal != VARIANT_FALSE);
        return true;
    case VT_BSTR: {
        const std::u16string_view text = BstrView(value.bstrVal);
        int littleEndian = -1; // a leading byte order mark stays part of the text
        PyObject* s = PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(text.data()),
                                            static_cast<Py_ssize_t>(text.size() * 2),
                                            "surrogatepass", &littleEndian);
        if (!s) {
            PyErr_Clear();
            error = "a text result is no UTF-16";
            return false;
        }
        out = py::reinterpret_steal<py::object>(s);
        return true;
    }
    default:
        error = "a result of automation type " + std::to_string(value.vt) + " has no Python form";
        return false;
    }
}

std::string PythonTypeName(VARTYPE vt) {
    if (vt & VT_BYREF)
        return PythonTypeName(vt & ~VT_BYREF);
    if (vt == (VT_ARRAY | VT_UI1))
        return "bytes";
    if (vt & VT_ARRAY)
        return "list";
    if (IsIntegerType(vt))
        return "int";
    switch (vt) {
    case VT_R4:
    case VT_R8:
        return "float";
    case VT_BOOL:
        return "bool";
    case VT_BSTR:
        return "str";
    case VT_VARIANT:
        return "Any";
    case VT_EMPTY:
        return "None";
    default:
        return "type " + std::to_string(vt);
    }
}

} // namespace kelvo::python
