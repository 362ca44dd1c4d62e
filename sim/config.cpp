#include "config.h"

#include <cctype>
#include <cstdlib>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace zubsim {
namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string env(const char* name) {
#if defined(_WIN32)
  // The process environment itself, not a C runtime's copy of it.
  char buf[4096];
  const DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
  return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
#else
  const char* v = std::getenv(name);
  return v ? v : "";
#endif
}

bool parse_bool(const std::string& text, bool* value) {
  const std::string v = lower(text);
  if (v == "1" || v == "yes" || v == "true" || v == "on") {
    *value = true;
  } else if (v == "0" || v == "no" || v == "false" || v == "off") {
    *value = false;
  } else {
    return false;
  }
  return true;
}

bool parse_uid(const std::string& text, Uid* uid) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    digits += c;
  }
  if (digits.size() != 2 * kUidSize) return false;
  for (size_t i = 0; i < kUidSize; ++i) {
    (*uid)[i] = static_cast<uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
  }
  return true;
}

class Reading {
 public:
  Reading(const std::function<std::string(const char*)>& lookup, Config* config)
      : lookup_(lookup), config_(config) {}

  std::string text(const char* name) { return lookup_(name); }
  void problem(const std::string& text) { config_->messages.push_back({true, text}); }
  void note(const std::string& text) { config_->messages.push_back({false, text}); }

  void boolean(const char* name, bool* value) {
    const std::string t = text(name);
    if (!t.empty() && !parse_bool(t, value)) {
      problem(std::string(name) + ": '" + t + "' is not 1/0, yes/no, true/false or on/off");
    }
  }

 private:
  const std::function<std::string(const char*)>& lookup_;
  Config* config_;
};

}  // namespace

Config read_config(const std::function<std::string(const char*)>& lookup) {
  Config config;
  Reading in(lookup, &config);
  config.trace = in.text("ZUBSIM_TRACE");

  const std::string index = lower(in.text("ZUBSIM_DEVICE_INDEX"));
  if (index == "none") {
    config.device_index = -1;
  } else if (!index.empty()) {
    char* end = nullptr;
    const long v = std::strtol(index.c_str(), &end, 10);
    if (*end != '\0' || v < 0 || v > 255) {
      in.problem("ZUBSIM_DEVICE_INDEX: '" + index + "' is not 0 to 255 or none; using 0");
    } else {
      config.device_index = static_cast<int>(v);
    }
  }

  const std::string readers = in.text("ZUBSIM_READERS");
  if (!readers.empty()) {
    char* end = nullptr;
    const long v = std::strtol(readers.c_str(), &end, 10);
    if (*end != '\0' || v < 1 || v > kMaxReaders) {
      in.problem("ZUBSIM_READERS: '" + readers + "' is not 1 to " + std::to_string(kMaxReaders) +
                 "; using 1");
    } else if (config.device_index >= 0 && config.device_index + v - 1 > 255) {
      in.problem("ZUBSIM_READERS: " + readers + " readers from index " +
                 std::to_string(config.device_index) + " go past 255; using 1");
    } else {
      config.readers = static_cast<int>(v);
    }
  }
  config.control = in.text("ZUBSIM_CONTROL");

  const std::string delay = in.text("ZUBSIM_EXCHANGE_DELAY");
  if (!delay.empty()) {
    char* end = nullptr;
    const long v = std::strtol(delay.c_str(), &end, 10);
    if (*end != '\0' || v < 0 || v > static_cast<long>(kMaxExchangeDelayMs) ||
        !std::isdigit(static_cast<unsigned char>(delay[0]))) {
      in.problem("ZUBSIM_EXCHANGE_DELAY: '" + delay + "' is not 0 to " +
                 std::to_string(kMaxExchangeDelayMs) + " milliseconds; using 0");
    } else {
      config.exchange_delay_ms = static_cast<uint32_t>(v);
    }
  }

  in.boolean("ZUBSIM_HONOUR_TIMEOUT", &config.honour_timeout);
  in.boolean("ZUBSIM_SAVE_ON_CLOSE", &config.save_on_close);
  config.image = in.text("ZUBSIM_IMAGE");

  const std::string kind = lower(in.text("ZUBSIM_CARD"));
  const std::string uid_text = in.text("ZUBSIM_UID");
  if (!config.image.empty()) {
    if (!kind.empty() || !uid_text.empty()) {
      in.note("ZUBSIM_IMAGE given: the card type and UID come from the image");
    }
  } else {
    if (kind == "4k") {
      config.card = CardType::k4K;
    } else if (!kind.empty() && kind != "1k") {
      in.problem("ZUBSIM_CARD: '" + kind + "' is not 1K or 4K; using 1K");
    }
    if (!uid_text.empty() && !parse_uid(uid_text, &config.uid)) {
      in.problem("ZUBSIM_UID: '" + uid_text + "' is not 4 bytes in hex; using 1A7B8C54");
      config.uid = kDefaultUid;
    }
  }
  in.boolean("ZUBSIM_CARD_PRESENT", &config.card_present);
  return config;
}

Config config_from_environment() {
  return read_config(env);
}

std::vector<std::string> config_variables() {
  std::vector<std::string> names;
  read_config([&names](const char* name) {
    names.push_back(name);
    return std::string();
  });
  return names;
}

}  // namespace zubsim
