// The port driver's private serial control codes: built like the standard ones, functions 0x800
// and up.
#pragma once

#include <wdm.h>

#define CVSERIAL_CTL(n) CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_CVSERIAL_GET_DUPLEX_MODE CVSERIAL_CTL(0)
#define IOCTL_CVSERIAL_SET_DUPLEX_MODE CVSERIAL_CTL(1)
#define IOCTL_CVSERIAL_SET_LOOPBACK_MODE CVSERIAL_CTL(2)
#define IOCTL_CVSERIAL_CLEAR_LOOPBACK_MODE CVSERIAL_CTL(3)
#define IOCTL_CVSERIAL_READ_EEPROM CVSERIAL_CTL(6)
#define IOCTL_CVSERIAL_WRITE_EEPROM CVSERIAL_CTL(7)

static_assert(IOCTL_CVSERIAL_GET_DUPLEX_MODE == 0x1B2000, "private codes start at 0x1B2000");
static_assert(IOCTL_CVSERIAL_WRITE_EEPROM == 0x1B201C, "and end at 0x1B201C");

// Input of IOCTL_CVSERIAL_SET_DUPLEX_MODE and output of its GET sibling.
typedef struct _CVSERIAL_DUPLEX_MODE {
    ULONG ulDuplexMode;
    UCHAR ucCtsTrue;
} CVSERIAL_DUPLEX_MODE, *PCVSERIAL_DUPLEX_MODE;

// Head of the EEPROM requests' input (the write request's data follow it).
typedef struct _CVSERIAL_EEPROM_REQUEST {
    ULONG ulStart;
    ULONG ulLength;
} CVSERIAL_EEPROM_REQUEST, *PCVSERIAL_EEPROM_REQUEST;
