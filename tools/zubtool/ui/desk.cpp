#include "desk.h"

#include <cstdio>

#include "key_list.h"
#include "open_failure.h"
#include "library_reader.h"
#include "status.h"

namespace zubtool {
namespace ui {

void Job::Report(JsonValue state) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = std::move(state);
}

JsonValue Job::State() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

Reply CardFailure(int status, const std::string& message, int32_t code, std::optional<int> block) {
  Reply reply = Reply::Error(status, message);
  reply.json["code"] = code;
  reply.json["codeName"] = StatusName(code);
  if (block) reply.json["block"] = *block;
  return reply;
}

namespace {

JsonValue CardJson(const CardInfo& card) {
  char atqa[8];
  std::snprintf(atqa, sizeof atqa, "%02X%02X", card.atqa >> 8, card.atqa & 0xFF);
  JsonValue json = JsonValue::object();
  json["present"] = true;
  json["type"] = card.layout.name;
  json["uid"] = HexText(card.serial.uid);
  json["atqa"] = atqa;
  json["sak"] = HexText({card.sak});
  return json;
}

}  // namespace

Desk::Desk(const Invocation& inv, std::vector<Bytes> keys)
    : inv_(inv), keys_(std::make_shared<const PackedKeys>(keys)) {}

Desk::~Desk() {
  Cancel();
  std::thread finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished = std::move(jobThread_);
  }
  if (finished.joinable()) finished.join();
  std::lock_guard<std::mutex> lock(mutex_);
  reader_.reset();  // closes the device; the card is left as it is
}

bool Desk::Claim(const std::string& what, Reply* busy) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!busy_.empty()) {
    *busy = Reply::Error(409, "busy: " + busy_ + " is running");
    busy->json["busy"] = busy_;
    return false;
  }
  busy_ = what;
  return true;
}

void Desk::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  busy_.clear();
  done_.notify_all();
}

// Only the claim's holder touches reader_ itself; the mutex guards the
// pointer for ReaderJson.
bool Desk::OpenReader(Reply* failure) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reader_) return true;
  }
  auto reader = std::make_unique<LibraryReader>(inv_.verbose);
  const int32_t r = reader->Open(inv_.device);
  std::lock_guard<std::mutex> lock(mutex_);
  if (r != 0) {
    const std::string why = OpenErrorText(LastOpenError());
    readerError_ =
        why.empty()
            ? "no reader at device index " + std::to_string(inv_.device) + ": " + Describe(r)
            : "cannot open the reader at device index " + std::to_string(inv_.device) + ": " + why +
                  " (" + ResultText(r) + ", " + std::to_string(r) + ")";
    *failure = CardFailure(503, readerError_, r);
    return false;
  }
  readerError_.clear();
  reader_ = std::move(reader);
  return true;
}

namespace {

// Releases the claim however the operation ends.
class ClaimGuard {
 public:
  explicit ClaimGuard(std::function<void()> release) : release_(std::move(release)) {}
  ~ClaimGuard() {
    if (release_) release_();
  }
  void Dismiss() { release_ = nullptr; }

 private:
  std::function<void()> release_;
};

}  // namespace

Reply Desk::WithReader(const std::string& what, const std::function<Reply(CardCalls&)>& op) {
  Reply busy;
  if (!Claim(what, &busy)) return busy;
  ClaimGuard guard([this] { Release(); });
  Reply failure;
  if (!OpenReader(&failure)) return failure;
  return op(*reader_);
}

int32_t Desk::FindCard(CardSession& session) {
  int32_t r = session.Find();
  // A card still selected by the operation before answers its request with
  // "no card" and goes back to idle: the next request finds it.
  if (r == kNoCard) r = session.Find();
  if (r == 0) {
    SetLastCard(CardJson(session.Info()));
  } else if (r == kNoCard) {
    JsonValue none = JsonValue::object();
    none["present"] = false;
    none["error"] = "no card in the field";
    SetLastCard(none);
  } else if (r < 0) {
    // The reader itself failed (taken away, say): opened again next time.
    std::lock_guard<std::mutex> lock(mutex_);
    reader_.reset();
    readerError_ = "the reader failed: " + Describe(r);
  }
  return r;
}

Reply Desk::CardNotFound(int32_t r) {
  if (r == kNoCard) return CardFailure(503, "no card in the field", r);
  if (r < 0) return CardFailure(503, "the reader failed: " + Describe(r), r);
  return CardFailure(502, "the card did not answer its selection: " + Describe(r), r);
}

std::optional<Reply> Desk::OtherCard(const std::optional<Bytes>& uid, const CardSession& session) {
  const Bytes& found = session.Info().serial.uid;
  if (!uid || *uid == found) return std::nullopt;
  Reply reply = Reply::Error(409, "the card on the reader is UID " + HexText(found) + ", not UID " +
                                      HexText(*uid) +
                                      ", the card shown: nothing was done. Read the card to "
                                      "work on the one on the reader");
  reply.json["cardUid"] = HexText(found);
  reply.json["expectedUid"] = HexText(*uid);
  return reply;
}

Reply Desk::WithCardFor(const std::string& what, const std::optional<Bytes>& uid,
                        const std::function<Reply(CardSession&)>& op) {
  return WithCard(what, [&](CardSession& session) {
    if (auto other = OtherCard(uid, session)) return *other;
    return op(session);
  });
}

std::optional<Bytes> CardUidField(const JsonValue& body) {
  if (!body.is_object() || !body.contains("cardUid") || body["cardUid"].is_null())
    return std::nullopt;
  if (!body["cardUid"].is_string()) throw BadRequest{"the card's UID must be hex text"};
  const std::string text = body["cardUid"].get<std::string>();
  auto uid = ParseHex(text);
  if (!uid || (uid->size() != 4 && uid->size() != 7 && uid->size() != 10))
    throw BadRequest{"the card's UID must be 4, 7 or 10 bytes in hex: '" + text + "'"};
  return uid;
}

Reply Desk::WithCard(const std::string& what, const std::function<Reply(CardSession&)>& op) {
  return WithReader(what, [&](CardCalls& reader) {
    CardSession session(reader, SharedKeys());
    if (int32_t r = FindCard(session)) return CardNotFound(r);
    return op(session);
  });
}

Reply Desk::StartJob(const std::string& kind, const std::string& what,
                     std::function<void(CardSession&, Job&)> run) {
  Reply busy;
  if (!Claim(what, &busy)) return busy;
  ClaimGuard guard([this] { Release(); });
  Reply failure;
  if (!OpenReader(&failure)) return failure;
  auto session = std::make_shared<CardSession>(*reader_, SharedKeys());
  if (int32_t r = FindCard(*session)) return CardNotFound(r);
  auto job = std::make_shared<Job>(kind);
  session->StopWhen([job] { return job->Cancelled(); });
  std::thread previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previous = std::move(jobThread_);
    job_ = job;
  }
  // The previous job's thread released its claim as its last act.
  if (previous.joinable()) previous.join();
  guard.Dismiss();  // the job's thread releases the claim
  std::lock_guard<std::mutex> lock(mutex_);
  jobThread_ = std::thread([this, job, session, run = std::move(run)] {
    try {
      run(*session, *job);
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> lock(job->mutex_);
      job->error_ = std::string("the job failed: ") + e.what();
    } catch (...) {
      std::lock_guard<std::mutex> lock(job->mutex_);
      job->error_ = "the job failed";
    }
    if (session->Lost()) {
      std::lock_guard<std::mutex> lock(job->mutex_);
      if (job->error_.empty()) job->error_ = "the card was lost: " + Describe(session->Lost());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    job->running_ = false;
    busy_.clear();
    done_.notify_all();
  });
  JsonValue reply = JsonValue::object();
  reply["job"] = JobJsonLocked();
  return Reply::Ok(reply, 202);
}

JsonValue Desk::JobJsonLocked() const {
  if (!job_) return nullptr;
  JsonValue json = JsonValue::object();
  json["kind"] = job_->Kind();
  json["running"] = job_->running_.load();
  json["cancelled"] = job_->Cancelled();
  {
    std::lock_guard<std::mutex> lock(job_->mutex_);
    json["error"] = job_->error_.empty() ? JsonValue(nullptr) : JsonValue(job_->error_);
  }
  const JsonValue state = job_->State();
  for (auto& [key, value] : state.items()) json[key] = value;
  return json;
}

JsonValue Desk::JobJson() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return JobJsonLocked();
}

Reply Desk::Cancel() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (job_ && job_->running_) {
    job_->cancelled_ = true;
    // The job stops before its next try; the thread's last act is Release().
    done_.wait(lock, [this] { return !job_->running_; });
  }
  JsonValue reply = JsonValue::object();
  reply["job"] = JobJsonLocked();
  return Reply::Ok(reply);
}

std::string Desk::Busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

std::vector<Bytes> Desk::Keys() const {
  return SharedKeys()->ToBytes();
}

size_t Desk::KeyCount() const {
  return SharedKeys()->size();
}

std::shared_ptr<const PackedKeys> Desk::SharedKeys() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return keys_;
}

void Desk::SetKeys(std::vector<Bytes> keys) {
  auto packed = std::make_shared<const PackedKeys>(keys);
  std::lock_guard<std::mutex> lock(mutex_);
  keys_ = std::move(packed);
}

std::vector<Bytes> Desk::AddKeys(const std::vector<Bytes>& keys) {
  std::lock_guard<std::mutex> lock(keysMutex_);
  const std::vector<Bytes> old = Keys();
  UniqueKeys known, list;
  for (const auto& key : old) known.Add(key);
  std::vector<Bytes> added;
  for (const auto& key : keys) {
    if (list.Add(key) && !known.Contains(key)) added.push_back(key);
  }
  for (const auto& key : old) list.Add(key);
  SetKeys(list.Take());
  return added;
}

JsonValue Desk::ReaderJson() const {
  std::lock_guard<std::mutex> lock(mutex_);
  JsonValue json = JsonValue::object();
  json["open"] = reader_ != nullptr;
  json["device"] = inv_.device;
  const std::string simulated = reader_ ? LibraryReader::VirtualReader() : std::string();
  json["virtual"] = simulated.empty() ? JsonValue(nullptr) : JsonValue(simulated);
  json["error"] = readerError_.empty() ? JsonValue(nullptr) : JsonValue(readerError_);
  return json;
}

JsonValue Desk::LastCard() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastCard_;
}

void Desk::SetLastCard(JsonValue card) {
  std::lock_guard<std::mutex> lock(mutex_);
  lastCard_ = std::move(card);
}

}  // namespace ui
}  // namespace zubtool
