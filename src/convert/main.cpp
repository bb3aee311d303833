#include "convert/main.hpp"

#include "convert/conversion_state.hpp"
#include "convert/steps.hpp"

namespace rowmint {

// The five steps run strictly in order, each leaving its results in the
// state for the next; an exception ends the conversion before anything is
// written.
void run_conversion(PyObject* module)
{
    ConversionState state(module);
    open_hex_file(state);
    build_row_table(state);
    place_data(state);
    add_checksums_and_metadata(state);
    write_row_file(state);
}

}  // namespace rowmint
