#include "python/remote_json.h"

#include <string>

namespace quor::py {

PyObject* json_to_python(const json::Value& value) {
  const std::string text = json::to_compact(value);
  PyRef mod = PyRef::steal(PyImport_ImportModule("json"));
  if (!mod) return nullptr;
  PyRef loads = PyRef::steal(PyObject_GetAttrString(mod.get(), "loads"));
  if (!loads) return nullptr;
  PyRef arg = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!arg) return nullptr;
  return PyObject_CallOneArg(loads.get(), arg.get());
}

bool python_to_json(Borrowed obj, json::Value* out) {
  PyRef mod = PyRef::steal(PyImport_ImportModule("json"));
  if (!mod) return false;
  PyRef dumps = PyRef::steal(PyObject_GetAttrString(mod.get(), "dumps"));
  if (!dumps) return false;
  PyRef text = PyRef::steal(PyObject_CallOneArg(dumps.get(), obj));
  if (!text) return false;
  std::string utf8;
  switch (to_utf8(text.get(), &utf8)) {
    case StrConv::kOk:
      break;
    case StrConv::kWrongType:
      raise_type_error("json.dumps returned " + type_name(text.get()) + ", not str");
      return false;
    case StrConv::kError:
      return false;
  }
  auto parsed = json::parse(utf8);
  if (!parsed.ok()) {
    raise_value_error(parsed.error().message);
    return false;
  }
  *out = std::move(parsed).value();
  return true;
}

}  // namespace quor::py
