#pragma once
// Which documents of the fax in hand have gone to the printer: a header page,
// then each of its files. The count is kept in a small file of the program
// folder, rewritten in place after each document, so that a run killed
// between two documents of one fax does not print the first again; the
// message's Printed mark covers the fax once its last document is out.
#include <string>

#include "platform/Files.h"

namespace vfmain {

class PrintProgress {
  public:
    // path: the file ($VOXAFAX_HOME/printing); what it holds is read now.
    explicit PrintProgress(std::string path);

    // Documents of message `id` that an earlier run printed.
    int Done(const std::string& id) const;
    // `count` documents of message `id` have been printed.
    void Printed(const std::string& id, int count);

  private:
    std::string path_;
    std::string id_;  // the message the file speaks of, as read at the start
    int done_ = 0;
    platform::UniqueFd fd_;
};

}  // namespace vfmain
