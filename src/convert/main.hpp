#pragma once

#include "capi/ref.hpp"

namespace rowmint {

// One whole conversion, ELF to row file, with the paths from sys.argv.
void run_conversion(PyObject* module);

}  // namespace rowmint
