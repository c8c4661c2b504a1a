// Private interface of the framework's test driver images (Tfbus, the bus personality, and Tffunc,
// the function personality loaded on its children), shared by the images and the scenarios that
// drive them.
//
// Recording: each image appends one line per callback call ("<entry> dev<n> <arguments>") and
// writes the lines, whenever it runs at PASSIVE_LEVEL, under its service key:
//   Services\<service>\Record   Count (REG_DWORD), "0001", "0002", ... (REG_SZ, one line each).
// Lines of calls made above PASSIVE_LEVEL follow at the next flush (TFTEST_IOCTL_FLUSH_RECORD).
// Entry lines: "0 dev1 name=\Device\TfBus", "2 dev1" (create), "3 dev1" (close), "4 dev1" (cleanup),
// "5 dev1" (start), "6 dev1" (remove), "7 dev1 phase=<p>", "9 dev1 lead=<v> len=<n>",
// "10 dev1 len=<n>", "11/13/14 dev1 code=0x<c> in=<n> out=<n>", "15 dev1", "16 dev1",
// "18 dev1 index=<i> phase=<p> <Name>=<value> ..."; and the driver's own: "object dev<n>" (create
// callback), "delete dev<n>", "added dev<n>" (device-added callback), "unload".
//
// Service key values read at DriverEntry:
//   RefuseValue (REG_DWORD): entry 18 refuses an apply (phase 0) whose first number equals it.
#pragma once

// Private device-control codes (METHOD_BUFFERED, any access), answered by entry 13 (Tfbus) and
// entry 14 (Tffunc) on a started functional device.
#define TFTEST_DEVICE_TYPE 0x8003
#define TFTEST_CTL(Function) (((ULONG)TFTEST_DEVICE_TYPE << 16) | ((ULONG)(Function) << 2))
// No input; out >= 4: the number of record lines written so far.
#define TFTEST_IOCTL_FLUSH_RECORD TFTEST_CTL(0x800)
// Output = input (as much as fits), Information = bytes copied.
#define TFTEST_IOCTL_ECHO TFTEST_CTL(0x801)
// Tffunc: the input bytes arrive as received data in the device's read queue.
#define TFTEST_IOCTL_PUT_READ_DATA TFTEST_CTL(0x802)
// Tffunc: in = 4 bytes of SERIAL_EV_* events, recorded and reported to a waiting WAIT_ON_MASK.
#define TFTEST_IOCTL_SET_EVENTS TFTEST_CTL(0x803)
// Tffunc: in = 4 bytes, the count of bytes the "device" confirms as sent (write-queue credit and
// completion of the writes handed to entry 10). Each open gives an initial credit of
// TFTEST_FUNC_INITIAL_CREDIT bytes; nothing is confirmed without this request.
#define TFTEST_IOCTL_CONFIRM_WRITTEN TFTEST_CTL(0x804)
#define TFTEST_FUNC_INITIAL_CREDIT 4096
// Tffunc: out = the device's configuration set as it is held in memory (flags 3), Information
// = its size; STATUS_BUFFER_TOO_SMALL when the output cannot hold it.
#define TFTEST_IOCTL_GET_LIVE_SET TFTEST_CTL(0x805)
// Tffunc: no input. The next write the write queue's block builder puts back into a queue is held
// there (after the builder's purge and time-out checks, before the insert) until the device's
// removal has purged the queue; "hold dev<n> len=<n>" is recorded once it is held. The hold gives
// up after TFTEST_FUNC_HOLD_LIMIT_MS on the machine clock.
#define TFTEST_IOCTL_HOLD_NEXT_BLOCK TFTEST_CTL(0x806)
#define TFTEST_FUNC_HOLD_LIMIT_MS 10000
// Tfbus internal device control (entry 11): out >= 4 receives TFTEST_INTERNAL_ANSWER.
#define TFTEST_IOCTL_INTERNAL_QUERY TFTEST_CTL(0x810)
#define TFTEST_INTERNAL_ANSWER 0x54466275UL

// Values of the information sets the images serve through the configuration interface, in
// registration order, with their defaults.
#define TFTEST_BUS_SET_NUMBER u"BusSpeed"
#define TFTEST_BUS_SET_NUMBER_DEFAULT 1000
#define TFTEST_BUS_SET_STRING u"BusName"
#define TFTEST_BUS_SET_STRING_DEFAULT "TFBUS"
#define TFTEST_FUNC_SET_BAUD u"Baudrate"
#define TFTEST_FUNC_SET_BAUD_DEFAULT 9600
#define TFTEST_FUNC_SET_DATA_BITS u"DataBits"
#define TFTEST_FUNC_SET_DATA_BITS_DEFAULT 8
#define TFTEST_FUNC_SET_FLAGS u"Flags"
#define TFTEST_FUNC_SET_FLAGS_DEFAULT 0

#define TFTEST_RECORD_SUBKEY u"Record"
#define TFTEST_RECORD_COUNT u"Count"
#define TFTEST_REFUSE_VALUE u"RefuseValue"
