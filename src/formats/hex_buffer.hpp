// The HEX file's lines from its bytes, read once. For a file of ASCII text
// in an encoding that keeps ASCII as it is, these are the lines the text
// file's own iteration gives (universal newlines: "\r\n", "\r" and "\n" each
// end a line), found in place, with no decoding and no copy.
#pragma once

#include "formats/hex_lines.hpp"

#include <cstring>

namespace rowmint {

// The file's bytes when all of them are ASCII, with what one sweep over
// them found.
struct AsciiText {
    std::string_view text;
    // Whether some "\r" ends a line alone; without one, every line ends at
    // a "\n" (or the end), and a "\r" before it is stripped with the rest.
    bool lone_carriage_return = false;
};

// Nothing when a byte is 0x80 or above.
std::optional<AsciiText> ascii_text(std::string_view bytes);

class HexBufferLines {
public:
    // `file`, when given, is the open file the bytes came from: closed at
    // the end as the file's own reading would close it.
    HexBufferLines(const AsciiText& text, PyObject* file);

    // The next line, without its line end; nothing at the end. Inline: it
    // runs for every line.
    std::optional<HexLine> next()
    {
        if (rest_.empty()) {
            return std::nullopt;
        }
        const char* text = rest_.data();
        size_t size = rest_.size();
        const void* line_feed = std::memchr(text, '\n', size);
        size_t end = line_feed ? static_cast<size_t>(static_cast<const char*>(line_feed) - text) : size;
        size_t next_line = line_feed ? end + 1 : end;
        // A "\r" before it ends the line already, alone or as "\r\n".
        const void* carriage_return = lone_carriage_return_ ? std::memchr(text, '\r', end) : nullptr;
        if (carriage_return != nullptr) {
            end = static_cast<size_t>(static_cast<const char*>(carriage_return) - text);
            next_line = end + 1 < size && text[end + 1] == '\n' ? end + 2 : end + 1;
        }
        std::string_view line = rest_.substr(0, end);
        rest_.remove_prefix(next_line);
        return HexLine{line, nullptr};
    }
    void close();
    void close_after_error() noexcept;

private:
    std::string_view rest_;
    PyObject* file_;  // borrowed from the conversion, or null
    bool lone_carriage_return_;
};

}  // namespace rowmint
