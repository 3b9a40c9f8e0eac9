// The remote scheduling service's Python classes: Client (creates and
// inspects timers on the service) and Worker (executes the runs it hands
// out), both speaking JSON over HTTP/1.1 through http_transport.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quor::py {

// Adds Client, then Worker, to `module`, appending each name to the
// module's __all__. Returns 0, or -1 with a Python exception set.
int add_remote_types(PyObject* module);

}  // namespace quor::py
