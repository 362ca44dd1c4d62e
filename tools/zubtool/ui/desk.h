// The reader and the card as the workbench holds them. Requests come on the
// HTTP server's threads; the desk lets one card operation run at a time and
// answers any other with "busy", so the reader sees the same one command,
// one reply it sees from the command line. A key search runs as a job on a
// thread of its own, holding the card until it ends or is cancelled.
#ifndef ZUBTOOL_UI_DESK_H
#define ZUBTOOL_UI_DESK_H

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "api.h"
#include "args.h"
#include "card_calls.h"
#include "session.h"

namespace zubtool {

class LibraryReader;

namespace ui {

// What a running job reports and asks.
class Job {
 public:
  explicit Job(std::string kind) : kind_(std::move(kind)) {}
  // The job's state as the API shows it ("running", "cancelled", "error" and
  // "kind" are added by the desk).
  void Report(JsonValue state);
  JsonValue State() const;
  bool Cancelled() const { return cancelled_; }
  const std::string& Kind() const { return kind_; }

 private:
  friend class Desk;
  std::string kind_;
  mutable std::mutex mutex_;
  JsonValue state_ = JsonValue::object();
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> running_{true};
  std::string error_;
};

class Desk {
 public:
  // `inv`: the device, the key type and --verbose; `keys`: the keys to try at
  // first. The reader is opened by the first operation that needs it.
  Desk(const Invocation& inv, std::vector<Bytes> keys);
  // Cancels a job and waits for it; closes the reader (the card left as it is).
  ~Desk();
  Desk(const Desk&) = delete;
  Desk& operator=(const Desk&) = delete;

  // Runs `op` alone on the reader, opened if need be; 409 "busy: <what is
  // running>" when another operation runs, 503 when the reader cannot be
  // opened.
  Reply WithReader(const std::string& what, const std::function<Reply(CardCalls&)>& op);
  // The same with the card found and selected, in a session over the keys to
  // try; 503 "no card in the field" when there is none.
  Reply WithCard(const std::string& what, const std::function<Reply(CardSession&)>& op);
  // The same for an operation meant for one card, `uid` (the card the page
  // shows; none: the card in the field): 409 naming the card in the field
  // when it is another, and nothing done.
  Reply WithCardFor(const std::string& what, const std::optional<Bytes>& uid,
                    const std::function<Reply(CardSession&)>& op);
  // The 409 for a card found that is not `uid`; nothing when it is.
  static std::optional<Reply> OtherCard(const std::optional<Bytes>& uid,
                                        const CardSession& session);
  // Starts `run` on a thread of its own with the card found, as WithCard;
  // 202 {"job": ...}, or busy. The job holds the card until `run` returns.
  Reply StartJob(const std::string& kind, const std::string& what,
                 std::function<void(CardSession&, Job&)> run);
  // {"kind", "running", "cancelled", "error", ...the job's report}; null when
  // no job ran yet.
  JsonValue JobJson() const;
  // Asks the job to stop and waits until it has; {"job": ...}.
  Reply Cancel();

  // Finds and selects the card for `session` (a card still selected by the
  // operation before is found with a second request), and notes it as the
  // last card seen; the session's result. With the claim held.
  int32_t FindCard(CardSession& session);
  // The reply for a card that FindCard did not find.
  static Reply CardNotFound(int32_t result);

  // What runs now ("" when nothing).
  std::string Busy() const;

  std::vector<Bytes> Keys() const;
  // How many keys there are to try, without copying them.
  size_t KeyCount() const;
  void SetKeys(std::vector<Bytes> keys);
  // Puts `keys` first in the keys to try (a key already there moves up);
  // the keys that were not there yet.
  std::vector<Bytes> AddKeys(const std::vector<Bytes>& keys);
  const Invocation& Options() const { return inv_; }

  // The reader's state for /api/status: open, device, virtual reader, error.
  JsonValue ReaderJson() const;
  // The card last seen (by any operation), for /api/status while busy.
  JsonValue LastCard() const;
  void SetLastCard(JsonValue card);

 private:
  bool Claim(const std::string& what, Reply* busy);
  void Release();
  // With the claim held: true once the reader is open, else the 503 reply.
  bool OpenReader(Reply* failure);
  JsonValue JobJsonLocked() const;
  std::shared_ptr<const PackedKeys> SharedKeys() const;

  const Invocation& inv_;
  std::mutex keysMutex_;      // one change of the keys at a time
  mutable std::mutex mutex_;  // guards all below
  std::string busy_;
  // Packed once when they are set, and shared by the sessions: an operation
  // does not copy a list of millions.
  std::shared_ptr<const PackedKeys> keys_;
  std::unique_ptr<LibraryReader> reader_;
  std::string readerError_;
  JsonValue lastCard_;
  std::shared_ptr<Job> job_;
  std::thread jobThread_;
  std::condition_variable done_;  // a claim was released
};

// The request's "cardUid": the UID (4, 7 or 10 bytes as hex) of the card an
// operation is meant for; none when the request has none.
std::optional<Bytes> CardUidField(const JsonValue& body);

// {"error", "code", "codeName"} and "block" when given, for a result that failed.
Reply CardFailure(int status, const std::string& message, int32_t code,
                  std::optional<int> block = std::nullopt);

}  // namespace ui
}  // namespace zubtool

#endif  // ZUBTOOL_UI_DESK_H
