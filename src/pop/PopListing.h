#pragma once
// What LIST and UIDL said of the mailbox: each message's size and unique-id,
// by message number, and what PassOver knows a message by.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pop {

// "1 byte", "12 KB", "3.4 MB": sizes as the run log gives them.
std::string SizeText(std::int64_t bytes);

class Listing {
  public:
    // From the two answers (a "-ERR" or a missing line leaves a message
    // without size or id). An id given to two messages identifies neither.
    void Read(std::string_view list, std::string_view uidl, std::int32_t count);
    void Clear();

    std::int64_t SizeOf(int number) const;  // -1 unknown
    std::string UidOf(int number) const;    // "" unknown
    std::string KeyOf(int number) const;    // "" when it has no identity
    const std::vector<std::string>& uids() const { return uids_; }
    std::size_t slots() const { return sizes_.size(); }

    // "message 2 of 3 (12 KB, UID abc)"; `quote` makes the id fit for a log.
    template <class Quote>
    std::string Describe(int number, std::int32_t count, const Quote& quote) const {
        std::string text = "message " + std::to_string(number) + " of " + std::to_string(count);
        const std::int64_t size = SizeOf(number);
        const std::string uid = UidOf(number);
        if (size < 0 && uid.empty()) return text;
        text += " (";
        if (size >= 0) text += SizeText(size);
        if (!uid.empty()) text += std::string(size >= 0 ? ", " : "") + "UID " + quote(uid);
        return text + ")";
    }

  private:
    std::vector<std::int64_t> sizes_;  // by message number; -1 unknown
    std::vector<std::string> uids_;    // by message number; "" unknown
};

}  // namespace pop
