// The floating-point rounding mode under which the builders compute.
//
// Formatting (printf's "%.6f") and the quantisation arithmetic both follow
// the thread's rounding mode, and any library in the host process can leave
// it changed. Files must depend on their inputs alone, so every public entry
// point of the core computes under round-to-nearest and gives the caller
// back its own mode afterwards. Worker threads inherit the floating-point
// environment of the thread that starts them (POSIX; glibc's std::thread
// does), so setting it on the calling thread covers the whole call.
#pragma once

#include <cfenv>

namespace glbcore {

class RoundToNearestScope {
public:
    RoundToNearestScope() : caller_mode_(std::fegetround()) {
        if (caller_mode_ != FE_TONEAREST) std::fesetround(FE_TONEAREST);
    }
    ~RoundToNearestScope() {
        if (caller_mode_ != FE_TONEAREST && caller_mode_ >= 0) std::fesetround(caller_mode_);
    }
    RoundToNearestScope(const RoundToNearestScope&) = delete;
    RoundToNearestScope& operator=(const RoundToNearestScope&) = delete;

private:
    int caller_mode_;
};

}  // namespace glbcore
