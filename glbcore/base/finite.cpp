// The refusal of non-finite numbers, naming the argument and the value.
#include <cmath>
#include <stdexcept>
#include <string>

#include "base/base.h"

namespace glbcore {

namespace {

std::string describe_non_finite(double value) {
    if (std::isnan(value)) return "nan";
    return value > 0 ? "inf" : "-inf";
}

}  // namespace

void require_finite(double value, const char* name) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument(std::string(name) + " = " + describe_non_finite(value) +
                                    " is not finite");
    }
}

void require_finite(const double* values, std::size_t n, const char* name) {
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(values[i])) {
            throw std::invalid_argument(std::string(name) + "[" + std::to_string(i) +
                                        "] = " + describe_non_finite(values[i]) + " is not finite");
        }
    }
}

}  // namespace glbcore
