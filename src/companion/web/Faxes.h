#pragma once
// The Faxes pages: the messages of the filing folders and the inbox, newest
// first, a page per fax with every page's picture, thumbnails cached in the
// program folder, and a reprint started as a job of its own.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "companion/web/App.h"
#include "platform/Result.h"

namespace web {

struct FaxEntry {
    std::string id;      // the store's ID of the message
    std::string folder;  // "VOXA-FAXes/Printed", ..., "Inbox"
    std::string sender;
    std::string subject;
    std::string received;                  // as the store shows it
    long long order = 0;                   // newer is larger
    std::vector<std::string> attachments;  // names, in the store's order
    // What the conversion left out. The message's text is not kept: the
    // pages show no more of a message than a run prints of it.
    std::string note;
};

// Where the faxes are read: the mail store of the account's profile.
class FaxShelf {
  public:
    virtual ~FaxShelf() = default;
    // Faxes [skip, skip + count) of all, newest first; `total` gets how many
    // there are in all.
    virtual platform::Result<std::vector<FaxEntry>> Newest(std::size_t skip, std::size_t count,
                                                           std::size_t& total) = 0;
    virtual platform::Result<FaxEntry> Find(const std::string& id) = 0;
    // The content of attachment `index` (from 0) written to a file.
    virtual platform::Status WriteAttachment(const std::string& id, std::size_t index,
                                             const std::string& path) = 0;
};

// What the imaging code answers for one attachment file.
struct Pictures {
    // Pages of a readable image, or why it is not one.
    std::function<platform::Result<int>(const std::string& path)> pages;
    // Page `index` (from 0) as PNG, fitted into w x h pixels.
    std::function<platform::Result<std::string>(const std::string& path, int index, int w, int h)>
        png;
};

// Thumbnails and page pictures as files of the program folder, at most
// kMaxFiles of them and kMaxBytes in all; the oldest go first.
class PictureCache {
  public:
    static constexpr std::size_t kMaxFiles = 2000;
    static constexpr std::uintmax_t kMaxBytes = 64ull * 1024 * 1024;

    explicit PictureCache(std::string folder) : folder_(std::move(folder)) {}
    // The cached bytes under `key`, or nullopt.
    std::optional<std::string> Get(const std::string& key) const;
    void Put(const std::string& key, const std::string& bytes);
    const std::string& folder() const { return folder_; }

  private:
    std::string PathOf(const std::string& key) const;
    void Trim();

    std::string folder_;
    std::size_t puts_ = 0;
};

class FaxPagesImpl final : public FaxPages {
  public:
    static constexpr std::size_t kPerPage = 25;

    FaxPagesImpl(std::unique_ptr<FaxShelf> shelf, Pictures pictures,
                 std::function<PrinterChoice()> printers, std::string cacheFolder);
    Response Handle(const Request& req, const Session& s, App& app) override;

  private:
    Response List(const Request& req);
    Response One(const Request& req, const Session& s, App& app);
    Response Picture(const Request& req);
    Response Reprint(const Request& req, const Session& s, App& app);
    // The attachment as a file of the cache folder ("" with why on failure).
    std::string AttachmentFile(const FaxEntry& fax, std::size_t index, std::string& why);
    // Image pages of each attachment (0: not an image), computed once.
    std::vector<int> PagesOf(const FaxEntry& fax);

    std::unique_ptr<FaxShelf> shelf_;
    Pictures pictures_;
    std::function<PrinterChoice()> printers_;
    PictureCache cache_;
    // The fax of an ID as last read: a page's pictures need no look-up in
    // the store. Bounded: it is emptied when it grows past a few pages' worth.
    const FaxEntry* Known(const std::string& id);
    void Remember(const FaxEntry& fax);
    std::map<std::string, FaxEntry> known_;
    std::map<std::string, std::vector<int>> pages_;  // by message ID
};

}  // namespace web
