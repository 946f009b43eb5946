// Creates messages through the Maildir store, then times a walk that reads
// what the inbox run reads of every message. Built and run by store_walk.sh.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/Dialogs.h"
#include "platform/fake/FakeDialogs.h"
#include "platform/linux/maildir/MaildirStore.h"

using namespace platform;
using Clock = std::chrono::steady_clock;

static double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: store_walk <folder> <messages>\n");
        return 2;
    }
    const std::string dir = argv[1];
    const int count = std::atoi(argv[2]);
    std::ofstream(dir + "/stores.ini") << "[Bench]\nmaildir = " << dir << "/Maildir\n";
    std::ofstream(dir + "/fax.tif", std::ios::binary)
        << std::string("II*\0", 4) << std::string(20000, 'x');
    FakeDialogs dialogs;
    MaildirStoreProvider provider(dir + "/stores.ini", dialogs);

    auto writer = std::move(*provider.CreateSession());
    if (!writer->Logon("Bench", false).ok()) return 1;
    auto inbox = *writer->Inbox();
    auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        auto m = *inbox->AddMessage();
        (void)m->SetSenderName("sender@example.org");
        (void)m->SetSubject("VOXA-FAX  From: sender@example.org #" + std::to_string(i));
        (void)m->SetTimeSent(1700000000 + i);
        (void)m->SetText(
            " +OK 2000 octets\r\nFrom: sender@example.org\r\nSubject: fax\r\n\r\nPage text\r\n");
        auto a = *m->AddAttachment();
        (void)a->SetName("fax.tif;");
        (void)a->SetSource(dir + "/fax.tif");
        (void)a->ReadFromFile(dir + "/fax.tif");
        auto r = *m->AddRecipient();
        (void)r->SetAddress("SMTP:fax1@voxafax.example");
        if (!m->Update().ok()) return 1;
    }
    double writeSecs = Seconds(t0);
    writer.reset();

    auto reader = std::move(*provider.CreateSession());
    if (!reader->Logon("Bench", false).ok()) return 1;
    auto walkInbox = *reader->Inbox();
    auto t1 = Clock::now();
    int n = walkInbox->MessageCount().value_or(0);
    std::size_t bytes = 0;
    for (int i = 1; i <= n; ++i) {
        auto m = *walkInbox->Message(i);
        bytes += m->Type().value_or("").size() + m->Subject().value_or("").size() +
                 m->Text().value_or("").size();
        int rc = m->RecipientCount().value_or(0);
        for (int k = 1; k <= rc; ++k) bytes += (*m->Recipient(k))->Name().value_or("").size();
        int ac = m->AttachmentCount().value_or(0);
        for (int k = 1; k <= ac; ++k) bytes += (*m->Attachment(k))->Name().value_or("").size();
    }
    double walkSecs = Seconds(t1);
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("messages written: %d in %.2f s (%.0f messages/s)\n", count, writeSecs,
                count / writeSecs);
    std::printf("messages walked:  %d in %.2f s (%.0f messages/s), %zu bytes of properties\n", n,
                walkSecs, n / walkSecs, bytes);
    std::printf("peak RSS: %ld KiB\n", ru.ru_maxrss);
    return n == count ? 0 : 1;
}
