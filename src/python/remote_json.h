// Conversions between JSON values and Python objects for the remote
// classes. Both go through Python's own json module, so Python sees exactly
// what json.loads makes of the text and the service gets what json.dumps
// writes. Call with the GIL held.
#pragma once

#include "core/json/json.h"
#include "python/pyutil.h"

namespace quor::py {

// json.loads of the compact text of `value`: dict, list, str, int, float,
// bool or None. nullptr with the Python exception set on failure.
PyObject* json_to_python(const json::Value& value);

// json.dumps(obj) with default arguments, parsed back. An exception from
// dumps propagates; text the parser refuses (NaN, Infinity) raises
// ValueError with the parser's message. Returns false with an exception set.
bool python_to_json(Borrowed obj, json::Value* out);

}  // namespace quor::py
