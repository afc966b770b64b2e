#include "phase_clock.hpp"

namespace corrshift {

phase_clock& the_phase_clock() {
    static phase_clock clock;
    return clock;
}

}  // namespace corrshift
