// What reading and writing the files needs of the conversion: the callables
// a caller may have put in place of the interpreter's own, each with whether
// it is the interpreter's own (the work is then done in C++ here, with the
// same results; where the hex decoder's input has a fault, the interpreter's
// own decoder is called to name it). The conversion builds them and hands
// them down;
// nothing in formats/ reaches for module-wide state.
#pragma once

#include "capi/ref.hpp"

namespace rowmint {

struct Hook {
    Ref callable;
    bool is_standard = false;
};

struct Hooks {
    Hook hex_decoder;  // the "hex" codec's decoder
    Hook open;
    Hook sum;
    Hook hex;

    // Whether every hook is the interpreter's own, so that no code of a
    // caller's can run through them during a pass or the checksums. The one
    // test for reading the HEX file once and for keeping what six says.
    bool all_standard() const
    {
        return hex_decoder.is_standard && open.is_standard && sum.is_standard && hex.is_standard;
    }
};

}  // namespace rowmint
