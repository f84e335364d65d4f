// status_holder FILE GO HOLD_MS: a reader that holds FILE open the way a caller
// polling it, a virus scanner or an indexer may, sharing read access only. Waits
// (up to a minute) until the file GO exists, opens FILE (creating it when missing),
// prints "held", keeps it open HOLD_MS milliseconds, closes it and prints "released".
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: status_holder FILE GO HOLD_MS\n", stderr);
        return 2;
    }
    for (int i = 0; i < 6000 && ::GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES; ++i) ::Sleep(10);
    HANDLE file = ::CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("cannot open: error %lu\n", ::GetLastError());
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)));
    ::CloseHandle(file);
    std::puts("released");
    return 0;
}
