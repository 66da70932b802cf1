// The twelve HdcClient methods: each names its parameters and hands the
// converted values to the blocking operation of the same name.
#include "methods.hpp"

#include "method_call.hpp"

namespace kelpie::py {

namespace {

FileTransferOptions transfer_options(bool compress, bool hold_timestamp, bool sync_mode, bool mode_sync) {
    FileTransferOptions o;
    o.compress = compress;
    o.hold_timestamp = hold_timestamp;
    o.sync_mode = sync_mode;
    o.mode_sync = mode_sync;
    return o;  // b_flag has no parameter: always off from Python
}

}  // namespace

PyObject* list_targets(PyObject* self, PyObject*) {
    return entry_point([&]() -> PyResult<PyRef> {
        auto borrow = borrow_receiver(self);
        if (!borrow) return std::unexpected(borrow.error());
        auto targets = borrow->client().list_targets();
        if (!targets) return raise_client_error(targets.error());
        return borrow->names().to_list(*targets);
    });
}

PyObject* connect_device(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr auto params = signature("connect_device", 1, "device_id");
    return call_method(self, params, args, nargsf, kwnames,
                       [](BlockingClient& c, std::string device_id) { return c.connect_device(device_id); });
}

PyObject* shell(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr auto params = signature("shell", 1, "command");
    return call_method(self, params, args, nargsf, kwnames,
                       [](BlockingClient& c, std::string command) { return c.shell(command); });
}

PyObject* file_send(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr auto params = signature("file_send", 2, "local_path", "remote_path", "compress",
                                             "hold_timestamp", "sync_mode", "mode_sync");
    return call_method(self, params, args, nargsf, kwnames,
                       [](BlockingClient& c, std::string local_path, std::string remote_path, bool compress,
                          bool hold_timestamp, bool sync_mode, bool mode_sync) {
                           return c.file_send(local_path, remote_path,
                                              transfer_options(compress, hold_timestamp, sync_mode, mode_sync));
                       });
}

PyObject* file_recv(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr auto params = signature("file_recv", 2, "remote_path", "local_path", "compress",
                                             "hold_timestamp", "sync_mode", "mode_sync");
    return call_method(self, params, args, nargsf, kwnames,
                       [](BlockingClient& c, std::string remote_path, std::string local_path, bool compress,
                          bool hold_timestamp, bool sync_mode, bool mode_sync) {
                           return c.file_recv(remote_path, local_path,
                                              transfer_options(compress, hold_timestamp, sync_mode, mode_sync));
                       });
}

PyObject* fport(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr auto params = signature("fport", 2, "local", "remote");
    return call_method(self, params, args, nargsf, kwnames,
                       [](BlockingClient& c, std::string local, std::string remote) { return c.fport(local, remote); });
}

PyObject* rport(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr auto params = signature("rport", 2, "remote", "local");
    return call_method(self, params, args, nargsf, kwnames,
                       [](BlockingClient& c, std::string remote, std::string local) { return c.rport(remote, local); });
}

PyObject* fport_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr auto params = signature("fport_remove", 1, "task_str");
    return call_method(self, params, args, nargsf, kwnames,
                       [](BlockingClient& c, std::string task_str) { return c.fport_remove(task_str); });
}

PyObject* install(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr auto params = signature("install", 1, "packages", "replace", "shared");
    return call_method(self, params, args, nargsf, kwnames,
                       [](BlockingClient& c, std::vector<std::string> packages, bool replace, bool shared) {
                           return c.install(packages, replace, shared);
                       });
}

PyObject* uninstall(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr auto params = signature("uninstall", 1, "package", "keep_data", "shared");
    return call_method(self, params, args, nargsf, kwnames,
                       [](BlockingClient& c, std::string package, bool keep_data, bool shared) {
                           return c.uninstall(package, keep_data, shared);
                       });
}

PyObject* hilog(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static constexpr auto params = signature("hilog", 1, "args");
    return call_method(self, params, args, nargsf, kwnames, [](BlockingClient& c, std::optional<std::string> args) {
        return args ? c.hilog(std::string_view(*args)) : c.hilog(std::nullopt);
    });
}

PyObject* wait_for_device(PyObject* self, PyObject*) {
    return call_method(self, [](BlockingClient& c) { return c.wait_for_device(); });
}

}  // namespace kelpie::py
