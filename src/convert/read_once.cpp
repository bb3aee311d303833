// Reading the HEX file once. When the interpreter's own open, hex decoder,
// hex() and sum() and the module's own replace are in place, nothing of a
// caller's takes part in the two passes; and a file of ASCII text, in an
// encoding that reads ASCII as it is, holds the same lines as bytes as
// through its text layer. Such a file is read whole once, after the tool has
// run, split in place, and placed in the first pass, when it holds at most
// 64 MiB (a whole image's HEX text is some 1.2 MB). Any other file is read
// through its text layer from the start, twice, as the passes always did.
#include "capi/namespace.hpp"
#include "capi/objects.hpp"
#include "convert/conversion.hpp"

#include <cctype>
#include <string>

namespace rowmint {
namespace {

constexpr long long largest_file_read_once = 64LL << 20;

// The names a text file gives the encodings that read every byte below
// 0x80 as the character of that code, whatever came before it.
bool keeps_ascii(PyObject* encoding)
{
    Ref holder;
    std::optional<std::string_view> name = exact_ascii_view(encoding, holder);
    if (!name) {
        return false;
    }
    std::string normal;
    for (char c : *name) {
        normal += c == '-' || c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const char* known : {"utf_8", "utf8", "ascii", "us_ascii", "ansi_x3.4_1968", "latin_1", "latin1", "iso8859_1",
                              "iso_8859_1", "cp1252", "windows_1252"}) {
        if (normal == known) {
            return true;
        }
    }
    return false;
}

bool module_replace_in_place(const ConversionState& state)
{
    PyObject* namespace_dict = PyModule_GetDict(state.module);  // borrowed
    if (namespace_dict == nullptr) {
        throw PythonError{};
    }
    PyObject* value = PyDict_GetItemWithError(namespace_dict, global_names::replace.object());  // borrowed
    if (value == nullptr && PyErr_Occurred()) {
        throw PythonError{};
    }
    return value != nullptr && value == module_replace_function();
}

bool nothing_of_a_callers_takes_part(const ConversionState& state)
{
    // open() calls a path object's __fspath__, which the second pass's open
    // would call again: only a str or bytes path can go without that open.
    PyObject* path = state.file_hex.get();
    return state.hooks.all_standard() && (PyUnicode_CheckExact(path) || PyBytes_CheckExact(path)) &&
           module_replace_in_place(state);
}

// The size of the file behind `buffer`, which is left at its start.
long long size_of(PyObject* buffer)
{
    Ref start = make_int(0);
    Ref from_the_end = make_int(2);
    Ref end = call_method(buffer, "seek", start.get(), from_the_end.get());
    long long size = int_value(end.get());
    call_method(buffer, "seek", start.get());
    return size;
}

}  // namespace

void read_hex_file_once(ConversionState& state)
{
    if (!nothing_of_a_callers_takes_part(state)) {
        return;
    }
    Ref encoding = getattr(state.f.get(), "encoding");
    Ref buffer = getattr(state.f.get(), "buffer");
    // Only a file that can go back to its start can fall back. A larger
    // file than a whole image's HEX text needs takes the text path, whose
    // memory does not grow with the file.
    if (!keeps_ascii(encoding.get()) || !truth(call_method(buffer.get(), "seekable").get()) ||
        size_of(buffer.get()) > largest_file_read_once) {
        return;
    }
    Ref bytes = call_method(buffer.get(), "read");
    char* data = nullptr;
    Py_ssize_t size = 0;
    check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
    std::optional<AsciiText> text = ascii_text(std::string_view(data, static_cast<size_t>(size)));
    if (!text) {
        // Its decoding, and where it would fail, are the text layer's.
        Ref start = make_int(0);
        call_method(buffer.get(), "seek", start.get());
        return;
    }
    state.hex_bytes = std::move(bytes);
    state.hex_text = *text;
}

}  // namespace rowmint
