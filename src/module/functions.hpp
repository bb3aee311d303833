// The two function objects the module body binds: `replace` and `main`.
#pragma once

#include "capi/ref.hpp"

namespace rowmint {

Ref make_replace_function(PyObject* module);
Ref make_main_function(PyObject* module);

}  // namespace rowmint
