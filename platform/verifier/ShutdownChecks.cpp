// The verifier's end-of-run checks on what drivers left behind once every device has left and
// every driver has unloaded: references and handles still held, driver images that something
// still runs in, and damage to pool guards or to freed blocks in the quarantine.
#include "../host/Machine.h"
#include "../io/ObjectManager.h"
#include "../kernel/Pool.h"
#include "../pnp/Loader.h"
#include "Verifier.h"

namespace host {

void CheckWhatShutdownLeft(Machine& machine)
{
    Verifier& verifier = machine.Verify();
    for (auto& text : machine.Objects().Alive())
        verifier.Report("at shutdown: " + text);
    for (auto& text : machine.Objects().HandlesOpen())
        verifier.Report("at shutdown: " + text + " still open");
    for (auto& text : machine.Modules().StillHeld())
        verifier.Report("at shutdown: " + text);
    machine.PoolManager().CheckAll();
}

} // namespace host
