#include "rtc.h"

// Protocol 0 stands for automatic detection, which is not implemented: its row has no routines.
const RtcProtocolEntry g_rtcProtocols[RTC_PROTOCOL_COUNT] = {
    {0, 0, 0, 0x00},
    {ReadRtcProtocol1, 0, WriteRtcProtocol1, 0x68},
    {ReadRtcProtocol2, 0, WriteRtcProtocol2, 0x68},
    {ReadRtcProtocol3, 0, WriteRtcProtocol3, 0x51},
    {ReadRtcProtocol4, PrepareRtcProtocol4, WriteRtcProtocol4, 0x68},
};
