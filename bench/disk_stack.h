// The whole stack over an in-process target, for the benchmarks that read and write through the
// disk class driver: the driver loaded, the target added on bus 0 as adding it through the
// configuration tool leaves it, the bus scanned and its disk claimed; and the order of ending.
#pragma once

#include "driver/adapter/adapter.h"
#include "driver/control/control.h"
#include "platform/classdisk/classdisk.h"
#include "platform/kernel/host.h"
#include "target/target.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace bench {

// The disk of `target`'s LUN 0, or null after a message naming `program`.
inline CLASS_DISK* attachDisk(const char* program, quevi::target::Target& target, ULONG maxTransfer,
                              ULONG maxConcurrency, int pduUnits) {
    qvk::registrySetDword("QueviSCSI\\Parameters", "MaximumTransferLength", maxTransfer);
    qvk::registrySetDword("QueviSCSI\\Parameters", "MaximumConcurrency", maxConcurrency);
    PDRIVER_OBJECT driver = qvk::createDriverObject("QueviSCSI");
    UNICODE_STRING path{};
    if (!NT_SUCCESS(DriverEntry(driver, &path))) {
        std::fprintf(stderr, "%s: the driver did not load\n", program);
        return nullptr;
    }
    std::string login = "InitiatorName=iqn.2001-04.org.quevi:bench;TargetName=quevi-target;"
                        "DataPDULength=" +
                        std::to_string(pduUnits) + ";";
    ISCSI_TARGET_ADDRESS address{0x7F000001, target.port()};
    ULONG handle = iscsiCoreCreateSession(&address, 1, login.c_str(), ULONG(login.size()), 0);
    pMyDevExt->TargetInfo[0].SessionHandle = LONG(handle);
    pMyDevExt->TargetActive[0] = 1;
    SCSI_PORT* port = qvport::portOf(driver);
    qvport::scanBus(port);
    qvdisk::DiskDriverEntry();
    if (handle == ISCSI_NO_SESSION || qvdisk::claimDisks(port) != 1) {
        std::fprintf(stderr, "%s: no disk on the target's bus\n", program);
        return nullptr;
    }
    return qvdisk::disk(0);
}

// Shuts the adapter down, ends the engine and the target, then the port and the class driver.
inline void detachDisk(quevi::target::Target& target) {
    pMyDevExt->shutdown_in_progress = 1;
    pMyDevExt->TargetActive[0] = 0;
    killWinMsgHandler(&winMsgHandlerContext);
    iscsiCoreCleanupData();
    target.stop();
    qvk::waitSystemThreadsQuiet(std::chrono::seconds(20));
    qvport::stopAllPorts();
    qvdisk::stopDisks();
}

} // namespace bench
