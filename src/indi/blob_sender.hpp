// Every BLOB of this driver leaves from a thread of its own while the INDI loop waits for it.
//
// libindi 1.9.9 makes each BLOB wait first for indiserver's reply to the BLOB before it. A
// sender on another thread than the loop's reads that reply from stdin itself, while the loop
// reads stdin too: when the loop takes the reply, the sender sleeps in select() until the
// client next says something, and its image stays unsent (two cameras that finished at once
// lost one image of the two that way). A sender on the loop's own thread waits for a reply that
// only the loop could read: the driver stops for good.
//
// So the sender runs from an immediate work of the loop, after the loop's own read of stdin
// in that pass, and the loop waits until it ends: the sender is then the only reader of stdin,
// and two cameras' BLOBs go one after the other.
#pragma once

#include <functional>

namespace blobs {

// Runs `send` on a thread of its own at the end of this pass of the INDI loop, the loop
// waiting for it, then `then` on the loop. Called on the loop's thread.
void send_off_loop(std::function<void()> send, std::function<void()> then = {});

}  // namespace blobs
