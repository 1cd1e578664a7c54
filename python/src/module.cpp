// kelvo._kelvo: the native part of the Python package. A Device is one Kelvo
// object; call() runs any member of the interface table with Python values,
// so every operation the table serves is reachable without code of its own.
// The GIL is released while an operation runs (it waits on the link), and a
// per-object lock keeps two threads from using one object at once.
#include "commands.h"
#include "convert.h"
#include "device/interface_table.h"
#include "device/kelvo_object.h"
#include "discovery/scan_udp.h"
#include "transport/portway/portway.h"
#include "value_text.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kelvo::python {
namespace {

// Most arguments a member may take (checked when the module loads).
constexpr std::size_t kMaxArgs = 8;
// Largest buffer a call allocates for a raw byte buffer argument.
constexpr std::int64_t kMaxBuffer = 16 * 1024 * 1024;
// Put into errorCode before a call to see whether the call stored a code.
constexpr std::int32_t kNoCode = std::numeric_limits<std::int32_t>::min();

std::string Title(const InterfaceMember& m) {
    const std::string name = Utf16ToUtf8(m.name);
    return m.kind == MemberKind::Get   ? "get " + name
           : m.kind == MemberKind::Put ? "put " + name
                                       : name;
}

// What a failed call leaves, gathered before the object is unlocked.
struct Failure {
    HRESULT hr = S_OK;
    std::optional<std::int32_t> code; // the error code the call stored
    std::uint32_t deviceStatus = 0;
    std::u16string message; // the message file's text for the code
};

// Raises an exception object built by kelvo.errors.
[[noreturn]] void Throw(const py::object& error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

// Raises the package's exception for a failure; kelvo.errors picks the class.
[[noreturn]] void Raise(const std::string& operation, const Failure& f) {
    py::object code = f.code ? py::object(py::int_(*f.code)) : py::object(py::none());
    py::object status = f.code && *f.code == KE_DEVICE ? py::object(py::int_(f.deviceStatus))
                                                       : py::object(py::none());
    Throw(py::module_::import("kelvo.errors")
              .attr("failure")(operation, static_cast<std::uint32_t>(f.hr), code, status,
                               Utf16ToUtf8(f.message)));
}

// Raises kelvo.errors.argument_error (a refused argument) or result_error (a
// result with no Python form).
[[noreturn]] void RaiseText(const char* factory, const std::string& operation,
                            const std::string& message) {
    Throw(py::module_::import("kelvo.errors").attr(factory)(operation, message));
}

// Whether clearing a VARIANT of this type frees something (numbers and
// references own nothing; most arguments are numbers).
constexpr bool Owns(VARTYPE vt) {
    return !(vt & VT_BYREF) &&
           ((vt & VT_ARRAY) || vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN);
}

// Up to kMaxArgs VARIANTs in place, cleared on destruction.
class VariantArray {
public:
    explicit VariantArray(std::size_t count) : count_(count) {
        for (std::size_t i = 0; i < count_; ++i)
            VariantInit(&items_[i]);
    }
    ~VariantArray() {
        for (std::size_t i = 0; i < count_; ++i) {
            if (Owns(items_[i].vt))
                VariantClear(&items_[i]);
        }
    }
    VariantArray(const VariantArray&) = delete;
    VariantArray& operator=(const VariantArray&) = delete;
    VARIANT* data() { return items_.data(); }

private:
    std::size_t count_;
    std::array<VARIANT, kMaxArgs> items_;
};

// The arguments of one call in their automation form, the storage that the
// by-reference arguments point to, and the byte buffers sized by the table.
class CallFrame {
public:
    explicit CallFrame(const InterfaceMember& m)
        : m_(m), references_(HasReferences(m)), args_(m.args.size()),
          refs_(references_ ? m.args.size() : 0) {}

    // Converts the Python arguments (GIL held). Trailing by-reference
    // arguments may be left out; they start as None.
    bool Load(const py::tuple& given, std::string& error) {
        const std::size_t count = m_.args.size();
        bool outsMissing = given.size() <= count;
        for (std::size_t i = given.size(); i < count; ++i)
            outsMissing = outsMissing && (m_.args[i] & VT_BYREF);
        if (!outsMissing) {
            error = "takes " + std::to_string(count) + " argument" + (count == 1 ? "" : "s") +
                    ", " + std::to_string(given.size()) + " given";
            return false;
        }
        // Values first, buffers after them: a buffer's length may come later.
        for (std::size_t i = 0; i < count; ++i) {
            const VARTYPE vt = m_.args[i];
            if (vt == (VT_BYREF | VT_UI1))
                continue;
            const py::handle value = Given(given, i);
            if (!(vt & VT_BYREF)) {
                if (!ArgumentFromPython(value, vt, false, &args_.data()[i], error))
                    return Fail(i, error);
                continue;
            }
            VARIANT& target = refs_.data()[i];
            const VARTYPE base = vt & ~VT_BYREF;
            if (value.is_none())
                target.vt = base;
            else if (!ArgumentFromPython(value, base, true, &target, error))
                return Fail(i, error);
            args_.data()[i].vt = vt;
            args_.data()[i].byref = base == VT_VARIANT ? static_cast<void*>(&target)
                                                       : static_cast<void*>(&target.llVal);
        }
        for (const BufferArgument& b : m_.buffers) {
            if (!LoadBuffer(b, Given(given, b.buffer), error))
                return Fail(b.buffer, error);
        }
        return true;
    }

    // Runs the member (GIL released, object locked); argErr names the
    // argument that did not convert to its type.
    HRESULT Run(IKelvo& object, VARIANT* result, UINT& argErr) {
        return m_.call(&object, args_.data(), static_cast<UINT>(m_.args.size()),
                       m_.result != VT_EMPTY ? result : nullptr, &argErr);
    }

    // The result, then every by-reference argument the call may have written
    // (buffers the call only reads are left out): None, one value, or a tuple.
    bool Results(const VARIANT& result, py::object& out, std::string& error) {
        if (!references_) { // the common case: the result alone
            out = py::none();
            return m_.result == VT_EMPTY || ValueToPython(result, out, error);
        }
        std::vector<py::object> values;
        py::object value;
        if (m_.result != VT_EMPTY) {
            if (!ValueToPython(result, value, error))
                return false;
            values.push_back(value);
        }
        for (std::size_t i = 0; i < m_.args.size(); ++i) {
            const VARTYPE vt = m_.args[i];
            if (vt == (VT_BYREF | VT_UI1)) {
                if (Filled(i))
                    values.push_back(
                        py::bytes(reinterpret_cast<const char*>(buffers_[i].data()), sizes_[i]));
            } else if (vt & VT_BYREF) {
                if (!ValueToPython(refs_.data()[i], value, error))
                    return false;
                values.push_back(value);
            }
        }
        if (values.empty())
            out = py::none();
        else if (values.size() == 1)
            out = values.front();
        else
            out = py::tuple(py::cast(values));
        return true;
    }

private:
    // Argument i as given, None when it was left out.
    static py::handle Given(const py::tuple& given, std::size_t i) {
        return i < given.size() ? py::handle(PyTuple_GET_ITEM(given.ptr(), i))
                                : py::handle(Py_None);
    }

    bool Fail(std::size_t arg, std::string& error) const {
        error = "argument " + std::to_string(arg + 1) + ": " + error;
        return false;
    }

    bool Filled(std::size_t arg) const {
        for (const BufferArgument& b : m_.buffers) {
            if (b.buffer == arg)
                return b.filled;
        }
        return false;
    }

    // The length argument's value (0 when it names the result).
    bool Length(const BufferArgument& b, std::int64_t& length, std::string& error) {
        length = 0;
        if (b.length >= m_.args.size())
            return true;
        const bool byRef = m_.args[b.length] & VT_BYREF;
        const VARIANT& source = byRef ? refs_.data()[b.length] : args_.data()[b.length];
        Variant wide;
        if (FAILED(VariantChangeType(&wide, &source, 0, VT_I8)) || wide.llVal < 0 ||
            wide.llVal > kMaxBuffer) {
            error = "is sized by argument " + std::to_string(b.length + 1) +
                    ", which must be 0 to " + std::to_string(kMaxBuffer);
            return false;
        }
        length = wide.llVal;
        return true;
    }

    bool LoadBuffer(const BufferArgument& b, py::handle value, std::string& error) {
        std::int64_t length = 0;
        if (!Length(b, length, error))
            return false;
        std::vector<std::uint8_t>& buffer = buffers_[b.buffer];
        std::size_t size = static_cast<std::size_t>(length);
        if (value.is_none()) {
            if (!b.filled) {
                error = "needs the bytes to send (bytes-like, not None)";
                return false;
            }
            buffer.assign(size, 0);
        } else {
            Py_buffer view;
            if (PyUnicode_Check(value.ptr()) ||
                PyObject_GetBuffer(value.ptr(), &view, PyBUF_SIMPLE) != 0) {
                PyErr_Clear();
                error = std::string("must be bytes-like") + (b.filled ? " or None" : "");
                return false;
            }
            const auto* data = static_cast<const std::uint8_t*>(view.buf);
            buffer.assign(data, data + view.len);
            PyBuffer_Release(&view);
            if (buffer.size() < size) {
                error = "holds " + std::to_string(buffer.size()) + " bytes where argument " +
                        std::to_string(b.length + 1) + " asks for " + std::to_string(size);
                return false;
            }
            size = buffer.size();
        }
        sizes_[b.buffer] = size;
        buffer.resize(std::max<std::size_t>(size, 1)); // never a null buffer
        args_.data()[b.buffer].vt = VT_BYREF | VT_UI1;
        args_.data()[b.buffer].pbVal = buffer.data();
        return true;
    }

    static bool HasReferences(const InterfaceMember& m) {
        for (VARTYPE vt : m.args) {
            if (vt & VT_BYREF)
                return true;
        }
        return false;
    }

    const InterfaceMember& m_;
    const bool references_;
    VariantArray args_;
    VariantArray refs_; // what by-reference scalars point to
    std::array<std::vector<std::uint8_t>, kMaxArgs> buffers_;
    std::array<std::size_t, kMaxArgs> sizes_{};
};

std::u16string MessageText(const CKelvo& object, std::uint32_t key) {
    const auto found = object.messages.find(key);
    return found == object.messages.end() ? std::u16string() : found->second;
}

class Device {
public:
    Device() : object_(new CKelvo) { object_->AddRef(); }
    ~Device() {
        // Releasing the object closes the link (a logout that may wait).
        if (_Py_IsFinalizing()) {
            object_->Release();
            return;
        }
        py::gil_scoped_release free;
        std::lock_guard lock(mutex_);
        object_->Release();
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    py::object Call(std::size_t index, const py::tuple& args) {
        const auto table = InterfaceTable();
        if (index >= table.size())
            throw py::index_error("no interface member " + std::to_string(index));
        const InterfaceMember& m = table[index];
        CallFrame frame(m);
        std::string error;
        if (!frame.Load(args, error))
            RaiseText("argument_error", Title(m), error);

        // Simple property getters neither store a code nor may see the marker.
        const bool tracksCode = !(m.kind == MemberKind::Get && m.args.empty());
        Variant result;
        Failure failure;
        UINT argErr = 0;
        {
            py::gil_scoped_release free;
            std::lock_guard lock(mutex_);
            const std::int32_t before = object_->errorCode;
            if (tracksCode)
                object_->errorCode = kNoCode;
            failure.hr = frame.Run(*object_, &result, argErr);
            if (object_->errorCode == kNoCode)
                object_->errorCode = before;
            else if (tracksCode)
                failure.code = object_->errorCode;
            // A success-class status above S_FALSE is an error code (the
            // time-out of ReadPushData).
            if (!failure.code && failure.hr > S_FALSE)
                failure.code = static_cast<std::int32_t>(failure.hr);
            if ((FAILED(failure.hr) || failure.hr > S_FALSE) && failure.code) {
                failure.deviceStatus = object_->deviceStatus;
                failure.message =
                    MessageText(*object_, *failure.code == KE_DEVICE
                                              ? object_->deviceStatus
                                              : static_cast<std::uint32_t>(*failure.code));
            }
        }
        // The table's conversion of a 64-bit number to the argument's type.
        if ((failure.hr == DISP_E_OVERFLOW || failure.hr == DISP_E_TYPEMISMATCH) &&
            argErr < args.size())
            RaiseText("argument_error", Title(m),
                      "argument " + std::to_string(argErr + 1) + ": " +
                          py::repr(args[argErr]).cast<std::string>() +
                          (failure.hr == DISP_E_OVERFLOW ? " is out of range for "
                                                         : " does not convert to ") +
                          tool::TypeName(m.args[argErr]));
        if (FAILED(failure.hr) || failure.hr > S_FALSE)
            Raise(Title(m), failure);
        py::object out;
        if (!frame.Results(result, out, error))
            RaiseText("result_error", Title(m), error);
        return out;
    }

private:
    std::mutex mutex_;
    CKelvo* object_;
};

// Device::Call as a builtin function bound to one device, past pybind11's
// argument dispatch (which looks the Device type up on every call): the hot
// path of every operation. The capsule holds the device's Python object.
constexpr char kCapsuleName[] = "kelvo._kelvo.Device";

PyObject* BoundCall(PyObject* capsule, PyObject* const* args, Py_ssize_t count) {
    auto* device = static_cast<Device*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (!device)
        return nullptr;
    if (count != 2 || !PyLong_Check(args[0]) || !PyTuple_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "call(index, args): an int and a tuple expected");
        return nullptr;
    }
    const std::size_t index = PyLong_AsSize_t(args[0]);
    if (index == static_cast<std::size_t>(-1) && PyErr_Occurred())
        return nullptr;
    try {
        return device->Call(index, py::reinterpret_borrow<py::tuple>(args[1])).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyMethodDef kBoundCall = {
    "call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(BoundCall)), METH_FASTCALL,
    "call(index, args): member `index` of members() with a tuple of values."};

py::object MakeBoundCall(py::object self) {
    Device& device = self.cast<Device&>();
    PyObject* capsule = PyCapsule_New(&device, kCapsuleName, [](PyObject* c) {
        Py_XDECREF(static_cast<PyObject*>(PyCapsule_GetContext(c)));
    });
    if (!capsule || PyCapsule_SetContext(capsule, self.inc_ref().ptr()) != 0)
        throw py::error_already_set();
    PyObject* function = PyCFunction_New(&kBoundCall, capsule);
    Py_DECREF(capsule);
    if (!function)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(function);
}

// Every row of the interface table: (name, kind, dispatch id, interface,
// argument types, result type, buffers as (buffer, length, filled)).
py::list Members() {
    py::list rows;
    for (const InterfaceMember& m : InterfaceTable()) {
        const char* kind = m.kind == MemberKind::Get   ? "get"
                           : m.kind == MemberKind::Put ? "put"
                                                       : "method";
        py::list buffers;
        for (const BufferArgument& b : m.buffers)
            buffers.append(py::make_tuple(b.buffer, b.length, b.filled));
        rows.append(py::make_tuple(
            Utf16ToUtf8(m.name), kind, static_cast<std::uint32_t>(m.id), m.interfaceName,
            py::tuple(py::cast(std::vector<int>(m.args.begin(), m.args.end()))),
            static_cast<int>(m.result), py::tuple(buffers)));
    }
    return rows;
}

// The UDP scan with each answer's sender and typed items: a list of (sender,
// [(type, text), ...]); None when the scan could not send or listen.
py::object Scan(const std::string& source, std::int32_t seconds) {
    std::vector<std::pair<std::uint32_t, std::vector<discovery::ScanItem>>> answers;
    bool ok = false;
    {
        py::gil_scoped_release free;
        discovery::ScanRoute route;
        route.received = [&answers](std::span<const std::uint8_t> datagram, std::uint32_t sender) {
            std::vector<discovery::ScanItem> items;
            if (discovery::ScanAnswerItems(datagram, items))
                answers.emplace_back(sender, std::move(items));
        };
        std::string text;
        ok = discovery::ScanUdp(source, seconds, text, route);
    }
    if (!ok)
        return py::none();
    py::list out;
    for (const auto& [sender, items] : answers) {
        py::list typed;
        for (const discovery::ScanItem& item : items)
            typed.append(py::make_tuple(item.type, Utf16ToUtf8(FromAnsi(item.text))));
        const std::string address =
            std::to_string(sender >> 24) + "." + std::to_string(sender >> 16 & 0xFF) + "." +
            std::to_string(sender >> 8 & 0xFF) + "." + std::to_string(sender & 0xFF);
        out.append(py::make_tuple(address, typed));
    }
    return out;
}

} // namespace
} // namespace kelvo::python

PYBIND11_MODULE(_kelvo, module) {
    using namespace kelvo::python;
    module.doc() = "Native part of the kelvo package: the Kelvo object and its interface table.";
    for (const kelvo::InterfaceMember& m : kelvo::InterfaceTable()) {
        if (m.args.size() > kMaxArgs)
            throw py::import_error(kelvo::Utf16ToUtf8(m.name) + " takes more than " +
                                   std::to_string(kMaxArgs) + " arguments: raise kMaxArgs");
    }
    kelvo::RegisterPortwayClass();

    py::class_<Device>(module, "Device", "One Kelvo object: one connection to one device.")
        .def(py::init<>())
        .def("call", &Device::Call, py::arg("index"), py::arg("args"),
             "Calls member `index` of members() with a tuple of Python values.")
        .def("bound_call", &MakeBoundCall,
             "call() of this device as a builtin function (the faster way in).");
    module.def("members", &Members, "The rows of the interface table, in interface order.");
    module.def(
        "type_name", [](int vt) { return PythonTypeName(static_cast<VARTYPE>(vt)); }, py::arg("vt"),
        "The Python type that stands for an automation type.");
    module.def("scan", &Scan, py::arg("source"), py::arg("seconds"),
               "UDP scan from source: [(sender, [(type, text), ...])], None on failure.");
    module.def(
        "ping_json", [](const std::string& text) { return kelvo::tool::PingJson(text); },
        py::arg("text"), "The text Ping gives as JSON; \"null\" when it has another form.");
}
