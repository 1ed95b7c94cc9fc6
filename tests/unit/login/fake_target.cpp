#include "tests/unit/login/fake_target.h"

#include "driver/engine/os_services.h"
#include "driver/engine/text.h"
#include "driver/login/login.h"

#include <cstring>

namespace fake {

Target& target() {
    static Target instance;
    return instance;
}

void reset() {
    target() = Target{};
}

void answer(const std::string& wireText, bool final) {
    target().answers.push_back(Answer{wireText, final, false});
}

void answerUnreadable() {
    target().answers.push_back(Answer{"", false, true});
}

} // namespace fake

// As the real command: the ";" of the text become NULs in the caller's buffer.
int sendTextCmd(ISCSI_CONNECTION* connection, char* text, ULONG textLength, int final, int noWait,
                UCHAR lowStage, UCHAR highStage) {
    fake::Target& t = fake::target();
    if (t.failSends > 0) {
        t.failSends--;
        return ISCSI_FAILURE;
    }
    std::string bytes;
    if (text != nullptr) {
        replaceSemiColons(text, textLength);
        bytes.assign(text, textLength);
    }
    connection->textFinal = 0;
    t.sent.push_back(
        fake::SentText{connection, bytes, textLength, final, noWait, lowStage, highStage});
    return 0;
}

// As the real handler in the mode that reads the header itself: the answer's pairs go to
// handleParams (whose result the handler does not pass on), then textFinal follows the final bit.
LONG handleTextResponse(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr, ULONG mode,
                        char* outBuffer, ULONG outCapacity) {
    (void)outBuffer;
    (void)outCapacity;
    fake::Target& t = fake::target();
    t.lastMode = mode;
    for (UCHAR byte : msgHdr->hdr) {
        if (byte != 0) {
            t.headerWasZeroed = false;
        }
    }
    if (t.answers.empty()) {
        return ISCSI_FAILURE;
    }
    fake::Answer a = t.answers.front();
    t.answers.pop_front();
    if (a.failRead) {
        return ISCSI_FAILURE;
    }
    t.handledResponses++;
    if (!a.text.empty()) {
        // The received text, padded, with a NUL behind it as the handler keeps it.
        std::vector<char> buffer(((a.text.size() + 3) & ~size_t{3}) + 1, '\0');
        memcpy(buffer.data(), a.text.data(), a.text.size());
        (void)handleParams(buffer.data(), static_cast<ULONG>(a.text.size()), connection->session,
                           0);
    }
    if (a.final) {
        connection->textFinal = 1;
    }
    return 0;
}

int iscsiOSbreakConnection(PISCSI_SOCK pSock) {
    fake::target().breaks.push_back(pSock);
    return 0;
}
