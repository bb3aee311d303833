#include "convert/conversion_state.hpp"

#include "module/namespace.hpp"

namespace rowmint {

Ref ConversionState::global(const Name& name) const { return lookup_global(module, name); }

std::optional<int> ConversionState::getrow(int row) const
{
    if (row < 0 || row >= flash_rows || position_of_row[static_cast<size_t>(row)] == 0) {
        return std::nullopt;
    }
    return position_of_row[static_cast<size_t>(row)];
}

}  // namespace rowmint
