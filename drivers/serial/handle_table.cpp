#include "handle_table.h"

namespace kxserial {

FT_HANDLE HandleTable::Add(std::shared_ptr<SerialPort> port) {
    FT_HANDLE handle = port.get();
    std::lock_guard lock(m_mutex);
    m_ports[handle] = std::move(port);
    return handle;
}

std::shared_ptr<SerialPort> HandleTable::Find(FT_HANDLE handle) {
    std::lock_guard lock(m_mutex);
    auto found = m_ports.find(handle);
    return found == m_ports.end() ? nullptr : found->second;
}

std::shared_ptr<SerialPort> HandleTable::Remove(FT_HANDLE handle) {
    std::lock_guard lock(m_mutex);
    auto found = m_ports.find(handle);
    if (found == m_ports.end()) {
        return nullptr;
    }
    std::shared_ptr<SerialPort> port = std::move(found->second);
    m_ports.erase(found);
    return port;
}

HandleTable& Handles() {
    // Never destroyed: ports still open at exit must not be torn down while other threads
    // may still be in a call.
    static HandleTable* table = new HandleTable;
    return *table;
}

}  // namespace kxserial
