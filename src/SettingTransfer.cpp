#include <cstdio>

#include "TarvoXcon.h"

// Reached only through a connected client, which does not exist yet.
ActionResult settingSave(Samba&, const char*) { return ActionResult::Abort; }
ActionResult settingUpdate(Samba&, const char*, uint32_t) { return ActionResult::Abort; }
