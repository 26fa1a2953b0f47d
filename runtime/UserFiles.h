// Where the program keeps the files it writes for its user: its settings
// file and its bug-report file.
//
// A build or a portable copy keeps them beside the executable. An installed
// copy, under whatever prefix (/usr, /usr/local, ~/.local, /opt/...), keeps
// them in the user's configuration folder, $XDG_CONFIG_HOME/pinmark (by
// default ~/.config/pinmark), which is made on first use: its program folder
// is shared by every user of the copy, and often not theirs to write. A
// build is told by the build's CMakeCache.txt above its program folder, a
// portable copy by a Pinmark.ini already beside the executable.
//
// Guarantees: the choice is made once per process, on the first call of
// Current() (which the program makes at start-up), and never changes after
// that; every part that names or writes one of these files asks here, so the
// settings, the bug reports and every text that names them agree.
#pragma once

#include <string>
#include <string_view>

class TUserFiles {
 public:
  // What the choice is made from.
  struct TFacts {
    std::string ExeFolder;  // the executable's folder, with its trailing '/'
    bool ExeFolderWritable = false;
    std::string XdgConfigHome;  // $XDG_CONFIG_HOME as found, possibly empty
    std::string Home;           // the user's home folder, possibly empty
    bool Build = false;         // the executable lies in a build's program folder
    bool Portable = false;      // a Pinmark.ini lies beside the executable
  };

  // Beside the executable for a build or a portable copy whose folder is
  // writable; otherwise $XDG_CONFIG_HOME/pinmark, or $HOME/.config/pinmark
  // when that variable is unset, empty or relative (a relative one is invalid
  // by the XDG rules). Without any home either, the files stay beside the
  // executable, where writing them fails with a message that names them.
  static TUserFiles Choose(const TFacts& facts);

  // Whether the program may keep its files in folder: a folder the user may
  // write, with some write permission in its mode (so a read-only folder
  // counts as one for root too), and not below /usr, which holds the
  // system's installed files and never the user's.
  static bool IsWritableFolder(const std::string& folder);

  // The choice for the running program, from its executable's folder and its
  // environment; made on the first call and kept for the life of the process.
  static const TUserFiles& Current();

  bool BesideExecutable() const { return besideExecutable_; }
  // The folder of the files, with its trailing '/'.
  const std::string& Folder() const { return folder_; }
  // The path of the per-user file called name.
  std::string File(std::string_view name) const { return folder_ + std::string(name); }

  // Makes the configuration folder, and any missing folder above it, with
  // access for the user alone; beside the executable there is nothing to
  // make. False (errno set) when it cannot be made; writing a file there then
  // fails with that file's own message.
  bool CreateFolder() const;

 private:
  TUserFiles(std::string folder, bool beside) : folder_(std::move(folder)), besideExecutable_(beside) {}

  std::string folder_;
  bool besideExecutable_;
};
