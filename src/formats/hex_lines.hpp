// Reading the HEX file line by line, as both passes do.
#pragma once

#include "formats/hex_record.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace rowmint {

// One line as the file gives it (with or without its line end, which the
// record's stripping removes): ASCII text, valid until the next line is
// read, or a str object (borrowed likewise) when it holds other characters
// or comes from a caller's file object.
struct HexLine {
    std::string_view ascii;
    PyObject* object = nullptr;
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

// The lines of the open HEX file, from where it stands. The interpreter's
// own text file is read in its own chunks; a caller's file object through
// its iteration.
class HexFileLines {
public:
    HexFileLines(PyObject* file, bool file_is_standard);

    // The next line; nothing at the end of the file.
    std::optional<HexLine> next();
    // The file's close().
    void close();
    // After a failure: the interpreter's own file is closed rather than left
    // to the collector (which warns about it); a caller's file object is
    // left as it is. The error in flight stays.
    void close_after_error() noexcept;

private:
    std::optional<HexLine> next_iterated();
    std::optional<HexLine> next_from_chunks();
    void take_chunk(Ref text);
    std::optional<HexLine> next_piece();
    std::optional<HexLine> last_line();

    Ref file_;
    bool file_is_standard_;
    bool started_ = false;
    Ref iterator_;  // a caller's file object
    Ref current_;   // the line handed out last, when an object
    std::optional<TextFileChunks> chunks_;
    Ref chunk_;               // the ASCII chunk being split
    std::string_view rest_;   // what of it is not handed out yet
    Ref pieces_;              // a chunk with other characters, split at "\n"
    Py_ssize_t piece_index_ = 0;
    Py_ssize_t piece_count_ = 0;
    std::string pending_;     // the start of a line that runs on into the next chunk
    Ref pending_object_;      // the same, once it holds other characters
    std::string joined_;      // such a line, whole
};

// Adds "HEX line N" to the notes of the exception in flight, unless its
// message names the line already, so that a codec error says where it was.
// Whatever goes wrong while noting, the original error is the one reported.
void note_hex_line(Py_ssize_t number) noexcept;

// Hands each line of `lines`, as a record numbered from 1, to `take`,
// which returns false when it wants no more; then closes the file. When
// reading or `take` fails, the file is closed as close_after_error() says
// and the error travels on, with a note naming the line when `take` or the
// record's reading raised it.
template <class Lines, class Take>
void read_hex_records(Lines& lines, const Hooks& hooks, Take&& take)
{
    HexRecord record;  // its buffers serve every line
    Py_ssize_t number = 0;
    try {
        while (std::optional<HexLine> line = lines.next()) {
            ++number;
            try {
                if (line->object != nullptr) {
                    read_record(line->object, number, hooks, record);
                } else {
                    read_record(line->ascii, number, hooks, record);
                }
                if (!take(static_cast<const HexRecord&>(record))) {
                    break;
                }
            } catch (const PythonError&) {
                note_hex_line(number);
                throw;
            }
        }
    } catch (const PythonError&) {
        lines.close_after_error();
        throw;
    }
    lines.close();
}

}  // namespace rowmint
