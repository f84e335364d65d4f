// The line settings set while the program holds a port, from the ones read. Wine
// carries only the CTS/RTS handshake to a pseudo-terminal, so the other fields are
// checked here.
#include <gtest/gtest.h>

#include "Win32Dcb.h"

namespace zb {
namespace {

DCB readDcb() {
    DCB d{};
    d.DCBlength = sizeof d;
    d.BaudRate = 9600;
    d.ByteSize = 7;
    d.Parity = EVENPARITY;
    d.StopBits = TWOSTOPBITS;
    return d;
}

TEST(WorkingDcb, EveryHandshakeLeftByAnEarlierProgramIsOff) {
    DCB read = readDcb();
    read.fOutxCtsFlow = TRUE;
    read.fOutxDsrFlow = TRUE;
    read.fDsrSensitivity = TRUE;
    read.fOutX = TRUE;
    read.fInX = TRUE;
    read.fRtsControl = RTS_CONTROL_HANDSHAKE;
    read.fDtrControl = DTR_CONTROL_HANDSHAKE;
    const DCB set = workingDcb(read, LineSettings{.baud = 19200});
    EXPECT_EQ(set.BaudRate, 19200u);
    EXPECT_EQ(set.ByteSize, 8);
    EXPECT_EQ(set.Parity, NOPARITY);
    EXPECT_EQ(set.StopBits, ONESTOPBIT);
    EXPECT_FALSE(set.fOutxCtsFlow);
    EXPECT_FALSE(set.fOutxDsrFlow);
    EXPECT_FALSE(set.fDsrSensitivity);
    EXPECT_FALSE(set.fOutX);
    EXPECT_FALSE(set.fInX);
    EXPECT_EQ(set.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(set.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
}

TEST(WorkingDcb, ModemLineLevelsStayAsRead) {
    // A device may be reset through DTR or RTS: a line held low stays low, and RTS
    // toggling (direction control of a half-duplex adapter) stays.
    DCB read = readDcb();
    read.fRtsControl = RTS_CONTROL_TOGGLE;
    read.fDtrControl = DTR_CONTROL_DISABLE;
    DCB set = workingDcb(read, LineSettings{.baud = 19200});
    EXPECT_EQ(set.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
    EXPECT_EQ(set.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    read.fRtsControl = RTS_CONTROL_DISABLE;
    read.fDtrControl = DTR_CONTROL_ENABLE;
    set = workingDcb(read, LineSettings{.baud = 19200});
    EXPECT_EQ(set.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(set.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
}

}  // namespace
}  // namespace zb
