// The binding layer shared by all modules: functions and plain classes defined
// from a text signature, module-level imports, printing through sys.stdout.
//
// A function is declared with its Python signature, for example
//     def(m, "cv_toVideo(frames, path, fps, format='.mp4', space=1)", doc, impl);
// The signature gives the parameter names, the positional-only marker "/" and
// the defaults (Python literals, evaluated once at definition, so a mutable
// default is one shared object as in a def statement). Calls are bound exactly
// as the interpreter binds a def function, with its own TypeError messages,
// and the implementation receives the bound values in parameter order.
// help() and inspect.signature() read the same text.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace common {

namespace py = pybind11;

// The arguments of one call, in the order of the signature's parameters
// (a method's first entry is the instance).
using Args = std::vector<py::object>;
using Impl = std::function<py::object(Args&)>;

// Module-level function named by `signature`, added to `m`.
py::object def(py::module_& m, const char* signature, const char* doc, Impl impl);

// A plain class of module `m`: a Python class whose only base is object and
// whose instances keep their state in their __dict__. `signature` is the
// constructor's, written as a call of the class, e.g. "Clip(a, b)".
py::object def_class(py::module_& m, const char* signature, const char* doc);

// A method of such a class; `signature` names the instance first, e.g.
// "GetFrame(self, frame)". "__init__" defines the constructor.
void def_method(py::handle cls, const char* signature, const char* doc, Impl impl);

// `from <source> import *` into `m`: every public name (or the names of
// __all__), the later import winning as in Python.
void import_star(py::module_& m, const char* source);

// `from <source> import a, b` into `m`.
void import_names(py::module_& m, const char* source, std::initializer_list<const char*> names);

// `import <source>` into `m` under its own name.
void import_module(py::module_& m, const char* source);

// print(value) through sys.stdout, as the builtin does.
void print(py::handle value);

// Everything every module needs before its definitions: the translation of
// the core's C++ exceptions and of OpenCV's errors into Python exceptions.
void init_module(py::module_& m);

}  // namespace common
