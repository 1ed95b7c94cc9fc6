// The receive loop of a logged-in connection and every handler it dispatches to, over the
// driver's real transport, against a target whose PDUs are the fuzz input:
//   byte 0     bits 0-2: the most bytes one receive delivers; bit 3: every other receive finds
//              nothing there first
//   the rest   the byte stream the target sends (SCSI responses, Data-In, R2T, NOP-In, Text,
//              Logout, Asynchronous Message, Reject, Task Management responses, anything else)
// The session has four commands pending on the connection (a 4 KiB read, an 8 KiB write, one
// without data, a 512-byte read with auto-sense off) and an abort of the third one sent, with the
// tags a fresh engine gives them (command n: 0x10000100 + n, the abort: 0x20000100, in host
// order on the wire). Its command queue thread runs, so R2Ts and NOP-Ins are answered, and when
// the loop ends the session may reconnect and log in on the rest of the stream.
//
// The adapter's completions are a double that checks every request completes exactly once, and
// then poisons its buffers: the engine must not touch a request it has given back. Data-In never
// lands in a write's buffer. At the end the session is deleted the way a removal deletes it, and
// nothing may be left behind (threads, sockets, pool memory).
#include "check.h"
#include "driver/engine/receive.h"
#include "driver/login/login.h"
#include "fuzz/driver_peer.h"
#include "platform/kernel/host.h"
#include "platform/scsiport/srb.h"

#include <sanitizer/asan_interface.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct PendingCommand {
    ULONG direction;
    ULONG length;
    UCHAR senseLength;
    ULONG flags;
};

constexpr PendingCommand kCommands[] = {
    {ISCSI_DIR_READ, 4096, 18, SRB_FLAGS_DATA_IN},
    {ISCSI_DIR_WRITE, 8192, 18, SRB_FLAGS_DATA_OUT},
    {ISCSI_DIR_NONE, 0, 0, 0},
    {ISCSI_DIR_READ, 512, 255, SRB_FLAGS_DATA_IN | SRB_FLAGS_DISABLE_AUTOSENSE},
};
constexpr size_t kRequests = std::size(kCommands) + 1; // and the abort
constexpr size_t kAborted = 2;
constexpr UCHAR kWritePattern = 0x5A;
constexpr size_t kChunks[8] = {0, 1, 3, 7, 48, 100, 512, 4096};

// The requests of one input and how often each completed. Guarded by mutex.
struct Requests {
    std::mutex mutex;
    std::array<SCSI_REQUEST_BLOCK, kRequests> srbs;
    std::array<int, kRequests> completions;
    std::array<UCHAR*, kRequests> data;
    std::array<UCHAR*, kRequests> sense;
};

Requests& requests() {
    static Requests* r = new Requests; // never destroyed: driver threads may outlive main
    return *r;
}

// Counts a completion of srb and poisons what the engine no longer owns.
void completed(PSCSI_REQUEST_BLOCK srb) {
    Requests& r = requests();
    std::lock_guard lock(r.mutex);
    size_t i = 0;
    while (i < kRequests && &r.srbs[i] != srb) {
        i++;
    }
    FUZZ_CHECK(i < kRequests);           // a request the engine was never given
    FUZZ_CHECK(++r.completions[i] == 1); // completed twice
    if (i < std::size(kCommands)) {
        ASAN_POISON_MEMORY_REGION(r.data[i], kCommands[i].length);
        ASAN_POISON_MEMORY_REGION(r.sense[i], kCommands[i].senseLength);
    }
}

void prepareRequests() {
    Requests& r = requests();
    std::lock_guard lock(r.mutex);
    for (size_t i = 0; i < kRequests; i++) {
        r.srbs[i] = {};
        r.completions[i] = 0;
        r.data[i] = nullptr;
        r.sense[i] = nullptr;
        if (i >= std::size(kCommands)) {
            r.srbs[i].Function = SRB_FUNCTION_ABORT_COMMAND;
            r.srbs[i].NextSrb = &r.srbs[kAborted];
            continue;
        }
        const PendingCommand& c = kCommands[i];
        // Exactly as large as the request says, so a byte past it is a report.
        r.data[i] = c.length != 0 ? new UCHAR[c.length] : nullptr;
        r.sense[i] = c.senseLength != 0 ? new UCHAR[c.senseLength]() : nullptr;
        if (c.direction == ISCSI_DIR_WRITE) {
            std::fill_n(r.data[i], c.length, kWritePattern);
        }
        SCSI_REQUEST_BLOCK& s = r.srbs[i];
        s.Function = SRB_FUNCTION_EXECUTE_SCSI;
        s.SrbFlags = c.flags;
        s.DataTransferLength = c.length;
        s.DataBuffer = r.data[i];
        s.SenseInfoBuffer = r.sense[i];
        s.SenseInfoBufferLength = c.senseLength;
        s.CdbLength = 10;
        s.Cdb[0] = c.direction == ISCSI_DIR_WRITE ? 0x2A : c.direction == ISCSI_DIR_READ ? 0x28 : 0;
    }
}

// Every request completed once; a write's data was never overwritten.
void checkAndReleaseRequests() {
    Requests& r = requests();
    std::lock_guard lock(r.mutex);
    for (size_t i = 0; i < kRequests; i++) {
        FUZZ_CHECK(r.completions[i] == 1);
        if (i >= std::size(kCommands)) {
            continue;
        }
        ASAN_UNPOISON_MEMORY_REGION(r.data[i], kCommands[i].length);
        ASAN_UNPOISON_MEMORY_REGION(r.sense[i], kCommands[i].senseLength);
        if (kCommands[i].direction == ISCSI_DIR_WRITE) {
            for (ULONG j = 0; j < kCommands[i].length; j++) {
                FUZZ_CHECK(r.data[i][j] == kWritePattern);
            }
        }
        delete[] r.data[i];
        delete[] r.sense[i];
    }
}

// Puts the commands and the abort in the session's tables as the command queue thread leaves
// them once sent on the connection.
void enterPending(ISCSI_SESSION* session, ISCSI_CONNECTION* connection) {
    Requests& r = requests();
    ISCSI_CMD* cmds[std::size(kCommands)];
    for (size_t i = 0; i < std::size(kCommands); i++) {
        auto* cmd = static_cast<ISCSI_CMD*>(iscsiQueueTake(&freeCmdQ));
        FUZZ_CHECK(cmd != nullptr);
        const PendingCommand& c = kCommands[i];
        cmd->srb = &r.srbs[i];
        cmd->cdb = r.srbs[i].Cdb;
        cmd->cdbLength = r.srbs[i].CdbLength;
        RtlZeroMemory(cmd->lun, sizeof cmd->lun);
        cmd->dataBuffer = r.data[i];
        cmd->dataLength = c.length;
        cmd->dataContext = 0;
        cmd->direction = c.direction;
        cmd->session = session;
        cmd->connection = connection;
        cmd->cmdSN = static_cast<ULONG>(i + 1);
        cmd->itt = setTaskId(cmd);
        cmd->msgHdr = nullptr;
        enterCmdIntoTable(session, cmd);
        cmds[i] = cmd;
    }
    ISCSI_TASK_MAN* tm = iscsiTakeTaskMan(TM_FUNCTION_ABORT_TASK, connection, cmds[kAborted]->lun,
                                          cmds[kAborted]->itt, cmds[kAborted]->cmdSN);
    FUZZ_CHECK(tm != nullptr);
    tm->srb = &r.srbs[std::size(kCommands)];
    tm->itt = setTaskId(tm);
    enterIntoTaskManTable(session, tm);
}

// Whether the session has no connection and no connection attempt: the loop has ended and the
// rest of the stream, if any, found no login to take it.
bool settled(ISCSI_SESSION* session) {
    KIRQL old = iscsiLockSession(session);
    bool quiet = session->numActiveConnections == 0 && !(session->flags & SESSION_CONNECTING);
    iscsiUnlockSession(session, old);
    return quiet;
}

} // namespace

void iscsiOScompleteCommand(PSCSI_REQUEST_BLOCK srb, UCHAR, ULONG) {
    completed(srb);
}
void iscsiOScompleteCommandNoConnection(PSCSI_REQUEST_BLOCK srb) {
    completed(srb);
}
void iscsiOScompleteCommandReset(PSCSI_REQUEST_BLOCK srb) {
    completed(srb);
}
void iscsiOScompleteCommandAbort(PSCSI_REQUEST_BLOCK srb) {
    completed(srb);
}
void iscsiOScompleteTaskMan(UCHAR function, PSCSI_REQUEST_BLOCK srb, ULONG) {
    // NOP replies that were never sent come back here too, without a request.
    if (function == TM_FUNCTION_ABORT_TASK) {
        completed(srb);
    }
}
int iscsiOShandleSecurity(char*, ULONG, ULONG) {
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qvk::setTimeScale(1e-4);
    fuzzpeer::installDevice();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    fuzzpeer::serve(data + 1, size - 1, kChunks[data[0] & 7], (data[0] & 8) != 0, false);
    FUZZ_CHECK(iscsiCoreInitData() == 0);
    prepareRequests();

    const char login[] = "InitiatorName=iqn.fuzz:i;TargetName=iqn.fuzz:t;";
    ISCSI_SESSION* session = fuzzpeer::makeSession(login, sizeof login - 1, 2);
    setDefaultOpParams(session);
    iscsiPublishDataPathParams(session);
    session->cmdSN = 6; // four commands and the abort went out
    session->expCmdSN = 1;
    session->maxCmdSN = 64;
    ISCSI_CONNECTION* connection = &session->connections[0];
    FUZZ_CHECK(fuzzpeer::connect(connection));
    connection->expStatSN = 1;
    session->activeConnections[0] = connection;
    session->numActiveConnections = 1;
    enterPending(session, connection);

    connection->readThread = iscsiOScreateThread(readConnectionHandler, connection, 0);
    FUZZ_CHECK(iscsiOSthreadStarted(connection->readThread));
    session->cmdQThread = iscsiOScreateThread(cmdQHandler, session, 0);
    FUZZ_CHECK(iscsiOSthreadStarted(session->cmdQThread));

    // The loop reads without a time limit, but the stream ends, and then every read fails at
    // once: the session must settle (no connection, no attempt) within the bound. A session that
    // lost its connection tries again and again with growing pauses: once the stream is used up,
    // nothing is left for an attempt to read, and one quiet look is enough.
    auto limit = std::chrono::steady_clock::now() + 20s;
    for (int quiet = 0; quiet < 4; quiet = !settled(session)            ? 0
                                           : fuzzpeer::bytesLeft() == 0 ? 4
                                                                        : quiet + 1) {
        FUZZ_CHECK(std::chrono::steady_clock::now() < limit);
        std::this_thread::sleep_for(50us);
    }
    freeSessionResources(session);
    FUZZ_CHECK(qvk::waitSystemThreadsQuiet(20s));
    checkAndReleaseRequests();
    iscsiCoreCleanupData();
    FUZZ_CHECK(fuzzpeer::openSockets() == 0);
    FUZZ_CHECK(qvk::poolOutstanding() == 0);
    return 0;
}
