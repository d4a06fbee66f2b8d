// The stream pump's timer side: the heartbeat that wakes the readers when a unit is late, and
// the client events it and the pump signal.
#include "Cvusbdrv.h"

namespace {

void SignalOne(PKEVENT event, UCHAR every, UCHAR* count)
{
    if (event == nullptr)
        return;
    if (every == 0) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        return;
    }
    *count = static_cast<UCHAR>(*count + 1);
    if (*count == every) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        *count = 0;
    }
}

} // namespace

// Signals the video and audio client events, each on every n-th call (every call when its
// divider is 0). DISPATCH_LEVEL.
void SignalClients(StreamContext* s)
{
    SignalOne(s->videoClientEvent, s->videoSignalEvery, &s->videoSignalCount);
    SignalOne(s->audioClientEvent, s->audioSignalEvery, &s->audioSignalCount);
}

void NTAPI HeartbeatDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* unit = static_cast<UnitExtension*>(context);
    StreamContext* s = &unit->stream;
    s->heartbeatFired = 1;
    if (s->streamRequest != nullptr && s->videoStandard == s->streamRequest->unitStandard)
        SignalClients(s);
    s->statistics.heartbeats += 1;
}
