/* Control and inspection of the simulated dongle. The library that exports these also
 * exports the D2XX entry points (FT_Write ... FT_SetEventNotification) under the file name
 * libftd2xx.so; a program that loads it with dlopen("libftd2xx.so") in a process that is
 * already linked against it gets the same instance, so a test can drive the device here
 * while the code under test talks D2XX to it. All functions are thread-safe. */
#ifndef KXSIM_H
#define KXSIM_H

#include <stddef.h>

#if defined(_WIN32)
#define KXSIM_API __declspec(dllexport)
#else
#define KXSIM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Link settings of one end of the line. */
typedef struct kxsim_link {
    double baud;     /* bits per second (3 000 000 / divisor after FT_SetDivisor) */
    int word_length; /* 7 or 8 */
    int stop_bits;   /* 1 or 2 */
    int parity;      /* FT_PARITY_NONE (0) .. FT_PARITY_SPACE (4) */
} kxsim_link;

/* The entry points, in the order the tool binds them; also the `entry` of a
 * configuration call and the argument of kxsim_call_count(). */
enum {
    KXSIM_FT_WRITE,
    KXSIM_FT_READ,
    KXSIM_FT_OPEN,
    KXSIM_FT_OPEN_EX,
    KXSIM_FT_LIST_DEVICES,
    KXSIM_FT_CLOSE,
    KXSIM_FT_RESET_DEVICE,
    KXSIM_FT_PURGE,
    KXSIM_FT_SET_TIMEOUTS,
    KXSIM_FT_GET_QUEUE_STATUS,
    KXSIM_FT_GET_STATUS,
    KXSIM_FT_SET_BAUD_RATE,
    KXSIM_FT_SET_DATA_CHARACTERISTICS,
    KXSIM_FT_SET_FLOW_CONTROL,
    KXSIM_FT_SET_DIVISOR,
    KXSIM_FT_SET_EVENT_NOTIFICATION,
    KXSIM_FT_SET_LATENCY_TIMER, /* also exported; the tool binds these two if present */
    KXSIM_FT_GET_LATENCY_TIMER,
    KXSIM_FT_ENTRY_COUNT
};

/* One configuration call the host made (open, close, reset, purge, time-outs, baud rate,
 * divisor, data characteristics, flow control, event notification), in call order. */
typedef struct kxsim_config_call {
    int entry;             /* KXSIM_FT_* */
    unsigned long args[3]; /* numeric arguments in order; FT_OpenEx: flags; FT_Open: index */
    unsigned long status;  /* what the call returned */
} kxsim_config_call;

/* What the device's bootloader is doing. */
enum {
    KXSIM_STATE_OFF,      /* unplugged */
    KXSIM_STATE_DORMANT,  /* plugged in, port closed (only with the old timing) */
    KXSIM_STATE_STARTING, /* powered up or restarted, announcement pending */
    KXSIM_STATE_COMMAND,  /* announced; records one at a time at 38400 8N1 */
    KXSIM_STATE_ERASING,  /* switch record taken; link at 500000 8N2 */
    KXSIM_STATE_REFUSING, /* switch record after a refused record: 0xD5/0xC8 follows */
    KXSIM_STATE_BULK,     /* packets of records at 500000 8N2 */
    KXSIM_STATE_DONE      /* image complete; silent until re-plugged */
};

/* --- device and line ------------------------------------------------------------------ */

/* One dongle, selected, at its defaults: plugged in, port closed, empty logs, flash holding
 * the previous firmware, its clock restarted at 0 (a manual clock stays manual, so that a
 * test that sets it first times everything from the power-up). Handles from before are unknown
 * afterwards. Does not read the environment. */
KXSIM_API void kxsim_reset(void);
/* Several dongles (1 to 64), each at its defaults, the first selected: serial numbers
 * KX000001, KX000002, ..., location ids 0x101, 0x102, .... FT_OpenEx and FT_ListDevices
 * look through all of them; every other kxsim_* function acts on the selected one. */
KXSIM_API void kxsim_set_device_count(size_t count);
KXSIM_API size_t kxsim_device_count(void);
/* 0 on success, -1 for an index out of range. */
KXSIM_API int kxsim_select(size_t index);
/* Plugging in powers the device up (a power cycle: its state starts afresh, the flash keeps
 * its contents). Unplugging makes the open handle fail until it is closed. */
KXSIM_API void kxsim_plug(void);
KXSIM_API void kxsim_unplug(void);
/* Unplugs now and plugs in again once `ms` of model time (not scaled) have passed. */
KXSIM_API void kxsim_plug_in_ms(double ms);
/* After an unplug made by kxsim_unplug_after_bytes/_calls, plug in again once `ms` of model
 * time have passed (< 0: stay unplugged, the default). */
KXSIM_API void kxsim_replug_after_ms(double ms);
KXSIM_API int kxsim_is_plugged(void);
KXSIM_API int kxsim_is_open(void);
/* Unplugs once `n` more host bytes have gone over the wire (0 cancels). */
KXSIM_API void kxsim_unplug_after_bytes(unsigned long n);
/* Unplugs just before the k-th FT_ call from now runs (1 = the next call; 0 cancels). */
KXSIM_API void kxsim_unplug_after_calls(unsigned long k);
/* Puts bytes into the host's receive queue now (no line, no latency). */
KXSIM_API void kxsim_inject(const unsigned char* bytes, size_t len);
/* The next FT_Read that delivers bytes returns FT_IO_ERROR (4) with them. */
KXSIM_API void kxsim_read_io_error_next(void);
/* While stalled, nothing leaves the host's transmit queue. */
KXSIM_API void kxsim_stall_tx(int on);
/* Stalls the line as the k-th FT_Write from now queues its bytes, so that they stay in the
 * host's transmit queue (1 = the next write; 0 cancels). kxsim_stall_tx(0) releases it. */
KXSIM_API void kxsim_stall_tx_at_write(unsigned long k);

/* --- settings (each also a configuration key, see README.md) ----------------------------- */

KXSIM_API void kxsim_set_description(const char* description);
KXSIM_API void kxsim_set_serial(const char* serial);
KXSIM_API void kxsim_set_location(unsigned long location);
KXSIM_API void kxsim_set_name(const char* name);
KXSIM_API void kxsim_set_id(const char* id);
/* A new flash holding the previous firmware. */
KXSIM_API void kxsim_set_flash(unsigned long base, unsigned long size);
/* The chip's latency timer after power-up and on every open (FT_SetLatencyTimer changes
 * it for the open port); also the port's timer now. */
KXSIM_API void kxsim_set_latency_ms(double ms);
/* The port's latency timer now, in ms. */
KXSIM_API double kxsim_latency_timer_ms(void);
/* Bytes the chip's transmit FIFO holds apart from the driver's queue (FT_GetStatus leaves
 * them out); 0 counts every byte until it has left. */
KXSIM_API void kxsim_set_tx_fifo(unsigned bytes);
/* Divides every device time; 0 = unlimited (no line time, no latency; the pauses the host
 * must outlast keep their floors). */
KXSIM_API void kxsim_set_speed(double factor);
KXSIM_API void kxsim_set_erase_ms(double ms);
/* Announcement `delay_ms` after the dongle powers up (or after an error reply), repeated
 * every `repeat_ms` while no record arrives (0 = once); both 0 to 10000 ms. An announcement
 * still pending is rescheduled from when it was scheduled. */
KXSIM_API void kxsim_set_announce(double delay_ms, double repeat_ms);
/* The old timing (off by default): the bootloader sleeps while the port is closed and
 * starts afresh, announcing `delay_ms` later, each time the host opens it. */
KXSIM_API void kxsim_set_announce_from_open(int on);
/* Resend requests in a row before the device gives up with 0xC8. */
KXSIM_API void kxsim_set_max_resends(unsigned n);
KXSIM_API void kxsim_set_progress_text(int on);
/* Answer 0xA9 to each good record before the switch record (off by default). */
KXSIM_API void kxsim_set_command_ack(int on);
/* Self-powered (off by default): an unplug is a USB drop, not a power cut for the dongle.
 * Its bootloader keeps its state and its UART's link through it; the FTDI chip, powered by
 * the bus, starts again at its defaults. */
KXSIM_API void kxsim_set_self_powered(int on);
/* The next complete record the device takes counts as damaged. */
KXSIM_API void kxsim_damage_next_record(void);
/* Reads a file of "key = value" lines. Returns 0, the number of the first bad line, or -1
 * when the file cannot be read. */
KXSIM_API int kxsim_load_config(const char* path);
/* Applies KXSIM_CONFIG and the KXSIM_* variables (as at library load); 0 when all applied. */
KXSIM_API int kxsim_apply_environment(void);
/* Files written when the port closes and, once opened by this process, when it ends
 * (NULL or "" = none); %s in a name stands for the serial number. */
KXSIM_API void kxsim_set_dump(const char* packets_path, const char* flash_path);
/* Writes them now; 0 on success. */
KXSIM_API int kxsim_dump(void);

/* --- clock ------------------------------------------------------------------------------ */

/* A manual clock stands still until advanced; a blocking FT_Read moves it forward to when
 * the read can end. */
KXSIM_API void kxsim_set_manual_clock(int on);
KXSIM_API void kxsim_advance_ms(double ms);
KXSIM_API double kxsim_now_ms(void);
/* When the library's own thread (which plays the chip's USB side once the host has
 * registered an event) would next bring the dongle up to date, in model ms: the earliest
 * moment the device may send or a received byte may reach the host. -1 while it waits for
 * the host. Nothing reaches the host's queue in between unless the host calls in. */
KXSIM_API double kxsim_chip_wake_ms(void);

/* --- inspection ------------------------------------------------------------------------- */

/* Every FT_Write since the last reset, with the host link in force when it was written.
 * kxsim_packet copies up to `cap` bytes and returns the packet's full length (0 for an
 * index out of range); `link` may be NULL. */
KXSIM_API size_t kxsim_packet_count(void);
KXSIM_API size_t kxsim_packet(size_t index, unsigned char* buf, size_t cap, kxsim_link* link);
/* Copies up to `cap` bytes of the flash image; returns the flash size. */
KXSIM_API size_t kxsim_flash(unsigned char* buf, size_t cap);
KXSIM_API unsigned long kxsim_flash_base(void);
KXSIM_API size_t kxsim_config_count(void);
/* 0 on success, -1 for an index out of range. */
KXSIM_API int kxsim_config(size_t index, kxsim_config_call* call);
/* The call as text, e.g. "FT_SetDataCharacteristics(8, 2, 0) = 0"; returns its length. */
KXSIM_API size_t kxsim_config_text(size_t index, char* buf, size_t cap);
KXSIM_API unsigned long kxsim_call_count(int entry);
/* Bytes as the device's UART received them (after the line) and as it sent them (before
 * the line), since the last reset. Copy up to `cap`; return the full count. */
KXSIM_API size_t kxsim_device_received(unsigned char* buf, size_t cap);
KXSIM_API size_t kxsim_device_sent(unsigned char* buf, size_t cap);
KXSIM_API int kxsim_device_state(void);
KXSIM_API void kxsim_host_link(kxsim_link* link);
KXSIM_API void kxsim_device_link(kxsim_link* link);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KXSIM_H */
