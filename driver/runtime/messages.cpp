// The event message table. Texts are kept exactly as the event viewer shows them, spelling
// included, since administrators and their tools match on them.
#include "driver/api/messages.h"

const QUEV_MESSAGE quevMessageTable[QUEV_MESSAGE_COUNT] = {
    {QUEV_INTERNAL_ERROR, 1, "The Quev iSCSI client suffered an internal error. %2\r\n"},
    {QUEV_BUS_RESET, 2,
     "A bus reset has been issued for iSCSI bus %2, connected to iSCSI target %3.\r\n"
     "There may be a problem with the target or with the network. \r\n"
     "There may also be too many scsi commands outstanding for this target.\r\n"},
    {QUEV_CONFIG_NOT_APPLIED, 1,
     "The changes in the configuration of iSCSI target %2 could not be applied.\r\n"
     "The reason may be that there exist active connections to this target.\r\n"},
    {QUEV_UNLOADED, 1, "The Quev iSCSI client suffered an internal error and was unloaded. %2\r\n"},
    {QUEV_TOO_MANY_TARGETS, 1,
     "iSCSI target %2 could not be configured because the maximum number of targets is already "
     "configured.\r\n"
     "To configure a new target, delete an existing target from the configuration and reboot. "
     "\r\n"},
    {QUEV_CONFIG_INTERNAL_ERROR, 1,
     "iSCSI target %2 could not be configured because of an internal error in the iSCSI device "
     "driver.\r\n"
     "It may be necessary to reboot.\r\n"},
    {QUEV_DUPLICATE_ADDRESS, 1,
     "iSCSI target %2 could not be configured because a connection to a target with this IP "
     "address already exists.\r\n"
     "To configure this target, it is necessary to reboot.\r\n"},
    {QUEV_CONNECT_FAILED, 1,
     "A connection to iSCSI target %2 could not be established.\r\n"
     "The target may not exist, may not be online, or there may be a problem with the network.\r\n"
     "There may also be a problem with configuration attributes of this target.\r\n"},
    {QUEV_CONFIG_NOT_FOUND, 1,
     "The configuration of iSCSI target %2 could not be found. \r\n"
     "The iSCSI client may have suffered an internal error. \r\n"},
    {QUEV_LOGIN_REJECTED, 1,
     "A connection to iSCSI target %2 could not be established.\r\n"
     "The target rejected the login request.\r\n"
     "There may be a problem with the login id or password in the configuration of this "
     "target.\r\n"},
    {QUEV_RELOGIN_REJECTED, 1,
     "Target %2 has rejected an iSCSI login attempt.\r\n"
     "This rejection has come after the iSCSI client had already previously logged into this "
     "target successfully.\r\n"
     "This is an unexpected error caused by an iSCSI target misconfiguration from which this iSCSI "
     "client can not recover.\r\n"
     "You will not be able to access your iSCSI disks until the target configuaration is "
     "corrected, and the\r\n"
     "iSCSI client is rebooted.\r\n"},
};

const QUEV_MESSAGE* quevFindMessage(uint32_t id) {
    for (const QUEV_MESSAGE& m : quevMessageTable) {
        if (m.id == id) {
            return &m;
        }
    }
    return nullptr;
}
