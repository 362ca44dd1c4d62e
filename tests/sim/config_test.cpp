// The virtual reader's configuration read from a table instead of the process
// environment, and a device built from a Config directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "config.h"
#include "usb_device.h"

namespace {

using namespace zubsim;
using Variables = std::map<std::string, std::string>;

Config read(const Variables& variables) {
  return read_config([&variables](const char* name) {
    const auto it = variables.find(name);
    return it == variables.end() ? std::string() : it->second;
  });
}

std::vector<std::string> problems(const Config& config) {
  std::vector<std::string> texts;
  for (const Config::Message& m : config.messages) {
    if (m.problem) texts.push_back(m.text);
  }
  return texts;
}

TEST(Config, NothingSetGivesTheDefaults) {
  const Config config = read({});
  EXPECT_EQ(config.card, CardType::k1K);
  EXPECT_EQ(config.uid, kDefaultUid);
  EXPECT_TRUE(config.card_present);
  EXPECT_EQ(config.device_index, 0);
  EXPECT_FALSE(config.honour_timeout);
  EXPECT_FALSE(config.save_on_close);
  EXPECT_TRUE(config.image.empty() && config.trace.empty() && config.messages.empty());
}

TEST(Config, ValuesAsUsersWriteThem) {
  const Config config = read({{"ZUBSIM_CARD", "4k"},
                              {"ZUBSIM_UID", "01:02:0a-0B"},
                              {"ZUBSIM_CARD_PRESENT", "No"},
                              {"ZUBSIM_DEVICE_INDEX", "255"},
                              {"ZUBSIM_HONOUR_TIMEOUT", "on"},
                              {"ZUBSIM_SAVE_ON_CLOSE", "TRUE"},
                              {"ZUBSIM_TRACE", "-"},
                              {"ZUBSIM_EXCHANGE_DELAY", "2"}});
  EXPECT_EQ(config.card, CardType::k4K);
  EXPECT_EQ(config.uid, (Uid{0x01, 0x02, 0x0A, 0x0B}));
  EXPECT_FALSE(config.card_present);
  EXPECT_EQ(config.device_index, 255);
  EXPECT_TRUE(config.honour_timeout);
  EXPECT_TRUE(config.save_on_close);
  EXPECT_EQ(config.trace, "-");
  EXPECT_EQ(config.exchange_delay_ms, 2u);
  EXPECT_TRUE(config.messages.empty());
  EXPECT_EQ(read({{"ZUBSIM_EXCHANGE_DELAY", "10000"}}).exchange_delay_ms, 10000u);
  EXPECT_EQ(read({{"ZUBSIM_DEVICE_INDEX", "NONE"}}).device_index, -1);
}

TEST(Config, NonsenseFallsBackToTheDefaultWithAProblemEach) {
  const Config config = read({{"ZUBSIM_CARD", "2K"},
                              {"ZUBSIM_UID", "1A7B8C"},
                              {"ZUBSIM_CARD_PRESENT", "maybe"},
                              {"ZUBSIM_DEVICE_INDEX", "256"},
                              {"ZUBSIM_HONOUR_TIMEOUT", "2"},
                              {"ZUBSIM_EXCHANGE_DELAY", "fast"}});
  EXPECT_EQ(config.card, CardType::k1K);
  EXPECT_EQ(config.uid, kDefaultUid);
  EXPECT_TRUE(config.card_present);
  EXPECT_EQ(config.device_index, 0);
  EXPECT_FALSE(config.honour_timeout);
  const std::vector<std::string> texts = problems(config);
  ASSERT_EQ(texts.size(), 6u);
  for (const char* name :
       {"ZUBSIM_CARD:", "ZUBSIM_UID:", "ZUBSIM_CARD_PRESENT:", "ZUBSIM_DEVICE_INDEX:",
        "ZUBSIM_HONOUR_TIMEOUT:", "ZUBSIM_EXCHANGE_DELAY:"}) {
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [name](const std::string& t) { return t.rfind(name, 0) == 0; }),
              1)
        << name;
  }
  EXPECT_EQ(read({{"ZUBSIM_DEVICE_INDEX", "-1"}}).device_index, 0);
  EXPECT_EQ(read({{"ZUBSIM_DEVICE_INDEX", "3x"}}).device_index, 0);
  for (const char* delay : {"-1", "+2", " 2", "2ms", "10001", "99999999999999999999"}) {
    const Config c = read({{"ZUBSIM_EXCHANGE_DELAY", delay}});
    EXPECT_EQ(c.exchange_delay_ms, 0u) << delay;
    EXPECT_EQ(problems(c).size(), 1u) << delay;
  }
}

TEST(Config, AnImageDecidesTheCardAndSaysSo) {
  const Config config =
      read({{"ZUBSIM_IMAGE", "card.mfd"}, {"ZUBSIM_CARD", "nonsense"}, {"ZUBSIM_UID", "zz"}});
  EXPECT_EQ(config.image, "card.mfd");
  EXPECT_TRUE(problems(config).empty());
  ASSERT_EQ(config.messages.size(), 1u);
  EXPECT_NE(config.messages[0].text.find("come from the image"), std::string::npos);
}

TEST(Config, EveryVariableIsListed) {
  const std::vector<std::string> names = config_variables();
  EXPECT_EQ(names.size(), 11u);
  for (const std::string& name : names) {
    EXPECT_EQ(name.rfind("ZUBSIM_", 0), 0u) << name;
    // Each one changes something when set to a value that parses.
    Config config = read({{name, name == "ZUBSIM_DEVICE_INDEX" ? "none" : "4K"}});
    if (name == "ZUBSIM_CARD_PRESENT" || name == "ZUBSIM_HONOUR_TIMEOUT" ||
        name == "ZUBSIM_SAVE_ON_CLOSE") {
      config = read({{name, name == "ZUBSIM_CARD_PRESENT" ? "0" : "1"}});
    } else if (name == "ZUBSIM_UID") {
      config = read({{name, "01020304"}});
    } else if (name == "ZUBSIM_READERS" || name == "ZUBSIM_EXCHANGE_DELAY") {
      config = read({{name, "2"}});
    }
    const Config defaults;
    const bool changed =
        config.card != defaults.card || config.uid != defaults.uid ||
        config.card_present != defaults.card_present || config.image != defaults.image ||
        config.save_on_close != defaults.save_on_close || config.trace != defaults.trace ||
        config.device_index != defaults.device_index ||
        config.honour_timeout != defaults.honour_timeout || config.readers != defaults.readers ||
        config.control != defaults.control ||
        config.exchange_delay_ms != defaults.exchange_delay_ms;
    EXPECT_TRUE(changed) << name;
  }
}

TEST(ConfiguredDevice, StartsAsItsConfigurationSays) {
  Config config;
  config.card = CardType::k4K;
  config.uid = {1, 2, 3, 4};
  config.card_present = false;
  config.device_index = 7;
  config.trace = "off";
  Device device(config);
  ASSERT_NE(device.reader().card(), nullptr);
  EXPECT_EQ(device.reader().card()->image().size(), 4096u);
  EXPECT_EQ(device.reader().card()->uid(), config.uid);
  EXPECT_FALSE(device.reader().card_in_field());
  EXPECT_EQ(device.open(0), CH375_INVALID_HANDLE);
  EXPECT_NE(device.open(7), CH375_INVALID_HANDLE);
  EXPECT_TRUE(device.device_open());

  // A configured problem reaches the trace and the last error.
  config.messages.push_back({true, "ZUBSIM_CARD: 'x' is not 1K or 4K; using 1K"});
  device.configure(config);
  EXPECT_FALSE(device.device_open());
  EXPECT_EQ(device.trace().last_error(), config.messages[0].text);
  EXPECT_NE(device.trace().text().find("## error: ZUBSIM_CARD"), std::string::npos);
}

}  // namespace
