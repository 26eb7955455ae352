// Start-up code of a program on the virtual board: what the platform's run-time does before and
// after WinMain. The command line is the process's arguments joined with single spaces, as the
// device passes it; the exit code is WinMain's result.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../board/board.h"
#include "../board/fault.h"
#include "../board/simtime.h"
#include "../ceapi/tools_api.h"

int main(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }
    if (const int refused = sim::startProgramOnBoard(argv[0])) return refused;
    std::u16string wide = sim::fromUtf8(commandLine);
    int result = 0;
    try {
        result = WinMain(reinterpret_cast<HINSTANCE>(0x00010000), nullptr, wide.data(), 5 /* SW_SHOW */);
    } catch (const std::exception& e) {
        // The board itself failed under the program (an unreadable state file, say): stop as a
        // board fault does, loudly and with its exit code.
        sim::boardFault(std::string("the board failed under the program: ") + e.what());
    }
    // As on the device: the start-up code ends the primary thread, and so the process, with
    // WinMain's result.
    ExitThread(static_cast<DWORD>(result));
}
