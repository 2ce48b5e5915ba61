// Windows: flashing several dongles at once is not offered there yet; --all and --station
// say so instead of starting anything.
#include "child_processes.h"

namespace kx::cli {

struct ChildProcesses::Child {};

ChildProcesses::ChildProcesses() = default;
ChildProcesses::~ChildProcesses() = default;

bool ChildProcesses::Supported() {
    return false;
}

std::string ChildProcesses::OwnExecutable(const char* argv0) {
    return argv0 != nullptr ? argv0 : "";
}

int ChildProcesses::Start(const std::vector<std::string>&, std::string& error) {
    error = "not supported on Windows";
    return -1;
}

void ChildProcesses::Poll(std::chrono::milliseconds, std::vector<Line>&, std::vector<Exit>&) {}
void ChildProcesses::Stop(int) {}
void ChildProcesses::StopAll() {}

std::size_t ChildProcesses::Running() const {
    return 0;
}

}  // namespace kx::cli
