#include "pop/PopListing.h"

#include <algorithm>
#include <set>

#include "pop/PassOver.h"
#include "pop/PopReply.h"

namespace pop {

std::string SizeText(std::int64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    if (bytes < 1000 * 1000) return std::to_string((bytes + 999) / 1000) + " KB";
    const std::int64_t tenths = (bytes + 50 * 1000) / (100 * 1000);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}

void Listing::Clear() {
    sizes_.clear();
    uids_.clear();
}

void Listing::Read(std::string_view list, std::string_view uidl, std::int32_t count) {
    const std::size_t slots = static_cast<std::size_t>(std::max(count, 0)) + 1;
    sizes_.assign(slots, -1);
    const std::vector<std::string> sizes = ScanListing(list, slots);
    for (std::size_t n = 1; n < slots; ++n)
        if (!sizes[n].empty()) sizes_[n] = std::max<std::int64_t>(0, LeadingNumber(sizes[n]));
    uids_ = ScanListing(uidl, slots);
    std::set<std::string> seen, twice;
    for (const std::string& u : uids_)
        if (!u.empty() && !seen.insert(u).second) twice.insert(u);
    for (std::string& u : uids_)
        if (!UsableUid(u) || twice.count(u)) u.clear();
}

std::int64_t Listing::SizeOf(int number) const {
    return number > 0 && static_cast<std::size_t>(number) < sizes_.size() ? sizes_[number] : -1;
}

std::string Listing::UidOf(int number) const {
    return number > 0 && static_cast<std::size_t>(number) < uids_.size() ? uids_[number] : "";
}

std::string Listing::KeyOf(int number) const {
    const std::string uid = UidOf(number);
    const std::int64_t size = SizeOf(number);
    if (uid.empty() && size < 0) return {};
    return PassOver::Key(uid, size);
}

}  // namespace pop
