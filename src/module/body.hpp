#pragma once

#include "capi/ref.hpp"

namespace rowmint {

// The module body, statement by statement; -1 with an exception set on failure.
int run_module_body(PyObject* module) noexcept;

}  // namespace rowmint
