// The few questions the helper asks of the file system outside the folders
// it stages in: where its own executable is, whether a path names anything,
// and the removal of a file it no longer needs.
#pragma once

#include <memory>

#include "main/base/expected.h"
#include "main/base/text.h"

namespace lumar {

class Files {
 public:
  virtual ~Files() = default;
  // The running executable's full path (WTF-8), or "{message} (os error {code})".
  virtual Result<OsString> own_executable_path() = 0;
  // Any file-system object at the path counts.
  virtual bool path_exists(const OsString& path) = 0;
  // Failures are ignored: what cannot be deleted now is found again later.
  virtual void delete_file(const OsString& path) = 0;
};

// The Windows implementation, built only for Windows.
std::unique_ptr<Files> make_win32_files();

}  // namespace lumar
