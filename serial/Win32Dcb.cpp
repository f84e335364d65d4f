#include "Win32Dcb.h"

namespace zb {

DCB workingDcb(const DCB& read, const LineSettings& s) {
    DCB d = read;
    d.BaudRate = static_cast<DWORD>(s.baud);
    switch (s.data) {
        case dataBits::DB5: d.ByteSize = 5; break;
        case dataBits::DB6: d.ByteSize = 6; break;
        case dataBits::DB7: d.ByteSize = 7; break;
        case dataBits::DB8: d.ByteSize = 8; break;
    }
    switch (s.par) {
        case parity::prNone: d.Parity = NOPARITY; break;
        case parity::prOdd: d.Parity = ODDPARITY; break;
        case parity::prEven: d.Parity = EVENPARITY; break;
    }
    switch (s.stop) {
        case stopBits::SB1: d.StopBits = ONESTOPBIT; break;
        case stopBits::SB1_5: d.StopBits = ONE5STOPBITS; break;
        case stopBits::SB2: d.StopBits = TWOSTOPBITS; break;
    }
    d.fParity = s.par != parity::prNone ? TRUE : FALSE;
    // A binary line that an earlier program cannot spoil: no XON/XOFF in either
    // direction (the protocol's bytes include 0x11 and 0x13), no replacement of
    // bytes with parity errors, no dropping of zero bytes, and no abort on error
    // (with it, one framing error, from the break for instance, would make every
    // later read fail until the error is cleared).
    d.fBinary = TRUE;
    d.fOutX = FALSE;
    d.fInX = FALSE;
    d.fErrorChar = FALSE;
    d.fNull = FALSE;
    d.fAbortOnError = FALSE;
    // The protocol has no handshake: a device or cable without CTS or DSR would
    // otherwise never receive a byte.
    d.fOutxCtsFlow = FALSE;
    d.fOutxDsrFlow = FALSE;
    d.fDsrSensitivity = FALSE;
    if (d.fRtsControl == RTS_CONTROL_HANDSHAKE) d.fRtsControl = RTS_CONTROL_ENABLE;
    if (d.fDtrControl == DTR_CONTROL_HANDSHAKE) d.fDtrControl = DTR_CONTROL_ENABLE;
    return d;
}

}  // namespace zb
