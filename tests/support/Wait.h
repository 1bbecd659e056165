#pragma once

#include <chrono>
#include <functional>

namespace tavrolin::test {

// Runs the event loop until pred is true or the timeout passes.
bool waitUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout);

} // namespace tavrolin::test
