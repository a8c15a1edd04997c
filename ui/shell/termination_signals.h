// SIGTERM, SIGINT and SIGHUP end the client the way its own quit does: the message loop ends
// and the shutdown runs in its order, so the accounts disconnect without saving (they keep
// their last status) and the profile is closed. A second signal while the first is handled
// ends the process at once.
#pragma once

namespace zul {

// Installs the handlers; called at the start of main(), before the application object exists.
// A signal that arrives before the message loop runs ends the loop as soon as it starts.
void QuitOnTerminationSignals();

}  // namespace zul
