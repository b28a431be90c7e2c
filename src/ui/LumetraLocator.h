#pragma once

#include <functional>

class QWidget;

namespace talvex {

// Lets the user pick Lumetra (a .desktop entry or a program) without blocking
// the window; stores the choice and reports whether one was stored.
void locateLumetra(QWidget* parent, std::function<void(bool stored)> completion);

}  // namespace talvex
