#include "convert/splice.hpp"

#include "module/namespace.hpp"
#include "module/replace.hpp"

namespace rowmint {

void splice_row(ConversionState& state, int position, long long start, long long lenth, const Text& piece)
{
    Ref replace = state.global("replace");
    RowLine& line = state.row_line_at(position);
    if (replace.get() == module_replace_function()) {
        replace_text(start, lenth, line.text, piece);
        return;
    }
    Ref start_object = make_int(start);
    Ref lenth_object = make_int(lenth);
    Ref text = line.text.object();
    Ref repstr = piece.object();
    line.text = Text::adopt(call(replace.get(), start_object.get(), lenth_object.get(), text.get(), repstr.get()));
}

}  // namespace rowmint
