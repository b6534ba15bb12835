#include "rimwell/picker.hpp"

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <stdexcept>

#include "common/interrupt.hpp"
#include "rimwell/display.hpp"

namespace rimwell {

using common::check_interrupt;

namespace {

const char* const kWindow = "Image";
constexpr int kEnter = 13;
constexpr int kWaitMs = 30;  // between checks for a closed window and for Ctrl-C

const cv::Scalar kRed(0, 0, 255), kGreen(0, 255, 0), kBlue(255, 0, 0);

// What the mouse handler shares with the picker for one call.
struct Session {
    cv::Mat canvas;
    Picking picking;
    std::exception_ptr error;  // raised in the handler, rethrown by the picker
};

void on_mouse(int event, int x, int y, int /*flags*/, void* param) {
    if (event != cv::EVENT_LBUTTONDOWN) return;
    auto& session = *static_cast<Session*>(param);
    // No exception may cross the GUI's event loop.
    try {
        const int chosen = nearest_outline(session.picking.candidates, {x, y});
        if (chosen < 0) return;
        cv::circle(session.canvas, {x, y}, 1, kBlue, cv::FILLED);
        session.picking.picked.push_back(chosen);
        cv::drawContours(session.canvas, session.picking.candidates, chosen, kGreen, 3);
        cv::imshow(kWindow, session.canvas);
    } catch (...) {
        if (!session.error) session.error = std::current_exception();
    }
}

// Destroys the window however the picker is left, so that no window (and no
// mouse handler pointing at a finished call's state) outlives the call.
struct WindowGuard {
    ~WindowGuard() {
        try {
            cv::destroyWindow(kWindow);
        } catch (const cv::Exception&) {
            // already gone
        }
    }
};

// A window the user closed is no longer visible; when it was the last window
// the Qt back end drops its GUI altogether and the query throws.
bool window_closed() {
    try {
        return !(cv::getWindowProperty(kWindow, cv::WND_PROP_VISIBLE) > 0);
    } catch (const cv::Exception&) {
        return true;
    }
}

// Qt aborts the whole process when it finds no display, so refuse first.
void require_display() {
    const std::string problem = display_problem();
    if (!problem.empty()) throw std::runtime_error(problem);
}

}  // namespace

std::vector<Outline> find_outlines(const cv::Mat& image) {
    cv::Mat grey, binary;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    cv::threshold(grey, binary, 127, 255, cv::THRESH_BINARY);
    std::vector<Outline> outlines;
    cv::findContours(binary, outlines, cv::RETR_CCOMP, cv::CHAIN_APPROX_SIMPLE);
    return outlines;
}

int nearest_outline(const std::vector<Outline>& outlines, cv::Point point) {
    int best = -1;
    double best_distance = 0;
    for (size_t i = 0; i < outlines.size(); ++i) {
        const double distance = std::abs(cv::pointPolygonTest(outlines[i], cv::Point2f(point), true));
        if (best < 0 || distance < best_distance) {
            best = static_cast<int>(i);
            best_distance = distance;
        }
    }
    return best;
}

Picking pick_outlines(const cv::Mat& image) {
    require_display();
    // One picker at a time: a second one, from another thread, would share
    // the window "Image" with the first and drive the GUI concurrently.
    static std::mutex busy;
    std::unique_lock<std::mutex> only(busy, std::try_to_lock);
    if (!only.owns_lock()) throw std::runtime_error("a contour picker is already open");
    Session session;
    session.canvas = image.clone();
    WindowGuard guard;
    cv::namedWindow(kWindow);
    cv::imshow(kWindow, session.canvas);
    session.picking.candidates = find_outlines(session.canvas);
    cv::drawContours(session.canvas, session.picking.candidates, -1, kRed, 3);
    cv::imshow(kWindow, session.canvas);
    cv::setMouseCallback(kWindow, on_mouse, &session);

    for (;;) {
        const int key = cv::waitKey(kWaitMs);
        if (session.error) std::rethrow_exception(session.error);
        if (key == kEnter) {
            session.picking.end = PickEnd::Enter;
            break;
        }
        if (window_closed()) {
            session.picking.end = PickEnd::Closed;
            break;
        }
        check_interrupt();
    }
    return std::move(session.picking);
}

}  // namespace rimwell
