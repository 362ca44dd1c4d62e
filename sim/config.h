// The virtual reader's configuration: the ZUBSIM_ environment variables read
// into a plain struct. Tests build a Config directly, or read one from a
// table of their own, without touching the process environment.
//
// A new variable is a field of Config and its lines in read_config
// (config.cpp); nothing else keeps a list of the variables.
#ifndef MIFAREZUB_SIM_CONFIG_H
#define MIFAREZUB_SIM_CONFIG_H

#include <functional>
#include <string>
#include <vector>

#include "card_model.h"

namespace zubsim {

constexpr Uid kDefaultUid = {0x1A, 0x7B, 0x8C, 0x54};
// The most readers one process can have (ZUBSIM_READERS).
constexpr int kMaxReaders = 8;
// The longest delay per exchange (ZUBSIM_EXCHANGE_DELAY), in milliseconds.
constexpr uint32_t kMaxExchangeDelayMs = 10000;

struct Config {
  CardType card = CardType::k1K;  // ZUBSIM_CARD
  Uid uid = kDefaultUid;          // ZUBSIM_UID
  bool card_present = true;       // ZUBSIM_CARD_PRESENT
  std::string image;              // ZUBSIM_IMAGE: a card image file to load
  bool save_on_close = false;     // ZUBSIM_SAVE_ON_CLOSE
  std::string trace;              // ZUBSIM_TRACE (see Trace::start)
  int device_index = 0;           // ZUBSIM_DEVICE_INDEX; -1: none
  bool honour_timeout = false;    // ZUBSIM_HONOUR_TIMEOUT
  int readers = 1;                // ZUBSIM_READERS: readers at device_index, +1, ... (1-8)
  std::string control;            // ZUBSIM_CONTROL: a command file other processes append to
  // ZUBSIM_EXCHANGE_DELAY: how long each exchange (a request written, its
  // reply read) takes, in milliseconds, as over a real reader's USB link.
  uint32_t exchange_delay_ms = 0;

  // What reading the variables found to say, in order, for the trace once
  // it is open: problems (a value that does not parse, the default used
  // instead) and plain notes.
  struct Message {
    bool problem;
    std::string text;
  };
  std::vector<Message> messages;
};

// Every variable read_config looks at (found by asking it), for tests that
// clear them all.
std::vector<std::string> config_variables();

// Reads the configuration through `lookup` (a variable's value, empty when
// it is not set).
Config read_config(const std::function<std::string(const char*)>& lookup);
// The same, from the process environment.
Config config_from_environment();

}  // namespace zubsim

#endif  // MIFAREZUB_SIM_CONFIG_H
