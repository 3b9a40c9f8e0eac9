#include "python/remote.h"

#include "python/http_transport.h"
#include "python/remote_types.h"

namespace quor::py {
namespace remote_detail {

bool request(const std::string& server, const std::string& token, std::string_view method,
             const std::string& path, const json::Value& body, json::Value* out) {
  auto r = remote::http_json_request(server, token, method, path, body, kRequestTimeout);
  if (!r.ok()) {
    raise_runtime_error(r.error());
    return false;
  }
  *out = std::move(r).value();
  return true;
}

bool optional_str_arg(Borrowed obj, const char* param, json::Value* out) {
  if (obj == nullptr || obj == Py_None) {
    *out = json::Value();
    return true;
  }
  std::string s;
  if (!str_arg(obj, param, &s)) return false;
  *out = json::Value(std::move(s));
  return true;
}

}  // namespace remote_detail

namespace {

int add_to_all(PyObject* module, const char* name, PyObject* obj) {
  // PyModule_AddObjectRef does not steal; the caller keeps its reference.
  if (PyModule_AddObjectRef(module, name, obj) < 0) return -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    PyRef fresh = PyRef::steal(PyList_New(0));
    if (!fresh || PyModule_AddObjectRef(module, "__all__", fresh.get()) < 0) return -1;
    all = fresh.new_ref();
  }
  PyRef list = PyRef::steal(all);
  PyRef str = PyRef::steal(PyUnicode_FromString(name));
  if (!str) return -1;
  return PyList_Append(list.get(), str.get());
}

}  // namespace

int add_remote_types(PyObject* module) {
  PyRef client = PyRef::steal(remote_detail::create_client_type());
  if (!client || add_to_all(module, "Client", client.get()) < 0) return -1;
  PyRef worker = PyRef::steal(remote_detail::create_worker_type());
  if (!worker || add_to_all(module, "Worker", worker.get()) < 0) return -1;
  return 0;
}

}  // namespace quor::py
