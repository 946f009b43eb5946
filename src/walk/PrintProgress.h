#pragma once
// Which documents of the fax in hand have gone to the printer: a header page,
// then each of its files. The count is kept in a small file of the program
// folder, rewritten in place after each document, so that a run killed
// between two documents of one fax does not print the first again; the
// message's Printed mark covers the fax once its last document is out.
#include <string>

#include "platform/Files.h"

namespace walk {

class PrintProgress {
  public:
    // path: the file ($VOXAFAX_HOME/printing); what it holds is read now.
    explicit PrintProgress(std::string path);

    // Whether an earlier run began printing message `id` and did not finish
    // it, and how many of its documents it printed for sure. The document
    // after those may have been printed too, just before that run ended.
    bool Begun(const std::string& id) const { return !id.empty() && id == id_; }
    int Done(const std::string& id) const { return Begun(id) ? done_ : 0; }
    // `count` documents of message `id` have been printed (0: it begins).
    void Printed(const std::string& id, int count);
    // False once the file could not be written: nothing is counted then.
    bool Working() const { return working_; }

  private:
    std::string path_;
    std::string id_;  // the message the file speaks of, as read at the start
    int done_ = 0;
    bool working_ = true;
    platform::UniqueFd fd_;
};

}  // namespace walk
