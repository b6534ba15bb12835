// The binding layer shared by all modules: functions and plain classes defined
// from a text signature, module-level imports, printing through sys.stdout.
//
// A function is declared with its Python signature and an implementation
// whose parameters carry the same names, one py::object per parameter:
//
//     def(m, "cv_toVideo(frames, path, fps, format='.mp4', space=1)", doc,
//         [](py::object frames, py::object path, py::object fps, py::object format, py::object space) {...});
//
// The signature gives the parameter names, the positional-only marker "/" and
// the defaults (Python literals, evaluated once at definition, so a mutable
// default is one shared object as in a def statement). Calls are bound exactly
// as the interpreter binds a def function, with its own TypeError messages,
// and the implementation receives the bound values in parameter order. An
// implementation whose parameter count differs from the signature's is
// refused when the module loads. It returns a py::object (None when it
// returns nothing). help() and inspect.signature() read the same text.
//
// Core work inside an implementation runs through common::core_call
// (py_guard.hpp), which releases the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace common {

namespace py = pybind11;

namespace detail {

// The bound arguments of one call, in the order of the signature's
// parameters (a method's first entry is the instance).
using Args = std::vector<py::object>;
using Impl = std::function<py::object(Args&)>;

template <typename T>
struct arity : arity<decltype(&T::operator())> {};
template <typename R, typename... P>
struct arity<R (*)(P...)> : std::integral_constant<size_t, sizeof...(P)> {};
template <typename C, typename R, typename... P>
struct arity<R (C::*)(P...)> : std::integral_constant<size_t, sizeof...(P)> {};
template <typename C, typename R, typename... P>
struct arity<R (C::*)(P...) const> : std::integral_constant<size_t, sizeof...(P)> {};

template <typename F, size_t... I>
py::object invoke(F& f, Args& a, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<decltype(f(a[I]...))>) {
        f(a[I]...);
        return py::none();
    } else {
        return py::object(f(a[I]...));
    }
}

// The implementation as a call on the bound arguments, and its parameter count.
template <typename F>
std::pair<Impl, size_t> named(F f) {
    constexpr size_t n = arity<std::decay_t<F>>::value;
    return {[f = std::move(f)](Args& a) mutable { return invoke(f, a, std::make_index_sequence<n>()); }, n};
}

py::object def_function(py::module_& m, const char* signature, const char* doc, Impl impl, size_t arity);
void def_method_function(py::handle cls, const char* signature, const char* doc, Impl impl, size_t arity);

}  // namespace detail

// Module-level function named by `signature`, added to `m`.
template <typename F>
py::object def(py::module_& m, const char* signature, const char* doc, F impl) {
    auto [call, arity] = detail::named(std::move(impl));
    return detail::def_function(m, signature, doc, std::move(call), arity);
}

// A plain class of module `m`: a Python class whose only base is object and
// whose instances keep their state in their __dict__. `signature` is the
// constructor's, written as a call of the class, e.g. "Clip(a, b)".
py::object def_class(py::module_& m, const char* signature, const char* doc);

// A method of such a class; `signature` names the instance first, e.g.
// "GetFrame(self, frame)". "__init__" defines the constructor.
template <typename F>
void def_method(py::handle cls, const char* signature, const char* doc, F impl) {
    auto [call, arity] = detail::named(std::move(impl));
    detail::def_method_function(cls, signature, doc, std::move(call), arity);
}

// `from <source> import *` into `m`: every public name (or the names of
// __all__), the later import winning as in Python.
void import_star(py::module_& m, const char* source);

// `from <source> import a, b` into `m`.
void import_names(py::module_& m, const char* source, std::initializer_list<const char*> names);

// `import <source>` into `m` under its own name.
void import_module(py::module_& m, const char* source);

// print(value) through sys.stdout, as the builtin does.
void print(py::handle value);

// Inside a catch block: sets the Python error for the exception being
// handled, a Python exception as it is, a core exception translated.
void raise_current_exception() noexcept;

namespace detail {

// Runs a module's body, with the translation of the core's exceptions
// registered first; a failure ends the import with its own exception (a
// missing data folder is a FileNotFoundError), not a wrapping ImportError.
int run_module_body(PyObject* module, void (*body)(py::module_&)) noexcept;

}  // namespace detail

}  // namespace common

// Defines extension module `name`, whose body follows as a function of the
// module object `variable`:  TOOLKIT_MODULE(Tessil, m) { ... }
#define TOOLKIT_MODULE(name, variable)                                                 \
    static void toolkit_module_body_##name(::pybind11::module_&);                      \
    PYBIND11_MODULE_PYINIT(name)                                                       \
    int pybind11_exec_##name(PyObject* module) {                                       \
        return ::common::detail::run_module_body(module, &toolkit_module_body_##name); \
    }                                                                                  \
    static void toolkit_module_body_##name(::pybind11::module_& variable)
