#pragma once

#include "convert/conversion_state.hpp"

namespace rowmint {

// list_cyacd[position] = replace(start, lenth, list_cyacd[position],
// source[from:to]), with `replace` looked up in the module at this moment:
// the module's own is done in C++, a caller's substitute is called and its
// result kept.
void splice_row(ConversionState& state, int position, long long start, long long lenth, const Text& source,
                Py_ssize_t from, std::optional<Py_ssize_t> to);

}  // namespace rowmint
