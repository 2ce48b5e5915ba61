// The open ports by their D2XX handle. A call holds its port for as long as it runs, so a
// close on another thread cannot pull the descriptor away under a waiting read.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "d2xx_api.h"
#include "serial_port.h"

namespace kxserial {

class HandleTable {
  public:
    FT_HANDLE Add(std::shared_ptr<SerialPort> port);
    // nullptr for a handle that is not open.
    std::shared_ptr<SerialPort> Find(FT_HANDLE handle);
    std::shared_ptr<SerialPort> Remove(FT_HANDLE handle);

  private:
    std::mutex m_mutex;
    std::map<FT_HANDLE, std::shared_ptr<SerialPort>> m_ports;
};

HandleTable& Handles();

}  // namespace kxserial
