#pragma once

#include <string>

namespace talvex {

// The shortest decimal text that reads back as the same double: plain notation
// with at least one digit after the point from 1e-4 upwards ("2.0", "0.0123"),
// exponent notation with a signed two-digit exponent below ("1e-05").
// Independent of the process locale.
std::string formatNumber(double value);

}  // namespace talvex
