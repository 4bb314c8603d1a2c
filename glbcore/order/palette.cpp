// Palettes of atom types: the atom builder's eight colours or a caller's.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "order/order.h"

namespace glbcore {

namespace {

constexpr std::uint32_t MAX_PALETTE_ROWS = 65536;  // one per uint16 type

std::string float_text(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}

}  // namespace

Palette::Palette() : rgba_(4 * PALETTE_SIZE) {
    for (std::uint32_t e = 0; e < PALETTE_SIZE; ++e) {
        rgba_[4 * e] = TYPE_COLORS_R[e];
        rgba_[4 * e + 1] = TYPE_COLORS_G[e];
        rgba_[4 * e + 2] = TYPE_COLORS_B[e];
        rgba_[4 * e + 3] = 1.0f;
    }
}

Palette::Palette(const AtomPalette& given) : Palette() {
    if (given.colors == nullptr) return;
    if (given.count == 0 || given.count > MAX_PALETTE_ROWS) {
        throw std::invalid_argument("palette: expected 1 to 65536 colours, got " +
                                    std::to_string(given.count));
    }
    if (given.components != 3 && given.components != 4) {
        throw std::invalid_argument("palette: expected 3 or 4 components, got " +
                                    std::to_string(given.components));
    }
    default_ = false;
    size_ = given.count;
    components_ = given.components;
    rgba_.assign(4 * std::size_t{size_}, 1.0f);
    for (std::uint32_t e = 0; e < size_; ++e) {
        for (std::uint32_t c = 0; c < components_; ++c) {
            const float value = given.colors[std::size_t{e} * components_ + c];
            if (!(value >= 0.0f && value <= 1.0f)) {  // NaN too
                throw std::invalid_argument("palette[" + std::to_string(e) + "][" +
                                            std::to_string(c) + "] = " + float_text(value) +
                                            " is outside [0, 1]");
            }
            rgba_[4 * std::size_t{e} + c] = value;
        }
    }
    if (given.names != nullptr) names_.assign(given.names, given.names + size_);
}

std::string Palette::label(std::uint32_t entry) const {
    if (!names_.empty()) return names_[entry];
    return "type " + std::to_string(entry) + (entry + 1 < size_ ? "" : "+");
}

}  // namespace glbcore
