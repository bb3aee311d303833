#include "formats/hex_lines.hpp"

#include "capi/objects.hpp"

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

}  // namespace

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

HexFileLines::HexFileLines(PyObject* file, bool file_is_standard)
    : file_(Ref::borrow(file)), file_is_standard_(file_is_standard)
{
}

std::optional<HexLine> HexFileLines::next()
{
    if (!started_) {
        started_ = true;
        if (file_is_standard_) {
            chunks_ = TextFileChunks::of(file_.get());
        }
        if (!chunks_) {
            iterator_ = check(PyObject_GetIter(file_.get()));
        }
    }
    if (iterator_) {
        return next_iterated();
    }
    return next_from_chunks();
}

// A caller's file object: its own iteration, one line at a time.
std::optional<HexLine> HexFileLines::next_iterated()
{
    current_ = Ref::steal(PyIter_Next(iterator_.get()));
    if (!current_) {
        if (PyErr_Occurred()) {
            throw PythonError{};
        }
        return std::nullopt;
    }
    return HexLine{{}, current_.get()};
}

std::optional<HexLine> HexFileLines::next_from_chunks()
{
    for (;;) {
        if (pieces_) {
            if (std::optional<HexLine> line = next_piece()) {
                return line;
            }
        }
        size_t end = rest_.find('\n');
        if (end != std::string_view::npos) {
            std::string_view line = rest_.substr(0, end + 1);
            rest_.remove_prefix(end + 1);
            if (pending_.empty()) {
                return HexLine{line, nullptr};
            }
            // The start of the line came with the chunk before.
            joined_ = std::move(pending_);
            joined_.append(line);
            pending_.clear();
            return HexLine{joined_, nullptr};
        }
        pending_.append(rest_);
        rest_ = {};
        std::optional<Ref> text = chunks_->next();
        if (!text) {
            return last_line();
        }
        take_chunk(std::move(*text));
    }
}

// Text with non-ASCII characters is split into str objects; ASCII text is
// read where it stands.
void HexFileLines::take_chunk(Ref text)
{
    if (!pending_object_) {
        if (std::optional<std::string_view> ascii = exact_ascii_view(text.get(), chunk_)) {
            rest_ = *ascii;
            return;
        }
    }
    Ref head = pending_object_ ? std::move(pending_object_) : make_str(pending_);
    pending_.clear();
    Ref all = add(head.get(), text.get());
    Ref line_end = make_str("\n");
    pieces_ = check(PyUnicode_Split(all.get(), line_end.get(), -1));
    piece_count_ = PyList_Size(pieces_.get());
    piece_index_ = 0;
}

// The split lines of a non-ASCII chunk; the last piece is the start of a
// line that runs on into the next chunk.
std::optional<HexLine> HexFileLines::next_piece()
{
    if (piece_index_ + 1 < piece_count_) {
        return HexLine{{}, PyList_GetItem(pieces_.get(), piece_index_++)};  // borrowed
    }
    Ref last = Ref::borrow(PyList_GetItem(pieces_.get(), piece_count_ - 1));
    pieces_ = Ref();
    Ref holder;
    if (std::optional<std::string_view> ascii = exact_ascii_view(last.get(), holder)) {
        pending_.assign(ascii->data(), ascii->size());
    } else {
        pending_object_ = std::move(last);
    }
    return std::nullopt;
}

// What is left after the last line end, when anything is.
std::optional<HexLine> HexFileLines::last_line()
{
    if (pending_object_) {
        current_ = std::move(pending_object_);
        return HexLine{{}, current_.get()};
    }
    if (pending_.empty()) {
        return std::nullopt;
    }
    joined_ = std::move(pending_);
    pending_.clear();
    return HexLine{joined_, nullptr};
}

void HexFileLines::close() { call_method(file_.get(), "close"); }

// The interpreter's own file is closed when reading it failed, rather than
// left for the collector (which warns about it); a caller's file object is
// left as it is.
void HexFileLines::close_after_error() noexcept
{
    if (!file_is_standard_) {
        return;
    }
    PendingError keep_error;
    Ref closed = Ref::steal(PyObject_CallMethod(file_.get(), "close", nullptr));
}

}  // namespace rowmint
