// Whether the process rests: whether the parts of it that take up callers' work (the network servers'
// threads, the database's kept connections) hold anything of it. A part holds the process busy from when
// it takes something up until it has given it back; when the last hold goes, the registered rest actions
// run on that thread, with none of the part's locks held. Only a new hold can begin another idle period,
// so they run once per idle period. Parts hold and let go as a thread starts or ends or as a connection is
// first kept or last closed, never per message. Any thread.
#pragma once

// One more hold: the process does not rest until it goes.
void holdProcessBusy();
// One hold fewer; the last one's going runs the rest actions.
void releaseProcessBusy();
// Adds `action`, run each time the process comes to rest (the host gives its free memory back).
void registerProcessRestAction(void (*action)());
