#include "convert/hex_lines.hpp"

#include <string>

namespace rowmint {
namespace detail {
namespace {

bool message_names_a_line(PyObject* error)
{
    Ref text = Ref::steal(PyObject_Str(error));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    Ref prefix = make_str("HEX line ");
    Py_ssize_t match = PyUnicode_Tailmatch(text.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1);
    if (match < 0) {
        PyErr_Clear();
        return false;
    }
    return match == 1;
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
    PyErr_Clear();
    Ref notes = Ref::steal(PyObject_GetAttrString(error, "__notes__"));
    if (!notes) {
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

void note_hex_line(long number) noexcept
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && !message_names_a_line(value)) {
        std::string text = "HEX line " + std::to_string(number);
        Ref note = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (note) {
            add_note(value, note.get());
        }
    }
    // Whatever went wrong while noting, the original error is the one reported.
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

TextFileChunks::TextFileChunks(PyObject* file)
{
    Ref buffer = getattr(file, "buffer");
    // read1 where the buffer has it, as the file's own reads do.
    read_ = Ref::steal(PyObject_GetAttrString(buffer.get(), "read1"));
    if (!read_) {
        PyErr_Clear();
        read_ = getattr(buffer.get(), "read");
    }
    chunk_size_ = getattr(file, "_CHUNK_SIZE");
    Ref encoding = getattr(file, "encoding");
    Ref errors = getattr(file, "errors");
    Ref codecs = check(PyImport_ImportModule("codecs"));
    Ref incremental_decoder = call_method(codecs.get(), "getincrementaldecoder", encoding.get());
    Ref decoder = call(incremental_decoder.get(), errors.get());
    Ref io = check(PyImport_ImportModule("io"));
    Ref newline_decoder_type = getattr(io.get(), "IncrementalNewlineDecoder");
    Ref newline_decoder = call(newline_decoder_type.get(), decoder.get(), Py_True);
    decode_ = getattr(newline_decoder.get(), "decode");
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

void close_quietly_after_error(PyObject* file) noexcept
{
    if (!captured_builtins().open_is_standard) {
        return;
    }
    PendingErrorGuard keep_error;
    Ref closed = Ref::steal(PyObject_CallMethod(file, "close", nullptr));
}

}  // namespace detail
}  // namespace rowmint
