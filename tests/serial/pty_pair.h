// A pseudo-terminal made in the test process: the master stands in for the dongle, the
// slave's name is what the fake device node links to.
#pragma once

#include <string>

namespace kxserial::test {

class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // The master's end: what the device sends and receives.
    int Master() const { return m_master; }
    // The test's own descriptor on the slave, opened before the library's exclusive open,
    // to read the line settings back.
    int Slave() const { return m_slave; }
    const std::string& SlaveName() const { return m_slaveName; }

    // The device end goes away: the kernel hangs the slave up.
    void CloseMaster();
    // Sends bytes from the device's side.
    void Send(const std::string& bytes);
    // Reads what has reached the device's side, waiting up to `ms` for the first byte.
    std::string Receive(int ms);

  private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_slaveName;
};

}  // namespace kxserial::test
