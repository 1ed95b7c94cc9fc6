// A scripted fake target for the negotiation: it records every Text command that the code under
// test sends and answers each read of a Text response with the next prepared answer, applying the
// answer's keys to the session as the real response handler does. It also records transport
// breaks: these doubles stand in for sendTextCmd, handleTextResponse and iscsiOSbreakConnection.
#pragma once

#include "driver/engine/engine.h"

#include <deque>
#include <string>
#include <vector>

namespace fake {

struct SentText {
    ISCSI_CONNECTION* connection;
    std::string bytes; // the data segment as sent: textLength bytes, ";" already turned into NUL
    ULONG length;
    int final;
    int noWait;
    UCHAR lowStage;
    UCHAR highStage;
};

struct Answer {
    std::string text; // wire form: NUL-terminated pairs
    bool final;
    bool failRead; // the response cannot be read (time-out, short read)
};

struct Target {
    std::vector<SentText> sent;
    std::deque<Answer> answers;
    std::vector<PISCSI_SOCK> breaks;
    int failSends = 0;           // the next n sends fail
    int handledResponses = 0;    // responses read
    ULONG lastMode = 0xFFFFFFFF; // mode of the last handleTextResponse call
    bool headerWasZeroed = true; // every header buffer handed over was zeroed
};

// The one fake target of the test process; reset by each test.
Target& target();
void reset();
// Queues an answer to the next Text command.
void answer(const std::string& wireText, bool final = false);
void answerUnreadable();

} // namespace fake
