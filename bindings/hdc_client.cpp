#include "hdc_client.hpp"

#include <array>
#include <string>

#include "arg_parser.hpp"
#include "argument.hpp"
#include "client_error.hpp"
#include "fault.hpp"
#include "fault_boundary.hpp"
#include "method_table.hpp"
#include "output_memory.hpp"
#include "py_ref.hpp"

namespace kelpie::py {
namespace {

static_assert(alignof(BlockingClient) <= alignof(std::max_align_t), "the interpreter's allocation must suit the client");

constexpr const char* kClassName = "HdcClient";
constexpr const char* kSignature = "(addr)";
constexpr const char* kDocstring = "Python wrapper for HDC client";

PyResult<BlockingClient> connect_client(PyObject* args, PyObject* kwargs) {
    static constexpr auto params = signature("__new__", 1, "addr");
    std::array<PyObject*, 1> slots{};
    if (auto parsed = parse_tuple_arguments(params.description(), args, kwargs, slots); !parsed)
        return std::unexpected(parsed.error());
    auto addr = convert_argument<std::string>(slots[0], params.parameters[0]);
    if (!addr) return std::unexpected(addr.error());
    auto client = BlockingClient::connect(*addr);
    if (!client) return raise_client_error(client.error());
    return std::move(*client);
}

// The connection comes first: an object exists only for a connected client.
PyObject* hdc_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return entry_point([&]() -> PyResult<PyRef> {
        auto client = connect_client(args, kwargs);
        if (!client) return std::unexpected(client.error());
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = (alloc ? alloc : PyType_GenericAlloc)(type, 0);
        if (!self) return pending();  // `client` is released on the way out
        auto* object = reinterpret_cast<HdcClientObject*>(self);
        new (object->client_storage) BlockingClient(std::move(*client));
        object->client().async_client().set_text_memory(output_memory());
        new (object->names_storage) TargetNames();
        new (&object->borrow_flag) std::atomic<std::int32_t>(0);
        return PyRef::steal(self);
    });
}

void hdc_client_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = reinterpret_cast<HdcClientObject*>(self);
    // The runtime shuts down (joining its resolver threads) before the
    // connection closes; nothing is sent to the server.
    if (!dealloc_boundary([&] {
            object->names().~TargetNames();
            object->client().~BlockingClient();
        }))
        return;
    auto release_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    release_memory(self);
    // Instances of a heap type hold a reference to it, taken by the allocation.
    Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyResult<PyTypeObject*> create_type() {
    static const std::string doc = std::string(kClassName) + kSignature + "\n--\n\n" + kDocstring;
    static std::array slots{
        PyType_Slot{Py_tp_new, reinterpret_cast<void*>(hdc_client_new)},
        PyType_Slot{Py_tp_dealloc, reinterpret_cast<void*>(hdc_client_dealloc)},
        PyType_Slot{Py_tp_doc, const_cast<char*>(doc.c_str())},
        PyType_Slot{Py_tp_methods, hdc_client_methods()},
        PyType_Slot{0, nullptr},
    };
    static const std::string name = std::string("builtins.") + kClassName;
    // Flags 0: no subclassing, no garbage-collector support, no instance dictionary.
    static PyType_Spec spec{name.c_str(), static_cast<int>(sizeof(HdcClientObject)), 0, 0, slots.data()};
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) return pending();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyResult<PyTypeObject*> hdc_client_type() {
    static PyTypeObject* type = nullptr;
    if (!type) {
        auto created = create_type();
        if (!created) return created;
        type = *created;
    }
    return type;
}

PyTypeObject* require_hdc_client_type() {
    auto type = hdc_client_type();
    if (type) return *type;
    if (PyErr_Occurred()) PyErr_Print();
    throw InternalFault("failed to create type object for HdcClient");
}

}  // namespace kelpie::py
