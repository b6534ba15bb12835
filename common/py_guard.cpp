#include "common/py_guard.hpp"

namespace common::detail {

namespace {

// Runs the Python signal handlers; true when one raised (KeyboardInterrupt),
// its exception then waits in the thread state for core_call to raise it.
bool python_signal_raised() {
    pybind11::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
}

}  // namespace

InterruptPoll::Poll signal_poll() { return _PyOS_IsMainThread() ? &python_signal_raised : nullptr; }

}  // namespace common::detail
