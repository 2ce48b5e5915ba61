// Child processes whose standard output the parent reads line by line: one kxupgrade per
// dongle for --all and --station. The platform's process calls stay behind this seam.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kx::cli {

#ifdef _WIN32
// One argument of a command line, quoted where it must be so that CommandLineToArgvW and
// the C runtime read it back as it was.
std::wstring QuoteArgument(const std::wstring& arg);
#endif

class ChildProcesses {
  public:
    struct Line {
        int id;
        std::string text;  // without its line end
    };
    struct Exit {
        int id;
        int status;  // exit status; 128 + signal for a child a signal ended
    };

    ChildProcesses();
    ~ChildProcesses();  // kills and reaps every child still running
    ChildProcesses(const ChildProcesses&) = delete;
    ChildProcesses& operator=(const ChildProcesses&) = delete;

    // Starts `argv` (argv[0] a path) with standard error discarded. The child's id, or -1
    // with `error` set.
    int Start(const std::vector<std::string>& argv, std::string& error);

    // Waits up to `timeout` for output, then hands over the complete lines read and the
    // children that ended (only once all their output was read).
    void Poll(std::chrono::milliseconds timeout, std::vector<Line>& lines,
              std::vector<Exit>& exits);

    // Asks a child, or every one, to stop. On Linux SIGTERM: it closes its device and
    // ends. On Windows the children took the console's own event already, and Stop(id)
    // ends the child (its handles closed with it).
    void Stop(int id);
    void StopAll();
    std::size_t Running() const;

  private:
    struct Child;
    std::map<int, std::unique_ptr<Child>> m_children;
    int m_nextId = 1;
};

}  // namespace kx::cli
