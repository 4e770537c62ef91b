// A scripted stand-in for the serial platform layer (platform.h) and the
// clock (deadline.h), so that the real serial operations and the device
// protocol run against bytes chosen by the fuzzer, instantly.
//
// The script is the stream of bytes the device sends. Each read takes the
// bytes that are there, up to what it asked for; FAKE_PAUSE in the script, or
// the end of it, means the device falls silent: the read waiting at that
// point times out at once (the clock jumps to its deadline) and the marker is
// used up. FAKE_VANISH means the device vanishes: the read that reaches it
// fails as a system read fails (the bytes before it are read first). Writes
// succeed, except the one chosen with fake_port_fail_write.
// No port of the machine is ever opened.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint8_t FAKE_PAUSE = 0xFE;
constexpr uint8_t FAKE_VANISH = 0xFD;

// Starts a new exchange: the device will send `script` (not copied: it must
// stay valid until the next reset), all writes succeed, opens succeed.
void fake_port_reset(const uint8_t* script, size_t size);
// The `nth` write from now on (1 = the next one) fails; 0: none fails.
void fake_port_fail_write(int nth);
// The `nth` open from now on fails; 0: none fails.
void fake_port_fail_open(int nth);
// Number of reads and writes since the last reset.
long fake_port_reads();
long fake_port_writes();
// True once a read has failed at FAKE_VANISH since the last reset.
bool fake_port_vanished();
