#include "formats/hex_lines.hpp"

#include "capi/namespace.hpp"
#include "capi/objects.hpp"
#include "formats/hex_record.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace rowmint {
namespace {

// Called while the error in flight is held aside; a failure here (str() of
// the error raising, say) is cleared before anything else is called.
bool message_names_a_line(PyObject* error)
{
    Ref text = Ref::steal(PyObject_Str(error));
    Ref prefix = text ? Ref::steal(PyUnicode_FromString("HEX line ")) : Ref();
    if (!prefix) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Tailmatch(text.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1) == 1;
}

// BaseException.add_note where the interpreter has it (3.11 on), else the
// __notes__ list that it would fill.
void add_note(PyObject* error, PyObject* note)
{
    Ref add_note = Ref::steal(PyObject_GetAttrString(error, "add_note"));
    if (add_note) {
        Ref done = Ref::steal(PyObject_CallFunctionObjArgs(add_note.get(), note, nullptr));
        return;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return;
    }
    PyErr_Clear();
    Ref notes = Ref::steal(PyObject_GetAttrString(error, "__notes__"));
    if (!notes) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return;
        }
        PyErr_Clear();
        notes = Ref::steal(PyList_New(0));
        if (!notes || PyObject_SetAttrString(error, "__notes__", notes.get()) < 0) {
            return;
        }
    }
    if (PyList_Check(notes.get())) {
        PyList_Append(notes.get(), note);
    }
}

// Adds "HEX line N" to the notes of the exception in flight, unless its
// message names the line already, so that a codec error says where it was.
// Whatever goes wrong while noting, the original error is the one reported.
void note_hex_line(Py_ssize_t number) noexcept
{
    PendingError pending;
    PyObject* error = pending.value();
    if (error == nullptr || message_names_a_line(error)) {
        return;
    }
    Ref note = Ref::steal(PyUnicode_FromFormat("HEX line %zd", number));
    if (note) {
        add_note(error, note.get());
    }
}

// Turns each line into a record for `take`, counting lines from 1.
class RecordSink {
public:
    RecordSink(const HexDecoder& decoder, const std::function<bool(const HexRecord&)>& take)
        : decoder_(decoder), take_(take)
    {
    }

    // False once `take` wants no more lines.
    template <class Line>
    bool line(Line text)
    {
        ++number_;
        try {
            read_record(text, number_, decoder_, record_);
            return take_(record_);
        } catch (const PythonError&) {
            note_hex_line(number_);
            throw;
        }
    }

private:
    const HexDecoder& decoder_;
    const std::function<bool(const HexRecord&)>& take_;
    HexRecord record_;  // its buffers serve every line
    Py_ssize_t number_ = 0;
};

// What a text file's own line iteration does, chunk for chunk: it reads
// _CHUNK_SIZE bytes at a time from its buffer and decodes them with its
// encoding's incremental decoder behind a newline decoder (universal
// newlines), handing out each line once its "\n" has been decoded. Doing the
// same here yields the same lines, and a decoding error after the same
// lines, without a Python object per line.
class TextFileChunks {
public:
    // Nothing when the file lacks what this needs (the private _CHUNK_SIZE
    // above all): its own iteration is used then.
    static std::optional<TextFileChunks> of(PyObject* file);

    // The next piece of decoded text; nothing once the file is exhausted.
    std::optional<Ref> next();

private:
    Ref read_;
    Ref chunk_size_;
    Ref decode_;
    bool exhausted_ = false;
};

std::optional<TextFileChunks> TextFileChunks::of(PyObject* file)
{
    std::optional<Ref> chunk_size = optional_attr(file, "_CHUNK_SIZE");
    std::optional<Ref> buffer = chunk_size ? optional_attr(file, "buffer") : std::nullopt;
    if (!buffer) {
        return std::nullopt;
    }
    TextFileChunks chunks;
    chunks.chunk_size_ = std::move(*chunk_size);
    // read1 where the buffer has it, as the file's own reads do.
    std::optional<Ref> read1 = optional_attr(buffer->get(), "read1");
    chunks.read_ = read1 ? std::move(*read1) : getattr(buffer->get(), "read");
    Ref encoding = getattr(file, "encoding");
    Ref errors = getattr(file, "errors");
    Ref codecs = check(PyImport_ImportModule("codecs"));
    Ref incremental_decoder = call_method(codecs.get(), "getincrementaldecoder", encoding.get());
    Ref decoder = call(incremental_decoder.get(), errors.get());
    Ref io = check(PyImport_ImportModule("io"));
    Ref newline_decoder_type = getattr(io.get(), "IncrementalNewlineDecoder");
    Ref newline_decoder = call(newline_decoder_type.get(), decoder.get(), Py_True);
    chunks.decode_ = getattr(newline_decoder.get(), "decode");
    return chunks;
}

std::optional<Ref> TextFileChunks::next()
{
    if (exhausted_) {
        return std::nullopt;
    }
    Ref raw = call(read_.get(), chunk_size_.get());
    Py_ssize_t size = PyObject_Size(raw.get());
    if (size < 0) {
        throw PythonError{};
    }
    // The empty read at the end decodes with final=True, which is where an
    // unfinished character at the end of the file fails.
    exhausted_ = size == 0;
    return call(decode_.get(), raw.get(), exhausted_ ? Py_True : Py_False);
}

// The start of a line that runs on into the next chunk: ASCII text, or a str
// once non-ASCII characters are part of it.
struct PendingLine {
    std::string ascii;
    Ref object;
};

bool split_ascii_chunk(std::string_view text, PendingLine& pending, RecordSink& sink)
{
    size_t end = text.find('\n');
    if (!pending.ascii.empty() && end != std::string_view::npos) {
        pending.ascii.append(text.substr(0, end + 1));
        if (!sink.line(std::string_view(pending.ascii))) {
            return false;
        }
        pending.ascii.clear();
        text.remove_prefix(end + 1);
        end = text.find('\n');
    }
    for (; end != std::string_view::npos; end = text.find('\n')) {
        if (!sink.line(text.substr(0, end + 1))) {
            return false;
        }
        text.remove_prefix(end + 1);
    }
    pending.ascii.append(text);
    return true;
}

// Text with non-ASCII characters: the same lines, as str objects.
bool split_str_chunk(PyObject* text, PendingLine& pending, RecordSink& sink)
{
    Ref head = pending.object ? pending.object : make_str(pending.ascii);
    Ref all = add(head.get(), text);
    Ref line_end = make_str("\n");
    Ref pieces = check(PyUnicode_Split(all.get(), line_end.get(), -1));
    Py_ssize_t count = PyList_Size(pieces.get());
    for (Py_ssize_t i = 0; i + 1 < count; ++i) {
        if (!sink.line(PyList_GetItem(pieces.get(), i))) {  // borrowed
            return false;
        }
    }
    PendingLine rest;
    Ref last = Ref::borrow(PyList_GetItem(pieces.get(), count - 1));
    if (!exact_ascii_into(last.get(), rest.ascii)) {
        rest.ascii.clear();
        rest.object = last;
    }
    pending = std::move(rest);
    return true;
}

void read_chunks(TextFileChunks& chunks, RecordSink& sink)
{
    PendingLine pending;
    while (std::optional<Ref> text = chunks.next()) {
        Ref holder;
        std::optional<std::string_view> ascii;
        if (!pending.object) {
            ascii = exact_ascii_view(text->get(), holder);
        }
        bool go_on = ascii ? split_ascii_chunk(*ascii, pending, sink) : split_str_chunk(text->get(), pending, sink);
        if (!go_on) {
            return;
        }
    }
    if (pending.object) {
        sink.line(pending.object.get());
    } else if (!pending.ascii.empty()) {
        sink.line(std::string_view(pending.ascii));
    }
}

// A caller's file object: its own iteration, one line at a time.
void read_iterated_lines(PyObject* file, RecordSink& sink)
{
    Ref lines = check(PyObject_GetIter(file));
    while (PyObject* next = PyIter_Next(lines.get())) {
        Ref line = Ref::steal(next);
        if (!sink.line(line.get())) {
            return;
        }
    }
    if (PyErr_Occurred()) {
        throw PythonError{};
    }
}

// The interpreter's own file is closed when reading it failed, rather than
// left for the collector (which warns about it); a caller's file object is
// left as it is.
void close_after_error(PyObject* file) noexcept
{
    if (!captured_builtins().open_is_standard) {
        return;
    }
    PendingError keep_error;
    Ref closed = Ref::steal(PyObject_CallMethod(file, "close", nullptr));
}

}  // namespace

void read_hex_records(PyObject* file, const HexDecoder& decoder, const std::function<bool(const HexRecord&)>& take)
{
    RecordSink sink(decoder, take);
    try {
        std::optional<TextFileChunks> chunks;
        if (captured_builtins().open_is_standard) {
            chunks = TextFileChunks::of(file);
        }
        if (chunks) {
            read_chunks(*chunks, sink);
        } else {
            read_iterated_lines(file, sink);
        }
    } catch (const PythonError&) {
        close_after_error(file);
        throw;
    }
    call_method(file, "close");
}

}  // namespace rowmint
