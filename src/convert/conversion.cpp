#include "convert/conversion.hpp"

#include "capi/namespace.hpp"
#include "capi/objects.hpp"

namespace rowmint {

void run_conversion(PyObject* module)
{
    ConversionState state(module);
    open_hex_file(state);
    read_hex_file_once(state);
    build_row_table(state);
    place_data(state);
    add_checksums_and_metadata(state);
    write_row_file(state);
}

Ref ConversionState::global(const Name& name) const { return lookup_global(module, name); }

std::optional<int> ConversionState::getrow(int row) const
{
    if (row < 0 || row >= flash_rows || position_of_row[static_cast<size_t>(row)] == 0) {
        return std::nullopt;
    }
    return position_of_row[static_cast<size_t>(row)];
}

bool ConversionState::replace_in_row(int position, long long start, long long lenth, const Text& source,
                                     Py_ssize_t from, std::optional<Py_ssize_t> to)
{
    Ref replace = global(global_names::replace);
    RowLine& line = row_line_at(position);
    if (replace.get() == module_replace_function()) {
        line.text.splice(start, lenth, source, from, to);
        return false;
    }
    Text piece = source.slice(from, to);
    Ref start_object = make_int(start);
    Ref lenth_object = make_int(lenth);
    Ref text = line.text.object();
    Ref repstr = piece.object();
    line.text = Text::adopt(call(replace.get(), start_object.get(), lenth_object.get(), text.get(), repstr.get()));
    return true;
}

}  // namespace rowmint
