// The NetBIOS programming interface of the POSIX build: the control block, the command and
// return-code values every NetBIOS platform uses, and the one entry point, Netbios().
// Commands run synchronously over NetBIOS over TCP/IP (broadcast node) on the host's IPv4
// interfaces: LANA n is the n-th interface, in ascending interface index, that is up, is not
// loopback and has an IPv4 broadcast address (listed once, at the first call). NCBRESET,
// NCBADDGRNAME, NCBCALL and NCBDELNAME are implemented; any other command, or ASYNCH,
// completes with NRC_ILLCMD. The layer behind it lives in this folder.
#ifndef TOLVERIN_NETBIOS_NETBIOS_H
#define TOLVERIN_NETBIOS_NETBIOS_H

#include <cstdint>

using UCHAR = unsigned char;
using WORD = std::uint16_t;

constexpr int NCBNAMSZ = 16;  // bytes in a NetBIOS name field
constexpr int MAX_LANA = 254; // highest LAN adapter number

// Commands (ncb_command).
constexpr UCHAR NCBCALL = 0x10;
constexpr UCHAR NCBHANGUP = 0x12;
constexpr UCHAR NCBADDNAME = 0x30;
constexpr UCHAR NCBDELNAME = 0x31;
constexpr UCHAR NCBRESET = 0x32;
constexpr UCHAR NCBADDGRNAME = 0x36;
constexpr UCHAR NCBENUM = 0x37;
constexpr UCHAR ASYNCH = 0x80; // flag bit; never honoured here (every command is synchronous)

// Return codes (ncb_retcode).
constexpr UCHAR NRC_GOODRET = 0x00;
constexpr UCHAR NRC_ILLCMD = 0x03;
constexpr UCHAR NRC_CMDTMO = 0x05;
constexpr UCHAR NRC_DUPNAME = 0x0D;
constexpr UCHAR NRC_NAMTFUL = 0x0E;
constexpr UCHAR NRC_ACTSES = 0x0F;
constexpr UCHAR NRC_LOCTFUL = 0x11;
constexpr UCHAR NRC_REMTFUL = 0x12;
constexpr UCHAR NRC_NOCALL = 0x14;
constexpr UCHAR NRC_NOWILD = 0x15;
constexpr UCHAR NRC_INUSE = 0x16;
constexpr UCHAR NRC_SABORT = 0x18;
constexpr UCHAR NRC_BRIDGE = 0x23;
constexpr UCHAR NRC_ENVNOTDEF = 0x34;
constexpr UCHAR NRC_SYSTEM = 0x40;
constexpr UCHAR NRC_PENDING = 0xFF; // ncb_cmd_cplt while a command runs

// The NetBIOS control block. Field names and meanings are the platform-wide ones;
// the layout is this implementation's own.
typedef struct NetbiosControlBlock {
    UCHAR ncb_command;            // command code, optionally with ASYNCH
    UCHAR ncb_retcode;            // outcome, set when the command completes
    UCHAR ncb_lsn;                // local session number
    UCHAR ncb_num;                // number of a local name
    UCHAR* ncb_buffer;            // data buffer (unused by the commands implemented here)
    WORD ncb_length;              // length of ncb_buffer
    UCHAR ncb_callname[NCBNAMSZ]; // remote name; NCBRESET: limits
    UCHAR ncb_name[NCBNAMSZ];     // local name
    UCHAR ncb_rto;                // receive timeout, 500 ms units
    UCHAR ncb_sto;                // send timeout, 500 ms units
    void (*ncb_post)(struct NetbiosControlBlock*); // completion routine (asynchronous only)
    UCHAR ncb_lana_num;                            // LAN adapter number
    UCHAR ncb_cmd_cplt;                            // 0xFF while pending, then ncb_retcode
    UCHAR ncb_reserve[18];
    void* ncb_event; // completion event (asynchronous only)
} NCB, *PNCB;

extern "C" {
// Runs the command in ncb->ncb_command on adapter ncb->ncb_lana_num and returns when it is
// complete. The outcome is stored in ncb_retcode and ncb_cmd_cplt and also returned.
UCHAR Netbios(PNCB ncb);

// Upper-cases the letters a to z of a zero-terminated string in place; every other byte
// stays as it is. Returns its argument.
char* CharUpperA(char* text);
}

#endif
