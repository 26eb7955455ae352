#include "rtc.h"

// Protocol 0 stands for automatic detection, which is not implemented. The chip protocols fill
// rows 1..4 as they are added; until then a row without routines reads as a missing chip.
const RtcProtocolEntry g_rtcProtocols[RTC_PROTOCOL_COUNT] = {
    {0, 0, 0, 0x00},
    {0, 0, 0, 0x68},
    {0, 0, 0, 0x68},
    {0, 0, 0, 0x51},
    {0, 0, 0, 0x68},
};
