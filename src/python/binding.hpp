// Conventions shared by every Python-facing class and function.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace kestrune::python {

namespace py = pybind11;

// Docstrings carry their text signature in CPython's internal form
// ("name(sig)\n--\n\ndoc"), which gives __text_signature__ and makes
// inspect.signature work on builtin functions, methods and classes.
//
// Function or method: `signature` includes the name, e.g. "as_pcm($self)".
std::string sig_doc(const char* signature, const char* doc = "");
// Class: the class name followed by its constructor signature.
std::string class_doc(const char* name, const char* signature, const char* doc = "");

// Docstrings must outlive the interpreter's use of them; pybind11 copies
// class docs but keeps a pointer for function docs, so intern them here.
const char* keep(std::string text);

// Replaces every bound class's "$self" methods with descriptors that
// inspect.signature reads like CPython's own methods. Run once, after all
// classes of the module are bound.
void install_method_descriptors(py::module_& m);

}  // namespace kestrune::python
