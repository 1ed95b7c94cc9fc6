// A recording double of the adapter's completion calls for tests of the engine's command flow:
// every request handed to the engine is registered, its completion recorded, and a request that
// completes twice, or never by the end of the test, fails the test.
#pragma once

#include "driver/engine/engine.h"
#include "platform/scsiport/srb.h"

#include <chrono>
#include <optional>

namespace systest {

struct Completed {
    enum Kind { Command, NoConnection, Reset, Abort, TaskMan } kind;
    UCHAR scsiStatus; // Command
    ULONG residual;   // Command
    ULONG result;     // TaskMan
};

// Registers a request before it is handed to the engine.
void expectCompletion(PSCSI_REQUEST_BLOCK srb);
// Forgets a request the engine refused (its caller completes it).
void forgetRequest(PSCSI_REQUEST_BLOCK srb);
// The request's completion, waiting at most `limit` for it; none if it did not complete.
std::optional<Completed> completionOf(PSCSI_REQUEST_BLOCK srb,
                                      std::chrono::milliseconds limit = std::chrono::seconds(10));
// Fails the test for every registered request that did not complete exactly once; clears.
void checkEveryRequestCompletedOnce();

} // namespace systest
