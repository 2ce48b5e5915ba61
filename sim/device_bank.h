// The simulated dongles of the process: KXSIM_DEVICES of them (or as many as KXSIM_SERIALS
// names), each a Simulator of its own. The D2XX entry points that name no handle (open,
// list) look through all of them; those that take a handle go to the dongle it belongs to.
// The control API acts on the selected dongle, the first unless a test selects another.
//
// Every process that loads the library sees the same dongles: plug and unplug times count
// from one wall-clock start, KXSIM_START_MS, which the first process sets and the processes
// it starts inherit.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "d2xx_api.h"

namespace kxsim {

class Simulator;

class DeviceBank {
  public:
    static DeviceBank& Get();

    Simulator& Selected();
    // The dongle a handle belongs to; the first for a handle of none.
    Simulator& ForHandle(FT_HANDLE handle);

    std::size_t Count();
    // Grows to (or shrinks to) `count` dongles, each at its defaults; a test's set-up.
    void SetCount(std::size_t count);
    bool Select(std::size_t index);

    FT_STATUS Open(int index, FT_HANDLE* handle);
    FT_STATUS OpenEx(const void* arg, DWORD flags, FT_HANDLE* handle);
    FT_STATUS ListDevices(void* arg1, void* arg2, DWORD flags);

    // Writes the dump files of every dongle this process opened: a process that only
    // listed them (the parent of several flashers) leaves their dumps to those that flash.
    void DumpAll();

    // Milliseconds since the common start (KXSIM_START_MS) on the wall clock.
    double SinceStartMs() const;

  private:
    DeviceBank();
    std::vector<Simulator*> Devices();

    std::mutex m_mutex;
    // Never destroyed nor shrunk in memory: the host may still call in from its threads.
    std::vector<std::unique_ptr<Simulator>> m_devices;
    std::size_t m_count = 1;
    std::size_t m_selected = 0;
    long long m_startMs = 0;
};

// Handles carry the index of their dongle in their low byte.
inline constexpr std::size_t kMaxDevices = 64;

}  // namespace kxsim
