// Reading the HEX file line by line, as both passes do.
#pragma once

#include "capi/objects.hpp"
#include "formats/hex_record.hpp"
#include "module/namespace.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace rowmint {
namespace detail {

// Adds "HEX line N" to the notes of the exception in flight, unless its
// message names the line already, so that a codec error says where it was.
void note_hex_line(long number) noexcept;

// The interpreter's own file is closed when reading it failed, rather than
// left for the collector (which warns about it); a caller's file object is
// left as it is.
void close_quietly_after_error(PyObject* file) noexcept;

template <class Visit, class Line>
void visit_line(Visit& visit, Line line, long& number)
{
    ++number;
    try {
        visit(line, number);
    } catch (const PythonError&) {
        note_hex_line(number);
        throw;
    }
}

// What a text file's own line iteration does, chunk for chunk: it reads
// _CHUNK_SIZE bytes at a time from its buffer and decodes them with its
// encoding's incremental decoder behind a newline decoder (universal
// newlines), handing out each line once its "\n" has been decoded. Doing the
// same here yields the same lines, and a decoding error after the same
// lines, without a Python object per line.
class TextFileChunks {
public:
    explicit TextFileChunks(PyObject* file);
    // The next piece of decoded text; nothing once the file is exhausted.
    std::optional<Ref> next();

private:
    Ref read_;
    Ref chunk_size_;
    Ref decode_;
    bool exhausted_ = false;
};

// The start of a line that runs on into the next chunk: ASCII text, or a str
// once non-ASCII characters are part of it.
struct PendingLine {
    std::string ascii;
    Ref object;
    bool empty() const { return !object && ascii.empty(); }
};

template <class Visit>
void split_ascii_chunk(std::string_view text, PendingLine& pending, long& number, Visit& visit)
{
    size_t end = text.find('\n');
    if (!pending.ascii.empty() && end != std::string_view::npos) {
        pending.ascii.append(text.substr(0, end + 1));
        visit_line(visit, std::string_view(pending.ascii), number);
        pending.ascii.clear();
        text.remove_prefix(end + 1);
        end = text.find('\n');
    }
    for (; end != std::string_view::npos; end = text.find('\n')) {
        visit_line(visit, text.substr(0, end + 1), number);
        text.remove_prefix(end + 1);
    }
    pending.ascii.append(text);
}

// Text with non-ASCII characters: the same lines, as str objects.
template <class Visit>
void split_str_chunk(PyObject* text, PendingLine& pending, long& number, Visit& visit)
{
    Ref head = pending.object ? pending.object : make_str(pending.ascii);
    Ref all = add(head.get(), text);
    Ref line_end = make_str("\n");
    Ref pieces = check(PyUnicode_Split(all.get(), line_end.get(), -1));
    Py_ssize_t count = PyList_Size(pieces.get());
    for (Py_ssize_t i = 0; i + 1 < count; ++i) {
        visit_line(visit, PyList_GetItem(pieces.get(), i), number);  // borrowed
    }
    PendingLine rest;
    Ref last = Ref::borrow(PyList_GetItem(pieces.get(), count - 1));
    if (!exact_ascii_into(last.get(), rest.ascii)) {
        rest.ascii.clear();
        rest.object = last;
    }
    pending = std::move(rest);
}

template <class Visit>
void visit_text_file_lines(PyObject* file, Visit& visit)
{
    TextFileChunks chunks(file);
    PendingLine pending;
    long number = 0;
    while (std::optional<Ref> text = chunks.next()) {
        Ref holder;
        std::optional<std::string_view> ascii;
        if (!pending.object) {
            ascii = exact_ascii_view(text->get(), holder);
        }
        if (ascii) {
            split_ascii_chunk(*ascii, pending, number, visit);
        } else {
            split_str_chunk(text->get(), pending, number, visit);
        }
    }
    if (pending.object) {
        visit_line(visit, pending.object.get(), number);
    } else if (!pending.ascii.empty()) {
        visit_line(visit, std::string_view(pending.ascii), number);
    }
}

// A caller's file object: its own iteration, one line at a time.
template <class Visit>
void visit_iterated_lines(PyObject* file, Visit& visit)
{
    Ref lines = check(PyObject_GetIter(file));
    long number = 0;
    while (PyObject* next = PyIter_Next(lines.get())) {
        Ref line = Ref::steal(next);
        visit_line(visit, line.get(), number);
    }
    if (PyErr_Occurred()) {
        throw PythonError{};
    }
}

}  // namespace detail

// Calls visit(line, number) for each line of the open HEX file, numbered
// from 1. The line is a std::string_view of ASCII text, or the str (or other
// object) the file gave.
template <class Visit>
void for_each_line(PyObject* file, Visit&& visit)
{
    if (captured_builtins().open_is_standard) {
        detail::visit_text_file_lines(file, visit);
    } else {
        detail::visit_iterated_lines(file, visit);
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
