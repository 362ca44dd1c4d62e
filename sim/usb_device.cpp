#include "usb_device.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "raw_image_file.h"
#include "zubsim.h"

namespace zubsim {

void Device::configure(const Config& config) {
  config_ = config;
  reader_ = ReaderFirmware();
  opened_ = false;
  replies_.clear();
  faults_.clear();
  read_timeout_ms_ = kDefaultReadTimeoutMs;
  interrupt_save_at_ = -1;
  trace_.start(config.trace);
  for (const Config::Message& m : config.messages) {
    if (m.problem) {
      trace_.warn(m.text);
    } else {
      trace_.note(m.text);
    }
  }
  device_index_ = config.device_index;
  honour_timeout_ = config.honour_timeout;
  if (!config.image.empty()) {
    load_image(config.image);
  } else {
    reader_.insert(Card(config.card, config.uid));
  }
  if (!config.card_present) reader_.take_out();
}

// ---- The vendor calls ----

CH375_HANDLE Device::open(uint32_t index) {
  if (device_index_ < 0 || index != static_cast<uint32_t>(device_index_)) {
    trace_.note("open device " + std::to_string(index) + ": no such device");
    return CH375_INVALID_HANDLE;
  }
  opened_ = true;
  drop_replies();
  trace_.note("open device " + std::to_string(index));
  return reinterpret_cast<CH375_HANDLE>(static_cast<intptr_t>(index) + 1);
}

bool Device::is_ours(uint32_t index) const {
  return opened_ && device_index_ >= 0 && index == static_cast<uint32_t>(device_index_);
}

void Device::close(uint32_t index) {
  if (!is_ours(index)) return;
  opened_ = false;
  drop_replies();
  trace_.note("close device " + std::to_string(index));
  if (config_.save_on_close && !config_.image.empty() && reader_.card()) save_image(config_.image);
}

bool Device::reset(uint32_t index) {
  if (!is_ours(index)) return false;
  drop_replies();
  trace_.note("reset device " + std::to_string(index));
  return true;
}

bool Device::set_read_timeout(uint32_t index, uint32_t ms) {
  if (!is_ours(index)) return false;
  read_timeout_ms_ = ms;
  return true;
}

bool Device::write(uint32_t index, const uint8_t* frame, uint32_t* length) {
  if (!is_ours(index) || !frame || !length) {
    if (length) *length = 0;
    return false;
  }
  trace_.line("-> " + hex_bytes(frame, *length) + "  " + describe_request(frame, *length));
  const ExchangeFault fault = faults_.next_exchange(frame, *length);
  if (!request_arrives(fault, trace_)) return true;
  // A torn write: the card runs the command and answers, but its memory is
  // put back as it was before.
  std::vector<uint8_t> before;
  const bool torn = card_keeps_nothing(fault) && reader_.card() != nullptr;
  if (torn) before = reader_.card()->image();
  Reply reply;
  reply.bytes.resize(kMaxReply);
  reply.bytes.resize(reader_.handle(frame, *length, reply.bytes.data(), reply.bytes.size()));
  if (torn && reader_.card()) {
    if (reader_.card()->image() != before) {
      reader_.card()->restore_memory(before);
      trace_.note("fault: torn write: the card answers done, block " + std::to_string(frame[3]) +
                  " keeps its old bytes");
    } else {
      trace_.note("fault: torn write: the card changed nothing anyway");
    }
  }
  if (reply.bytes.empty()) return true;
  fault_reply(fault, &reply, trace_);
  if (reply.lost) return true;
  trace_.line("<- " + hex_bytes(reply.bytes.data(), reply.bytes.size()) + "  " +
              describe_reply(reply.bytes.data(), reply.bytes.size()));
  replies_.push_back(std::move(reply));
  return true;
}

uint32_t Device::read(uint32_t index, uint8_t* buffer, uint32_t* length, bool* ok) {
  *ok = false;
  if (!is_ours(index) || !buffer || !length) {
    if (length) *length = 0;
    return 0;
  }
  if (!replies_.empty() && replies_.front().untouched_read != 0) {
    Reply& r = replies_.front();
    *ok = r.untouched_read == 2;
    r.untouched_read = 0;
    trace_.note("read: fails, count and buffer untouched; the reply waits for the next read");
    return 0;
  }
  const bool nothing = replies_.empty() || replies_.front().late;
  if (!nothing) {
    const std::vector<uint8_t>& reply = replies_.front().bytes;
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(reply.size(), *length));
    if (n != 0) std::memcpy(buffer, reply.data(), n);
    *length = n;
    replies_.pop_front();
    *ok = true;
  } else {
    *length = 0;
    trace_.note(replies_.empty() ? "read: no reply"
                                 : "read: no reply yet, the late reply waits for the next read");
  }
  // Late replies come in after this read, whatever it found, and wait for the next.
  for (Reply& r : replies_) r.late = false;
  if (!nothing) return 0;
  // An endless timeout would never end: nothing more is coming.
  return honour_timeout_ && read_timeout_ms_ != 0xFFFFFFFFu ? read_timeout_ms_ : 0;
}

bool Device::take_call_fault(int call) {
  if (!faults_.take_call(call)) return false;
  trace_.note(std::string("fault: processor fault in ") + call_name(call));
  // What was on its way is lost with the fault.
  if (call == ZUBSIM_CALL_READ) drop_replies();
  return true;
}

// ---- The card and its images ----

std::string Device::describe_card(const Card& card) {
  return std::string(card.type() == CardType::k1K ? "1K" : "4K") + " card, UID " +
         hex_bytes(card.uid().data(), kUidSize);
}

bool Device::new_card(int type, const Uid& uid) {
  if (type != ZUBSIM_CARD_1K && type != ZUBSIM_CARD_4K) {
    trace_.set_last_error("card type " + std::to_string(type) + " is neither 1K (1) nor 4K (4)");
    return false;
  }
  const Card card(type == ZUBSIM_CARD_1K ? CardType::k1K : CardType::k4K, uid);
  reader_.insert(card);
  trace_.note("new " + describe_card(card) + " in the field");
  return true;
}

bool Device::load_image(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string problem;
  if (!read_image_file(path, &bytes, &problem)) {
    reader_.discard();
    trace_.warn("card image " + path + ": " + problem + "; the reader has no card");
    return false;
  }
  return insert_image(bytes.data(), bytes.size(), "card image " + path);
}

bool Device::insert_image(const uint8_t* bytes, size_t size, const std::string& what) {
  Card card(CardType::k1K, kDefaultUid);
  if (!Card::from_image(bytes, size, &card)) {
    reader_.discard();
    trace_.warn(what + ": " + image_size_problem(size) + "; the reader has no card");
    return false;
  }
  reader_.insert(card);
  trace_.note(what + ": " + describe_card(card) + " in the field");
  if (size > 4 && bytes[4] != bcc_of(card.uid())) {
    const uint8_t bcc = bcc_of(card.uid());
    trace_.note("block 0 holds BCC " + hex_bytes(bytes + 4, 1) + "; the card answers with " +
                hex_bytes(&bcc, 1) + ", the XOR of its UID");
  }
  return true;
}

bool Device::save_image(const std::string& path) {
  const Card* card = reader_.card();
  if (!card) {
    trace_.warn("save " + path + ": there is no card");
    return false;
  }
  std::string problem;
  if (!write_image_file(path, card->image(), &interrupt_save_at_, &problem)) {
    trace_.warn("save " + path + ": " + problem);
    return false;
  }
  trace_.note("card saved to " + path);
  return true;
}

void Device::take_out_card() {
  if (reader_.card_in_field()) trace_.note("card taken out of the field");
  reader_.take_out();
}

void Device::run(const ControlCommand& command) {
  switch (command.kind) {
    case ControlCommand::kOut:
      take_out_card();
      break;
    case ControlCommand::kIn:
      if (!put_back_card()) trace_.warn("command file: no card to put back");
      break;
    case ControlCommand::kCard:
      new_card(command.type == CardType::k1K ? ZUBSIM_CARD_1K : ZUBSIM_CARD_4K,
               command.has_uid ? command.uid : config_.uid);
      break;
    case ControlCommand::kImage:
      load_image(command.path);
      break;
    case ControlCommand::kFault:
      add_exchange_faults(command.fault_kind, command.fault_arg, command.fault_count);
      trace_.note("command file: " + std::to_string(command.fault_count) + " " +
                  exchange_fault_name(command.fault_kind) + " fault" +
                  (command.fault_count == 1 ? "" : "s") + " queued (arg " +
                  std::to_string(command.fault_arg) + ")");
      break;
  }
}

bool Device::put_back_card() {
  if (!reader_.card()) return false;
  reader_.put_back();
  trace_.note("card put back into the field");
  return true;
}

}  // namespace zubsim
