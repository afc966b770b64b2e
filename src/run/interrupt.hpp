#pragma once

namespace corrshift {

// Runs the interpreter's pending signal handlers; if one raised (Ctrl-C
// raises KeyboardInterrupt), throws so that exception leaves the call as is.
// The caller holds the interpreter lock.
void check_interrupt();

}  // namespace corrshift
