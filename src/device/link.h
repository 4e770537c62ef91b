// The link to the device: its state, the connect handshake and the
// re-synchronisation after a baud change.
#pragma once
#include <cstdint>

constexpr int LINK_PORT_NAME_SIZE = 256;  // "COMn", or a device path
constexpr int DEV_REPLY_SIZE = 1024;

struct link_state_t {
  int32_t connected;                     // 1 while an accepted link is held
  char port_name[LINK_PORT_NAME_SIZE];   // "COM%d" or a device path
  int32_t baud;                          // rate asked for by the last connect or baud
};

extern link_state_t link_state;
// Device reply buffer, shared by the handshake and the firmware update.
extern uint8_t dev_reply[DEV_REPLY_SIZE];

// resync 0: open at `baud`, drain, ask for the version and check it.
// resync 1: reopen at the new `baud` after "host N", send a line feed and
// wait for the prompt. Leaves the outcome in link_state.connected.
void dev_connect(int32_t baud, int resync);

// Drops the link: closes the port and marks the link disconnected. Every
// place that ends the link without the device's say goes through here.
void dev_drop_link();

// Changes the link rate on both sides: tells the device "host N" at the old
// rate, then reopens at `baud` and waits for the prompt (dev_connect with
// resync 1). 0 when the link is up at the new rate; -1 with the link
// dropped otherwise (the message is printed).
int dev_change_baud(int32_t baud);

// After read_port returned READ_PORT_LOST (its two lines are on standard
// error, the port is closed): marks the link disconnected and prints
// "\n\a\aError: lost COM port NAME, link closed!\n".
void dev_port_lost();

// Swallows what the device is still sending: reads of `size` bytes with
// `timeout` ms into `buffer` until one brings nothing, for at most
// DEV_DRAIN_LIMIT_MS of continuous input (a device that never pauses, such as
// a stream at the wrong rate, must not hold the program). 0 when the line
// fell quiet, 1 when the limit ended the drain, READ_PORT_LOST when a read
// failed (the port is closed then).
constexpr int DEV_DRAIN_LIMIT_MS = 2000;
int dev_drain(const char* port_name, uint8_t* buffer, int size, int timeout);

// Finds `needle` (needle_len bytes) within the first `len` bytes of `hay`;
// returns its offset or -1. Never reads past `len`.
int dev_find(const uint8_t* hay, int len, const char* needle, int needle_len);
