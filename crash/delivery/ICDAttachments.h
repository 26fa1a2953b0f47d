// The files a bug-report mail carries, and the folder they are prepared in.
//
// Each attachment is copied into the crash reporter's temporary folder under
// the name it has in the mail, so the mail program sees the right names and
// a file the program keeps writing to is sent as it was. Attachments with an
// archive name are sent as they are: this program packs none.
#pragma once

#include "crash/delivery/CDTempFolder.h"

#include <string>
#include <vector>

struct TCDAttachment {
  std::string File;    // where the file is now
  std::string SendAs;  // its name in the mail; the file's own name when empty
  std::string Field;   // field name of an upload
  std::string Zip;     // archive it would be packed into; empty = none
};

class TICDAttachments {
 public:
  void Add(TCDAttachment attachment) { items_.push_back(std::move(attachment)); }
  const std::vector<TCDAttachment>& Items() const { return items_; }

  // Copies every attachment that exists into folder under its mail name
  // (a file already there under that name is left as it is) and returns the
  // paths of the copies in order. Missing files are skipped.
  std::vector<std::string> Prepare(const std::string& folder) const;

 private:
  std::vector<TCDAttachment> items_;
};

// Copies a file; false when the source cannot be read or the target written.
bool CopyFileContent(const std::string& from, const std::string& to);
