// Reading the HEX file line by line, as both passes do.
#pragma once

#include "capi/objects.hpp"
#include "formats/hex_record.hpp"
#include "module/namespace.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace rowmint {

// Calls visit(line, number) for each line of the open HEX file, numbered
// from 1. The line is a std::string_view of ASCII text, or the str (or other
// object) the file gave.
template <class Visit>
void for_each_line(PyObject* file, Visit&& visit);

namespace detail {

// Adds "HEX line N" to the notes of the exception in flight, unless its
// message names the line already, so that a codec error says where it was.
void note_hex_line(long number) noexcept;

// The interpreter's own file is closed when reading it failed, rather than
// left for the collector (which warns about it); a caller's file object is
// left as it is.
void close_quietly_after_error(PyObject* file) noexcept;

template <class Visit, class Line>
void visit_line(Visit& visit, Line line, long number)
{
    try {
        visit(line, number);
    } catch (const PythonError&) {
        note_hex_line(number);
        throw;
    }
}

// Lines of text that contains non-ASCII characters, as str objects.
template <class Visit>
void visit_str_lines(PyObject* text, long& number, Visit&& visit)
{
    Ref line_end = make_str("\n");
    Ref pieces = check(PyUnicode_Split(text, line_end.get(), -1));
    Py_ssize_t count = PyList_Size(pieces.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* piece = PyList_GetItem(pieces.get(), i);  // borrowed
        if (i == count - 1 && PyUnicode_GetLength(piece) == 0) {
            break;
        }
        ++number;
        visit_line(visit, piece, number);
    }
}

// The interpreter's own text file, opened with universal newlines: read in
// chunks and split at "\n", its lines are exactly those its iteration
// yields, without a Python object per line.
template <class Visit>
void visit_text_file_lines(PyObject* file, Visit&& visit)
{
    constexpr long chunk_size = 1 << 16;
    Ref size = make_int(chunk_size);
    std::string pending;  // the start of a line that runs on into the next chunk
    long number = 0;
    for (;;) {
        Ref chunk = call_method(file, "read", size.get());
        Ref holder;
        std::optional<std::string_view> text = exact_ascii_view(chunk.get(), holder);
        if (!text) {
            // From the first non-ASCII character on, the lines are str objects.
            Ref rest = call_method(file, "read");
            Ref head = make_str(pending);
            Ref all = add(head.get(), chunk.get());
            all = add(all.get(), rest.get());
            visit_str_lines(all.get(), number, visit);
            return;
        }
        if (text->empty()) {
            break;
        }
        std::string_view rest = *text;
        size_t end = rest.find('\n');
        if (!pending.empty() && end != std::string_view::npos) {
            pending.append(rest.substr(0, end + 1));
            ++number;
            visit_line(visit, std::string_view(pending), number);
            pending.clear();
            rest.remove_prefix(end + 1);
            end = rest.find('\n');
        }
        for (; end != std::string_view::npos; end = rest.find('\n')) {
            ++number;
            visit_line(visit, rest.substr(0, end + 1), number);
            rest.remove_prefix(end + 1);
        }
        pending.append(rest);
    }
    if (!pending.empty()) {
        ++number;
        visit_line(visit, std::string_view(pending), number);
    }
}

}  // namespace detail

template <class Visit>
void for_each_line(PyObject* file, Visit&& visit)
{
    if (captured_builtins().open_is_standard) {
        detail::visit_text_file_lines(file, visit);
        return;
    }
    Ref lines = check(PyObject_GetIter(file));
    long number = 0;
    while (PyObject* next = PyIter_Next(lines.get())) {
        Ref line = Ref::steal(next);
        ++number;
        detail::visit_line(visit, line.get(), number);
    }
    if (PyErr_Occurred()) {
        throw PythonError{};
    }
}

// Every record of the open HEX file in turn, then the file's close().
template <class Take>
void for_each_record(PyObject* file, const HexDecoder& decoder, Take&& take)
{
    HexRecord record;
    try {
        for_each_line(file, [&](auto line, long number) {
            read_record(line, number, decoder, record);
            take(static_cast<const HexRecord&>(record));
        });
    } catch (const PythonError&) {
        detail::close_quietly_after_error(file);
        throw;
    }
    call_method(file, "close");
}

}  // namespace rowmint
