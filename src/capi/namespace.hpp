// Names the conversion reaches through the module: the globals it looks up
// at each use (codecs, os, sys, six, replace), and the builtins it captured
// once when the module body ran (open, range, hex, sum).
#pragma once

#include "capi/ref.hpp"

namespace rowmint {

struct CapturedBuiltins {
    KeptRef builtins_module;
    KeptRef open;
    KeptRef range;  // counts the loops only: nothing observable depends on it
    KeptRef hex;
    KeptRef sum;
    // Taken with the builtins: the "hex" decoder the codec registry hands
    // out, to tell it from a substitute.
    KeptRef hex_decoder;
    // Whether each is the interpreter's own, so the work can be done in C++.
    bool open_is_standard = false;
    bool hex_is_standard = false;
    bool sum_is_standard = false;
};

// Resolves the builtins; NameError for one that is missing.
void capture_builtins();
const CapturedBuiltins& captured_builtins();

// The module namespace first, then the builtins; NameError otherwise.
Ref lookup_global(PyObject* module, const Name& name);

namespace global_names {
extern const Name codecs;
extern const Name os;
extern const Name sys;
extern const Name six;
extern const Name replace;
extern const Name main;
extern const Name module_name;  // __name__
}  // namespace global_names

// The function object the module body bound as `replace`, to tell it from a
// caller's substitute.
void remember_replace_function(PyObject* function);
PyObject* module_replace_function();

}  // namespace rowmint
