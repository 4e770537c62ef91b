// What the simulated device does besides answering correctly: the faults and
// habits a test or an operator can ask of it. Read only; the command line of
// tovsim fills it, one field per option.
#pragma once
#include <cstdint>

namespace simdev {

constexpr int OPT_MAX = 16;           // repeats of one numbered option
constexpr int FW_ANSWERS_MAX = 256;   // entries of --fw-answers
constexpr int FW_NONE = -1;           // "none": no answer at all

struct pair {
  long number;  // packet, echo or record number, 1-based
  int value;    // byte, count or milliseconds
};

// The entries of one numbered option, in the order given.
struct pair_list {
  pair items[OPT_MAX];
  int count;
};

struct options {
  bool quick;       // fill each read of the utility at once
  bool silent;      // never answer anything
  bool garbage;     // answer the version request with garbage
  bool no_prompt_after_baud;
  bool no_serialtest_text;
  bool noise;       // NUL bytes and bytes above 0x7F in text replies
  bool fw_silent;
  bool fw_no_sync_ack;
  bool fw_no_id_ack;
  bool keep_files;  // report the files to keep (--save-dir)
  const char* version_text;  // the device's name and version
  pair_list nak;     // NAK packet N K times, then ACK it
  pair_list answer;  // answer packet N with BYTE
  long silent_packet;  // 0: answer every packet
  pair_list echo_wrong;  // echo BYTE instead of the Nth echo byte
  long echo_stop;  // 0: echo everything
  int fw_answers[FW_ANSWERS_MAX];
  int fw_answer_count;
  pair_list fw_late;    // record N (the Nth distinct record line) answered MS ms late, the first time
  pair_list fw_refuse;  // record N refused with BYTE the first time it is received
  // Answers like hardware: each waits for the bytes before it to cross the
  // line at its rate (10 bits a byte), both ways.
  bool wire_time;
  long vanish_after_packets;  // 0: never
  long vanish_after_echo;     // 0: never
  long vanish_after_records;  // after answering record line N; 0: never
  int flood_drain_ms;
  int flood_open_ms;
  int pieces_ms;  // text replies in pieces this far apart (0: whole)
  // A device that is busy talking when the port is opened:
  bool junk_until_interrupt;  // junk from the open until the interrupt character
  bool junk_forever;          // junk while the port is open, never listening
};

}  // namespace simdev
