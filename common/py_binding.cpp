#include "common/py_binding.hpp"

#include <memory>

#include "common/py_errors.hpp"

namespace common {

using detail::Args;
using detail::Impl;

namespace {

struct Parameter {
    std::string name;
    py::object default_value;  // null when the parameter is required
};

// Everything the call trampoline needs. The builtin function's `self` is a
// bare module object that owns the record in its state: the interpreter shows
// a function bound to a module as "<built-in function name>" with the
// qualified name "name", as it shows its own.
struct FunctionRecord {
    PyMethodDef method{};
    std::string name;
    std::string qualname;  // "f" or "Class.f", as the interpreter's messages name it
    std::string doc;       // "name(signature)\n--\n\n" + text, read by help() and inspect
    std::vector<Parameter> params;
    size_t positional_only = 0;  // number of leading positional-only parameters
    size_t required = 0;         // number of leading parameters without a default
    Impl impl;
};

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\n");
    return text.substr(first, last - first + 1);
}

// Splits "a, b=[0, 0], c='x,y'" at the commas that stand outside brackets and quotes.
std::vector<std::string> split_parameters(const std::string& text) {
    std::vector<std::string> parts;
    std::string current;
    int depth = 0;
    char quote = 0;
    for (char c : text) {
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '[' || c == '(' || c == '{') {
            ++depth;
        } else if (c == ']' || c == ')' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            parts.push_back(trim(current));
            current.clear();
            continue;
        }
        current += c;
    }
    if (!trim(current).empty()) parts.push_back(trim(current));
    return parts;
}

// Parses "name(params)" into the record's name and parameters.
void parse_signature(const std::string& signature, FunctionRecord& record) {
    const auto open = signature.find('(');
    const auto close = signature.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        throw std::logic_error("malformed signature: " + signature);
    record.name = trim(signature.substr(0, open));
    py::object literal_eval = py::module_::import("ast").attr("literal_eval");
    bool defaults_started = false;
    for (const auto& part : split_parameters(signature.substr(open + 1, close - open - 1))) {
        if (part == "/") {
            record.positional_only = record.params.size();
            continue;
        }
        Parameter param;
        const auto equals = part.find('=');
        param.name = trim(part.substr(0, equals));
        if (equals != std::string::npos) {
            param.default_value = literal_eval(trim(part.substr(equals + 1)));
            defaults_started = true;
        } else if (defaults_started) {
            throw std::logic_error("required parameter after a default: " + signature);
        } else {
            ++record.required;
        }
        record.params.push_back(std::move(param));
    }
}

std::string plural(size_t n, const char* word) { return std::to_string(n) + " " + word + (n == 1 ? "" : "s"); }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists missing names.
std::string name_list(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'" + names[i] + "'";
    }
    return text;
}

[[noreturn]] void type_error(const std::string& message) { throw py::type_error(message); }

// Binds positional and keyword arguments to the parameters, as CPython binds
// a call of a def function without *args and **kwargs.
Args bind(const FunctionRecord& record, PyObject* const* args, size_t nargs, PyObject* kwnames) {
    const size_t count = record.params.size();
    const std::string who = record.qualname + "()";
    if (nargs > count) {
        std::string takes = record.required == count ? plural(count, "positional argument")
                                                     : "from " + std::to_string(record.required) + " to " +
                                                           plural(count, "positional argument");
        type_error(who + " takes " + takes + " but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") +
                   " given");
    }
    Args bound(count);
    for (size_t i = 0; i < nargs; ++i) bound[i] = py::reinterpret_borrow<py::object>(args[i]);

    std::vector<std::string> positional_as_keyword;
    const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    for (size_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const std::string name = py::reinterpret_borrow<py::str>(key);
        size_t index = 0;
        while (index < count && record.params[index].name != name) ++index;
        if (index < record.positional_only) {
            positional_as_keyword.push_back(name);
            continue;
        }
        if (index == count) type_error(who + " got an unexpected keyword argument '" + name + "'");
        if (bound[index]) type_error(who + " got multiple values for argument '" + name + "'");
        bound[index] = py::reinterpret_borrow<py::object>(args[nargs + k]);
    }
    if (!positional_as_keyword.empty()) {
        std::string names;
        for (const auto& n : positional_as_keyword) names += (names.empty() ? "'" : ", '") + n + "'";
        type_error(who + " got some positional-only arguments passed as keyword arguments: " + names);
    }

    std::vector<std::string> missing;
    for (size_t i = 0; i < count; ++i) {
        if (bound[i]) continue;
        if (record.params[i].default_value)
            bound[i] = record.params[i].default_value;
        else
            missing.push_back(record.params[i].name);
    }
    if (!missing.empty())
        type_error(who + " missing " + plural(missing.size(), "required positional argument") + ": " +
                   name_list(missing));
    return bound;
}

PyObject* trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    try {
        auto* record = *static_cast<FunctionRecord**>(PyModule_GetState(self));
        Args bound = bind(*record, args, static_cast<size_t>(PyVectorcall_NARGS(nargsf)), kwnames);
        py::object result = record->impl(bound);
        return (result ? result : py::none()).release().ptr();
    } catch (...) {
        raise_current_exception();
    }
    return nullptr;
}

py::object make_function(const char* signature, const char* doc, Impl impl, size_t arity, const std::string& qualifier,
                         py::handle module_name) {
    auto record = std::make_unique<FunctionRecord>();
    parse_signature(signature, *record);
    if (record->params.size() != arity)
        throw std::logic_error(std::string(signature) + ": the implementation takes " + std::to_string(arity) +
                               " parameters");
    record->qualname = qualifier.empty() ? record->name : qualifier + "." + record->name;
    record->doc = std::string(signature) + "\n--\n\n" + doc;
    record->impl = std::move(impl);
    record->method.ml_name = record->name.c_str();
    record->method.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampoline));
    record->method.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    record->method.ml_doc = record->doc.c_str();

    // The definition of the holder module lives as long as the process.
    const freefunc free_record = [](void* holder) {
        delete *static_cast<FunctionRecord**>(PyModule_GetState(static_cast<PyObject*>(holder)));
    };
    auto* holder_def = new PyModuleDef{PyModuleDef_HEAD_INIT,
                                       record->name.c_str(),
                                       nullptr,
                                       sizeof(FunctionRecord*),
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       free_record};
    auto holder = py::reinterpret_steal<py::object>(PyModule_Create(holder_def));
    if (!holder) throw py::error_already_set();
    PyMethodDef* method = &record->method;
    *static_cast<FunctionRecord**>(PyModule_GetState(holder.ptr())) = record.release();
    PyObject* function = PyCFunction_NewEx(method, holder.ptr(), module_name.ptr());
    if (!function) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(function);
}

}  // namespace

py::object detail::def_function(py::module_& m, const char* signature, const char* doc, Impl impl, size_t arity) {
    py::object function = make_function(signature, doc, std::move(impl), arity, "", m.attr("__name__"));
    m.attr(function.attr("__name__")) = function;
    return function;
}

py::object def_class(py::module_& m, const char* signature, const char* doc) {
    const std::string text = signature;
    const std::string name = trim(text.substr(0, text.find('(')));
    py::dict namespace_;
    namespace_["__module__"] = m.attr("__name__");
    namespace_["__qualname__"] = name;
    // The class's internal doc carries the constructor's signature for
    // inspect.signature(); __doc__ itself shows the plain text.
    namespace_["__doc__"] = text + "\n--\n\n" + doc;
    py::object builtins = py::module_::import("builtins");
    py::object cls = builtins.attr("type")(name, py::make_tuple(builtins.attr("object")), namespace_);
    cls.attr("__doc__") = doc;
    m.attr(name.c_str()) = cls;
    return cls;
}

void detail::def_method_function(py::handle cls, const char* signature, const char* doc, Impl impl, size_t arity) {
    const std::string qualifier = py::str(cls.attr("__qualname__"));
    py::object function = make_function(signature, doc, std::move(impl), arity, qualifier, cls.attr("__module__"));
    PyObject* method = PyInstanceMethod_New(function.ptr());
    if (!method) throw py::error_already_set();
    cls.attr(function.attr("__name__")) = py::reinterpret_steal<py::object>(method);
}

void import_star(py::module_& m, const char* source) {
    py::module_ module = py::module_::import(source);
    py::object names;
    if (py::hasattr(module, "__all__")) {
        names = module.attr("__all__");
    } else {
        py::list publics;
        for (auto item : module.attr("__dict__")) {
            const std::string name = py::str(item);
            if (!name.empty() && name[0] != '_') publics.append(item);
        }
        names = publics;
    }
    for (auto name : names) m.attr(name) = module.attr(name);
}

void import_names(py::module_& m, const char* source, std::initializer_list<const char*> names) {
    py::module_ module = py::module_::import(source);
    for (const char* name : names) m.attr(name) = module.attr(name);
}

void import_module(py::module_& m, const char* source) { m.attr(source) = py::module_::import(source); }

void print(py::handle value) { py::module_::import("builtins").attr("print")(value); }

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (...) {
        py::detail::try_translate_exceptions();
    }
}

int detail::run_module_body(PyObject* module, void (*body)(py::module_&)) noexcept {
    try {
        py::detail::ensure_internals();
        auto m = py::reinterpret_borrow<py::module_>(module);
        py::register_local_exception_translator(translate_core_exception);
        body(m);
        return 0;
    } catch (...) {
        raise_current_exception();
        return -1;
    }
}

}  // namespace common
