// The one guard around every call from the binding layer into the core.
//
//     cv::Mat mask = common::core_call([&] { return range_mask(hsv, range); });
//
// The work runs with the GIL released, so other Python threads go on while
// frames are decoded, encoded or combined; it must not touch any Python object
// (convert arguments before, results after). While it runs, Ctrl-C is watched
// through common::check_interrupt(), and an interruption raises the
// interpreter's KeyboardInterrupt. Every other exception of the core leaves
// the call as it is and is turned into its Python exception where the call
// entered the module (see py_errors.cpp). Nothing else releases the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "common/interrupt.hpp"

namespace common {

namespace detail {

// The interrupt poll for the calling thread: the interpreter's signal check
// on its main thread (the only one that handles signals), none elsewhere.
// Called with the GIL held.
InterruptPoll::Poll signal_poll();

}  // namespace detail

template <typename Work>
decltype(auto) core_call(Work&& work) {
    try {
        const InterruptPoll poll(detail::signal_poll());
        pybind11::gil_scoped_release unlocked;
        return std::forward<Work>(work)();
    } catch (const Interrupted&) {
        throw pybind11::error_already_set();  // what the signal handler raised
    }
}

}  // namespace common
