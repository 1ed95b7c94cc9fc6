// The control records the configuration tool hands the driver: the input is a sequence of up to
// eight control requests, each a 16-bit little-endian length and then the request's data buffer
// (SRB_IO_CONTROL header and record; bytes the input lacks are zeros), sent one after another
// through the port driver stand-in (path 8, SRB_FUNCTION_IO_CONTROL) to the driver, which is
// loaded once for the whole run. Every data buffer is exactly as long as the request says, so a
// read or write past it is an AddressSanitizer report.
//
// No connection leaves the machine: an add's IpAddress becomes 127.0.0.1 and its port one where
// nothing listens. After each input the harness ends what the input began (completes and removes
// every target added, clears the shutdown and drop switches), so each input finds the driver as
// the first did, and checks that every request completed once and nothing was left behind:
// threads, pool memory, login event handles.
#include "check.h"
#include "driver/adapter/adapter.h"
#include "driver/runtime/runtime.h"
#include "platform/kernel/host.h"
#include "platform/scsiport/port.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr size_t kMaxRequests = 8;
constexpr size_t kMaxLength = 4096;
constexpr ULONG kLoopback = 0x7F000001;

struct Driver {
    SCSI_PORT* port;
    USHORT closedPort;
    uint64_t pool;  // pool memory the loaded driver holds between inputs
    size_t threads; // system threads it runs between inputs (the message handler)
};

Driver& driver() {
    static Driver d{};
    return d;
}

// A port on loopback that is bound and never listens: a connect there is refused at once.
USHORT closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    socklen_t length = sizeof a;
    FUZZ_CHECK(fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
               ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0);
    return ntohs(a.sin_port); // the descriptor stays open for the whole run
}

struct Request {
    SCSI_PORT_REQUEST r{};
    std::unique_ptr<UCHAR[]> data;
};

void signalDone(SCSI_PORT_REQUEST* r) {
    KeSetEvent(&r->Done, 0, FALSE);
}

bool waitDone(Request& q, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (KeReadStateEvent(&q.r.Done) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(50us);
    }
    return true;
}

// What the tool may rely on in an answer: a recognised header completes with success and one of
// the return codes, a text exchange's length fits its buffer; anything else is refused whole.
void checkAnswer(const Request& q, ULONG code) {
    const SCSI_REQUEST_BLOCK& s = q.r.Srb;
    if (s.SrbStatus != SRB_STATUS_SUCCESS) {
        FUZZ_CHECK(s.SrbStatus == SRB_STATUS_INVALID_REQUEST);
        return;
    }
    const auto* header = static_cast<const SRB_IO_CONTROL*>(s.DataBuffer);
    ULONG rc = header->ReturnCode;
    bool pending = (rc & 0xFF) == ISCSI_RC_LOGIN_PENDING && (rc >> 8) < ADAPTER_TARGET_BUSES;
    FUZZ_CHECK(rc <= ISCSI_RC_SECURITY_FAILED || pending || code == ISCSI_IOCTL_SEND_RECEIVE_TEXT);
    if (code == ISCSI_IOCTL_SEND_RECEIVE_TEXT) {
        ULONG length = static_cast<const SEND_RECEIVE_TEXT_IOCTL*>(s.DataBuffer)->BufferLength;
        FUZZ_CHECK(length == ISCSI_TEXT_REFUSED || length <= iscsiTextCapacity(&s));
    }
}

// Sends one control request of length bytes (bytes of them given) and waits for it.
void send(std::deque<Request>& sent, const UCHAR* bytes, size_t given, size_t length) {
    Request& q = sent.emplace_back();
    q.data.reset(new UCHAR[length]());
    std::memcpy(q.data.get(), bytes, given);
    UCHAR* d = q.data.get();
    ULONG code = 0;
    if (length >= offsetof(SRB_IO_CONTROL, ControlCode) + sizeof code) {
        std::memcpy(&code, d + offsetof(SRB_IO_CONTROL, ControlCode), sizeof code);
    }
    if (code == ISCSI_IOCTL_ADD_TARGET_BEGIN && length >= offsetof(ADD_REMOVE_IOCTL, NumConnect)) {
        ULONG address = kLoopback;
        USHORT port = driver().closedPort;
        std::memcpy(d + offsetof(ADD_REMOVE_IOCTL, IpAddress), &address, sizeof address);
        std::memcpy(d + offsetof(ADD_REMOVE_IOCTL, PortNumber), &port, sizeof port);
    }
    SCSI_REQUEST_BLOCK& s = q.r.Srb;
    s.Length = sizeof s;
    s.Function = SRB_FUNCTION_IO_CONTROL;
    s.PathId = DUMMY_TARGET_BUS;
    s.DataBuffer = length != 0 ? d : nullptr;
    s.DataTransferLength = static_cast<ULONG>(length);
    s.SrbFlags = SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT;
    s.TimeOutValue = 600; // longer than any request takes here: no port time-out interferes
    KeInitializeEvent(&q.r.Done, NotificationEvent, FALSE);
    q.r.Completion = signalDone;
    qvport::submit(driver().port, &q.r);
    FUZZ_CHECK(waitDone(q, 20s)); // a control request must end
    checkAnswer(q, code);
}

// The login event names of the add requests sent, as the driver reads them.
std::vector<std::string> eventNames(const std::deque<Request>& sent) {
    std::vector<std::string> names;
    for (const Request& q : sent) {
        const auto* record = static_cast<const ADD_REMOVE_IOCTL*>(q.r.Srb.DataBuffer);
        if (q.r.Srb.DataTransferLength > ADD_REMOVE_IOCTL_FIXED &&
            record->Header.ControlCode == ISCSI_IOCTL_ADD_TARGET_BEGIN) {
            std::u16string name;
            for (size_t i = 0; i < 127 && record->LoginEventName[i] != 0; i++) {
                name.push_back(static_cast<char16_t>(record->LoginEventName[i]));
            }
            names.push_back(qvk::fromU16(name));
        }
    }
    return names;
}

// Ends what the input began: every add is completed and every target removed, through the
// driver's own requests; the shutdown and drop switches go back.
void restore(std::deque<Request>& sent) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    for (UCHAR bus = 0; bus < ADAPTER_TARGET_BUSES; bus++) {
        for (ULONG code : {ISCSI_IOCTL_ADD_TARGET_COMPLETE, ISCSI_IOCTL_REMOVE_TARGET}) {
            ULONG status = dev->TargetInfo[bus].Status;
            if ((code == ISCSI_IOCTL_ADD_TARGET_COMPLETE && !(status & TARGET_LOGIN_PENDING)) ||
                (status == 0 && !dev->TargetActive[bus])) {
                continue;
            }
            ADD_REMOVE_IOCTL record{};
            std::memcpy(record.Header.Signature, "iSCSI", 6);
            record.Header.ControlCode = code;
            record.BusNumber = bus;
            send(sent, reinterpret_cast<const UCHAR*>(&record), ADD_REMOVE_IOCTL_FIXED,
                 ADD_REMOVE_IOCTL_FIXED + 1);
        }
        FUZZ_CHECK(dev->TargetInfo[bus].Status == 0 && !dev->TargetActive[bus]);
    }
    dev->shutdown_in_progress = 0;
    dev->shutdown_reject_commands = 0;
    drop_srb = 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Failed connects pause 3 s and a removal 2 s: at a hundredth, an add costs tens of
    // milliseconds while the adapter's 10 ms timer still runs at a pace the machine can bear.
    qvk::setTimeScale(0.01);
    // QUEVI_FUZZ_TRACE=1 shows the driver's trace, to follow what a reproducer does.
    if (std::getenv("QUEVI_FUZZ_TRACE") == nullptr) {
        qvk::dbgCaptureStart();
    }
    qvk::registrySetDword("QueviSCSI\\Parameters", "Debug", 2); // trace what the records say
    PDRIVER_OBJECT object = qvk::createDriverObject("QueviSCSI");
    UNICODE_STRING path;
    RtlInitUnicodeString(&path,
                         u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QueviSCSI");
    FUZZ_CHECK(DriverEntry(object, &path) == STATUS_SUCCESS);
    Driver& d = driver();
    d.port = qvport::portOf(object);
    FUZZ_CHECK(d.port != nullptr);
    d.closedPort = closedPort();
    d.pool = qvk::poolOutstanding();
    d.threads = qvk::liveSystemThreads();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::deque<Request> sent;
    size_t at = 0;
    while (sent.size() < kMaxRequests && at + 2 <= size) {
        size_t length = (data[at] | data[at + 1] << 8) % (kMaxLength + 1);
        at += 2;
        size_t given = length < size - at ? length : size - at;
        send(sent, data + at, given, length);
        at += given;
    }
    std::vector<std::string> names = eventNames(sent);
    restore(sent);

    // The input's threads end, and the message handler frees a message just after completing
    // its request: both are waited for, a bounded time.
    Driver& d = driver();
    auto end = std::chrono::steady_clock::now() + 20s;
    while (qvk::liveSystemThreads() != d.threads || qvk::poolOutstanding() != d.pool) {
        FUZZ_CHECK(std::chrono::steady_clock::now() < end); // a thread never ended, or a leak
        std::this_thread::sleep_for(100us);
    }
    SCSI_PORT_ACCOUNTING a = qvport::accounting(d.port);
    FUZZ_CHECK(a.completedTwice == 0 && a.handedToMiniport == a.completedByMiniport);
    for (const std::string& name : names) {
        FUZZ_CHECK(qvk::namedEventHandles(name) == 0);
    }
    (void)qvk::dbgCaptureTake();
    return 0;
}
