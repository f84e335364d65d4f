// The line settings the Windows port layer writes: the device control block read
// from the port, turned into the one that is set while the program holds it.
#pragma once

#include "OsSerialPort.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace zb {

// `read` with speed and frame from `settings`, binary, and every flow control off:
// no XON/XOFF, no output flow by CTS or DSR, no DSR sensitivity (with it the driver
// drops every byte received while DSR is low), and RTS or DTR handshake turned into
// a plain "on". Other RTS and DTR modes, and so the lines' levels, stay as read.
DCB workingDcb(const DCB& read, const LineSettings& settings);

}  // namespace zb
