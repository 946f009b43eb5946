// The Faxes pages over a shelf of faxes in memory: paging newest first,
// pictures made once and then taken from the cache, refusals for what a
// request names that is not there, and the reprint job's command line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "companion/web/Faxes.h"
#include "companion/web/Shelf.h"
#include "tests/fakes/FakeMailStore.h"
#include "tests/support/TempDir.h"

namespace web {
namespace {

using platform::Fail;
using platform::Status;
using testsupport::TempDir;

struct MemoryShelf : FaxShelf {
    std::vector<FaxEntry> faxes;  // oldest first
    platform::Result<std::vector<FaxEntry>> Newest(std::size_t skip, std::size_t count,
                                                   std::size_t& total) override {
        total = faxes.size();
        std::vector<FaxEntry> out;
        for (std::size_t i = skip; i < faxes.size() && out.size() < count; ++i)
            out.push_back(faxes[faxes.size() - 1 - i]);
        return out;
    }
    platform::Result<FaxEntry> Find(const std::string& id) override {
        for (const FaxEntry& f : faxes)
            if (f.id == id) return f;
        return Status::Error(Fail::NotFound, "not in the store");
    }
    Status WriteAttachment(const std::string& id, std::size_t index,
                           const std::string& path) override {
        testsupport::WriteFile(path, id + "#" + std::to_string(index));
        return Status::Ok();
    }
};

struct FaxRoutes : ::testing::Test {
    TempDir dir;
    platform::SystemClock clock;
    platform::EventLoop loop{clock};
    Access access{clock, "t", {{"127.0.0.1", 1}}, 1};
    Session session{"sid", "csrf", {}};
    std::unique_ptr<App> app;
    MemoryShelf* shelf = nullptr;
    FaxPagesImpl* pages = nullptr;
    int rendered = 0;

    void SetUp() override {
        Site site;
        site.env.programFolder = dir.path();
        site.env.profilePath = dir / "none.ini";
        site.selfProgram = dir / "voxafax";
        site.systemctl = "";
        testsupport::WriteFile(site.selfProgram, "#!/bin/sh\necho \"$@\"\n");
        ::chmod(site.selfProgram.c_str(), 0755);
        app = std::make_unique<App>(loop, site, access);
        auto s = std::make_unique<MemoryShelf>();
        shelf = s.get();
        for (int i = 0; i < 30; ++i)
            shelf->faxes.push_back({"id" + std::to_string(i),
                                    "VOXA-FAXes/Printed",
                                    "alice@example.net",
                                    "Fax <" + std::to_string(i) + ">",
                                    "",
                                    i,
                                    {"a.tif", "notes.txt"},
                                    ""});
        Pictures pictures;
        // The file's content says what it is: an attachment named *#0 is a
        // two-page image, anything else no image.
        pictures.pages = [](const std::string& path) -> platform::Result<int> {
            const std::string c = testsupport::ReadFile(path);
            if (c.ends_with("#0")) return 2;
            return Status::Error(Fail::Format, "Not a readable image");
        };
        pictures.png = [this](const std::string& path, int index, int,
                              int) -> platform::Result<std::string> {
            ++rendered;
            if (index >= 2) return Status::Error(Fail::NotFound, "No page");
            return "PNG:" + testsupport::ReadFile(path) + ":" + std::to_string(index);
        };
        auto impl = std::make_unique<FaxPagesImpl>(
            std::move(s), pictures,
            [] {
                return PrinterChoice{{"Office", "Fax PDF"}, "Office"};
            },
            dir / "cache");
        pages = impl.get();
        app->SetFaxPages(std::move(impl));
    }
    Response Get(const std::string& path, Fields query = {}) {
        Request r;
        r.method = "GET";
        r.path = path;
        r.query = std::move(query);
        return pages->Handle(r, session, *app);
    }
};

TEST_F(FaxRoutes, ListsNewestFirstByPagesOfTwentyFive) {
    const std::string first = Get("/faxes").body;
    EXPECT_NE(first.find("Fax &lt;29&gt;"), std::string::npos);
    EXPECT_EQ(first.find("Fax &lt;4&gt;"), std::string::npos);
    EXPECT_LT(first.find("Fax &lt;29&gt;"), first.find("Fax &lt;28&gt;"));
    EXPECT_NE(first.find("page=1\">Older"), std::string::npos);
    EXPECT_EQ(first.find("Newer"), std::string::npos);
    const std::string second = Get("/faxes", {{"page", "1"}}).body;
    EXPECT_NE(second.find("Fax &lt;4&gt;"), std::string::npos);
    EXPECT_NE(second.find("Fax &lt;0&gt;"), std::string::npos);
    EXPECT_EQ(second.find("Older"), std::string::npos);
    // Pages are those of the readable image only; the thumbnail is its first page.
    EXPECT_NE(first.find("<td>2</td>"), std::string::npos);
    EXPECT_NE(first.find("/picture?id=id29&amp;a=0&amp;p=0&amp;s=small"), std::string::npos);
    EXPECT_EQ(Get("/faxes", {{"page", "-1"}}).status, 200);
}

TEST_F(FaxRoutes, PicturesAreMadeOnceThenCached) {
    Response r = Get("/picture", {{"id", "id3"}, {"a", "0"}, {"p", "1"}, {"s", "large"}});
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.contentType, "image/png");
    EXPECT_EQ(r.body, "PNG:id3#0:1");
    EXPECT_EQ(Get("/picture", {{"id", "id3"}, {"a", "0"}, {"p", "1"}, {"s", "large"}}).body,
              r.body);
    EXPECT_EQ(rendered, 1);
    EXPECT_EQ(Get("/picture", {{"id", "id3"}, {"a", "0"}, {"p", "1"}}).body, r.body);
    EXPECT_EQ(rendered, 2);  // the thumbnail is a picture of its own

    EXPECT_EQ(Get("/picture", {{"id", "nope"}, {"a", "0"}, {"p", "0"}}).status, 404);
    EXPECT_EQ(Get("/picture", {{"id", "id3"}, {"a", "2"}, {"p", "0"}}).status, 404);
    EXPECT_EQ(Get("/picture", {{"id", "id3"}, {"a", "x"}, {"p", "0"}}).status, 404);
    EXPECT_EQ(Get("/picture", {{"id", "id3"}, {"a", "0"}, {"p", "7"}}).status, 404);
    EXPECT_EQ(Get("/fax", {{"id", "gone"}}).status, 404);
}

TEST_F(FaxRoutes, ReprintGoesToAnInstalledPrinterOnly) {
    const std::string page = Get("/fax", {{"id", "id7"}}).body;
    EXPECT_NE(page.find("<option selected>Office</option>"), std::string::npos);
    EXPECT_NE(page.find("notes.txt: not a readable image"), std::string::npos);
    EXPECT_NE(page.find("/picture?id=id7&amp;a=0&amp;p=1&amp;s=large"), std::string::npos);

    Request post;
    post.method = "POST";
    post.path = "/reprint";
    post.body = "csrf=csrf&id=id7&printer=Elsewhere";
    EXPECT_EQ(pages->Handle(post, session, *app).status, 400);
    post.body = "csrf=csrf&id=gone&printer=Office";
    EXPECT_EQ(pages->Handle(post, session, *app).status, 404);
    EXPECT_FALSE(app->jobs().Last());
    post.body = "csrf=csrf&id=id7&printer=Fax+PDF";
    EXPECT_EQ(pages->Handle(post, session, *app).status, 303);
    for (int i = 0; i < 2000 && app->jobs().Busy(); ++i) loop.RunOnce(true);
    ASSERT_TRUE(app->jobs().Last());
    EXPECT_EQ(app->jobs().Last()->lines.front(), "reprint id7 --printer Fax PDF");
}

TEST(StoreShelf, NewestFirstAcrossFoldersAndOnlyMessagesItShows) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "voxafax.ini", "[VOXA-FAX]\nVoxaFax_Profile=fax store\n");
    auto fake = std::make_unique<platform::FakeMailStore>();
    platform::FakeMailStore& store = *fake;
    store.AddProfile("Fax Store");
    store.AddProfile("Other");
    store.NewMessage(store.Inbox("Fax Store")).Subject("inbox").Received("01/03/2026 09:00:00 AM");
    auto& printed = store.EnsureFolder("Fax Store", "VOXA-FAXes/Printed");
    store.NewMessage(printed).Subject("late").Received("01/01/2026 11:00:00 PM");
    store.NewMessage(printed).Subject("noon").Received("01/02/2026 12:00:00 PM");
    const std::string foreign = store.NewMessage(store.Inbox("Other")).Subject("other").id;
    StoreShelf shelf(dir / "voxafax.ini", std::move(fake));

    std::size_t total = 0;
    auto first = shelf.Newest(0, 2, total);
    ASSERT_TRUE(first);
    EXPECT_EQ(total, 3u);
    ASSERT_EQ(first->size(), 2u);
    EXPECT_EQ((*first)[0].subject, "inbox");
    EXPECT_EQ((*first)[0].folder, "Inbox");
    EXPECT_EQ((*first)[1].subject, "noon");
    auto second = shelf.Newest(2, 2, total);
    ASSERT_TRUE(second);
    ASSERT_EQ(second->size(), 1u);
    EXPECT_EQ((*second)[0].subject, "late");
    EXPECT_EQ((*second)[0].folder, "VOXA-FAXes/Printed");

    auto found = shelf.Find((*second)[0].id);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->folder, "VOXA-FAXes/Printed");
    // An ID the pages do not show is not read, whatever the store would make of it.
    EXPECT_FALSE(shelf.Find(foreign));
    EXPECT_FALSE(shelf.Find("/etc/passwd"));
    EXPECT_FALSE(shelf.WriteAttachment("/etc/passwd", 0, dir / "x"));
}

}  // namespace
}  // namespace web
