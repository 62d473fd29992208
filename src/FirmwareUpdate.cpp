#include "TarvoXcon.h"

// Reached only through a connected client, which does not exist yet.
ActionResult firmwareUpdate(Samba&, const char*, uint32_t, bool, bool& restarted)
{
    restarted = false;
    return ActionResult::Abort;
}
