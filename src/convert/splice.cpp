#include "convert/splice.hpp"

#include "module/namespace.hpp"
#include "module/replace.hpp"

namespace rowmint {

void splice_row(ConversionState& state, int position, long long start, long long lenth, const Text& source,
                Py_ssize_t from, std::optional<Py_ssize_t> to)
{
    Ref replace = state.global(global_names::replace);
    RowLine& line = state.row_line_at(position);
    if (replace.get() == module_replace_function()) {
        if (line.text.is_native() && source.is_native()) {
            replace_native(start, lenth, line.text.native(), source.native_slice(from, to));
        } else {
            replace_text(start, lenth, line.text, source.slice(from, to));
        }
        return;
    }
    Text piece = source.slice(from, to);
    Ref start_object = make_int(start);
    Ref lenth_object = make_int(lenth);
    Ref text = line.text.object();
    Ref repstr = piece.object();
    line.text = Text::adopt(call(replace.get(), start_object.get(), lenth_object.get(), text.get(), repstr.get()));
}

}  // namespace rowmint
