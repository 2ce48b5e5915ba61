// The sixteen D2XX entry points, exported under their FTDI names and carried out on the
// kernel's serial port.
#include <memory>

#include "baud_rate.h"
#include "d2xx_api.h"
#include "device_list.h"
#include "handle_table.h"
#include "line_settings.h"
#include "serial_port.h"

#define KX_EXPORT extern "C" __attribute__((visibility("default")))

using kxserial::Handles;
using kxserial::SerialPort;

namespace {

// Runs `call` on the open port, or answers FT_INVALID_HANDLE.
template <typename Call>
FT_STATUS WithPort(FT_HANDLE handle, Call call) {
    const std::shared_ptr<SerialPort> port = Handles().Find(handle);
    if (!port) {
        return FT_INVALID_HANDLE;
    }
    return call(*port);
}

}  // namespace

KX_EXPORT FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* handle) {
    return kxserial::OpenByIndex(deviceNumber, handle);
}

KX_EXPORT FT_STATUS FT_OpenEx(PVOID arg, DWORD flags, FT_HANDLE* handle) {
    return kxserial::OpenBy(arg, flags, handle);
}

KX_EXPORT FT_STATUS FT_ListDevices(PVOID arg1, PVOID arg2, DWORD flags) {
    return kxserial::ListDevices(arg1, arg2, flags);
}

KX_EXPORT FT_STATUS FT_Close(FT_HANDLE handle) {
    const std::shared_ptr<SerialPort> port = Handles().Remove(handle);
    if (!port) {
        return FT_INVALID_HANDLE;
    }
    port->Shutdown();
    return FT_OK;
}

KX_EXPORT FT_STATUS FT_Read(FT_HANDLE handle, LPVOID buffer, DWORD count, LPDWORD got) {
    if (got == nullptr || (buffer == nullptr && count != 0)) {
        return FT_INVALID_PARAMETER;
    }
    return WithPort(handle, [&](SerialPort& port) { return port.Read(buffer, count, got); });
}

KX_EXPORT FT_STATUS FT_Write(FT_HANDLE handle, LPVOID buffer, DWORD count, LPDWORD written) {
    if (written == nullptr || (buffer == nullptr && count != 0)) {
        return FT_INVALID_PARAMETER;
    }
    return WithPort(handle, [&](SerialPort& port) { return port.Write(buffer, count, written); });
}

KX_EXPORT FT_STATUS FT_ResetDevice(FT_HANDLE handle) {
    return WithPort(handle, [](SerialPort& port) { return port.Reset(); });
}

KX_EXPORT FT_STATUS FT_Purge(FT_HANDLE handle, ULONG mask) {
    return WithPort(handle, [&](SerialPort& port) { return port.Purge(mask); });
}

KX_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE handle, ULONG readMs, ULONG writeMs) {
    return WithPort(handle, [&](SerialPort& port) {
        port.SetTimeouts(readMs, writeMs);
        return static_cast<FT_STATUS>(FT_OK);
    });
}

KX_EXPORT FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rx) {
    if (rx == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    DWORD tx = 0;
    return WithPort(handle, [&](SerialPort& port) { return port.QueueStatus(rx, &tx); });
}

KX_EXPORT FT_STATUS FT_GetStatus(FT_HANDLE handle, DWORD* rx, DWORD* tx, DWORD* events) {
    if (rx == nullptr || tx == nullptr || events == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    return WithPort(handle, [&](SerialPort& port) {
        const FT_STATUS status = port.QueueStatus(rx, tx);
        if (status == FT_OK) {
            *events = port.Events().TakeFired();
        }
        return status;
    });
}

KX_EXPORT FT_STATUS FT_SetBaudRate(FT_HANDLE handle, ULONG baud) {
    return WithPort(handle, [&](SerialPort& port) {
        return port.ChangeLine([&](termios2& line) { return kxserial::SetSpeed(line, baud); });
    });
}

KX_EXPORT FT_STATUS FT_SetDivisor(FT_HANDLE handle, USHORT divisor) {
    const unsigned baud = kxserial::RateForDivisor(divisor);
    if (baud == 0) {
        return Handles().Find(handle) ? FT_INVALID_BAUD_RATE : FT_INVALID_HANDLE;
    }
    return FT_SetBaudRate(handle, baud);
}

KX_EXPORT FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stop,
                                              UCHAR parity) {
    return WithPort(handle, [&](SerialPort& port) {
        return port.ChangeLine([&](termios2& line) {
            return kxserial::SetDataCharacteristics(line, bits, stop, parity);
        });
    });
}

KX_EXPORT FT_STATUS FT_SetFlowControl(FT_HANDLE handle, USHORT mode, UCHAR xon, UCHAR xoff) {
    return WithPort(handle, [&](SerialPort& port) {
        return port.ChangeLine(
            [&](termios2& line) { return kxserial::SetFlowControl(line, mode, xon, xoff); });
    });
}

KX_EXPORT FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, UCHAR ms) {
    return WithPort(handle, [&](SerialPort& port) { return port.SetLatencyTimer(ms); });
}

KX_EXPORT FT_STATUS FT_GetLatencyTimer(FT_HANDLE handle, UCHAR* ms) {
    if (ms == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    return WithPort(handle, [&](SerialPort& port) { return port.GetLatencyTimer(ms); });
}

KX_EXPORT FT_STATUS FT_SetEventNotification(FT_HANDLE handle, DWORD mask, PVOID event) {
    return WithPort(handle, [&](SerialPort& port) {
        port.Events().Register(port.Fd(), mask, static_cast<KX_EVENT_HANDLE*>(event));
        return static_cast<FT_STATUS>(FT_OK);
    });
}
