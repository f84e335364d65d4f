// A second opener of a port, run as another (possibly unprivileged) process.
//   open_probe raw PATH   plain open(2) of the device, as any program would
//   open_probe comm COMn  the serial port component, through ZBCOMM_DEVICE_DIR
// Prints what happened; exit status 0 opened, 1 refused as busy, 2 anything else.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "StdMainThread.h"
#include "TZbComm.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::string mode = argv[1];
    if (mode == "raw") {
        int fd = ::open(argv[2], O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            std::printf("opened\n");
            ::close(fd);
            return 0;
        }
        std::printf("%s\n", std::strerror(errno));
        return errno == EBUSY ? 1 : 2;
    }
    zb::StdMainThread main;
    zb::TZbComm comm(main);
    comm.SetPortNumber(argv[2]);
    if (comm.OpenComm()) {
        std::printf("opened\n");
        return 0;
    }
    const int code = comm.GetLastError();
    std::printf("code %d: %s\n", code, std::strerror(comm.LastOsError()));
    return code == zb::kErrOpenDevice ? 1 : 2;
}
