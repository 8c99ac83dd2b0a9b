/* The tray lock as the drive reports it, for the peer cycle: MODE SENSE(10) of page 2Ah through
 * SG_IO on a shared (never exclusive) open, and byte 6 of the page (bit 0: the drive can lock,
 * bit 1: it is locked now). Prints "lock locked|unlocked 0xNN"; exit 1 when the drive did not
 * answer. Its CDB (allocation length FEh) is one keelvane never sends, so the cycle's count of
 * other programs' commands at the drive can tell it apart. */
#include <fcntl.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    const char* device = argc > 1 ? argv[1] : "/dev/sr0";
    const int fd = open(device, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        perror(device);
        return 1;
    }
    unsigned char cdb[10] = {0x5a, 0x00, 0x2a, 0, 0, 0, 0, 0x00, 0xfe, 0};
    unsigned char reply[254], sense[32];
    memset(reply, 0, sizeof reply);
    sg_io_hdr_t io;
    memset(&io, 0, sizeof io);
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_FROM_DEV;
    io.cmd_len = sizeof cdb;
    io.cmdp = cdb;
    io.dxferp = reply;
    io.dxfer_len = sizeof reply;
    io.sbp = sense;
    io.mx_sb_len = sizeof sense;
    io.timeout = 10000;
    const int asked = ioctl(fd, SG_IO, &io);
    close(fd);
    if (asked != 0 || io.status != 0 || io.host_status != 0 || io.driver_status != 0 || (reply[8] & 0x3f) != 0x2a) {
        printf("lock unknown\n");
        return 1;
    }
    printf("lock %s 0x%02x\n", (reply[8 + 6] & 0x02) ? "locked" : "unlocked", reply[8 + 6]);
    return 0;
}
