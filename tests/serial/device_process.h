// kxsim-pty run as a child process: commands go to its standard input, its report lines
// come back from its standard output.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kxserial::test {

class DeviceProcess {
  public:
    // Starts `program` with `arguments` and the KXSIM_* settings in `environment` added to
    // this process's environment.
    DeviceProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const std::vector<std::string>& environment);
    // Ends the program if it still runs.
    ~DeviceProcess();
    DeviceProcess(const DeviceProcess&) = delete;
    DeviceProcess& operator=(const DeviceProcess&) = delete;

    void Command(const std::string& line);
    // The next report line that starts with `prefix` (earlier ones are skipped), or "" when
    // none comes within `ms`.
    std::string WaitFor(const std::string& prefix, int ms = 10000);
    // "quit", then the exit status.
    int Quit();

  private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_pending;
};

}  // namespace kxserial::test
