#pragma once
// Messages that made POP sessions fail, remembered across runs so that one
// bad message does not hold back the mailbox: after kFailuresInARow failed
// sessions it is passed over (left on the server) and the messages behind it
// are fetched. It is tried again once a day, in case what failed was ours (a
// full disk) rather than the message's.
//
// A message is known across runs by its unique-id when the server offers
// UIDL (stable, and never shared by two messages), else by its size: cheap,
// and wrong at worst by holding back another message of exactly the same
// size, which stays on the server and is named in the run log.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace pop {

class PassOver {
  public:
    static constexpr int kFailuresInARow = 3;
    static constexpr std::int64_t kRetryAfterSeconds = 24 * 60 * 60;

    struct Record {
        std::string key;
        int failures = 0;
        std::int64_t last = 0;  // wall-clock seconds of the last failure
        std::string reason;     // what the server answered, one line
    };

    // The key of a message: "uid:<id>" or "size:<octets>".
    static std::string Key(const std::string& uid, std::int64_t size);

    // `path`: a 0600 file of one record per line.
    explicit PassOver(std::string path) : path_(std::move(path)) {}

    void Load();
    // Writes the records when they changed; an empty list removes the file.
    bool Save();

    const Record* Find(const std::string& key) const;
    // True when the message is to be left on the server this run.
    bool Skip(const std::string& key, std::int64_t now) const;

    void Failed(const std::string& key, std::int64_t now, const std::string& reason);
    // A failure that no later session can do better: the message is passed
    // over from now on, as after kFailuresInARow failures.
    void GiveUp(const std::string& key, std::int64_t now, const std::string& reason);
    void Fetched(const std::string& key);
    // Forgets the messages that are no longer on the server.
    void KeepOnly(const std::set<std::string>& keys);

    const std::vector<Record>& records() const { return records_; }

  private:
    std::string path_;
    std::vector<Record> records_;
    bool changed_ = false;
};

}  // namespace pop
