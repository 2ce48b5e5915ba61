// How long KXUpgradeDongle.exe takes from its start to a visible main window, and to its
// end after a click on EXIT: figures only. Run under Wine with its server stopped before
// the first start (scripts/bench-win32-window.sh), or on a Windows machine.
//   kx_bench_win32_start [starts]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "window_process.h"

int main(int argc, char** argv) {
    using Clock = std::chrono::steady_clock;
    const int starts = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::string exe = KX_WINDOW_PATH;
    if (!exe.empty() && exe.front() == '/') {
        exe = "Z:" + exe;  // the build under Wine: Unix paths are on drive Z:
    }
    const std::wstring path(exe.begin(), exe.end());
    // A dongle that never comes: the window only starts and ends.
    const kx::test::Environment env{{L"KXSIM_PLUG_DELAY_MS", L"600000"}};
    for (int i = 0; i < starts; ++i) {
        const auto begin = Clock::now();
        kx::test::WindowProcess window(path, env);
        const HWND main = window.Main();
        const auto shown = Clock::now();
        if (main == nullptr) {
            std::printf("start %d: no window\n", i + 1);
            return 1;
        }
        kx::test::WindowProcess::Click(main, IDOK);
        const long status = window.WaitExit();
        const auto ended = Clock::now();
        const auto ms = [](Clock::duration d) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
        };
        std::printf(
            "start %d%s: window shown after %lld ms, ended %lld ms after EXIT (status %ld)\n",
            i + 1, i == 0 ? " (first)" : "", static_cast<long long>(ms(shown - begin)),
            static_cast<long long>(ms(ended - shown)), status);
    }
    return 0;
}
